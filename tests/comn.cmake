# Video timing, sleeps, capture, readout and write-back on the scripted test board.
kx29_test(test_comn SOURCES test_comn_capture.cpp test_comn_readout.cpp LIBS kx29core_test)
