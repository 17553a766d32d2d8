// Field waits on a scripted status port, and the fractional-second sleep.
#include "kx29.h"
#include "kx29_io.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/time.h>

using namespace kx29test;

namespace {

void use_board(StatusScript script) {
    reset_test_board();
    base_port_29 = test_board().base;
    test_board().status = std::move(script);
}

// Values the status port answered, in order.
std::vector<unsigned char> status_answers() {
    std::vector<unsigned char> v;
    for (const auto& a : test_board().trace)
        if (!a.write && a.port == test_board().base + PORT_STATUS) v.push_back(a.value);
    return v;
}

double seconds_taken(double dt) {
    const auto t0 = std::chrono::steady_clock::now();
    mydelay(dt);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

TEST(FieldWait, ResultAndReadsPerScript) {
    const unsigned char other_bits = 0xFF & ~STATUS_FIELD;
    struct Case {
        const char* name;
        StatusScript script;
        int arg;
        int result;
        long reads;
    } cases[] = {
        {"no video, field 0, Odd", stuck(0), Odd, 0, 39999},
        {"no video, field 2, Even", stuck(STATUS_FIELD), Even, 0, 39999},
        {"other status bits do not count", stuck(other_bits), Odd, 0, 39999},
        {"field 2 already, Odd", stuck(STATUS_FIELD), Odd, 39999, 1},
        {"field 0 already, Even", stuck(0), Even, 39999, 1},
        {"no video, Next: reference read plus budget", stuck(0), Next, 0, 40000},
        {"toggling, Next returns at the first change", toggling(50), Next, 39950, 51},
        {"argument 7 never equals the field bit", stuck(0), 7, 39999, 1},
        {"argument -1 never equals the field bit", stuck(STATUS_FIELD), -1, 39999, 1},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        use_board(c.script);
        EXPECT_EQ(wait_switch(c.arg), c.result);
        EXPECT_EQ(test_board().reads_of(test_board().base + PORT_STATUS), c.reads);
        EXPECT_EQ(test_board().trace.size(), static_cast<size_t>(c.reads));  // nothing else touched
    }
}

TEST(FieldWait, SyncReturnsAtTheStartOfAnOddField) {
    struct Case {
        const char* name;
        StatusScript script;
        int result;
        long reads;
    } cases[] = {
        {"no video at 0: the second wait is not made", stuck(0), 0, 39999},
        {"no video at 2: the second wait runs out", stuck(STATUS_FIELD), 0, 40000},
        {"called in an odd field", toggling(50), 39950, 101},
        {"called in an even field", [](long n) -> unsigned char { return n < 5 ? STATUS_FIELD : 0; }, 39995, 6},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        use_board(c.script);
        EXPECT_EQ(wait_sync(), c.result);
        const auto answers = status_answers();
        ASSERT_EQ(static_cast<long>(answers.size()), c.reads);
        if (c.result > 0) {  // the last two reads saw the field bit go from 2 to 0
            EXPECT_EQ(answers[answers.size() - 2], STATUS_FIELD);
            EXPECT_EQ(answers.back(), 0);
        }
    }
}

TEST(Sleep, ShortAndNegativeDelaysSleepTheFloor) {
    for (double dt : {0.0, 0.005, 0.0099, -0.5, -1.0, -7.5}) {
        SCOPED_TRACE(dt);
        testing::internal::CaptureStderr();
        const double t = seconds_taken(dt);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_GE(t, 0.010);
        EXPECT_LT(t, 0.25);
    }
    const double t = seconds_taken(0.5);
    EXPECT_GE(t, 0.5);
    EXPECT_LT(t, 0.75);
}

TEST(Sleep, WholeSecondsHaveNoMicrosecondPart) {
    for (double dt : {1.0, 2.0}) {
        const double t = seconds_taken(dt);
        EXPECT_GE(t, dt);
        EXPECT_LT(t, dt + 0.25);
    }
}

namespace {
volatile sig_atomic_t alarms = 0;
void count_alarm(int) { alarms = alarms + 1; }
}  // namespace

TEST(Sleep, SignalsDoNotShortenTheSleep) {
    struct sigaction sa {};
    sa.sa_handler = count_alarm;  // no SA_RESTART: select() fails with EINTR
    ASSERT_EQ(sigaction(SIGALRM, &sa, nullptr), 0);
    itimerval every_60ms{{0, 60000}, {0, 60000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_60ms, nullptr), 0);
    testing::internal::CaptureStderr();
    const double t = seconds_taken(0.4);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_GE(alarms, 3);
    EXPECT_GE(t, 0.4);
    EXPECT_LT(t, 0.65);
}
