# Reliability of the simulated daemon: hostile records, signals and restarts,
# board faults and load from many clients. Short by default; KX29_SOAK=1 in
# the environment of ctest runs the long versions.
if(TARGET kx29harness)
  kx29_test(test_rel_hostile SOURCES test_rel_hostile.cpp LIBS kx29harness)
  kx29_test(test_rel_signals SOURCES test_rel_signals.cpp LIBS kx29harness)
  kx29_test(test_rel_faults SOURCES test_rel_faults.cpp LIBS kx29harness)
  kx29_test(test_rel_load SOURCES test_rel_load.cpp LIBS kx29harness)
endif()
