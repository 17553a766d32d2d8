# Configuration, FPGA images, segment key and segment attachment.
kx29_test(test_foundation SOURCES test_conf.cpp test_shm.cpp LIBS kx29core_test)
