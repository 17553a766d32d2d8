# Readout and write-back over the zero-cost benchmark board: the daemon's
# sources compiled once more with that board.
kx29_bench(bench_readout
  SOURCES bench_readout.cpp bench_readout_board.cpp
    ${PROJECT_SOURCE_DIR}/daemon/kx29_comn.cpp
    ${PROJECT_SOURCE_DIR}/daemon/kx29_init.cpp
    ${PROJECT_SOURCE_DIR}/daemon/kx29_main.cpp
  LIBS kx29key)
target_compile_definitions(bench_readout PRIVATE KX29_BOARD_BENCH KX29_NO_MAIN)
target_include_directories(bench_readout PRIVATE ${PROJECT_SOURCE_DIR}/daemon ${CMAKE_CURRENT_SOURCE_DIR})

# Full-frame readout on the simulated board.
if(TARGET kx29core_sim)
  kx29_bench(bench_readout_sim SOURCES bench_readout_sim.cpp LIBS kx29core_sim)
endif()
