// Frame readout (window, CCD correction, sub-level, accumulation, saturation,
// statistics), hostile record geometry, and write-back, on the test board.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>
#include <tuple>

#include "board_fixture.h"

using namespace kx29test;

namespace {

constexpr short SENTINEL = 1234;

struct Readout : kx29t::BoardTest {
    TVchan* rec = nullptr;

    void SetUp() override { use_record(); }

    // A fresh board and record 0: image of sentinels, geometry and window as given.
    void use_record(int w = 1, int h = 1, int col0 = 0, int fw = 1, int lin0 = 0, int fh = 1) {
        BoardTest::SetUp();
        rec = tvch[0];
        std::fill(std::begin(rec->image), std::end(rec->image), SENTINEL);
        rec->img_width = w, rec->img_height = h;
        rec->frm_col0 = col0, rec->frm_width = fw, rec->frm_lin0 = lin0, rec->frm_height = fh;
    }

    // PORT_DATA reads between line strobes: one entry per PORT_NEXT_LINE.
    static std::vector<int> reads_per_line() {
        std::vector<int> lines;
        int n = 0;
        for (const auto& a : test_board().trace) {
            if (!a.write && a.port == test_board().at(PORT_DATA)) ++n;
            if (a.write && a.port == test_board().at(PORT_NEXT_LINE)) lines.push_back(n), n = 0;
        }
        EXPECT_EQ(n, 0) << "reads after the last line strobe";
        return lines;
    }
};

}  // namespace

TEST_F(Readout, CcdCorrectionRoundsTheColumnDeviationAndIgnoresBias) {
    // Columns deviate by d from a window mean of exactly 1000 (the d sum to -1,
    // which cancels the 1 the mean's sum starts from).
    const int d[] = {-384, -383, -128, -127, 128, 129, 384, 385, -5};
    const int correction[] = {2, 1, 1, 0, 0, -1, -1, -2, 0};
    for (const auto& [add, bias] : {std::pair{0, 0}, {0, INT_MIN}, {1, INT_MAX}}) {
        use_record(9, 2, 0, 9, 0, 2);
        rec->bias = bias;
        for (int j = 0; j < 9; ++j) {
            rec->flat[j] = 1000 + d[j];
            test_board().set_pixel(0, j, 100), test_board().set_pixel(1, j, 0);
        }
        read_frame(add, 20, 1);
        std::vector<int> got, want;
        for (int j = 0; j < 18; ++j)
            got.push_back(rec->image[j]), want.push_back((add ? SENTINEL : 0) + (j < 9 ? 100 : 0) - 20 + correction[j % 9]);
        EXPECT_EQ(got, want) << "add " << add << ", bias " << bias;
    }
    // Two columns 127 and 385: mean (1 + 512 + 1) / 2 = 257, so the second
    // column deviates by 128 (no correction), not by 129. A flat entry of 0
    // counts as 1: columns 0 and 259 have the mean (1 + 260 + 1) / 2 = 131.
    for (auto [f1, f2] : {std::pair{127, 385}, {0, 259}}) {
        use_record(4, 1, 1, 2, 0, 1);
        rec->flat[1] = f1, rec->flat[2] = f2;
        for (int j = 0; j < 4; ++j) test_board().set_pixel(0, j, 50);
        read_frame(0, 0, 1);
        EXPECT_EQ(std::make_pair(rec->image[1], rec->image[2]), std::make_pair(short{51}, short{50})) << f1;
    }
}

TEST_F(Readout, SubLevelAndAccumulationSaturateAt16Bits) {
    const struct { int add, lev0; short old; unsigned char c; short stored; } cases[] = {
        {0, 20, 0, 50, 30},      {0, -40000, 0, 200, 32767}, {0, 40000, 0, 0, -32768},     {1, 20, 100, 50, 130},
        {1, 0, 32767, 1, 32767}, {1, 1, 32767, 0, 32766},    {1, 1000, -32000, 5, -32768},
        {1, -40000, -32768, 200, 7432},  // saturated only once the stored pixel is added
    };
    for (const auto& c : cases) {
        use_record();
        rec->image[0] = c.old;
        test_board().set_pixel(0, 0, c.c);
        read_frame(c.add, c.lev0, 0);
        EXPECT_EQ(rec->image[0], c.stored) << c.add << " " << c.lev0 << " " << c.old << " " << int(c.c);
    }
}

TEST_F(Readout, HistogramStatistics) {
    // counts: (value, how many), in line order
    const struct { const char* name; std::vector<std::pair<int, int>> counts; int hmax; double hmed, havr, hdisp; } cases[] = {
        {"five 10 and five 20", {{10, 5}, {20, 5}}, 10, 19.0, 15.0, 5.0},
        {"uniform", {{77, 128}}, 77, 76.5, 77.0, 0.0},
        {"5 and 95 % points trim the top outlier", {{0, 1}, {100, 18}, {255, 1}}, 100, 99.5, 1800.0 / 19,
         std::sqrt((std::pow(1800.0 / 19, 2) + 18 * std::pow(100 - 1800.0 / 19, 2)) / 19)},
        {"5 % point trims the bottom outlier", {{0, 1}, {50, 1}, {100, 37}, {255, 1}}, 100, 99 + 18.0 / 37,
         3750.0 / 38, std::sqrt((std::pow(50 - 3750.0 / 38, 2) + 37 * std::pow(100 - 3750.0 / 38, 2)) / 38)},
        {"95 % point at black trims the bright pixels", {{0, 38}, {255, 2}}, 0, -1 + 20.0 / 38, 0.0, 0.0},
        {"three pixels: 5 % point falls back to the lowest", {{10, 1}, {20, 1}, {30, 1}}, 10, 19.0, 20.0,
         std::sqrt(200.0 / 3)},
        {"two equal bins: the lower is the mode", {{0, 5}, {1, 5}}, 0, 0.0, 0.5, 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int> px;
        for (auto [v, count] : c.counts) px.insert(px.end(), count, v);
        const int n = static_cast<int>(px.size());
        use_record(n, 1, 0, n, 0, 1);
        for (int k = 0; k < n; ++k) test_board().set_pixel(0, k, static_cast<unsigned char>(px[k]));
        hmed = havr = hdisp = 123.0, hmax = 123;  // left from an earlier readout
        read_frame(0, 0, 0);
        EXPECT_EQ(hmax, c.hmax);
        for (auto [got, want] : {std::pair{hmed, c.hmed}, {havr, c.havr}, {hdisp, c.hdisp}}) EXPECT_NEAR(got, want, 1e-9);
    }
}

// Whatever geometry a client writes, readout and write-back stay inside the
// record: the image size is limited to the record, the window is clamped into
// the image, and an empty window becomes one pixel. Lines above and below the
// window are strobed unread, a window line is read up to the window's right
// edge, and every pixel read is counted in the histogram.
TEST_F(Readout, HostileGeometryStaysInsideTheRecord) {
    // je, ie, j0, jn, i0, in: the geometry and window used
    const struct { const char* name; int w, h, col0, fw, lin0, fh, je, ie, j0, jn, i0, in; } cases[] = {
        {"valid", 16, 8, 4, 5, 2, 3, 16, 8, 4, 9, 2, 5},
        {"negative offsets", 16, 8, -3, 6, -2, 4, 16, 8, 0, 3, 0, 2},
        {"beyond right and bottom", 16, 8, 12, 10, 6, 10, 16, 8, 12, 16, 6, 8},
        {"entirely outside", 16, 8, 20, 4, 100, 3, 16, 8, 15, 16, 7, 8},
        {"zero sizes", 16, 8, 3, 0, 2, 0, 16, 8, 3, 4, 2, 3},
        {"huge sizes", 16, 8, 5, INT_MAX, 1, INT_MAX, 16, 8, 5, 16, 1, 8},
        {"INT_MAX offsets", 16, 8, INT_MAX, INT_MAX, INT_MAX, INT_MAX, 16, 8, 15, 16, 7, 8},
        {"INT_MIN offsets", 16, 8, INT_MIN, INT_MAX, INT_MIN, INT_MAX, 16, 8, 0, 1, 0, 1},
        {"image beyond the record", INT_MAX, INT_MAX, 0, INT_MAX, 0, INT_MAX, 768, 576, 0, 768, 0, 576},
        {"too many lines for the width", 100, 10000, 90, 20, 4400, 100, 100, 4423, 90, 100, 4400, 4423},
        {"negative image", -5, INT_MIN, 2, 3, 4, 5, 1, 1, 0, 1, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        use_record(c.w, c.h, c.col0, c.fw, c.lin0, c.fh);
        for (int l = 0; l < TestBoard::LINES; ++l)
            for (int k = 0; k < 768; ++k) test_board().set_pixel(l, k, (l * 7 + k * 3) & 255);
        read_frame(0, 0, 1);  // with CCD every flat entry used is raised from 0 to 1

        std::vector<int> expected_reads(c.ie, 0);
        for (int i = c.i0; i < c.in; ++i) expected_reads[i] = c.jn;
        EXPECT_EQ(reads_per_line(), expected_reads);
        EXPECT_EQ(std::accumulate(hist, hist + 256, 0), (c.in - c.i0) * c.jn);
        int wrong = 0, lo = 255, hi = 0;  // imin and imax cover the window only
        for (int k = 0; k < KX29_IMAGE_PIXELS; ++k) {
            const int i = k / c.je, j = k % c.je;
            const bool in = i >= c.i0 && i < c.in && j >= c.j0 && j < c.jn;
            const int want = in ? test_board().pixel(i % TestBoard::LINES, j) : SENTINEL;
            if (in) lo = std::min(lo, want), hi = std::max(hi, want);
            wrong += rec->image[k] != want;
        }
        EXPECT_EQ(std::tie(wrong, imin, imax), std::make_tuple(0, lo, hi));
        int flat_wrong = 0;
        for (int j = 0; j < KX29_MAX_COLS; ++j) flat_wrong += rec->flat[j] != (j >= c.j0 && j < c.jn);
        EXPECT_EQ(flat_wrong, 0) << "flat entries of the window raised to 1, no others";
        const auto& t = test_board().trace;  // live video again only after a field change
        EXPECT_TRUE(t[1].write && t[1].port == test_board().at(PORT_ADDR_RESET));
        EXPECT_TRUE(!t[t.size() - 2].write && t[t.size() - 2].port == test_board().at(PORT_STATUS));

        write_image();  // the host owns the memory during readout and write-back
        EXPECT_EQ(test_board().values_written(PORT_CONTROL), (std::vector<unsigned char>{0, 2, 0, 2}));
        EXPECT_EQ(test_board().writes_to(PORT_DATA), static_cast<long>(c.je) * c.ie);
        EXPECT_EQ(test_board().writes_to(PORT_NEXT_LINE), 2 * c.ie);
    }
}

TEST_F(Readout, WriteBackSendsTheLowByteOfEveryPixel) {
    use_record(3, 2, 1, 1, 1, 1);
    const short px[] = {300, -1, 0, 255, 256, -32768};
    std::copy(px, px + 6, rec->image);
    write_image();
    EXPECT_EQ(test_board().values_written(PORT_DATA), (std::vector<unsigned char>{44, 255, 0, 255, 0, 0}));
}
