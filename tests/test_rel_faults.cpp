// Board faults on the simulated board: a channel without video, the capture
// busy bit stuck, no board at the configured address. The daemon reports each
// with its message, ends every request within a bounded time, and keeps
// serving whatever still works.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <random>
#include <unistd.h>

#include "rel_support.h"

namespace {

using kx29harness::Daemon;
using namespace kx29rel;

const char NO_VIDEO[] = "Can't read frame, no video!!!";
// A failing request ends in its first turn; allow for a pass of other
// channels' work (four full frames and a long exposure) before it.
constexpr double FAILURE_BOUND_S = 3.0;
const char* const STARTUP[] = {"Test of KX29 on-board memory FAILED!!!\n", "Maybe no board at BaseAddress = 0x300 ?\n",
                               "Warning! KX29 - no VIDEO?!\n"};

struct Fault {
    const char* sim;               // KX29_SIM
    bool restart;                  // look at the second start-up, which begins on the tandem record
    std::vector<int> startup;      // indices into STARTUP reported at start-up, in order
    double tandem_exposure;
    std::vector<int> failing;      // channels whose every request fails
    std::vector<int> healthy;      // channels that acquire in the same passes
    int rounds, soak_rounds;
    const char* posted;            // then in record 3 (a tandem failure posts to every record)
};

const Fault FAULTS[] = {
    {"novideo=2", false, {}, 0.3, {2}, {0, 1}, 4, 30, nullptr},
    {"novideo=1", true, {2}, 2.0, {1}, {0, 2}, 1, 5, "Tandem Exposure: FAIL"},
    // The long-exposure capture grabs in step with the field sync alone and
    // never looks at the busy bit: the tandem channel uses the normal capture here.
    {"busy", false, {}, 0.04, {0, 1, 2, 3}, {}, 1, 5, nullptr},
    {"noboard", false, {0, 1, 2}, 1.0, {0, 1, 2, 3}, {}, 1, 5, nullptr},
    {"base=0x340", false, {0, 1, 2}, 1.0, {0, 1, 2, 3}, {}, 1, 5, nullptr},  // a board jumpered elsewhere
};

void PrintTo(const Fault& f, std::ostream* os) { *os << f.sim; }

class BoardFaults : public testing::TestWithParam<Fault> {};

TEST_P(BoardFaults, RequestsEndInBoundedTimeAndTheRestWorks) {
    const Fault& f = GetParam();
    Daemon d(kx29harness::Options{f.sim, "", ""});
    ASSERT_TRUE(d.start()) << d.err();
    size_t from = 0;  // where the start-up to look at begins in stderr
    if (f.restart) {
        ASSERT_EQ(d.stop(SIGINT), SIGINT);
        from = d.err().size();
        ASSERT_TRUE(d.start()) << d.err();
    }
    ASSERT_TRUE(Daemon::wait_for(
        [&] { return f.startup.empty() || d.err().find(STARTUP[f.startup.back()], from) != std::string::npos; }, 5));
    usleep(300000);  // the board check is over
    const std::string err = d.err().substr(from);
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t found = err.find(STARTUP[i]);
        EXPECT_EQ(found != std::string::npos, std::count(f.startup.begin(), f.startup.end(), i) == 1)
            << STARTUP[i] << err;
        if (found == std::string::npos) continue;
        EXPECT_GE(found, at) << "out of order: " << err;
        at = found;
    }
    d.record(1)->exposure = f.tandem_exposure;
    std::mt19937 rng(2);
    const int rounds = soak() ? f.soak_rounds : f.rounds;
    int failed = 0, frames = 0;
    for (int round = 0; round < rounds && !testing::Test::HasFailure(); ++round) {
        for (int ch : f.failing) {
            for (int extra : {0, int{CMD_CCD}}) {
                const std::string what = "round " + std::to_string(round) + ", channel " + std::to_string(ch);
                int seqn[KX29_CHANNELS], wanted[KX29_CHANNELS];
                for (int h : f.healthy) {  // busy at the same time as the failing request
                    seqn[h] = d.record(h)->seqn;
                    wanted[h] = 1 + static_cast<int>(rng() % 3);
                    d.request(h, CMD_ACQUIRE | CMD_CLEAR, wanted[h], 1);
                }
                // A request that must fail: it ends with the failure message,
                // zeroes nadd and nexp, clears only its own bits and counts no frame.
                TVchan* r = d.record(ch);
                const int seqn_failing = r->seqn, seqmsg = r->seqmsg;
                const auto t0 = std::chrono::steady_clock::now();
                d.request(ch, CMD_ACQUIRE | CMD_CLEAR | extra, 2, 3);
                ASSERT_TRUE(d.wait_idle(ch, 10)) << what << ": request never ended";
                EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), FAILURE_BOUND_S) << what;
                // A long exposure on the tandem channel may post its progress over the message.
                EXPECT_TRUE(strcmp(r->msg, NO_VIDEO) == 0 || (ch != 1 && strncmp(r->msg, "Tandem Exposure: ", 17) == 0))
                    << what << ": " << r->msg << "\n" << tail(d.out());
                EXPECT_TRUE(r->nadd == 0 && r->nexp == 0) << what << ": nadd " << r->nadd << ", nexp " << r->nexp;
                EXPECT_EQ(cmd_read(r), extra) << what << ": bits other than acquire and clear lost";
                EXPECT_EQ(r->seqn, seqn_failing) << what << ": a failed capture counted a frame";
                EXPECT_NE(r->seqmsg, seqmsg) << what;
                ++failed;
                for (int h : f.healthy) {
                    ASSERT_TRUE(d.wait_idle(h, 20)) << what << ": healthy channel " << h << " stalled";
                    EXPECT_EQ(d.record(h)->seqn - seqn[h], wanted[h]) << what << ": frames lost on " << h;
                    frames += wanted[h];
                }
            }
        }
    }
    EXPECT_TRUE(f.posted == nullptr || strcmp(d.record(3)->msg, f.posted) == 0) << d.record(3)->msg;
    // Work without a capture still gets done: clear and show, and a reload.
    TVchan* r = d.record(3);
    const int seqn = r->seqn;
    d.request(3, CMD_CLEAR | CMD_SHOW, 0, 0);
    ASSERT_TRUE(Daemon::wait_for([&] { return cmd_read(r) == 0; }, 3)) << "clear and show not served";
    EXPECT_EQ(r->seqn, seqn + 1);
    EXPECT_EQ(r->image[0], 0);
    d.request(2, CMD_RELOAD, 0, 0);
    ASSERT_TRUE(Daemon::wait_for([&] { return cmd_read(d.record(2)) == 0; }, 3)) << "reload not served";
    EXPECT_EQ(d.record(2)->activ, 1);

    EXPECT_EQ(count(d.err(), std::string(NO_VIDEO) + "\n"), failed) << d.err();
    EXPECT_EQ(kx29harness::sanitizer_report(d.err()), "");
    EXPECT_EQ(d.stop(SIGQUIT), SIGQUIT);
    EXPECT_EQ(d.pid_word(), 0);
    std::cout << "[ figures  ] " << f.sim << ": " << failed << " requests failed in bounded time, " << frames
              << " frames on the healthy channels meanwhile\n";
}

INSTANTIATE_TEST_SUITE_P(Faults, BoardFaults, testing::ValuesIn(FAULTS), [](const auto& info) {
    std::string name = info.param.sim;
    std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
    return name;
});

}  // namespace
