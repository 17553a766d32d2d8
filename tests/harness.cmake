# The daemon on the simulated board in a scratch directory, for end-to-end tests.
add_library(kx29harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/harness/daemon_harness.cpp)
target_include_directories(kx29harness PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/harness ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kx29harness PUBLIC kx29key)
target_compile_definitions(kx29harness PRIVATE
  KX29_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
  KX29_LIB_DIR="${CMAKE_BINARY_DIR}/lib"
  KX29_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
# Tests that run the daemon need it built first.
add_dependencies(kx29harness kx29d-sim kx29-mkspe)
if(TARGET kx29porttrap)
  add_dependencies(kx29harness kx29d kx29porttrap)
endif()

