# The simulated board through its ports, the daemon's field waits running on
# it, and the kx29-mkspe tool.
kx29_test(sim_board_test SOURCES sim_board_test.cpp LIBS kx29core_sim)
add_dependencies(sim_board_test kx29-mkspe)
