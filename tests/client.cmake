# The client library and kx29ctl: against hand-made segments, and end to end with the simulated daemon.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KX29T_CFITSIO REQUIRED IMPORTED_TARGET cfitsio)
find_package(PNG REQUIRED)
find_program(KX29_FITSVERIFY fitsverify REQUIRED)

function(kx29_client_test name)
  kx29_test(${name} SOURCES ${name}.cpp LIBS kx29client ${ARGN})
  target_compile_definitions(${name} PRIVATE KX29_FITSVERIFY="${KX29_FITSVERIFY}")
  # The tests run kx29ctl as a subprocess.
  add_dependencies(${name} kx29ctl)
endfunction()

foreach(name segment settings cli)
  kx29_client_test(test_client_${name})
endforeach()
kx29_client_test(test_client_files PkgConfig::KX29T_CFITSIO PNG::PNG)
kx29_client_test(test_client_headers PkgConfig::KX29T_CFITSIO)
kx29_client_test(test_client_focus)

# End to end with the simulated daemon.
kx29_client_test(test_client_e2e kx29harness PkgConfig::KX29T_CFITSIO PNG::PNG)
# And on the hardware daemon kx29d, its port instructions trapped onto the
# simulated board (the harness's KX29_DAEMON=trap).
if(TARGET kx29porttrap)
  gtest_discover_tests(test_client_e2e TEST_PREFIX "trapped." DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300 ENVIRONMENT KX29_DAEMON=trap)
endif()
kx29_client_test(test_client_calib kx29harness PkgConfig::KX29T_CFITSIO)
