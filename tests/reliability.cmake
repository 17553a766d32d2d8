# Reliability of the simulated daemon: hostile records, board faults and load
# in one campaign, signals and restarts, and what another local user can do
# (as root only). Short by default; KX29_SOAK=1 in the environment of ctest
# runs the long versions.
kx29_test(test_rel_campaign SOURCES test_rel_campaign.cpp LIBS kx29harness)
kx29_test(test_rel_signals SOURCES test_rel_signals.cpp LIBS kx29harness)
kx29_test(test_rel_trust SOURCES test_rel_trust.cpp LIBS kx29harness)
