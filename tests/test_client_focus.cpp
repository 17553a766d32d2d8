// The focus figure on synthetic frames: Gaussian stars of known width (each pixel holding the
// light over its square) on a noisy background, hot pixels, scenes without a star, windows.
#include <gtest/gtest.h>

#include "kx29/focus.h"

#include <cmath>
#include <map>
#include <numbers>
#include <random>

namespace {

using std::numbers::pi;
constexpr kx29::Window kFull{0, 0, 768, 576};

struct Star { double x, y, sigma, peak; };  // in the image's pixels; peak above the background

// A frame of 64 sums less ADDLEV 1000 (a pixel at 255 in every frame holds 15320), and what
// the figure must find in it.
struct Row {
    const char* what;
    std::vector<Star> stars;
    int found;               // the star to be found (in stars); -1: none
    double within = 0;       // how close its FWHM, HFR and flux must be, relative; 0: not checked
    int bar = 16, blur = -1; // every third vertical bar of `bar` pixels 400 levels up, blurred over
                             // 2 blur + 1 pixels; no bars when blur < 0
    kx29::Window window{}, region = kFull;  // the record's window (all of it), the part of it held
    double level = 1200.4;   // the background around the star
    double noise = 4;        // Gaussian, on a background of 1200.4 (record 200.4)
};

// The part of a 1-D Gaussian's light that falls on the pixel at `at`.
double share(double at, double centre, double sigma) {
    const double w = sigma * std::numbers::sqrt2;
    return (std::erf((at + 0.5 - centre) / w) - std::erf((at - 0.5 - centre) / w)) / 2;
}

kx29::Image frame(const Row& row) {
    kx29::Image img;
    img.state.img_width = 768, img.state.img_height = 576, img.state.window = row.window;
    img.state.nadded = 64, img.state.addlev = 1000, img.region = row.region;
    std::mt19937 rng(7);
    std::normal_distribution<double> gauss(0, row.noise > 0 ? row.noise : 1e-9);
    for (int y = 0; y < row.region.height; ++y)
        for (int x = 0; x < row.region.width; ++x) {
            double v = 200.4 + gauss(rng);
            for (int t = -row.blur; t <= row.blur; ++t)
                v += ((x + t) / row.bar % 3 == 1 ? 400.0 : 0) / (2 * row.blur + 1);
            for (const Star& s : row.stars)
                if (std::abs(x - s.x) < 8 * s.sigma && std::abs(y - s.y) < 8 * s.sigma)
                    v += s.peak * 2 * pi * s.sigma * s.sigma * share(x, s.x, s.sigma) * share(y, s.y, s.sigma);
            img.pixels.push_back(static_cast<int16_t>(std::lround(std::min(v, 15320.0))));
        }
    return img;
}

TEST(ClientFocus, TheBrightestStarsWidthOrTheScenesSharpness) {
    const Row rows[] = {
        {"sigma 1.0", {{300.3, 200.7, 1.0, 2000}}, 0, 0.02},
        {"sigma 1.0, faint", {{251, 150.8, 1, 300}}, 0, 0.05},
        {"sigma 1.5", {{301.5, 200.5, 1.5, 2000}}, 0, 0.02},
        {"sigma 2.5", {{302.8, 201.2, 2.5, 1000}}, 0, 0.02},
        {"sigma 4, faint", {{303.1, 199.9, 4.0, 150}}, 0, 0.05},
        {"sigma 0.7, on a pixel's centre", {{400, 300, 0.7, 2000}}, 0, 0.05},
        {"two stars, a hot pixel", {{100, 100, 2, 800}, {400.8, 300.4, 2, 1500}, {600, 100, 0.2, 56e3}}, 1, 0.02},
        {"a brighter star outside the window is stale; positions in the region held",
         {{120.3, 80.6, 1.5, 600}, {300, 200, 1.5, 3000}}, 0, 0.05, 16, -1, {100, 60, 200, 150}, {100, 60, 400, 300}},
        {"saturated: its peak cut at the record's ceiling", {{400.4, 300.3, 2, 1e5}}, 0},
        {"on a bright bar: the level around it", {{400.8, 300.4, 2, 1500}}, 0, 0.02, 256, 0, {}, kFull, 1600.4},
        {"a brighter star off the bar wins", {{400.8, 300.4, 2, 1500}, {150.3, 200.2, 2, 1800}}, 1, 0.02, 256, 0},
        {"a bright patch wider than a star", {{400, 300, 40, 2000}}, -1},
        {"sharp bars", {}, -1, 0, 16, 0},
        {"blurred bars", {}, -1, 0, 16, 3},
        {"flat", {}, -1, 0, 16, -1, {}, kFull, 0, 0},
        {"tiny window", {{9.6, 9.4, 1, 2000}}, -1, 0, 16, -1, {8, 8, 4, 4}},
    };
    std::map<std::string, kx29::FocusFigure> figures;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const kx29::FocusFigure f = figures[row.what] = kx29::measure_focus(frame(row));
        ASSERT_EQ(f.star.has_value(), row.found >= 0);
        EXPECT_TRUE(std::isfinite(f.sharpness) && f.sharpness >= 0 && f.sharpness <= 8) << f.sharpness;
        if (row.found < 0) continue;
        const kx29::StarMeasure& s = *f.star;
        const Star& want = row.stars[row.found];
        const bool saturated = want.peak > 20000;
        const double peak = saturated ? 15320 - 200.4 : want.peak, sigma = want.sigma;
        EXPECT_TRUE(std::abs(s.x - want.x) < 0.03 && std::abs(s.y - want.y) < 0.03 && s.saturated == saturated)
            << s.x << ", " << s.y << (s.saturated ? " saturated" : "");
        EXPECT_TRUE(std::abs(s.background - row.level) < 1 && std::abs(f.noise - 4) < 0.15) << s.background;
        // The brightest pixel holds the mean over its square.
        EXPECT_TRUE(s.peak > (saturated ? 0.999 : 0.5) * peak && s.peak < 1.05 * peak && s.snr > 10) << s.peak;
        if (row.within == 0) continue;
        EXPECT_NEAR(s.fwhm / (2.3548 * sigma), 1, row.within);
        EXPECT_NEAR(s.hfr / (1.1774 * sigma), 1, row.within);
        EXPECT_NEAR(s.flux / (2 * pi * sigma * sigma * peak), 1, row.within);
    }
    EXPECT_GT(figures["sharp bars"].sharpness, 3 * figures["blurred bars"].sharpness);
    EXPECT_NEAR(figures["sigma 1.0"].background, 1200.4, 0.1);
    EXPECT_TRUE(figures["flat"].sharpness == 0 && figures["flat"].noise == 1);  // a whole level at least
}

}  // namespace
