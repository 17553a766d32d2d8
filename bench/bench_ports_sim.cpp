// Port accesses on the simulated board: the data port's inline path, the
// status port's out-of-line path, a whole frame read out as the daemon does
// it, and the cost of grabbing (rendering) one frame.
#include <benchmark/benchmark.h>

#include "kx29_io.h"
#include "kx29_sim.h"

namespace {

constexpr unsigned short BASE = 0x300;

void power_up(const char* options = "seed=1") {
    kx29sim::reset_board(options);
    kx29_ioperm(BASE, PORT_WINDOW, 1);
    kx29_ioperm(PORT_IO_DELAY, 1, 1);
}

void BM_SimInpData(benchmark::State& state) {
    power_up();
    outp(BASE + PORT_ADDR_RESET, 0);
    for (auto _ : state) benchmark::DoNotOptimize(inp(BASE + PORT_DATA));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SimInpData);

void BM_SimOutpData(benchmark::State& state) {
    power_up();
    outp(BASE + PORT_ADDR_RESET, 0);
    unsigned char v = 0;
    for (auto _ : state) outp(BASE + PORT_DATA, ++v);
    benchmark::DoNotOptimize(kx29sim::mem_pixel(0, 0));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SimOutpData);

void BM_SimInpStatus(benchmark::State& state) {
    power_up();
    for (auto _ : state) benchmark::DoNotOptimize(inp(BASE + PORT_STATUS));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SimInpStatus);

// 768 x 576 data reads with a line strobe after every line, summed so the
// reads cannot be dropped.
void BM_SimFullFrameRead(benchmark::State& state) {
    power_up();
    for (auto _ : state) {
        unsigned sum = 0;
        outp(BASE + PORT_ADDR_RESET, 0);
        for (int l = 0; l < kx29sim::FRAME_LINES; ++l) {
            for (int c = 0; c < kx29sim::FRAME_COLS; ++c) sum += inp(BASE + PORT_DATA);
            outp(BASE + PORT_NEXT_LINE, 0);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kx29sim::FRAME_LINES * kx29sim::FRAME_COLS);
}
BENCHMARK(BM_SimFullFrameRead)->Unit(benchmark::kMillisecond);

// Host time of one grabbed frame of input N: scene, noise, look-up table.
void BM_SimCaptureFrame(benchmark::State& state) {
    power_up();
    int input = static_cast<int>(state.range(0));
    outp(BASE + PORT_IREG_SELECT, 0);
    outp(BASE + PORT_IREG_DATA, static_cast<unsigned char>(input << 6 | input << 4 | 12));
    for (auto _ : state) {
        outp(BASE + PORT_CONTROL, 3);
        kx29sim::advance_board_time(kx29sim::FRAME_NS);
        outp(BASE + PORT_CONTROL, 0);
    }
}
BENCHMARK(BM_SimCaptureFrame)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

}  // namespace
