// The simulated daemon end to end: requests written into the shared records
// as a client writes them, answers read back, output and exit statuses.
// Board faults, signals, restarts and rival daemons are in the reliability tests.
#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "daemon_harness.h"

namespace {

using kx29harness::Daemon;
using kx29rel::count;

TEST(Daemon, StartsWithTheExampleConfigurationAndAcquiresCountingDown) {
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    EXPECT_EQ(d.out(), "Load XIL:  fmta.spe\nChange TV channel: 0 -> 0\nset_ref_lev(60)\n");

    TVchan* r = d.record(0);
    d.request(0, CMD_ACQUIRE | CMD_CLEAR, 3, 2);
    ASSERT_TRUE(d.wait_idle(0, 20)) << d.out();
    EXPECT_TRUE(r->command == 0 && r->nexp == 0 && r->nadded == 3 && r->seqn == 6 && r->seqmsg == 6)
        << r->command << " " << r->nexp << " " << r->nadded << " " << r->seqn << " " << r->seqmsg;
    const std::string out = d.out();
    EXPECT_EQ(std::make_pair(count(out, "(Get1 SubLev=0)"), count(out, "(Add3 SubLev=")), std::make_pair(2, 2)) << out;
    const std::regex last(R"(Frame6\(Add3 SubLev=\d+\): Min=\d+ Max=\d+ Med=[\d.]+ Avr=[\d.]+ Disp=[\d.]+)");
    EXPECT_TRUE(std::regex_match(std::string(r->msg), last)) << r->msg;
    EXPECT_TRUE(r->tstart > 0 && r->tcurr >= r->tstart);
    // The scene is in the image: not constant, within the 8-bit range summed three times.
    const auto [lo, hi] = std::minmax_element(r->image, r->image + 768 * 512);
    EXPECT_TRUE(*lo < *hi && *lo >= -2 * 255 && *hi <= 3 * 255) << *lo << ".." << *hi;
    EXPECT_TRUE(d.stop(SIGTERM) == SIGTERM && d.pid_word() == 0) << "exit status " << d.last_exit();
}

// Command words other than a plain acquisition, in turn on record 3: what
// seqn becomes, how many channel loads the output then shows, and whether the
// word is cleared. (Format changes and the write-back on a board of version 1
// are seen on the test board.)
TEST(Daemon, CommandWords) {
    const struct { int command, nadd, nexp, seqn, loads; bool cleared; } steps[] = {
        {CMD_CLEAR, 0, 0, 1, 1, true},                           // the image zeroed once
        {CMD_ACQUIRE, 1, 0, 1, 1, false},                        // gate closed: the bit stays
        {CMD_RELOAD, 0, 0, 1, 2, true},                          // 16: a load of the channel
        {CMD_RELOAD | CMD_CLEAR, 0, 0, 2, 3, true},              // 17: clear, then reload
        {CMD_RELOAD | CMD_ACQUIRE | CMD_CLEAR, 2, 1, 4, 4, true},  // 19: acquire, then reload
        {CMD_RELOAD | CMD_CCD, 1, 1, 4, 4, false},               // 20 never changes
        {CMD_SHOW, 0, 0, 4, 4, true},                            // written back on a board of version 2
    };
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    TVchan* r = d.record(3);
    r->image[0] = r->image[442367] = 5;
    // The word becomes 0 before the load, so wait for the load's lines too.
    // A first load, not a "ReLoad": the reload starts the channel afresh.
    auto loads = [&] { return count("\n" + d.out(), "\nLoad XIL:  fmta.spe\nChange TV channel: "); };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.command);
        d.request(3, s.command, s.nadd, s.nexp);
        if (s.cleared)
            ASSERT_TRUE(Daemon::wait_for([&] { return r->command == 0 && loads() == s.loads; }, 10)) << d.out();
        else
            usleep(500000);
        EXPECT_EQ(std::make_tuple(r->command, r->seqn, loads()), std::make_tuple(s.cleared ? 0 : s.command, s.seqn, s.loads));
        EXPECT_TRUE(&s != steps || (r->image[0] == 0 && r->image[442367] == 0)) << "image not cleared";
    }
    EXPECT_NE(d.out().find("Load XIL:  fmta.spe\nChange TV channel: 0 -> 3\n"), std::string::npos) << d.out();
}

}  // namespace
