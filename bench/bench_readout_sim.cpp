// Full-frame readout on the simulated board: host time per read_frame, and the
// bus time the same transfer would take on the ISA board.
#include "kx29.h"
#include "kx29_io.h"
#include "kx29_sim.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

TVchan* captured_frame_record() {
    static auto rec = std::make_unique<TVchan>();
    if (!kx29sim::reset_board("still") || kx29_ioperm(kx29sim::DEFAULT_BASE, PORT_WINDOW, 1) != 0 ||
        kx29_ioperm(PORT_IO_DELAY, 1, 1) != 0) {
        std::fprintf(stderr, "simulated board not available\n");
        std::exit(1);
    }
    base_port_29 = kx29sim::DEFAULT_BASE;
    TVchan* ch = rec.get();
    ch->img_width = ch->frm_width = kx29sim::FRAME_COLS;
    ch->img_height = ch->frm_height = kx29sim::FRAME_LINES;
    curch = ch;
    if (inputFrame29() != 0) {
        std::fprintf(stderr, "no frame captured on the simulated board\n");
        std::exit(1);
    }
    return ch;
}

void BM_sim_read_frame(benchmark::State& state, int add, int ccd) {
    captured_frame_record();
    const std::int64_t t0 = kx29sim::board_time_ns();
    for (auto _ : state) {
        read_frame(add, 40, ccd);
        benchmark::DoNotOptimize(curch->image[0]);
    }
    // Bus time of the port accesses alone (the board clock also runs in real time).
    state.counters["bus_ms"] = static_cast<double>(kx29sim::board_time_ns() - t0) / 1e6 /
                               static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(BM_sim_read_frame, replace, 0, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_sim_read_frame, add_ccd, 1, 1)->Unit(benchmark::kMillisecond);
