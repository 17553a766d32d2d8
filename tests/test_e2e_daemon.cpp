// The simulated daemon end to end: requests written into the shared records
// as a client writes them, answers read back, output and exit statuses.
#include <gtest/gtest.h>

#include <regex>

#include "daemon_harness.h"

namespace {

using kx29harness::Daemon;

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(Daemon, StartsCleanlyWithTheExampleConfiguration) {
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    EXPECT_EQ(d.err().find("Wrong conf.parameter"), std::string::npos) << d.err();
    EXPECT_NE(d.err().find("Create shared memory segment '" + d.key() + "' 3552016bytes at "), std::string::npos);
    EXPECT_EQ(d.out(), "Load XIL:  fmta.spe\nChange TV channel: 0 -> 0\nset_ref_lev(60)\n");
    EXPECT_EQ(d.record(0)->activ, 1);
    EXPECT_EQ(d.stop(SIGTERM), SIGTERM);
    EXPECT_EQ(d.pid_word(), 0);
}

TEST(Daemon, AcquiresImagesOfFramesAndCountsThemDown) {
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    TVchan* r = d.record(0);
    d.request(0, CMD_ACQUIRE | CMD_CLEAR, 3, 2);
    ASSERT_TRUE(d.wait_idle(0, 20)) << d.out();
    EXPECT_EQ(r->command, 0);
    EXPECT_EQ(r->nexp, 0);
    EXPECT_EQ(r->seqn, 6);
    EXPECT_EQ(r->nadded, 3);
    EXPECT_EQ(r->seqmsg, 6);
    std::string out = d.out();
    EXPECT_EQ(count(out, "(Get1 SubLev=0)"), 2) << out;
    EXPECT_EQ(count(out, "(Add3 SubLev="), 2) << out;
    std::regex last(R"(Frame6\(Add3 SubLev=\d+\): Min=\d+ Max=\d+ Med=[\d.]+ Avr=[\d.]+ Disp=[\d.]+)");
    EXPECT_TRUE(std::regex_match(std::string(r->msg), last)) << r->msg;
    EXPECT_EQ(r->tstart > 0 && r->tcurr >= r->tstart, true);

    // The scene is in the image: not constant, within the 8-bit range summed three times.
    int lo = 1 << 20, hi = -(1 << 20);
    for (int i = 0; i < 768 * 512; ++i) lo = std::min<int>(lo, r->image[i]), hi = std::max<int>(hi, r->image[i]);
    EXPECT_LT(lo, hi);
    EXPECT_GE(lo, -2 * 255);
    EXPECT_LE(hi, 3 * 255);
}

TEST(Daemon, ClearGateAndReloadWords) {
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    TVchan* r = d.record(3);
    d.request(3, CMD_CLEAR, 0, 0);
    ASSERT_TRUE(Daemon::wait_for([&] { return r->command == 0; }, 5));
    EXPECT_EQ(r->image[0], 0);
    EXPECT_EQ(r->image[442367], 0);
    EXPECT_EQ(r->seqn, 1);

    d.request(3, CMD_ACQUIRE, 1, 0);  // gate closed: nothing happens, the bit stays
    usleep(500000);
    EXPECT_EQ(r->command, CMD_ACQUIRE);
    EXPECT_EQ(r->seqn, 1);

    // The word becomes 0 before the load, so wait for the load's lines too.
    auto loads = [&] { return count(d.out(), "Load XIL:  fmta.spe\nChange TV channel: "); };
    d.request(3, CMD_RELOAD, 0, 0);
    ASSERT_TRUE(Daemon::wait_for([&] { return r->command == 0 && loads() == 2; }, 5)) << d.out();
    EXPECT_NE(d.out().find("Load XIL:  fmta.spe\nChange TV channel: 0 -> 3\n"), std::string::npos) << d.out();

    d.request(3, CMD_RELOAD | CMD_CLEAR, 0, 0);  // 17: clear, then reload
    ASSERT_TRUE(Daemon::wait_for([&] { return r->command == 0 && loads() == 3; }, 5)) << d.out();
    EXPECT_EQ(r->seqn, 2);

    d.request(3, CMD_RELOAD | CMD_ACQUIRE | CMD_CLEAR, 2, 1);  // 19: acquire, then reload
    ASSERT_TRUE(Daemon::wait_for([&] { return r->command == 0 && loads() == 4; }, 10)) << d.out();
    EXPECT_EQ(r->seqn, 4);

    d.request(3, CMD_RELOAD | CMD_CCD, 1, 1);  // 20 never changes
    usleep(400000);
    EXPECT_EQ(r->command, CMD_RELOAD | CMD_CCD);
    EXPECT_EQ(r->seqn, 4);
}

TEST(Daemon, WindowAndFormatChanges) {
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    TVchan* r = d.record(2);
    r->next_form = 2;
    d.request(2, CMD_ACQUIRE | CMD_CLEAR, 1, 1);
    ASSERT_TRUE(d.wait_idle(2, 10));
    EXPECT_EQ(r->form, 2);
    EXPECT_EQ(r->img_width, 512);
    EXPECT_NE(d.out().find("Change XIL: fmta.spe -> fmtb.spe\n"), std::string::npos) << d.out();
    EXPECT_NE(d.out().find("Chan2 512x512 format [0,0:512,512]\n"), std::string::npos) << d.out();

    // A window: only its pixels change.
    for (int i = 0; i < 512 * 512; ++i) r->image[i] = -7;
    r->frm_col0 = 100, r->frm_lin0 = 50, r->frm_width = 64, r->frm_height = 32;
    d.request(2, CMD_ACQUIRE | CMD_CLEAR, 1, 1);
    ASSERT_TRUE(d.wait_idle(2, 10));
    EXPECT_EQ(r->image[50 * 512 + 99], -7);
    EXPECT_NE(r->image[50 * 512 + 100], -7);
    EXPECT_NE(r->image[81 * 512 + 163], -7);
    EXPECT_EQ(r->image[82 * 512 + 163], -7);
    EXPECT_EQ(r->image[81 * 512 + 164], -7);
}

TEST(Daemon, ShowOnVersionTwoOnly) {
    for (int version : {2, 1}) {
        kx29harness::Options options;
        options.conf_extra = "ver_board " + std::to_string(version) + "\n";
        Daemon d(options);
        ASSERT_TRUE(d.start()) << d.err();
        TVchan* r = d.record(1);
        __atomic_store_n(&r->command, CMD_SHOW, __ATOMIC_SEQ_CST);
        bool cleared = Daemon::wait_for([&] { return r->command == 0; }, version == 2 ? 5 : 0.5);
        EXPECT_EQ(cleared, version == 2) << version;
        EXPECT_EQ(r->command, version == 2 ? 0 : CMD_SHOW);
    }
}

TEST(Daemon, ChannelWithoutVideoFailsWhileAnotherKeepsWorking) {
    kx29harness::Options options;
    options.sim = "novideo=2";
    Daemon d(options);
    ASSERT_TRUE(d.start()) << d.err();
    TVchan* bad = d.record(2);
    TVchan* good = d.record(0);
    d.request(0, CMD_ACQUIRE | CMD_CLEAR, 2, 3);
    d.request(2, CMD_ACQUIRE | CMD_CLEAR | CMD_CCD, 2, 3);
    ASSERT_TRUE(d.wait_idle(2, 10));
    EXPECT_STREQ(bad->msg, "Can't read frame, no video!!!");
    EXPECT_EQ(bad->command, CMD_CCD);
    EXPECT_EQ(bad->nexp, 0);
    EXPECT_EQ(bad->nadd, 0);
    EXPECT_EQ(bad->seqn, 0);
    EXPECT_NE(d.err().find("Can't read frame, no video!!!\n"), std::string::npos);
    ASSERT_TRUE(d.wait_idle(0, 20)) << d.out();
    EXPECT_EQ(good->seqn, 6);
}

TEST(Daemon, SignalsEndItAndTheNextStartAttachesToTheSameRecords) {
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    d.request(1, CMD_CLEAR, 0, 0);
    ASSERT_TRUE(Daemon::wait_for([&] { return d.record(1)->command == 0; }, 5));
    d.record(1)->frm_width = 333;  // a client's setting
    EXPECT_EQ(d.stop(SIGINT), SIGINT);
    EXPECT_EQ(d.pid_word(), 0);

    ASSERT_TRUE(d.start()) << d.err();
    EXPECT_NE(d.err().find("Attach shared memory segment '" + d.key() + "'"), std::string::npos) << d.err();
    EXPECT_EQ(d.err().find("already running"), std::string::npos);
    EXPECT_EQ(d.record(1)->seqn, 1);
    EXPECT_EQ(d.record(1)->frm_width, 333);
    EXPECT_EQ(d.record(1)->activ, 1);  // the tandem record is current after a restart
    EXPECT_NE(d.out().find("Change TV channel: 1 -> 1\n"), std::string::npos) << d.out();
    EXPECT_EQ(d.stop(SIGQUIT), SIGQUIT);

    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.stop(SIGKILL), 128 + SIGKILL);
    EXPECT_NE(d.pid_word(), 0);  // left behind by the killed daemon
    ASSERT_TRUE(d.start()) << d.err();
    EXPECT_EQ(d.pid_word(), d.pid());
    EXPECT_EQ(d.stop(SIGHUP), SIGHUP);
}

TEST(Daemon, SecondDaemonOnTheSameKeyIsRefused) {
    Daemon first;
    ASSERT_TRUE(first.start());
    kx29harness::Options options;
    options.key = first.key();
    Daemon second(options);
    EXPECT_FALSE(second.start());
    EXPECT_EQ(second.last_exit(), 1);
    EXPECT_NE(second.err().find("kx29 daemon already running! (PID=" + std::to_string(first.pid()) + ")\n"),
              std::string::npos)
        << second.err();
    EXPECT_EQ(first.pid_word(), first.pid());
}

}  // namespace
