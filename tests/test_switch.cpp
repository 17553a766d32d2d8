// Channel switching: FPGA load protocol, look-up tables, input registers,
// messages and the record's geometry.
#include <gtest/gtest.h>

#include "board_fixture.h"

namespace {

using kx29test::PortAccess;

class Switch : public kx29t::BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        static const char image[] = "\x01\x80\xff";  // 3 bytes: LSB first, sign bits above
        for (ChanDef* cd : chan)
            for (SpeDef* s : {&cd->spe1, &cd->spe2}) {
                memcpy(s->buf, image, 3);
                s->size = 3;
            }
    }
    std::string switch_to(int ch, int form) {
        board().trace.clear();
        testing::internal::CaptureStdout();
        set_chan(ch, form);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Switch, FpgaLoadIsResetThenOneBitPerWriteWithPauses) {
    switch_to(0, 1);
    const auto& t = board().trace;
    ASSERT_GT(t.size(), 1102u);
    EXPECT_TRUE(t[0].write && t[0].port == port(PORT_XIL_RESET_ON));
    for (int i = 1; i <= 100; ++i) EXPECT_EQ(t[i].port, PORT_IO_DELAY);
    EXPECT_EQ(t[101].port, port(PORT_XIL_RESET_OFF));
    for (int i = 102; i <= 1101; ++i) EXPECT_EQ(t[i].port, PORT_IO_DELAY);

    // 3 bytes x 8 bits + 8 trailing ones, each write followed by a pause.
    std::vector<unsigned char> bits;
    for (size_t i = 1102; i < t.size() && t[i].port == port(PORT_XIL_DIN); i += 2) {
        EXPECT_EQ(t[i + 1].port, PORT_IO_DELAY);
        bits.push_back(t[i].value);
    }
    ASSERT_EQ(bits.size(), 3u * 8 + 8);
    const unsigned char bytes[] = {0x01, 0x80, 0xff};
    for (int b = 0; b < 3; ++b) {
        unsigned char got = 0;
        for (int j = 0; j < 8; ++j) got |= (bits[b * 8 + j] & 1) << j;
        EXPECT_EQ(got, bytes[b]);
    }
    EXPECT_EQ(bits[15], 0xff);  // 0x80 shifted right 7 as a signed byte
    for (int i = 24; i < 32; ++i) EXPECT_EQ(bits[i], 1);
    EXPECT_EQ(board().writes_to(port(PORT_XIL_DIN)), 32);
}

TEST_F(Switch, TablesRegistersAndControlOfOneSwitch) {
    tvch[2]->ref_lev = 70;
    std::string out = switch_to(2, 1);
    const auto& b = board();
    EXPECT_EQ(b.writes_to(port(PORT_ILUT_DATA)), 256);
    EXPECT_EQ(b.writes_to(port(PORT_OLUT_DATA)), 768);
    EXPECT_EQ(b.values_written(port(PORT_OLUT_MASK)), std::vector<unsigned char>{255});
    EXPECT_EQ(b.values_written(port(PORT_IREG_DATA)), (std::vector<unsigned char>{0xAC, 24, 0}));
    EXPECT_EQ(b.values_written(port(PORT_IREG_SELECT)), (std::vector<unsigned char>{0, 0, 1, 2, 0}));
    EXPECT_EQ(b.values_written(port(PORT_CONTROL)), std::vector<unsigned char>{tv_out});
    EXPECT_NE(out.find("set_ref_lev(6)\n"), std::string::npos);

    // Every set-up write is paced, except the output table's mask.
    const auto& t = b.trace;
    for (size_t i = 0; i + 1 < t.size(); ++i) {
        const bool paced = t[i].write && t[i].port != PORT_IO_DELAY && t[i].port != port(PORT_OLUT_MASK);
        if (paced) {
            EXPECT_EQ(t[i + 1].port, PORT_IO_DELAY) << "write " << i << " to port " << t[i].port;
        }
    }
    EXPECT_EQ(t.back().port, PORT_IO_DELAY);
    EXPECT_EQ(t[t.size() - 2].port, port(PORT_CONTROL));

    const unsigned char reg0[] = {0x0C, 0x5C, 0xAC, 0xFC};
    for (int ch = 0; ch < 4; ++ch) {
        switch_to(ch, 1);
        EXPECT_EQ(b.values_written(port(PORT_IREG_DATA)).at(0), reg0[ch]);
    }
}

TEST_F(Switch, VersionOneBoardHasNoOutputTable) {
    ver_board_29 = 1;
    switch_to(1, 1);
    EXPECT_EQ(board().writes_to(port(PORT_OLUT_DATA)), 0);
    EXPECT_EQ(board().writes_to(port(PORT_OLUT_MASK)), 0);
}

TEST_F(Switch, MessagesFollowFirstLoadReloadAndChange) {
    tvch[1]->num = 1;
    curch = tvch[1];
    EXPECT_EQ(switch_to(0, 1), "Load XIL:  fmta.spe\nChange TV channel: 1 -> 0\nset_ref_lev(60)\n");
    EXPECT_EQ(switch_to(0, 1), "ReLoad XIL:  fmta.spe\nChange TV channel: 0 -> 0\nset_ref_lev(60)\n");
    EXPECT_EQ(switch_to(2, 1), "ReLoad XIL:  fmta.spe\nChange TV channel: 0 -> 2\nset_ref_lev(60)\n");
    EXPECT_EQ(switch_to(2, 2), "Change XIL: fmta.spe -> fmtb.spe\nChange TV channel: 2 -> 2\nset_ref_lev(60)\n");
    EXPECT_EQ(switch_to(1, 1), "Change XIL: fmtb.spe -> lexpa.spe\nChange TV channel: 2 -> 1\nset_ref_lev(60)\n");
    set_first_chan = 1;
    EXPECT_EQ(switch_to(3, 1), "Load XIL:  fmta.spe\nChange TV channel: 1 -> 3\nset_ref_lev(60)\n");
}

TEST_F(Switch, GeometryIsResetOnlyWhenTheFormatChanges) {
    TVchan* r = tvch[0];
    r->frm_col0 = 10, r->frm_lin0 = 20, r->frm_width = 30, r->frm_height = 40;
    switch_to(0, 1);
    EXPECT_EQ(r->frm_col0 + r->frm_lin0 + r->frm_width + r->frm_height, 100);
    switch_to(0, 2);
    EXPECT_EQ(r->form, 2);
    EXPECT_EQ(r->img_width, 512);
    EXPECT_EQ(r->frm_width, 512);
    EXPECT_EQ(r->img_height, 512);
    EXPECT_EQ(r->frm_height, 512);
    EXPECT_EQ(r->frm_col0 + r->frm_lin0, 0);
    switch_to(1, 1);
    switch_to(0, 1);
    EXPECT_EQ(r->img_width, 768);
    EXPECT_EQ(r->img_height, 512);
}

TEST_F(Switch, ChannelAndFormatAreClamped) {
    struct {
        int ch, form, want_ch, want_form;
    } cases[] = {{5, 1, 1, 1}, {-1, 1, 3, 1}, {2, 0, 2, 1}, {2, -4, 2, 1}, {0, 3, 0, 2}, {3, 99, 3, 2}};
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
    EXPECT_EQ(board().reads_of(port(PORT_STATUS)), 100000);
    EXPECT_EQ(board().values_written(port(PORT_CONTROL)), std::vector<unsigned char>{tv_out});
}

}  // namespace
