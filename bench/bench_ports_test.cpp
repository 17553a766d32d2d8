// Port accesses on the scripted test board, for comparison with the simulated
// board: with and without the trace of every access.
#include <benchmark/benchmark.h>

#include "kx29_io.h"
#include "kx29_test_ports.h"

namespace {

constexpr unsigned short BASE = 0x300;

void BM_TestInpData(benchmark::State& state) {
    kx29test::reset_test_board();
    kx29test::TestBoard& b = kx29test::test_board();
    b.tracing = state.range(0) != 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(inp(BASE + PORT_DATA));
        if (b.trace.size() >= (1u << 20)) b.trace.clear();  // keeps its capacity
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TestInpData)->ArgName("traced")->Arg(0)->Arg(1);

void BM_TestInpStatus(benchmark::State& state) {
    kx29test::reset_test_board();
    kx29test::test_board().tracing = false;
    for (auto _ : state) benchmark::DoNotOptimize(inp(BASE + PORT_STATUS));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TestInpStatus);

}  // namespace
