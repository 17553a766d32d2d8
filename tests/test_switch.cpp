// Channel switching (FPGA load protocol, look-up tables, input registers,
// messages and the record's geometry) and the acquisition loop (sub-levels,
// failures, switch decisions and the pacing between frames; the command
// words are exercised end to end on the simulated daemon), on the test board.
#include <gtest/gtest.h>

#include <numeric>
#include <tuple>

#include "board_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;

class Switch : public kx29t::BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        static const char image[] = "\x01\x80\xff";  // 3 bytes: LSB first, sign bits above
        for (ChanDef* cd : chan)
            for (SpeDef* s : {&cd->spe1, &cd->spe2}) memcpy(s->buf, image, s->size = 3);
    }
    std::string switch_to(int ch, int form) {
        board().trace.clear();
        testing::internal::CaptureStdout();
        set_chan(ch, form);
        return testing::internal::GetCapturedStdout();
    }
    // The trace in short: the register offset of each access, D for a pause.
    std::string offsets(size_t from, size_t to) {
        std::string s;
        for (size_t i = from; i < to && i < board().trace.size(); ++i) {
            const auto& a = board().trace[i];
            s += a.port == PORT_IO_DELAY ? 'D' : static_cast<char>('a' + a.port - board().base);
        }
        return s;
    }
};

// Reset on, 100 pauses, reset off, 1000 pauses, then the image one bit per
// write, LSB first with the sign shifted in, and 8 trailing ones, each write
// followed by a pause.
TEST_F(Switch, FpgaLoadIsResetThenOneBitPerWriteWithPauses) {
    switch_to(0, 1);
    const char on = 'a' + PORT_XIL_RESET_ON, off = 'a' + PORT_XIL_RESET_OFF, din = 'a' + PORT_XIL_DIN;
    EXPECT_EQ(offsets(0, 1102), on + std::string(100, 'D') + off + std::string(1000, 'D'));
    std::string load;
    for (int i = 0; i < 32; ++i) load += std::string{din, 'D'};
    EXPECT_EQ(offsets(1102, 1166), load);
    EXPECT_EQ(board().values_written(PORT_XIL_DIN),
              (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xc0, 0xe0, 0xf0, 0xf8, 0xfc, 0xfe, 0xff,  //
                     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 1, 1, 1, 1, 1, 1, 1, 1}));
}

TEST_F(Switch, TablesRegistersAndControlOfOneSwitch) {
    tvch[2]->ref_lev = 70;
    const std::string out = switch_to(2, 1);
    const auto& b = board();
    Bytes identity(256), grey(768);  // the input table, and the output table's three components per entry
    std::iota(identity.begin(), identity.end(), 0);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<unsigned char>(i / 3);
    const std::pair<unsigned short, Bytes> writes[] = {
        {PORT_ILUT_DATA, identity}, {PORT_OLUT_ADDR, {0}}, {PORT_OLUT_DATA, grey}, {PORT_OLUT_MASK, {255}},
        {PORT_IREG_DATA, {0xAC, 24, 0}}, {PORT_IREG_SELECT, {0, 0, 1, 2, 0}}, {PORT_CONTROL, {tv_out}}};
    for (const auto& [port, values] : writes) EXPECT_EQ(b.values_written(port), values) << port;
    EXPECT_NE(out.find("set_ref_lev(6)\n"), std::string::npos);
    // Every set-up write is paced, except the output table's mask; the control write comes last.
    const std::string t = offsets(0, b.trace.size());
    const char mask = 'a' + PORT_OLUT_MASK, control = 'a' + PORT_CONTROL;
    for (size_t i = 0; i < t.size(); ++i)
        EXPECT_TRUE(t[i] == 'D' || t[i] == mask || !b.trace[i].write || t.substr(i + 1, 1) == "D") << i;
    EXPECT_EQ(t.substr(t.size() - 2), (std::string{control, 'D'}));

    const unsigned char reg0[] = {0x0C, 0x5C, 0xAC, 0xFC};
    for (int ch = 0; ch < 4; ++ch) {
        switch_to(ch, 1);
        EXPECT_EQ(b.values_written(PORT_IREG_DATA).at(0), reg0[ch]);
    }
    ver_board_29 = 1;  // no output table
    switch_to(1, 1);
    EXPECT_EQ(b.writes_to(PORT_OLUT_DATA) + b.writes_to(PORT_OLUT_MASK), 0);
}

TEST_F(Switch, MessagesFollowFirstLoadReloadAndChange) {
    tvch[1]->num = 1;
    curch = tvch[1];
    const struct { int ch, form; const char* out; } steps[] = {
        {0, 1, "Load XIL:  fmta.spe\nChange TV channel: 1 -> 0\n"},
        {0, 1, "ReLoad XIL:  fmta.spe\nChange TV channel: 0 -> 0\n"},
        {2, 1, "ReLoad XIL:  fmta.spe\nChange TV channel: 0 -> 2\n"},
        {2, 2, "Change XIL: fmta.spe -> fmtb.spe\nChange TV channel: 2 -> 2\n"},
        {1, 1, "Change XIL: fmtb.spe -> lexpa.spe\nChange TV channel: 2 -> 1\n"},
        {3, 1, "Load XIL:  fmta.spe\nChange TV channel: 1 -> 3\n"},  // after set_first_chan
    };
    for (const auto& s : steps) {
        if (s.ch == 3) set_first_chan = 1;
        EXPECT_EQ(switch_to(s.ch, s.form), std::string(s.out) + "set_ref_lev(60)\n");
    }
}

TEST_F(Switch, GeometryIsResetOnlyWhenTheFormatChanges) {
    TVchan* r = tvch[0];
    auto geometry = [r] { return std::vector<int>{r->form, r->img_width, r->img_height, r->frm_col0, r->frm_lin0, r->frm_width, r->frm_height}; };
    r->frm_col0 = 10, r->frm_lin0 = 20, r->frm_width = 30, r->frm_height = 40;
    switch_to(0, 1);
    EXPECT_EQ(geometry(), (std::vector<int>{1, 768, 512, 10, 20, 30, 40}));
    switch_to(0, 2);
    EXPECT_EQ(geometry(), (std::vector<int>{2, 512, 512, 0, 0, 512, 512}));
    switch_to(1, 1);
    switch_to(0, 1);
    EXPECT_EQ(geometry(), (std::vector<int>{1, 768, 512, 0, 0, 768, 512}));
}

TEST_F(Switch, ChannelAndFormatAreClamped) {
    const struct { int ch, form, want_ch, want_form; } cases[] = {{5, 1, 1, 1}, {-1, 1, 3, 1}, {2, 0, 2, 1}, {2, -4, 2, 1}, {0, 3, 0, 2}, {3, 99, 3, 2}};
    for (const auto& c : cases) {
        switch_to(c.ch, c.form);
        EXPECT_EQ(curch, tvch[c.want_ch]) << c.ch;
        EXPECT_EQ(curch->form, c.want_form) << c.form;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(tvch[i]->activ, i == c.want_ch);
    }
}

TEST_F(Switch, WithoutVideoTheSwitchGivesUpAfterItsPollBudget) {
    board().status = kx29test::stuck(0);
    switch_to(1, 1);
    EXPECT_EQ(board().reads_of(PORT_STATUS), 100000);
    EXPECT_EQ(board().values_written(PORT_CONTROL), Bytes{tv_out});
}

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

// The image written back for the video output is the one of the channel asking.
TEST_F(Loop, ShowSwitchesToItsChannelFirst) {
    ver_board_29 = 2;
    request(2, CMD_SHOW, 0, 0);
    ASSERT_NE(curch, tvch[2]);
    pass();
    EXPECT_EQ(std::tie(curch, tvch[2]->command), std::make_tuple(tvch[2], 0));
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
