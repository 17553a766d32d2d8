// Scenes on the simulated board's four inputs, the digitiser that turns them
// into 8-bit pixels with the black level, noise and input look-up table, and
// the self-naming frames of the `oracle` option.
#include "kx29_sim_video.h"

#include "kx29_sim.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace kx29sim {

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int W = FRAME_COLS;
constexpr int H = FRAME_LINES;

int floor_div(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
int wrap(int a, int n) { return ((a % n) + n) % n; }

// Eight grey bars, 16 to 156, scrolling right half a pixel per frame, with a
// ramp that brightens them towards the bottom.
void grey_bars(double t, float* s) {
    int shift = static_cast<int>(std::floor(t * 0.5));
    for (int y = 0; y < H; ++y) {
        float ramp = 24.0f * static_cast<float>(y) / (H - 1);
        for (int x = 0; x < W; ++x) s[y * W + x] = 16.0f + 20.0f * (wrap(x - shift, W) / 96) + ramp;
    }
}

// A fixed sky, the same on every board: many faint stars, a few bright ones.
struct Star {
    double x, y, peak;
};
constexpr int STARS = 150;

const std::array<Star, STARS>& sky() {
    static const std::array<Star, STARS> stars = [] {
        std::array<Star, STARS> a{};
        for (int i = 0; i < STARS; ++i) {
            std::uint64_t h = mix64(0x5354415253ull + static_cast<std::uint64_t>(i));
            double u = static_cast<double>(h & 0xFFFF) / 65535.0;
            a[i] = {static_cast<double>((h >> 16) % W), static_cast<double>((h >> 32) % H),
                    8.0 + 150.0 * u * u * u};
        }
        return a;
    }();
    return stars;
}

// The star field the long-exposure camera looks at: a faint sky glow and stars
// with a Gaussian image of 1.3 pixels rms, drifting right a fifth of a pixel
// per frame.
void star_field(double t, float* s) {
    for (int y = 0; y < H; ++y) {
        float glow = 2.0f + 2.0f * static_cast<float>(y) / (H - 1);
        std::fill(s + y * W, s + (y + 1) * W, glow);
    }
    constexpr int R = 5;
    constexpr double SIGMA2 = 2.0 * 1.3 * 1.3;
    for (const Star& st : sky()) {
        double cx = std::fmod(st.x + 0.2 * t, W);
        int x0 = static_cast<int>(cx), y0 = static_cast<int>(st.y);
        for (int y = std::max(0, y0 - R); y <= std::min(H - 1, y0 + R); ++y)
            for (int dx = -R; dx <= R; ++dx) {
                int x = x0 + dx;
                double ex = x - cx, ey = y - st.y;
                double light = st.peak * std::exp(-(ex * ex + ey * ey) / SIGMA2);
                s[y * W + wrap(x, W)] += static_cast<float>(light);
            }
    }
}

// A diagonal ramp, 10 to 120, and a ball 60 brighter circling the centre once
// every 200 frames.
void ramp_and_ball(double t, float* s) {
    double a = 2.0 * PI * t / 200.0;
    double bx = W / 2 + 150.0 * std::cos(a), by = H / 2 + 100.0 * std::sin(a);
    constexpr double RADIUS = 48.0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) s[y * W + x] = static_cast<float>(10.0 + 110.0 * (x + y) / (W + H - 2));
    // The ball's bounding box; its edge is anti-aliased over one pixel.
    const int x0 = std::max(0, static_cast<int>(bx - RADIUS) - 1);
    const int x1 = std::min(W - 1, static_cast<int>(bx + RADIUS) + 1);
    const int y0 = std::max(0, static_cast<int>(by - RADIUS) - 1);
    const int y1 = std::min(H - 1, static_cast<int>(by + RADIUS) + 1);
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            double ball = std::clamp(RADIUS + 0.5 - std::hypot(x - bx, y - by), 0.0, 1.0);
            s[y * W + x] += static_cast<float>(60.0 * ball);
        }
}

// Squares of 64 pixels, 30 and 110, scrolling down a quarter pixel per frame,
// with a ramp of 20 from left to right.
void chequerboard(double t, float* s) {
    int shift = static_cast<int>(std::floor(t * 0.25));
    for (int y = 0; y < H; ++y) {
        int row = floor_div(y - shift, 64);
        for (int x = 0; x < W; ++x) {
            bool light = ((x / 64) + row) & 1;
            s[y * W + x] = (light ? 110.0f : 30.0f) + 20.0f * static_cast<float>(x) / (W - 1);
        }
    }
}

// Roughly normal with unit rms: the sum of four uniform 16-bit values.
double unit_noise(std::uint64_t h) {
    double sum = static_cast<double>((h & 0xFFFF) + ((h >> 16) & 0xFFFF) + ((h >> 32) & 0xFFFF) + (h >> 48));
    return (sum - 131070.0) / 37837.2;
}

}  // namespace

void render_scene(int input, double t, float* signal) {
    switch (input & 3) {
    case 0: grey_bars(t, signal); break;
    case 1: star_field(t, signal); break;
    case 2: ramp_and_ball(t, signal); break;
    default: chequerboard(t, signal); break;
    }
}

void digitise(const float* signal, const Digitiser& d, unsigned char* mem) {
    for (int y = 0; y < H; ++y) {
        unsigned char* line = mem + static_cast<std::size_t>(y) * MEM_PITCH;
        for (int x = 0; x < W; ++x) {
            std::uint64_t idx = static_cast<std::uint64_t>(y) * W + x;
            double v = d.black + d.gain * signal[idx];
            if (d.noise > 0.0) v += d.noise * unit_noise(mix64(d.noise_key + idx));
            int q = static_cast<int>(std::floor(std::clamp(v, 0.0, 255.0) + 0.5));
            line[x] = d.ilut[q];
        }
    }
}

void write_oracle(int input, long number, unsigned char* mem) {
    unsigned char group[8] = {100, static_cast<unsigned char>(10 + input)};
    for (int d = 0; d < 6; ++d) group[2 + d] = static_cast<unsigned char>(40 + ((number >> (4 * d)) & 15));
    for (int x = 0; x < W; ++x) mem[x] = group[x % 8];
    for (int y = 1; y < H; ++y) std::copy(mem, mem + W, mem + static_cast<std::size_t>(y) * MEM_PITCH);
}

}  // namespace kx29sim
