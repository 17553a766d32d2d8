// The focus figure: finding the brightest star of the window, its centroid, half-flux
// radius and FWHM, and the sharpness of the window's scene.
#include "kx29/focus.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <tuple>
#include <vector>

namespace kx29 {

namespace {

constexpr double kFwhmPerSigma = 2.3548200450309493;  // 2 sqrt(2 ln 2)
constexpr double kDetection = 5;   // a star's peak: noise levels above the window's background
constexpr double kNeighbours = 3;  // its 8 neighbours' mean: noise levels above each side around it,
constexpr double kSpread = 0.05;   // and this part of the peak's height (a hot pixel has no neighbours)
constexpr int kMaxRadius = 80;     // the largest aperture, pixels
// A pixel integrates the light over its square: that adds a variance of 1/12
// pixel^2 per axis to the star's own, which both figures take out again.
constexpr double kPixelVariance = 1.0 / 12;
// Below this variance (pixel^2, a FWHM of 1.7 pixels) a Gaussian weight sampled at
// the pixels' centres no longer follows a star: the weighted moments collapse onto
// its brightest pixel.
constexpr double kUndersampled = 0.5;

// The measurement window of an image, in the image's pixels.
struct Pixels {
    const int16_t* data;
    int stride;
    int x0, y0, x1, y1;  // [x0, x1) x [y0, y1)

    bool inside(int x, int y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
    int at(int x, int y) const { return data[static_cast<size_t>(y) * stride + x]; }
    int width() const { return x1 - x0; }
    int height() const { return y1 - y0; }
};

// The record's window within the region the image holds; all of it when they do not meet
// (as the 8-bit stretch takes it).
Pixels window_pixels(const Image& img) {
    const Window& r = img.region;
    const Window w = clamped_window(img.state);
    int c0 = std::max(w.col0, r.col0), l0 = std::max(w.lin0, r.lin0);
    int c1 = std::min(w.col0 + w.width, r.col0 + r.width), l1 = std::min(w.lin0 + w.height, r.lin0 + r.height);
    if (c1 <= c0 || l1 <= l0) return {img.pixels.data(), r.width, 0, 0, r.width, r.height};
    return {img.pixels.data(), r.width, c0 - r.col0, l0 - r.lin0, c1 - r.col0, l1 - r.lin0};
}

// The median of a histogram of whole numbers, bin k standing for [k - 0.5, k + 0.5)
// (bin 0 for [0, 0.5) when the values are distances), interpolated within its bin:
// sums of few frames are whole levels, and their noise may be a level or two.
double histogram_median(const std::vector<uint32_t>& hist, long n, int offset, bool distances) {
    const double half = 0.5 * static_cast<double>(n);
    double below = 0;
    for (size_t k = 0; k < hist.size(); ++k) {
        if (below + hist[k] >= half && hist[k] > 0) {
            const bool from_zero = distances && k == 0;
            const double lo = from_zero ? 0 : static_cast<double>(k) - 0.5, width = from_zero ? 0.5 : 1;
            return offset + lo + width * (half - below) / hist[k];
        }
        below += hist[k];
    }
    return offset;
}

struct Level {
    double median = 0, sigma = 1;
};

// The window's median, and its noise from the steps between horizontal
// neighbours: the scene's edges, gradients and stars are few of those steps,
// where they would be much of the spread of the values themselves. A step
// between two pixels of noise sigma has the spread sigma sqrt(2), and half of
// such steps are within 0.6745 of that.
Level window_level(const Pixels& px) {
    std::vector<uint32_t> values(65536, 0), steps(65536, 0);
    for (int y = px.y0; y < px.y1; ++y)
        for (int x = px.x0; x < px.x1; ++x) {
            ++values[static_cast<size_t>(px.at(x, y) + 32768)];
            if (x + 1 < px.x1) ++steps[static_cast<size_t>(std::abs(px.at(x + 1, y) - px.at(x, y)))];
        }
    Level l;
    l.median = histogram_median(values, static_cast<long>(px.width()) * px.height(), -32768, false);
    const long n = static_cast<long>(px.width() - 1) * px.height();
    // Sums are whole numbers: a noise below one level is not measured.
    if (n > 0) l.sigma = std::max(1.0, histogram_median(steps, n, 0, true) / (0.6745 * std::numbers::sqrt2));
    return l;
}

// Mean squared step between neighbours over the variance of the window. Row by
// row, without a test per pixel, so that the compiler can vectorise it: it
// runs on every live frame.
double window_sharpness(const Pixels& px, double median) {
    const int m = static_cast<int>(std::lround(median));
    const int w = px.width();
    int64_t sum = 0, squares = 0, steps_x = 0, steps_y = 0;
    for (int y = px.y0; y < px.y1; ++y) {
        const int16_t* row = px.data + static_cast<size_t>(y) * px.stride + px.x0;
        for (int x = 0; x < w; ++x) {
            const int64_t v = row[x] - m;
            sum += v;
            squares += v * v;
        }
        for (int x = 0; x + 1 < w; ++x) {
            const int64_t d = row[x + 1] - row[x];
            steps_x += d * d;
        }
        if (y + 1 < px.y1) {
            const int16_t* next = row + px.stride;
            for (int x = 0; x < w; ++x) {
                const int64_t d = next[x] - row[x];
                steps_y += d * d;
            }
        }
    }
    const double n = static_cast<double>(px.width()) * px.height();
    const double mean = static_cast<double>(sum) / n, variance = static_cast<double>(squares) / n - mean * mean;
    if (variance <= 0) return 0;
    double sharp = 0;
    if (px.width() > 1) sharp += static_cast<double>(steps_x) / ((px.width() - 1.0) * px.height());
    if (px.height() > 1) sharp += static_cast<double>(steps_y) / ((px.height() - 1.0) * px.width());
    return sharp / variance;
}

struct Peak {
    int x = -1, y = -1;
};

// The brightest local maximum that stands out of what is around it: above the
// window's background by kDetection noise levels, with the mean of its 8
// neighbours above each side of the 7x7 square around it (means are steadier
// than a pixel, and a wide star shows little of itself within 3 pixels). So
// neither a flicker of noise on a bright patch nor the patch's edge is taken for
// a star, nor a hot pixel or a cosmic ray's hit, whose neighbours are not up
// (a star of a pixel or less, whose width would tell nothing of the focus).
// Ranked by its 3x3 sum above the brightest side. Maxima closer than 3 pixels
// to the window's edge are not looked at.
Peak brightest_peak(const Pixels& px, const Level& l) {
    // Whole levels: v > median + 5 sigma exactly when v > its floor.
    const int threshold = static_cast<int>(std::floor(std::min(l.median + kDetection * l.sigma, 65536.0)));
    Peak best;
    double best_sum = 0;
    for (int y = px.y0 + 3; y < px.y1 - 3; ++y) {
        const int16_t* row = px.data + static_cast<size_t>(y) * px.stride;
        for (int x = px.x0 + 3; x < px.x1 - 3; ++x) {
            const int v = row[x];
            if (v <= threshold) continue;
            int neighbours = 0;
            bool highest = true;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    if (dx != 0 || dy != 0) {
                        const int u = px.at(x + dx, y + dy);
                        highest = highest && u <= v;
                        neighbours += u;
                    }
            if (!highest) continue;
            int sides[4] = {0, 0, 0, 0};
            for (int t = -3; t <= 3; ++t) {
                sides[0] += px.at(x - 3, y + t), sides[1] += px.at(x + 3, y + t);
                sides[2] += px.at(x + t, y - 3), sides[3] += px.at(x + t, y + 3);
            }
            const double around = *std::max_element(sides, sides + 4) / 7.0;
            const double up = neighbours / 8.0 - around, sum = v + neighbours - 9 * around;
            if (up <= std::max(kNeighbours * l.sigma, kSpread * (v - around)) || (best.x >= 0 && sum <= best_sum))
                continue;
            best = {x, y};
            best_sum = sum;
        }
    }
    return best;
}

// Visits the window's pixels whose centres lie within r of (cx, cy): f(x, y, distance^2).
template <typename F>
void within(const Pixels& px, double cx, double cy, double r, F&& f) {
    const int y0 = std::max(px.y0, static_cast<int>(std::floor(cy - r)));
    const int y1 = std::min(px.y1 - 1, static_cast<int>(std::ceil(cy + r)));
    const int x0 = std::max(px.x0, static_cast<int>(std::floor(cx - r)));
    const int x1 = std::min(px.x1 - 1, static_cast<int>(std::ceil(cx + r)));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            if (d2 <= r * r) f(x, y, d2);
        }
}

// The radius at which the star's light has fallen to the level around it: the
// first ring of one pixel around (cx, cy) whose mean is no more than two of its
// noise levels, or 0.5 % of the peak, above the lowest of the next three rings
// (so a star on a brighter patch ends where the patch begins); kMaxRadius when
// none within it is.
int light_edge(const Pixels& px, double cx, double cy, const Level& l, double peak) {
    constexpr int kRings = kMaxRadius + 4;
    std::array<double, kRings> mean{};
    std::array<int, kRings> count{};
    within(px, cx, cy, kRings - 0.001, [&](int x, int y, double d2) {
        const auto ring = static_cast<size_t>(std::sqrt(d2));
        mean[ring] += px.at(x, y);
        ++count[ring];
    });
    for (int r = 0; r < kRings; ++r) mean[r] = count[r] > 0 ? mean[r] / count[r] : HUGE_VAL;
    for (int r = 1; r <= kMaxRadius; ++r) {
        const double beyond = std::min({mean[r + 1], mean[r + 2], mean[r + 3]});
        if (count[r] == 0 || beyond == HUGE_VAL) return r;  // the window ends: nothing more of the star to see
        if (mean[r] - beyond < std::max(0.005 * peak, 2 * l.sigma / std::sqrt(count[r]))) return r;
    }
    return kMaxRadius;
}

// Mean of an annulus outside the aperture, values beyond 3 noise levels of its
// median (other stars, hot pixels) left out; the window's median when the
// window leaves too little of the annulus.
double local_background(const Pixels& px, double cx, double cy, double r, const Level& l) {
    const double outer = r + 1 + std::max(4.0, r / 2);
    std::vector<int> ring;
    within(px, cx, cy, outer, [&](int x, int y, double d2) {
        if (d2 > (r + 1) * (r + 1)) ring.push_back(px.at(x, y));
    });
    if (ring.size() < 16) return l.median;
    std::nth_element(ring.begin(), ring.begin() + static_cast<long>(ring.size() / 2), ring.end());
    const double median = ring[ring.size() / 2];
    double sum = 0;
    long n = 0;
    for (int v : ring)
        if (std::abs(v - median) <= 3 * l.sigma) sum += v, ++n;
    return n > 0 ? sum / static_cast<double>(n) : median;
}

// The radius holding half of the light within the aperture. The light inside each
// pixel is taken to follow the slope between its neighbours (sampled k x k), so a
// star of a few pixels is not measured wider than it is; the pixel's own width is
// then taken out. Also the total light.
std::pair<double, double> half_flux_radius(const Pixels& px, double cx, double cy, double r, double bg) {
    constexpr int kBins = 1024;
    std::vector<double> bins(kBins, 0.0);
    const double bin = r / kBins;
    const int k = std::clamp(static_cast<int>(std::sqrt(20000 / (std::numbers::pi * r * r))), 1, 6);
    auto excess = [&](int x, int y) { return px.at(x, y) - bg; };
    auto slope = [&](int x, int y, int dx, int dy, double e) {
        if (e <= 0 || !px.inside(x - dx, y - dy) || !px.inside(x + dx, y + dy)) return 0.0;
        return std::clamp((excess(x + dx, y + dy) - excess(x - dx, y - dy)) / (2 * e), -2.0, 2.0);
    };
    within(px, cx, cy, r + std::numbers::sqrt2 / 2, [&](int x, int y, double) {
        const double e = excess(x, y), sx = slope(x, y, 1, 0, e), sy = slope(x, y, 0, 1, e);
        for (int j = 0; j < k; ++j) {
            const double b = (j + 0.5) / k - 0.5;
            for (int i = 0; i < k; ++i) {
                const double a = (i + 0.5) / k - 0.5;
                const double d = std::hypot(x + a - cx, y + b - cy);
                if (d < r) bins[static_cast<size_t>(d / bin)] += e * (1 + a * sx + b * sy) / (k * k);
            }
        }
    });
    double total = 0;
    for (double v : bins) total += v;
    double below = 0;
    for (int i = 0; i < kBins && total > 0; ++i) {
        if (below + bins[i] >= total / 2) {
            const double radius = (i + (total / 2 - below) / bins[i]) * bin;
            const double pixel = 2 * std::numbers::ln2 * kPixelVariance;  // a Gaussian's HFR^2 is 2 ln 2 sigma^2
            return {std::sqrt(std::max(radius * radius - pixel, 0.0)), total};
        }
        below += bins[i];
    }
    return {0, total};
}

// The star's centroid and variance (per axis) weighted by a Gaussian of that
// same variance, found together step by step; the noise of the faint outer
// pixels hardly moves them, as it would plain moments. For a Gaussian star both
// are its own, and for any star the figures of the Gaussian that matches it best.
// 0, and the centroid as it was, when they wander off.
double adaptive_moments(const Pixels& px, double& cx, double& cy, double r, double bg, double variance) {
    const double x0 = cx, y0 = cy;
    for (int step = 0; step < 40; ++step) {
        double sum = 0, sx = 0, sy = 0, s2 = 0;
        within(px, cx, cy, r, [&](int x, int y, double d2) {
            const double w = (px.at(x, y) - bg) * std::exp(-d2 / (2 * variance));
            sum += w, sx += w * (x - cx), sy += w * (y - cy), s2 += w * d2;
        });
        if (sum <= 0 || std::hypot(cx - x0, cy - y0) > 1) {
            cx = x0, cy = y0;
            return 0;
        }
        // A Gaussian of variance v weighted by one of variance u has the variance
        // uv / (u + v), which is u / 2 at v = u: the next u is twice the weighted
        // variance. The centroid moves half its distance to the star's each step.
        const double next = std::clamp(s2 / sum, 0.01, r * r);
        cx += sx / sum, cy += sy / sum;
        const bool settled = std::abs(next - variance) < 1e-5 * variance && std::hypot(sx, sy) < 1e-5 * sum;
        variance = next;
        if (settled) return variance;
    }
    return variance;
}

std::optional<StarMeasure> measure_star(const Image& img, const Pixels& px, const Level& l, Peak p) {
    const double peak = px.at(p.x, p.y) - l.median;
    StarMeasure s;
    s.x = p.x, s.y = p.y;
    double r = 0, bg = l.median;
    int edge = 0;
    // The centroid moves the aperture, which moves the centroid: three rounds settle it.
    for (int round = 0; round < 3; ++round) {
        edge = light_edge(px, s.x, s.y, l, peak);
        r = std::min<double>(kMaxRadius, 1.5 * edge + 1);
        bg = local_background(px, s.x, s.y, r, l);
        double sum = 0, sx = 0, sy = 0;
        within(px, s.x, s.y, edge + 1, [&](int x, int y, double) {
            const double e = px.at(x, y) - bg;
            sum += e, sx += e * x, sy += e * y;
        });
        if (sum <= 0) return std::nullopt;
        s.x = sx / sum, s.y = sy / sum;
        if (std::hypot(s.x - p.x, s.y - p.y) > r) return std::nullopt;
    }
    double variance = adaptive_moments(px, s.x, s.y, r, bg, r * r / 25);
    if (variance < kUndersampled) {
        // Too few pixels for the weight to follow: the plain moments within the edge.
        double sum = 0, second = 0;
        within(px, s.x, s.y, edge + 1, [&](int x, int y, double d2) {
            sum += px.at(x, y) - bg, second += (px.at(x, y) - bg) * d2;
        });
        variance = second / sum / 2;
    }
    variance -= kPixelVariance;
    s.fwhm = variance > 0 ? kFwhmPerSigma * std::sqrt(variance) : 0;
    long pixels = 0;
    int top = INT16_MIN;
    within(px, s.x, s.y, r, [&](int x, int y, double) { ++pixels, top = std::max(top, px.at(x, y)); });
    std::tie(s.hfr, s.flux) = half_flux_radius(px, s.x, s.y, r, bg);
    if (s.flux <= 0 || s.hfr <= 0) return std::nullopt;
    s.peak = top - bg;
    s.snr = s.flux / (l.sigma * std::sqrt(static_cast<double>(pixels)));
    s.background = bg + img.state.addlev;
    s.aperture = r;
    // The level of a pixel at grey 255 in every frame, as the record holds it.
    const long ceiling = 255L * std::max(1, img.state.nadded) - img.state.addlev;
    s.saturated = top >= std::min<long>(ceiling, INT16_MAX);
    return s;
}

}  // namespace

FocusFigure measure_focus(const Image& img) {
    FocusFigure f;
    if (img.pixels.empty() || img.pixels.size() != static_cast<size_t>(img.width()) * img.height()) return f;
    const Pixels px = window_pixels(img);
    const Level l = window_level(px);
    f.background = l.median + img.state.addlev;
    f.noise = l.sigma;
    f.sharpness = window_sharpness(px, l.median);
    if (Peak p = brightest_peak(px, l); p.x >= 0) f.star = measure_star(img, px, l, p);
    return f;
}

}  // namespace kx29
