# The simulated daemon driven through its shared records, like a client.
kx29_test(test_e2e_daemon SOURCES test_e2e_daemon.cpp LIBS kx29harness)
# The storm: clients of every kind at the board's pace, results checked by the
# oracle. Its bounds are the board's pace, which the sanitizer build does not keep.
if(NOT KX29_SANITIZE)
  kx29_client_test(test_storm kx29harness PkgConfig::KX29T_CFITSIO)
  target_compile_definitions(test_storm PRIVATE KX29_PYTHON_DIR="${CMAKE_BINARY_DIR}/python")
  target_include_directories(test_storm PRIVATE ${PROJECT_SOURCE_DIR}/sim)
endif()
# Once more on the hardware daemon kx29d, its port instructions trapped onto
# the simulated board (the harness's KX29_DAEMON=trap).
if(TARGET kx29porttrap)
  gtest_discover_tests(test_e2e_daemon TEST_PREFIX "trapped." DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300 ENVIRONMENT KX29_DAEMON=trap)
endif()
