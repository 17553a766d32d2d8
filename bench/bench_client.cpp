// Saving a full 768 x 576 image: FITS, 8-bit PNG with the window stretch, 16-bit PNG, and the
// stretch alone, each written under a temporary name and renamed as kx29ctl does.
#include <benchmark/benchmark.h>

#include "../tests/client_test_support.h"
#include "kx29/focus.h"
#include "kx29/image_file.h"

#include <cmath>
#include <filesystem>
#include <random>

namespace {

namespace fs = std::filesystem;

// A frame-like image: a sum of three noisy 8-bit frames less their sub-levels.
kx29::Image full_image() {
    kx29::Image img;
    img.channel = 1;
    kx29::ChannelState& s = img.state;
    s.num = 1;
    s.tandem = 1;
    s.exposure = 2.5;
    s.img_width = s.window.width = KX29_MAX_COLS;
    s.img_height = s.window.height = KX29_MAX_LINES;
    s.form = 1;
    s.nadded = 3;
    s.addlev = 240;
    s.tstart = s.tcurr = 1700000000;
    std::mt19937 rng(29);
    std::normal_distribution<double> noise(0.0, 3.0);
    img.region = s.window;
    img.pixels.resize(KX29_IMAGE_PIXELS);
    for (int line = 0; line < KX29_MAX_LINES; ++line)
        for (int col = 0; col < KX29_MAX_COLS; ++col)
            img.pixels[static_cast<size_t>(line) * KX29_MAX_COLS + col] =
                static_cast<int16_t>((col + line) % 256 - 80 + noise(rng));
    return img;
}

void save(benchmark::State& state, const char* name, bool sixteen_bit) {
    kx29::Image img = full_image();
    kx29test::Scratch dir;
    std::string path = dir / name;
    kx29::WriteOptions opt;
    opt.sixteen_bit = sixteen_bit;
    opt.overwrite = true;
    for (auto _ : state) kx29::save_image(path, img, opt);
    state.counters["bytes"] = static_cast<double>(fs::file_size(path));
}

void BM_SaveFits(benchmark::State& state) { save(state, "image.fits", false); }
void BM_SavePng8Stretched(benchmark::State& state) { save(state, "image.png", false); }
void BM_SavePng16(benchmark::State& state) { save(state, "image.png", true); }
void BM_SavePgm8Stretched(benchmark::State& state) { save(state, "image.pgm", false); }

void BM_Stretch8(benchmark::State& state) {
    kx29::Image img = full_image();
    for (auto _ : state) benchmark::DoNotOptimize(kx29::stretch_to_8bit(img));
}

// The focus figure of a full window: a sky with noise and one star of FWHM 3 pixels.
void BM_MeasureFocus(benchmark::State& state) {
    kx29::Image img = full_image();
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 3.0);
    for (int line = 0; line < KX29_MAX_LINES; ++line)
        for (int col = 0; col < KX29_MAX_COLS; ++col) {
            const double r2 = (col - 300.3) * (col - 300.3) + (line - 200.6) * (line - 200.6);
            img.pixels[static_cast<size_t>(line) * KX29_MAX_COLS + col] =
                static_cast<int16_t>(std::lround(100 + 3000 * std::exp(-r2 / (2 * 1.274 * 1.274)) + noise(rng)));
        }
    for (auto _ : state) benchmark::DoNotOptimize(kx29::measure_focus(img));
}

}  // namespace

BENCHMARK(BM_MeasureFocus)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveFits)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SavePng8Stretched)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SavePng16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SavePgm8Stretched)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Stretch8)->Unit(benchmark::kMillisecond);
