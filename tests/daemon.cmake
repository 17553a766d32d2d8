# Channel switching, start-up and shutdown on the test board.
kx29_test(test_daemon
  SOURCES test_switch.cpp test_startup.cpp test_loop.cpp
  LIBS kx29core_test)
target_link_libraries(test_daemon PRIVATE kx29version)
add_dependencies(test_daemon kx29d-sim)  # its options are run end to end
