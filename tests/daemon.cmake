# Channel switching, start-up and shutdown on the test board.
kx29_test(test_daemon
  SOURCES test_switch.cpp test_startup.cpp test_loop.cpp
  LIBS kx29core_test)
