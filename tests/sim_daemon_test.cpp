// The daemon's field waits and captures running on the simulated board: what
// the board's timing must give the daemon's bounded polls.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "kx29.h"
#include "kx29_io.h"
#include "kx29_sim.h"

using namespace kx29sim;

namespace {

// A fresh board behind the daemon's port grants, input 0 selected.
void start(const char* options) {
    std::string error;
    ASSERT_TRUE(reset_board(options, &error)) << error;
    base_addr = DEFAULT_BASE;
    init_io();
}

}  // namespace

// wait_sync returns as an odd field begins and wait_switch(Odd) as it ends,
// 20 ms of board time later. A loaded host takes the CPU away and delays some
// of the detections, so only a few fields need to measure exactly 20 ms.
TEST(SimDaemon, FieldWaitsSeeEveryField) {
    start("");
    int exact = 0;
    for (int i = 0; i < 25; ++i) {
        ASSERT_GT(wait_sync(), 0) << i;
        const std::int64_t t0 = board_time_ns();
        ASSERT_GT(wait_switch(Odd), 0) << i;
        exact += std::abs(board_time_ns() - t0 - FIELD_NS) < 100'000;
    }
    EXPECT_GE(exact, 2);
}

// Captures end within the daemon's bounded busy polls; without video the
// field wait fails, with a stuck busy bit the busy polls.
TEST(SimDaemon, CapturesFitTheDaemonsPolls) {
    struct Case {
        const char* options;
        int result;
        long frames;
    };
    for (Case c : {Case{"", 0, 5}, Case{"busy", 2, 0}, Case{"novideo=0", 1, 0}}) {
        start(c.options);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(inputFrame29(), c.result) << c.options << " capture " << i;
        EXPECT_EQ(captures_completed(), c.frames) << c.options;
    }
}
