// Field waits, the fractional-second sleep, frame capture, and the
// long-exposure camera's serial protocol and countdown on the scripted test
// board.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <sys/time.h>
#include <utility>

#include "board_fixture.h"

using namespace kx29test;

namespace {

std::vector<std::string> posted;  // messages posted while the board was polled

// Four records, channel 1 current; the board answers with `script`.
struct Capture : kx29t::BoardTest {
    void use_board(StatusScript script) {
        BoardTest::SetUp();
        curch = tvch[1];
        posted.clear();
        test_board().status = [script](long n) {
            if (tvch[0]->seqmsg != static_cast<int>(posted.size())) posted.emplace_back(tvch[0]->msg);
            return script(n);
        };
    }
};

std::vector<unsigned char> camera_writes() { return test_board().values_written(PORT_CAMERA_SERIAL); }

// The camera line for `words`: each bit LSB first as data, data with clock
// (bit 1), data; after each word the line idles at 0.
std::vector<unsigned char> camera_line(const std::vector<int>& words) {
    std::vector<unsigned char> v;
    for (int w : words) {
        for (int bit = 0; bit < 8; ++bit) {
            const auto b = static_cast<unsigned char>((w >> bit) & 1);
            v.insert(v.end(), {b, static_cast<unsigned char>(b | 2), b});
        }
        v.push_back(0);
    }
    return v;
}

// The trace in short: W where a camera word starts, | at a frame boundary the
// status port showed (field bit 2 -> 0), the digit of each control write.
std::string events() {
    std::string s;
    int prev = 0;
    long cam = 0;
    for (const auto& a : test_board().trace) {
        const int field = a.value & STATUS_FIELD;
        if (!a.write && a.port == test_board().at(PORT_STATUS) && std::exchange(prev, field) && !field) s += '|';
        if (a.write && a.port == test_board().at(PORT_CAMERA_SERIAL) && cam++ % 25 == 0) s += 'W';
        if (a.write && a.port == test_board().at(PORT_CONTROL)) s += static_cast<char>('0' + a.value);
    }
    return s;
}

// Video for the first `reads` status reads (field bit flipping on every read), then none.
StatusScript video_for(long reads) {
    return [reads](long n) -> unsigned char { return n < reads && (n & 1) ? STATUS_FIELD : 0; };
}

double seconds_taken(double dt) {
    const auto t0 = std::chrono::steady_clock::now();
    mydelay(dt);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

volatile sig_atomic_t alarms = 0;

}  // namespace

TEST_F(Capture, CameraWordGoesOutLsbFirstWithItsClock) {
    use_board(stuck(0));
    setTamdem(0, 1, 1);  // word 0xF6
    EXPECT_EQ(camera_writes(), (std::vector<unsigned char>{0, 2, 0, 1, 3, 1, 1, 3, 1, 0, 2, 0, 1, 3, 1,
                                                           1, 3, 1, 1, 3, 1, 1, 3, 1, 0}));
    EXPECT_EQ(test_board().trace.size(), 25u);  // nothing else
}

TEST_F(Capture, ResultControlAndStatusReads) {
    // Field changes after the first read; the busy bit (8) clears after a few polls.
    auto busy_then_done = [](long n) -> unsigned char { return n == 0 ? 0 : n <= 5 ? 10 : n <= 8 ? 2 : 0; };
    struct Case { const char* name; StatusScript script; int result; std::string events; long reads; } cases[] = {
        {"no video: the board is not touched", stuck(0), 1, "", 40000},
        {"captured", busy_then_done, 0, "3|0", 10},
        {"busy never clears", [](long n) -> unsigned char { return n ? 10 : 0; }, 2, "3", 2 + 39999},
        {"final field change missing", [](long n) -> unsigned char { return n ? 2 : 0; }, 0, "30", 3 + 40000},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        use_board(c.script);
        EXPECT_EQ(inputFrame29(), c.result);
        EXPECT_EQ(events(), c.events);
        EXPECT_EQ(test_board().reads_of(PORT_STATUS), c.reads);
    }
}

// One countdown step per frame boundary while CMD_ACQUIRE stays set, the time
// left posted after each whole second; the camera is back to normal video and
// the result posted to every record whatever happened.
TEST_F(Capture, LongExposureCountdownGrabAndResultPerPath) {
    const std::string steps25(25, '|');
    struct Case {
        const char* name; StatusScript script; int command; double sec; int result; std::string events;
        std::vector<int> words; std::vector<std::string> posted;
    } cases[] = {
        {"one second: 25 steps", toggling(1), CMD_ACQUIRE | CMD_CCD, 1.0, 0, "W|W" + steps25 + "W3|0W",
         {0xF4, 0xF6, 0xF5, 0xF1}, {"Tandem Exposure: 1.0", "Tandem Exposure: 0.0"}},
        {"no video", stuck(0), CMD_ACQUIRE, 1.0, 1, "WW", {0xF4, 0xF1}, {}},
        {"frame boundary lost in the countdown", video_for(11), CMD_ACQUIRE, 1.0, 1, "W|W||||W", {0xF4, 0xF6, 0xF1},
         {"Tandem Exposure: 1.0"}},
        {"frame boundary lost in the grab", video_for(3), CMD_ACQUIRE, 0.0, 1, "W|WW3W", {0xF4, 0xF6, 0xF5, 0xF1}, {}},
        {"acquire not set: no countdown", toggling(1), 0, 10.0, 0, "W|WW3|0W", {0xF4, 0xF6, 0xF5, 0xF1}, {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        use_board(c.script);
        curch->command = c.command;
        EXPECT_EQ(inputFrameTandem(c.sec), c.result);
        EXPECT_EQ(events(), c.events);
        EXPECT_EQ(camera_writes(), camera_line(c.words));
        EXPECT_EQ(posted, c.posted);
        const std::string result = c.result ? "Tandem Exposure: FAIL" : "Tandem Exposure: Ok";
        for (auto* ch : tvch)
            EXPECT_EQ(std::make_pair(std::string(ch->msg), ch->seqmsg), std::make_pair(result, int(c.posted.size()) + 1));
    }
}

// A wait polls the status port and nothing else; `sync` cases call wait_sync().
TEST_F(Capture, FieldWaitResultAndStatusReads) {
    struct Case { const char* name; StatusScript script; bool sync; int arg, result; long reads; } cases[] = {
        {"no video at 0, Odd", stuck(0), false, Odd, 0, 39999},
        {"other status bits do not count", stuck(0xFF & ~STATUS_FIELD), false, Odd, 0, 39999},
        {"field 2 already, Odd", stuck(STATUS_FIELD), false, Odd, 39999, 1},
        {"no video, Next: reference read plus budget", stuck(0), false, Next, 0, 40000},
        {"toggling, Next returns at the first change", toggling(50), false, Next, 39950, 51},
        {"argument 7 never equals the field bit", stuck(0), false, 7, 39999, 1},
        {"sync, no video at 0: the second wait is not made", stuck(0), true, 0, 0, 39999},
        {"sync, no video at 2: the second wait runs out", stuck(STATUS_FIELD), true, 0, 0, 40000},
        {"sync called in an odd field", toggling(50), true, 0, 39950, 101},
        {"sync called in an even field", [](long n) -> unsigned char { return n < 5 ? STATUS_FIELD : 0; },
         true, 0, 39995, 6},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        use_board(c.script);
        EXPECT_EQ(c.sync ? wait_sync() : wait_switch(c.arg), c.result);
        EXPECT_EQ(test_board().reads_of(PORT_STATUS), c.reads);
        EXPECT_EQ(test_board().trace.size(), static_cast<size_t>(c.reads));
    }
}

// Below 10 ms (and at -1 s or less, which select() would refuse) the sleep is
// 10 ms; whole seconds must not leave a full second in the microsecond part.
// A refused or broken-off select() would end the sleep early.
TEST(Sleep, FloorFractionsAndWholeSeconds) {
    struct Case { double dt, at_least; } cases[] = {{0.0, 0.01}, {0.005, 0.01}, {-0.5, 0.01}, {-1.0, 0.01}, {-7.5, 0.01}, {0.5, 0.5}, {1.0, 1.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dt);
        const double t = seconds_taken(c.dt);
        EXPECT_GE(t, c.at_least);
        EXPECT_LT(t, c.at_least + 0.25);
    }
}

TEST(Sleep, SignalsDoNotShortenTheSleep) {
    struct sigaction sa {};
    sa.sa_handler = [](int) { alarms = alarms + 1; };  // no SA_RESTART: select() fails with EINTR
    ASSERT_EQ(sigaction(SIGALRM, &sa, nullptr), 0);
    itimerval every_60ms{{0, 60000}, {0, 60000}}, off{};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_60ms, nullptr), 0);
    const double t = seconds_taken(0.4);
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_GE(alarms, 3);
    EXPECT_GE(t, 0.4);
    EXPECT_LT(t, 0.65);
}
