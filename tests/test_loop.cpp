// The acquisition loop on the test board: sub-levels, failures, switch
// decisions and the pacing between frames (the command words are exercised
// end to end on the simulated daemon).
#include <gtest/gtest.h>

#include <tuple>

#include "board_fixture.h"

namespace {

class Loop : public kx29t::BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        board().tracing = false;
        fill_frame_memory(100);
        loop_start();
    }
    void fill_frame_memory(unsigned char v) { std::fill(board().mem.begin(), board().mem.end(), v); }

    // One pass without its pause; returns what it printed on stdout.
    std::string pass() {
        testing::internal::CaptureStdout();
        loop_channels();
        return testing::internal::GetCapturedStdout();
    }
    // The pause the pass chose, then the reset the pause makes.
    double take_pause() { return std::exchange(tdelay, 0.1); }
    void request(int ch, int command, int nadd, int nexp) {
        tvch[ch]->nadd = nadd, tvch[ch]->nexp = nexp, tvch[ch]->command = command;
    }
};

TEST_F(Loop, WithoutClearEvenTheFirstFrameIsAdded) {
    TVchan* r = tvch[0];
    r->image[0] = 5;
    request(0, CMD_ACQUIRE, 1, 2);
    EXPECT_NE(pass().find("(Add1 SubLev=0)"), std::string::npos);
    EXPECT_EQ(r->image[0], 105);
    take_pause();
    fill_frame_memory(103);
    EXPECT_NE(pass().find("(Add2 SubLev=100)"), std::string::npos);  // last frame's mean
    EXPECT_EQ(std::tie(r->image[0], r->command), std::make_tuple(short{108}, 0));
}

TEST_F(Loop, FailedCaptureEndsTheRequestAndKeepsTheImage) {
    TVchan* r = tvch[0];
    r->seqn = 7;
    r->image[0] = 33;
    board().status = kx29test::stuck(0);
    ver_board_29 = 1;  // a board without write-back: CMD_SHOW stays
    request(0, CMD_ACQUIRE | CMD_CLEAR | CMD_CCD | CMD_SHOW, 4, 3);
    testing::internal::CaptureStderr();
    pass();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Can't read frame, no video!!!\n");
    EXPECT_STREQ(r->msg, "Can't read frame, no video!!!");
    EXPECT_EQ(std::tie(r->seqmsg, r->seqn, r->image[0], r->nadd, r->nexp, r->command),
              std::make_tuple(1, 7, short{33}, 0, 0, CMD_CCD | CMD_SHOW));
}

TEST_F(Loop, ReferenceLevelChangeForcesAFirstLoad) {
    request(0, CMD_ACQUIRE | CMD_CLEAR, 3, 1);
    pass();
    EXPECT_EQ(pass().find("XIL"), std::string::npos);  // same channel, format, level: no switch
    tvch[0]->ref_lev = 30;
    EXPECT_NE(pass().find("Load XIL:  fmta.spe\n"), std::string::npos);
}

TEST_F(Loop, FormatOutsideTheRangeSwitchesBeforeEveryFrame) {
    tvch[0]->next_form = 3;
    request(0, CMD_ACQUIRE | CMD_CLEAR, 5, 1);
    for (int i = 0; i < 3; ++i) EXPECT_NE(pass().find("Chan0 512x512 format [0,0:512,512]\n"), std::string::npos) << i;
    EXPECT_EQ(tvch[0]->form, 2);
}

// The pause after a frame follows the share of the image read: 0.3 s for a
// whole image between images, 0.2 s within one, at least 0.02 s, and after
// every 20th frame at most when the share is tiny.
TEST_F(Loop, PacingFollowsTheShareOfTheImageRead) {
    const struct { int col0, width, height, nadd, frames; double pause; } cases[] = {
        {0, 768, 512, 3, 1, 0.2},   {0, 768, 512, 1, 1, 0.3},  {0, 384, 512, 3, 1, 0.05}, {0, 384, 512, 1, 1, 0.15},
        {0, 384, 256, 4, 1, 0.0},   // a quarter: 0.02 after even frames only
        {0, 384, 256, 4, 2, 0.02},  {0, 384, 256, 1, 1, 0.075},
        {0, 192, 512, 1, 1, 0.075},  // col0 + width counts, not width alone
        {0, 77, 512, 1, 1, 0.3 * 77 / 768},
        {0, 38, 512, 1, 1, 0.02},   // 0.015 raised
        {10, 0, 512, 3, 1, 0.0},    // tiny share: every 20th frame at most
        {10, 0, 512, 1, 1, 0.02},   // 0.0039 raised
    };
    for (const auto& c : cases) {
        TVchan* r = tvch[0];
        r->frm_col0 = c.col0, r->frm_width = c.width, r->frm_height = c.height, r->frm_lin0 = 0, r->nadded = 0;
        request(0, CMD_ACQUIRE | CMD_CLEAR, c.nadd, 2);
        for (int f = 0; f < c.frames; ++f) pass();
        EXPECT_NEAR(take_pause(), c.pause, 1e-9) << c.col0 << "+" << c.width << "x" << c.height << " frame " << c.frames;
        r->command = 0;
        pass();
        take_pause();
    }
}

// Idle channels do nothing and pause a tenth of a second; the later of two
// busy channels decides the pause, and a broken geometry idles.
TEST_F(Loop, IdlePausesAndTheLaterChannelDecides) {
    EXPECT_EQ(pass(), "");
    EXPECT_DOUBLE_EQ(take_pause(), 0.1);
    request(0, CMD_ACQUIRE | CMD_CLEAR, 3, 1);
    request(2, CMD_ACQUIRE | CMD_CLEAR, 1, 3);
    tvch[2]->frm_width = 384;
    pass();
    EXPECT_NEAR(take_pause(), 0.15, 1e-9);
    tvch[2]->img_width = 0;  // written by a client: no division, an idle pause
    pass();
    EXPECT_DOUBLE_EQ(take_pause(), 0.1);
}

}  // namespace
