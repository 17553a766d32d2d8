// The cameras on the simulated board's inputs. Each has a bias with a fixed
// column and row pattern, a dark current with a few hot pixels, a flat field
// (vignetting, dust shadows and a slight pixel-to-pixel spread), read noise and
// shot noise. The patterns are computed once per input and kept, so that
// reading a frame out costs one pass over its pixels.
#include "kx29_sim_camera.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

namespace kx29sim {

namespace {

constexpr int W = FRAME_COLS;
constexpr int H = FRAME_LINES;
constexpr std::uint64_t CAMERA_SERIAL = 0x4B58323943414Dull;  // seeds the patterns: the same on every board
constexpr double PIXEL_SPREAD = 0.005;                      // rms of the pixel-to-pixel response

// A uniform number in [0, 1) from the `k`-th draw of stream `s`.
double uniform(std::uint64_t s, std::uint64_t k) {
    return static_cast<double>(mix64(s * 0x100000001B3ull + k) >> 11) * 0x1.0p-53;
}

void make_bias(std::uint64_t s, const CameraModel& m, std::vector<float>& bias) {
    std::vector<float> col(W), row(H);
    for (int x = 0; x < W; ++x) col[x] = static_cast<float>(m.pattern) * unit_noise(mix64(s + x));
    for (int y = 0; y < H; ++y) row[y] = static_cast<float>(m.pattern / 3.0) * unit_noise(mix64(s + W + y));
    bias.resize(static_cast<std::size_t>(W) * H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) bias[y * W + x] = static_cast<float>(m.bias) + row[y] + col[x];
}

// The dark current, with hot pixels 5 to 100 times as bright.
void make_dark(std::uint64_t s, const CameraModel& m, std::vector<float>& dark) {
    dark.assign(static_cast<std::size_t>(W) * H, static_cast<float>(m.dark));
    for (int k = 0; k < m.hot; ++k) {
        const std::uint64_t h = mix64(s + 2 * k);
        const double factor = std::pow(10.0, 0.7 + 1.3 * uniform(s, 2 * k + 1));
        dark[(h >> 32) % H * W + (h & 0xFFFFFFFF) % W] = static_cast<float>(m.dark * factor);
    }
}

// Vignetting falling off with the square of the distance from the centre to
// 1 - vignetting in the corners; dust shadows, out-of-focus rings of 8 to 24
// pixels radius that take 3 to 10 % of the light, more at the rim; and the
// pixels' own spread.
void make_flat(std::uint64_t s, const CameraModel& m, std::vector<float>& flat) {
    flat.resize(static_cast<std::size_t>(W) * H);
    const double cx = (W - 1) / 2.0, cy = (H - 1) / 2.0, corner2 = cx * cx + cy * cy;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double r2 = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / corner2;
            const double spread = PIXEL_SPREAD * unit_noise(mix64(s + static_cast<std::uint64_t>(y * W + x)));
            flat[y * W + x] = static_cast<float>((1.0 - m.vignetting * r2) * (1.0 + spread));
        }
    for (int k = 0; k < m.dust; ++k) {
        const double dx = W * uniform(s + 1, 4 * k), dy = H * uniform(s + 1, 4 * k + 1);
        const double radius = 8.0 + 16.0 * uniform(s + 1, 4 * k + 2), depth = 0.03 + 0.07 * uniform(s + 1, 4 * k + 3);
        const int r = static_cast<int>(radius) + 2;
        for (int y = std::max(0, static_cast<int>(dy) - r); y <= std::min(H - 1, static_cast<int>(dy) + r); ++y)
            for (int x = std::max(0, static_cast<int>(dx) - r); x <= std::min(W - 1, static_cast<int>(dx) + r); ++x) {
                const double d = std::hypot(x - dx, y - dy) / radius;
                const double edge = std::clamp((1.0 - d) * radius / 1.5 + 0.5, 0.0, 1.0);  // soft over 1.5 pixels
                flat[y * W + x] *= static_cast<float>(1.0 - edge * depth * (0.5 + 0.5 * std::min(d * d, 1.0)));
            }
    }
}

// A fixed sky, the same on every board: 300 stars of magnitudes 0 to 8, their
// numbers rising as 10^(0.3 m), at whole pixels plus a fraction.
struct Star {
    double x, y, light;  // light relative to the brightest
};
constexpr int STARS = 300;

const std::array<Star, STARS>& sky() {
    static const std::array<Star, STARS> stars = [] {
        std::array<Star, STARS> a{};
        std::array<double, STARS> mag{};
        const double most = std::pow(10.0, 0.3 * 8) - 1;
        for (int i = 0; i < STARS; ++i) {
            const std::uint64_t h = mix64(0x5354415253ull + static_cast<std::uint64_t>(i)), f = mix64(h);
            mag[i] = std::log10(1 + most * (1 - static_cast<double>(h & 0xFFFF) / 65535.0)) / 0.3;
            a[i] = {static_cast<double>((h >> 16) % W) + static_cast<double>(f & 0xFF) / 256,
                    static_cast<double>((h >> 32) % H) + static_cast<double>((f >> 8) & 0xFF) / 256, 0.0};
        }
        const double brightest = *std::min_element(mag.begin(), mag.end());
        for (int i = 0; i < STARS; ++i) a[i].light = std::pow(10.0, -0.4 * (mag[i] - brightest));
        return a;
    }();
    return stars;
}

// The light of a pixel-sized step of a Gaussian of rms `sigma` centred at `c`,
// for pixels x0..x0+n-1: the differences of its integral at their edges.
void gaussian_steps(double c, double sigma, int x0, int n, double* out) {
    const double k = 1.0 / (std::sqrt(2.0) * sigma);
    double prev = std::erf((x0 - 0.5 - c) * k);
    for (int i = 0; i < n; ++i) {
        const double next = std::erf((x0 + i + 0.5 - c) * k);
        out[i] = 0.5 * (next - prev);
        prev = next;
    }
}

}  // namespace

const CameraPatterns& patterns(int input, const CameraModel& model) {
    struct Kept {
        CameraModel model;
        CameraPatterns p;
    };
    static std::array<std::unique_ptr<Kept>, INPUTS> kept;
    std::unique_ptr<Kept>& k = kept[input & 3];
    if (!k || !(k->model == model)) {
        k = std::make_unique<Kept>();
        k->model = model;
        const std::uint64_t s = mix64(CAMERA_SERIAL + static_cast<std::uint64_t>(input & 3)) & 0xFFFFFFFFFFFFull;
        make_bias(s << 8, model, k->p.bias);
        make_dark(s << 12, model, k->p.dark);
        make_flat(s << 16, model, k->p.flat);
    }
    return k->p;
}

const CameraPatterns& camera_patterns(int input) { return patterns(input, board_options().cameras); }

void star_field(const CameraModel& model, double per_frame, double drift, float* light) {
    std::fill(light, light + W * H, static_cast<float>(model.sky * per_frame));
    if (model.stars <= 0) return;
    const double sigma = model.fwhm / (2.0 * std::sqrt(2.0 * std::log(2.0)));
    const int R = static_cast<int>(std::ceil(5.0 * sigma)) + 1;  // the image beyond holds a millionth of its peak
    std::vector<double> gx(2 * R + 1), gy(2 * R + 1);
    for (const Star& st : sky()) {
        const double cx = std::fmod(st.x + drift, W);
        const int x0 = static_cast<int>(cx) - R, y0 = static_cast<int>(st.y) - R;
        gaussian_steps(cx, sigma, x0, 2 * R + 1, gx.data());
        gaussian_steps(st.y, sigma, y0, 2 * R + 1, gy.data());
        const double total = model.stars * per_frame * st.light;
        for (int j = 0; j <= 2 * R; ++j) {
            const int y = y0 + j;
            if (y < 0 || y >= H) continue;
            float* line = light + y * W;
            for (int i = 0; i <= 2 * R; ++i) line[((x0 + i) % W + W) % W] += static_cast<float>(total * gy[j] * gx[i]);
        }
    }
}

void read_out(const CameraPatterns& p, const CameraModel& model, const float* light, const Digitiser& d,
              unsigned char* mem) {
    const float frames = static_cast<float>(d.gain), dark_frames = static_cast<float>(d.gain * FRAME_S);
    const float read2 = static_cast<float>(d.noise * d.noise), per_electron = static_cast<float>(1.0 / model.gain);
    const float black = static_cast<float>(d.black);
    for (int y = 0; y < H; ++y) {
        unsigned char* line = mem + static_cast<std::size_t>(y) * MEM_PITCH;
        const std::size_t row = static_cast<std::size_t>(y) * W;
        for (int x = 0; x < W; ++x) {
            const std::size_t i = row + x;
            const float signal = frames * light[i] * p.flat[i] + dark_frames * p.dark[i];
            float v = black + p.bias[i] + signal;
            if (read2 > 0) v += std::sqrt(read2 + signal * per_electron) * unit_noise(mix64(d.noise_key + i));
            line[x] = d.ilut[static_cast<int>(std::clamp(v, 0.0f, 255.0f) + 0.5f)];
        }
    }
}

}  // namespace kx29sim
