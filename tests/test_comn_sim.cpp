// Frames captured on the simulated board and read into a record: the picture
// is the scene's, and a long exposure collects light in proportion to its time.
#include "kx29.h"
#include "kx29_io.h"
#include "kx29_sim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

struct SimReadout : testing::Test {
    std::unique_ptr<TVchan> rec = std::make_unique<TVchan>();

    // A fresh board without noise, the daemon's grants, a full-frame record,
    // video input `input` selected and black at 0.
    void start(int input, const char* options = "still,noise=0") {
        std::string error;
        ASSERT_TRUE(kx29sim::reset_board(options, &error)) << error;
        ASSERT_EQ(kx29_ioperm(kx29sim::DEFAULT_BASE, PORT_WINDOW, 1), 0);
        ASSERT_EQ(kx29_ioperm(PORT_IO_DELAY, 1, 1), 0);
        base_port_29 = kx29sim::DEFAULT_BASE;
        tv_out = 2;
        rec->img_width = rec->frm_width = kx29sim::FRAME_COLS;
        rec->img_height = rec->frm_height = kx29sim::FRAME_LINES;
        rec->command = CMD_ACQUIRE;
        curch = rec.get();
        for (auto*& ch : tvch) ch = rec.get();
        outp(port(PORT_IREG_SELECT), 0);
        outp(port(PORT_IREG_DATA), static_cast<unsigned char>(input << 6 | input << 4 | 12));
        set_ref_lev(0);
    }
    static unsigned short port(unsigned short offset) {
        return static_cast<unsigned short>(base_port_29 + offset);
    }
    // Mean of a block of the stored image.
    double block_mean(int line0, int col0, int size) const {
        double sum = 0;
        for (int l = line0; l < line0 + size; ++l)
            for (int c = col0; c < col0 + size; ++c) sum += rec->image[l * rec->img_width + c];
        return sum / (size * size);
    }
};

}  // namespace

TEST_F(SimReadout, CapturedFrameHasTheScenesPicture) {
    start(2);  // a diagonal ramp, 10 at the top left to 120 at the bottom right, and a ball
    ASSERT_EQ(inputFrame29(), 0);
    read_frame(0, 0, 0);
    EXPECT_EQ(kx29sim::control(), tv_out);  // live video again after the readout
    int outside = 0;
    for (int k = 0; k < kx29sim::FRAME_COLS * kx29sim::FRAME_LINES; ++k)
        outside += rec->image[k] < 0 || rec->image[k] > 255;
    EXPECT_EQ(outside, 0);
    EXPECT_LT(imin, imax);
    EXPECT_NEAR(block_mean(0, 0, 16), 12, 4);
    EXPECT_NEAR(block_mean(kx29sim::FRAME_LINES - 16, kx29sim::FRAME_COLS - 16, 16), 118, 4);
    EXPECT_EQ(rec->image[100 * kx29sim::FRAME_COLS + 200], kx29sim::mem_pixel(100, 200));
}

TEST_F(SimReadout, LongerExposureIsBrighter) {
    start(1);  // the long-exposure camera's star field
    ASSERT_EQ(inputFrameTandem(0.5), 0);
    read_frame(0, 0, 0);
    const double short_mean = havr;
    ASSERT_EQ(inputFrameTandem(2.0), 0);
    read_frame(0, 0, 0);
    EXPECT_NEAR(kx29sim::camera().integrated_ns, 2.0e9, 0.1e9);
    EXPECT_GT(short_mean, 10);
    EXPECT_GT(havr, 3 * short_mean);  // four times the light, less what saturates
}
