# Frame pacing and idle CPU of the simulated daemon (a measurement, not a
# micro-benchmark: it runs the daemon for about 40 s).
add_executable(daemon_timing daemon_timing.cpp)
target_link_libraries(daemon_timing PRIVATE kx29harness)
set_target_properties(daemon_timing PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
# The series interval through the library against the daemon's own pacing.
add_executable(series_timing series_timing.cpp)
target_link_libraries(series_timing PRIVATE kx29harness kx29client)
set_target_properties(series_timing PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
