# Video timing, sleeps, capture, readout and write-back on the scripted test board.
kx29_test(test_comn_timing SOURCES test_comn_timing.cpp LIBS kx29core_test)
kx29_test(test_comn_capture SOURCES test_comn_capture.cpp LIBS kx29core_test)
kx29_test(test_comn_readout SOURCES test_comn_readout.cpp LIBS kx29core_test)
