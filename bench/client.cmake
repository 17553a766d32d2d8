# Saving images from the client library; request latency against the simulated daemon.
kx29_bench(bench_client SOURCES bench_client.cpp LIBS kx29client)

# A measurement rather than a micro-benchmark: it starts the simulated daemon
# and times requests until their first frame message (about 15 s).
if(TARGET kx29harness)
  add_executable(bench_client_latency bench_client_latency.cpp)
  target_link_libraries(bench_client_latency PRIVATE kx29client kx29harness)
  target_compile_definitions(bench_client_latency PRIVATE KX29_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  set_target_properties(bench_client_latency PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  add_dependencies(bench_client_latency kx29ctl)
endif()
