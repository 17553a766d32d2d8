// Field waits on a scripted status port, and the fractional-second sleep.
#include "kx29.h"
#include "kx29_io.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/time.h>

using namespace kx29test;

namespace {

double seconds_taken(double dt) {
    const auto t0 = std::chrono::steady_clock::now();
    mydelay(dt);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

volatile sig_atomic_t alarms = 0;

}  // namespace

// A wait polls the status port and nothing else; `sync` cases call wait_sync().
TEST(FieldWait, ResultAndStatusReads) {
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
        reset_test_board();
        base_port_29 = test_board().base;
        test_board().status = c.script;
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
