// Frames captured on the simulated board and read into a record: the picture
// is the scene's, and a long exposure collects light in proportion to its time.
#include "kx29.h"
#include "kx29_io.h"
#include "kx29_sim.h"

#include <gtest/gtest.h>

#include <string>

using namespace kx29sim;

namespace {

TVchan rec;  // every channel

// A fresh board without noise, the daemon's grants, a full-frame record as
// every channel, video input `input` selected and black at 0.
void start(int input) {
    std::string error;
    ASSERT_TRUE(reset_board("still,noise=0", &error)) << error;
    ASSERT_EQ(kx29_ioperm(DEFAULT_BASE, PORT_WINDOW, 1), 0);
    ASSERT_EQ(kx29_ioperm(PORT_IO_DELAY, 1, 1), 0);
    base_port_29 = DEFAULT_BASE;
    tv_out = 2;
    rec.img_width = rec.frm_width = FRAME_COLS;
    rec.img_height = rec.frm_height = FRAME_LINES;
    rec.command = CMD_ACQUIRE;
    for (auto*& ch : tvch) ch = &rec;
    curch = &rec;
    outp(DEFAULT_BASE + PORT_IREG_SELECT, 0);
    outp(DEFAULT_BASE + PORT_IREG_DATA, static_cast<unsigned char>(input << 6 | input << 4 | 12));
    set_ref_lev(0);
}

// Mean of the 16x16 block of the stored image from (line0, col0).
double block_mean(int line0, int col0) {
    double sum = 0;
    for (int l = line0; l < line0 + 16; ++l)
        for (int c = col0; c < col0 + 16; ++c) sum += rec.image[l * FRAME_COLS + c];
    return sum / 256;
}

}  // namespace

TEST(SimReadout, CapturedFrameHasTheScenesPicture) {
    start(2);  // a diagonal ramp, 10 at the top left to 120 at the bottom right, and a ball
    ASSERT_EQ(inputFrame29(), 0);
    read_frame(0, 0, 0);
    EXPECT_EQ(control(), tv_out);  // live video again after the readout
    EXPECT_NEAR(block_mean(0, 0), 12, 4);
    EXPECT_NEAR(block_mean(FRAME_LINES - 16, FRAME_COLS - 16), 118, 4);
    EXPECT_EQ(rec.image[100 * FRAME_COLS + 200], mem_pixel(100, 200));
}

TEST(SimReadout, LongerExposureIsBrighter) {
    start(1);  // the long-exposure camera's star field
    ASSERT_EQ(inputFrameTandem(0.5), 0);
    read_frame(0, 0, 0);
    const double short_mean = havr;
    ASSERT_EQ(inputFrameTandem(2.0), 0);
    read_frame(0, 0, 0);
    EXPECT_GE(camera().integrated_ns, 1.9e9);  // a busy host makes frame boundaries late, never early
    EXPECT_LT(camera().integrated_ns, 2.5e9);
    EXPECT_GT(short_mean, 10);
    EXPECT_GT(havr, 3 * short_mean);  // four times the light, less what saturates
}
