# Cost of a port access through the board seam, on the simulated board and on
# the scripted test board. Both boards define board_inp, so each has its own
# executable.
kx29_bench(bench_ports_sim SOURCES bench_ports_sim.cpp LIBS kx29sim)
kx29_bench(bench_ports_test SOURCES bench_ports_test.cpp LIBS kx29board_test)
