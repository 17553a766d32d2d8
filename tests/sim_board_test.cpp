// The simulated board seen through its ports, as the daemon sees it: frame
// memory addressing, bus time, option errors, the i386 grant rule, the
// camera's serial line and long exposures, a sum of oracle frames decoded, and
// the video timing as the daemon's field waits see it. The injected board faults are seen end to end
// in the reliability campaign; the FPGA load protocol in the port trace on the
// test board. Also the kx29-mkspe tool: images of the asked size and
// checksum, refusals of what cannot be made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "kx29.h"
#include "kx29_io.h"
#include "kx29_sim.h"
#include "kx29_oracle.h"

using namespace kx29sim;

namespace {

constexpr unsigned short BASE = DEFAULT_BASE;

unsigned short at(int offset) { return static_cast<unsigned short>(BASE + offset); }

// A fresh board with its window granted, as the daemon's start-up leaves it.
void power_up(const char* options) {
    std::string error;
    ASSERT_TRUE(reset_board(options, &error)) << error;
    ASSERT_EQ(kx29_ioperm(BASE, PORT_WINDOW, 1), 0);
}

void select_input(int input) {
    outp(at(PORT_IREG_SELECT), 0);
    outp(at(PORT_IREG_DATA), static_cast<unsigned char>(input << 4));
}

// Grabs a frame, stepping the board's clock over it.
void grab() {
    outp(at(PORT_CONTROL), 1);
    advance_board_time(FRAME_NS);
    outp(at(PORT_CONTROL), 0);
}

// Grabs a frame; its mean.
double capture_mean() {
    grab();
    double sum = 0;
    for (int l = 0; l < FRAME_LINES; ++l)
        for (int c = 0; c < FRAME_COLS; ++c) sum += mem_pixel(l, c);
    return sum / (FRAME_LINES * FRAME_COLS);
}

// One camera word, LSB first; the data line flips while the clock is high,
// which a camera latching on the rising edge ignores.
void camera_word(unsigned char word) {
    for (int bit = 0; bit < 8; ++bit) {
        const int b = (word >> bit) & 1;
        for (int v : {b, b | 2, (b ^ 1) | 2, b ^ 1}) outp(at(PORT_CAMERA_SERIAL), static_cast<unsigned char>(v));
    }
}

// Runs the tool; its exit status.
int mkspe(const std::string& args) {
    const std::string cmd = std::string(KX29_BIN_DIR) + "/kx29-mkspe " + args + " 2>/dev/null";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(SimBoard, FrameMemoryAddressingFollowsTheLineStrobes) {
    power_up("");
    // Line 0 written two pixels past its end, into line 1; the strobe still
    // goes to line 1, the one after the line last started. Then three pixels
    // of line 2 and one after ten skipped lines.
    outp(at(PORT_ADDR_RESET), 0);
    for (int i = 1; i <= 1026; ++i) outp(at(PORT_DATA), static_cast<unsigned char>(i));
    outp(at(PORT_NEXT_LINE), 0);
    outp(at(PORT_NEXT_LINE), 0);
    for (unsigned char v = 21; v <= 23; ++v) outp(at(PORT_DATA), v);
    for (int i = 0; i < 10; ++i) outp(at(PORT_NEXT_LINE), 0);
    outp(at(PORT_DATA), 99);
    // Line, column, value.
    const int pixels[][3] = {{0, 0, 1}, {1, 0, 1}, {1, 1, 2}, {1, 2, 0}, {2, 0, 21}, {2, 3, 0}, {12, 0, 99}};
    for (const auto& p : pixels) EXPECT_EQ(mem_pixel(p[0], p[1]), p[2]) << p[0] << "," << p[1];
    // Read back: two pixels of line 0, then two strobes land on line 2.
    outp(at(PORT_ADDR_RESET), 0);
    EXPECT_TRUE(inp(at(PORT_DATA)) == 1 && inp(at(PORT_DATA)) == 2);
    outp(at(PORT_NEXT_LINE), 0);
    outp(at(PORT_NEXT_LINE), 0);
    EXPECT_EQ(inp(at(PORT_DATA)), 21);
}

// A capture holds the busy bit for a whole frame of board time, then ends.
TEST(SimBoard, CaptureHoldsTheBusyBitForAFrame) {
    power_up("");
    const std::int64_t start = board_time_ns();
    outp(at(PORT_CONTROL), 1);
    for (int n = 0; n < 100000 && (inp(at(PORT_STATUS)) & STATUS_BUSY); ++n) {
    }
    EXPECT_GE(board_time_ns() - start, FRAME_NS);
    EXPECT_EQ(captures_completed(), 1);
}

// Status polls as the daemon's field waits make them. By default each adds
// 1 us of board time at no cost in wall time, so tests run fast; in real time
// each takes its 1 us of wall time, and board time never runs ahead.
TEST(SimBoard, RealtimeAccessesTakeTheirBusTime) {
    constexpr int POLLS = 20000;  // 20 ms of bus time
    // The board's clock is CLOCK_MONOTONIC, as steady_clock is.
    auto wall_ns = [] { return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1); };
    for (const bool realtime : {false, true}) {
        SCOPED_TRACE(realtime ? "realtime" : "default");
        const std::int64_t t0 = wall_ns();  // before power-on
        power_up(realtime ? "realtime" : "");
        std::int64_t most_ahead = INT64_MIN;
        for (int i = 0; i < POLLS; ++i) {
            inp(at(PORT_STATUS));
            most_ahead = std::max(most_ahead, board_time_ns() - (wall_ns() - t0));
        }
        EXPECT_EQ(most_ahead > 0, !realtime) << "board time at most " << most_ahead << " ns ahead of wall time";
        EXPECT_TRUE(!realtime || wall_ns() - t0 >= POLLS * ACCESS_NS) << "polls took less than their bus time";
    }
}

// A bad item is named in a one-line message that tells an unknown name from
// a bad value of a known one; through KX29_SIM it ends the
// process with status 1 at the board's first use.
TEST(SimBoardDeathTest, OptionErrors) {
    Options o;
    for (const char* bad : {"bogus", "novideo=4", "novideo=", "novideo=1+", "seed=x", "seed=-1", "base=0xffe1",
                            "busy=1", "oracle=1", "camera", "camera=4", "noise=-1", "covered=4", "flatpanel",
                            "gain=0", "fwhm=0.1", "hot=-1", "stars=x", "vignetting=1"}) {
        std::string error;
        EXPECT_FALSE(parse_options(bad, &o, &error)) << bad;
        const std::string kind = std::string(bad) == "bogus" ? "unknown option '" : "bad value in option '";
        EXPECT_NE(error.find(kind + bad + "'"), std::string::npos) << error;
    }
    EXPECT_EXIT(
        {
            setenv("KX29_SIM", "seed=1,bogus", 1);
            kx29_getuid();
        },
        testing::ExitedWithCode(1), "KX29_SIM: unknown option 'bogus' \\(options: ");
}

// Ports below 0x400 are granted, a range reaching beyond is refused; a port
// without a grant faults on its first access, the data port included. A user
// other than root gets no grant at all.
TEST(SimBoardDeathTest, PortsFollowTheI386GrantRule) {
    ASSERT_TRUE(reset_board("notroot"));
    errno = 0;
    EXPECT_TRUE(kx29_getuid() != 0 && kx29_geteuid() != 0 && kx29_ioperm(BASE, PORT_WINDOW, 1) == -1 && errno == EPERM);
    ASSERT_TRUE(reset_board("base=0x3f0"));
    errno = 0;
    EXPECT_TRUE(kx29_ioperm(0x400, 1, 1) == -1 && errno == EINVAL);
    EXPECT_EQ(kx29_ioperm(0x3F0, PORT_WINDOW, 1), -1);
    for (unsigned short p = 0x3F0; p < 0x400; ++p) ASSERT_EQ(kx29_ioperm(p, 1, 1), 0);
    EXPECT_EQ(inp(0x3F0 + PORT_STATUS) & ~(STATUS_FIELD | STATUS_BUSY), 0);  // granted: no fault
    ASSERT_EQ(kx29_ioperm(0x3F0, 1, 0), 0);
    using Access = std::pair<unsigned short, bool>;  // port, written
    for (auto [port, write] : {Access{0x3F0 + PORT_XIL_DIN, true}, {0x300, false}, {PORT_IO_DELAY, true}, {0x3F0, false}})
        EXPECT_EXIT(
            {
                signal(SIGSEGV, SIG_DFL);
                if (write) outp(port, 0);
                else inp(port);
            },
            testing::KilledBySignal(SIGSEGV), "")
            << std::hex << port;
}

// The camera decodes its words and integrates light on its own input: longer
// is brighter, minutes of sky stay well below saturation; other inputs see
// normal video.
TEST(SimBoard, CameraWordsBrightenLongExposuresOnItsInputOnly) {
    power_up("still");
    camera_word(0x35);  // recorded and ignored
    EXPECT_EQ(camera().words, std::vector<unsigned char>{0x35});
    select_input(1);
    const double normal = capture_mean();
    std::vector<double> means;
    for (std::int64_t t : {FRAME_NS, 250 * FRAME_NS, 1500 * FRAME_NS, 7500 * FRAME_NS}) {
        camera_word(0xF4);
        camera_word(0xF6);
        advance_board_time(t);
        camera_word(0xF5);
        means.push_back(capture_mean());
        camera_word(0xF1);
    }
    EXPECT_NEAR(means[0], normal, 0.1);  // one frame period is a normal exposure
    for (std::size_t i = 1; i < means.size(); ++i) EXPECT_GT(means[i], means[i - 1] + 2);
    EXPECT_TRUE(means.back() > 120 && means.back() < 200) << means.back();
    EXPECT_NEAR(capture_mean(), normal, 0.1);

    select_input(0);
    const double bars = capture_mean();
    camera_word(0xF6);
    advance_board_time(50 * FRAME_NS);
    camera_word(0xF5);
    EXPECT_NEAR(capture_mean(), bars, 0.1);
}

// What calibration rests on, in frames the board grabs, against the cameras'
// own patterns: bias frames repeat their structure (columns differ by the
// pattern's rms) and their noise averages away as 1/sqrt(N), frames being
// independent; the mean of darks grows with the exposure at the dark current;
// flats divided by the flat field are uniform within their noise. The
// long-exposure camera is covered, input 0 looks at the flat panel.
TEST(SimCamera, CalibrationFramesFollowTheModel) {
    power_up("covered=1,flatpanel=0");
    const CameraModel& model = board_options().cameras;
    const double read2 = board_options().noise * board_options().noise + 1.0 / 12;  // with the rounding
    constexpr int N = FRAME_LINES * FRAME_COLS;
    // The mean of n frames less black, bias and the dark current of `seconds`.
    auto residual = [&](int input, int n, double seconds) {
        const CameraPatterns& cam = camera_patterns(input);
        std::vector<double> r(N, 0.0);
        for (int k = 0; k < n; ++k) {
            grab();
            for (int i = 0; i < N; ++i) r[i] += mem_pixel(i / FRAME_COLS, i % FRAME_COLS);
        }
        for (int i = 0; i < N; ++i) r[i] = r[i] / n - black_level() - cam.bias[i] - cam.dark[i] * seconds;
        return r;
    };
    auto mean_rms = [](const std::vector<double>& v) {
        double s = 0, s2 = 0;
        for (double x : v) s += x, s2 += x * x;
        return std::pair{s / v.size(), std::sqrt(s2 / v.size() - s * s / v.size() / v.size())};
    };

    // Column means: of the bias, of what is left of n bias frames.
    auto columns = [&](const std::vector<double>& v) {
        std::vector<double> c(FRAME_COLS);
        for (int i = 0; i < N; ++i) c[i % FRAME_COLS] += v[i] / FRAME_LINES;
        return mean_rms(c).second;
    };
    select_input(1);
    for (int n : {1, 4, 16}) {
        const std::vector<double> r = residual(1, n, FRAME_NS / 1e9);
        auto [mean, rms] = mean_rms(r);
        const double noise = std::sqrt(read2 / n);
        EXPECT_TRUE(std::abs(mean) < 0.02 && std::abs(rms / noise - 1) < 0.015 &&
                    std::abs(columns(r) / noise * std::sqrt(FRAME_LINES) - 1) < 0.15)
            << n << " frames: " << mean << ", " << rms << ", columns " << columns(r);
    }
    const CameraPatterns& bias = camera_patterns(1);
    EXPECT_NEAR(columns(std::vector<double>(bias.bias.begin(), bias.bias.end())), model.pattern, 0.1 * model.pattern);

    // Darks of 0 to 300 s: the mean of the pixels that are not hot rises at the dark current.
    for (std::int64_t seconds : {0, 60, 150, 300}) {
        camera_word(0xF4);
        camera_word(0xF6);
        advance_board_time(seconds * 1'000'000'000);
        camera_word(0xF5);
        const std::vector<double> r = residual(1, 1, 0.0);
        camera_word(0xF1);
        double sum = 0;
        int pixels = 0;
        for (int i = 0; i < N; ++i)
            if (camera_patterns(1).dark[i] == static_cast<float>(model.dark)) sum += r[i], ++pixels;
        EXPECT_NEAR(sum / pixels, model.dark * camera().integrated_ns / 1e9, 0.02) << seconds << " s";
    }

    // 16 flats: the panel's light through the flat field, 100 grey levels at
    // the centre in one frame; the raw flat is far from uniform.
    select_input(0);
    const std::vector<double> flat = residual(0, 16, FRAME_NS / 1e9);
    std::vector<double> ratio(N);
    double expected2 = 0;  // the ratio's variance from the noise
    for (int i = 0; i < N; ++i) {
        const double light = 100.0 * camera_patterns(0).flat[i];
        ratio[i] = flat[i] / light;
        expected2 += (read2 + light / model.gain) / (16 * light * light * N);
    }
    auto [level, spread] = mean_rms(ratio);
    EXPECT_TRUE(std::abs(level - 1) < 0.002 && std::abs(spread / std::sqrt(expected2) - 1) < 0.05)
        << level << ", " << spread << " for " << std::sqrt(expected2);
    auto [raw, raw_spread] = mean_rms(flat);
    EXPECT_GT(raw_spread / raw, 3 * spread);
}

// With `oracle` a frame names its input and its number among that input's
// frames. Summed as the daemon sums them (later frames less a sub-level),
// frames 2..4 of input 2 decode as such, and a line holding a frame more
// shows.
TEST(SimBoard, OracleSumsNameTheirFrames) {
    power_up("oracle");
    grab();  // input 0's first frame
    select_input(2);
    grab();
    std::vector<std::int16_t> image(FRAME_LINES * FRAME_COLS);
    auto add_frame_lines = [&](int lev, int from, int to) {
        grab();
        for (int l = from; l < to; ++l)
            for (int c = 0; c < FRAME_COLS; ++c) image[l * FRAME_COLS + c] += mem_pixel(l, c) - lev;
    };
    int addlev = 0;
    for (int lev : {0, 57, 61}) {
        add_frame_lines(lev, 0, FRAME_LINES);
        addlev += lev;
    }
    const kx29sim::OracleImage sum = kx29sim::decode_oracle(image.data(), FRAME_COLS, FRAME_LINES, 0, addlev);
    EXPECT_TRUE(sum.ok && sum.frames == 3 && sum.input == 2 && sum.first == 2 && sum.last == 4) << sum.problem;
    add_frame_lines(0, 300, 301);
    EXPECT_EQ(kx29sim::decode_oracle(image.data(), FRAME_COLS, FRAME_LINES, 0, addlev).problem,
              "line 300 column 0 holds 4 frames, line 0 holds 3");
}

// wait_sync returns as an odd field begins and wait_switch(Odd) as it ends,
// 20 ms of board time later. A loaded host takes the CPU away and delays some
// of the detections, so only a few fields need to measure exactly 20 ms.
// (Captures within the daemon's polls are seen end to end.)
TEST(SimDaemon, FieldWaitsSeeEveryField) {
    power_up("");
    base_addr = DEFAULT_BASE;
    init_io();
    int exact = 0;
    for (int i = 0; i < 25; ++i) {
        ASSERT_GT(wait_sync(), 0) << i;
        const std::int64_t t0 = board_time_ns();
        ASSERT_GT(wait_switch(Odd), 0) << i;
        exact += std::abs(board_time_ns() - t0 - FIELD_NS) < 100'000;
    }
    EXPECT_GE(exact, 2);
}

// Made: a file of SIZE bytes whose signed sum is SUM. Sums one past what the
// bytes can reach, sizes out of range and bad arguments: status 2, no file.
TEST(SimMkspe, MakesTheAskedChecksumOrRefuses) {
    char dir[] = "/tmp/kx29-mkspe-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string x = std::string(dir) + "/x";
    using Case = std::pair<const char*, int>;  // arguments, status
    for (auto [args, status] : {Case{"3854 7302", 0}, {"3854 10593", 0}, {"0 0", 0}, {"1 -128", 0}, {"3 294", 0},
                                {"4096 520192", 0}, {"4096 -524288", 0}, {"3854 489459", 2}, {"3854 -493313", 2},
                                {"0 1", 2}, {"4097 0", 2}, {"-1 0", 2}, {"12x 0", 2}, {"10", 2}, {"10 5 7", 2}}) {
        EXPECT_EQ(mkspe(x + " " + args), status) << args;
        long size = -1, sum = 0;
        if (status != 0 || std::sscanf(args, "%ld %ld", &size, &sum) != 2) {
            EXPECT_FALSE(std::filesystem::exists(x)) << args;
            continue;
        }
        std::ifstream in(x, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::filesystem::remove(x);
        for (char b : bytes) sum -= static_cast<signed char>(b);
        EXPECT_EQ(std::make_pair(static_cast<long>(bytes.size()), sum), std::make_pair(size, 0L)) << args;
    }
    EXPECT_EQ(mkspe(std::string(dir) + "/no/x 10 0"), 1);  // a file that cannot be written
    std::filesystem::remove_all(dir);
}
