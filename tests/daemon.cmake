# Channel switching, the acquisition loop, start-up and shutdown on the test
# board; the daemon's options are run end to end on kx29d-sim, which the
# harness needs built.
kx29_test(test_daemon SOURCES test_switch.cpp test_startup.cpp LIBS kx29core_test kx29harness kx29version)
