# Capture and readout on the simulated board.
if(TARGET kx29core_sim)
  kx29_test(test_comn_sim SOURCES test_comn_sim.cpp LIBS kx29core_sim)
endif()
