// Scenes on the simulated board's four inputs as their cameras see them (the
// test cards, the star field, the cover and the flat panel), their read-out
// into 8-bit pixels, and the self-naming frames of the `oracle` option.
#include "kx29_sim_video.h"

#include "kx29_sim.h"
#include "kx29_sim_camera.h"

#include <algorithm>
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

// Light of the flat panel: mid-range grey in one frame on a video camera, in
// PANEL_S on the long-exposure camera.
constexpr double PANEL = 100.0;
constexpr double PANEL_S = 5.0;
// The star field moves a fifth of a pixel right per frame on a video camera;
// the long-exposure camera's telescope tracks the sky, all but a pixel a minute.
constexpr double VIDEO_DRIFT = 0.2;
constexpr double TRACKED_DRIFT = FRAME_S / 60.0;

int exposed_input = 0;  // the camera render_scene lit last, which digitise reads out

}  // namespace

void render_scene(int input, double t, float* signal) {
    const Options& o = board_options();
    input &= 3;
    exposed_input = input;
    const bool long_camera = input == o.camera_input;
    const unsigned bit = 1u << input;
    if (o.covered & bit) {
        std::fill(signal, signal + W * H, 0.0f);
        return;
    }
    if (o.flatpanel & bit) {
        std::fill(signal, signal + W * H, static_cast<float>(long_camera ? PANEL * FRAME_S / PANEL_S : PANEL));
        return;
    }
    switch (input) {
    case 0: grey_bars(t, signal); break;
    case 1:
        star_field(o.cameras, FRAME_S * (long_camera ? 1.0 : VIDEO_SPEED),
                   t * (long_camera ? TRACKED_DRIFT : VIDEO_DRIFT), signal);
        return;
    case 2: ramp_and_ball(t, signal); break;
    default: chequerboard(t, signal); break;
    }
    // The test cards are made for video cameras.
    if (long_camera)
        for (int i = 0; i < W * H; ++i) signal[i] /= static_cast<float>(VIDEO_SPEED);
}

void digitise(const float* signal, const Digitiser& d, unsigned char* mem) {
    read_out(patterns(exposed_input, board_options().cameras), board_options().cameras, signal, d, mem);
}

void write_oracle(int input, long number, unsigned char* mem) {
    unsigned char group[8] = {100, static_cast<unsigned char>(10 + input)};
    for (int d = 0; d < 6; ++d) group[2 + d] = static_cast<unsigned char>(40 + ((number >> (4 * d)) & 15));
    for (int x = 0; x < W; ++x) mem[x] = group[x % 8];
    for (int y = 1; y < H; ++y) std::copy(mem, mem + W, mem + static_cast<std::size_t>(y) * MEM_PITCH);
}

}  // namespace kx29sim
