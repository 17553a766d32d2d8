# The simulated daemon driven through its shared records, like a client.
kx29_test(test_e2e_daemon SOURCES test_e2e_daemon.cpp LIBS kx29harness)
