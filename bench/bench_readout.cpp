// Frame readout and write-back of a full 768x576 frame over the zero-cost
// board: time per pixel of each readout variant and of the write-back.
#include "kx29.h"
#include "kx29_io.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

namespace {

constexpr int WIDTH = 768, HEIGHT = 576;

TVchan* full_frame_record() {
    static auto rec = std::make_unique<TVchan>();
    TVchan* ch = rec.get();
    ch->img_width = ch->frm_width = WIDTH;
    ch->img_height = ch->frm_height = HEIGHT;
    ch->frm_col0 = ch->frm_lin0 = 0;
    ch->bias = 12;
    std::uint32_t x = 2463534242u;
    for (int& f : ch->flat) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        f = 900 + static_cast<int>(x % 400);
    }
    for (short& p : ch->image) p = 0;
    curch = ch;
    base_port_29 = kx29bench::bench_board.base;
    return ch;
}

// A noisy scene: grey-level gradient plus pseudo-random noise.
void fill_scene() {
    auto& b = kx29bench::bench_board;
    std::uint32_t x = 88172645u;
    for (int l = 0; l < HEIGHT; ++l)
        for (int c = 0; c < WIDTH; ++c) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            b.mem[l * b.PITCH + c] = static_cast<unsigned char>((c / 4 + l / 8 + (x & 31)) & 255);
        }
}

void fill_uniform(unsigned char v) {
    auto& b = kx29bench::bench_board;
    for (int l = 0; l < HEIGHT; ++l)
        for (int c = 0; c < WIDTH; ++c) b.mem[l * b.PITCH + c] = v;
}

void per_pixel(benchmark::State& state) {
    state.counters["per_pixel"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * WIDTH * HEIGHT,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_read_frame(benchmark::State& state, int add, int lev0, int ccd, bool uniform) {
    full_frame_record();
    if (uniform) fill_uniform(117);
    else fill_scene();
    for (auto _ : state) {
        read_frame(add, lev0, ccd);
        benchmark::DoNotOptimize(curch->image[0]);
    }
    per_pixel(state);
}

void BM_write_image(benchmark::State& state) {
    TVchan* ch = full_frame_record();
    for (int i = 0; i < WIDTH * HEIGHT; ++i) ch->image[i] = static_cast<short>(i * 7);
    for (auto _ : state) {
        write_image();
        benchmark::DoNotOptimize(kx29bench::bench_board.mem[0]);
    }
    per_pixel(state);
}

}  // namespace

BENCHMARK_CAPTURE(BM_read_frame, replace, 0, 0, 0, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_read_frame, add_sublevel, 1, 100, 0, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_read_frame, add_ccd, 1, 100, 1, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_read_frame, replace_uniform, 0, 0, 0, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_read_frame, add_ccd_uniform, 1, 100, 1, true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_write_image)->Unit(benchmark::kMillisecond);
