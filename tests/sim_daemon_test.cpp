// The daemon's field waits, captures, long exposure and write-back running on
// the simulated board: what the board's timing must give the daemon's bounded
// polls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "kx29.h"
#include "kx29_io.h"
#include "kx29_sim.h"

using namespace kx29sim;

namespace {

class SimDaemon : public testing::Test {
protected:
    // A fresh board with the daemon's port grants, and four records with the
    // long-exposure channel 1 current and switched to.
    void start(const char* options) {
        std::string error;
        ASSERT_TRUE(reset_board(options, &error)) << error;
        base_addr = 0x300;
        init_io();
        records_ = std::make_unique<TVchan[]>(KX29_CHANNELS);
        for (int i = 0; i < KX29_CHANNELS; ++i) {
            TVchan& r = records_[i];
            r.num = i;
            r.img_width = r.frm_width = FRAME_COLS;
            r.img_height = r.frm_height = FRAME_LINES;
            tvch[i] = &r;
        }
        curch = tvch[1];
        curch->tandem = 1;
        curch->command = CMD_ACQUIRE;
        outp(port(PORT_IREG_SELECT), 0);
        outp(port(PORT_IREG_DATA), 0x5C);  // input 1
    }
    static unsigned short port(unsigned short offset) {
        return static_cast<unsigned short>(base_port_29 + offset);
    }

    std::unique_ptr<TVchan[]> records_;
};

}  // namespace

TEST_F(SimDaemon, FieldWaitsSeeEveryFieldChange) {
    start("");
    for (int i = 0; i < 10; ++i) ASSERT_GT(wait_switch(Next), 0) << i;
    // wait_sync returns as an odd field begins: the bit is then 0 for a whole
    // field (best of three, the host may take the CPU away in between).
    std::int64_t odd_left = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_GT(wait_sync(), 0);
        std::int64_t t0 = board_time_ns();
        EXPECT_EQ(inp(port(PORT_STATUS)) & STATUS_FIELD, 0);
        ASSERT_GT(wait_switch(Odd), 0);
        odd_left = std::max(odd_left, board_time_ns() - t0);
    }
    EXPECT_GT(odd_left, FIELD_NS - 1'000'000);
}

TEST_F(SimDaemon, FieldWaitsTimeOutWithoutVideo) {
    start("novideo=1");
    EXPECT_EQ(wait_switch(Next), 0);
    EXPECT_EQ(wait_sync(), 0);
}

TEST_F(SimDaemon, NormalCaptureResults) {
    struct Case {
        const char* options;
        int result;
        long frames;
    };
    for (Case c : {Case{"", 0, 5}, Case{"busy", 2, 0}, Case{"novideo=1", 1, 0}}) {
        start(c.options);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(inputFrame29(), c.result) << c.options << " capture " << i;
        EXPECT_EQ(captures_completed(), c.frames) << c.options;
        if (c.result == 0) { EXPECT_EQ(control(), 0); }
    }
}

TEST_F(SimDaemon, LongExposureDeliversABrighterFrame) {
    start("still");
    ASSERT_EQ(inputFrame29(), 0);
    read_frame(0, 0, 0);
    double normal = havr;

    ASSERT_EQ(inputFrameTandem(0.5), 0);
    EXPECT_EQ(camera().words, (std::vector<unsigned char>{0xF4, 0xF6, 0xF5, 0xF1}));
    // About the exposure; a loaded host may miss a frame boundary now and then.
    EXPECT_GT(camera().integrated_ns, 480'000'000);
    EXPECT_LT(camera().integrated_ns, 800'000'000);
    EXPECT_EQ(control(), 0);
    read_frame(0, 0, 0);
    EXPECT_GT(havr, normal + 20);
    EXPECT_STREQ(curch->msg, "Tandem Exposure: Ok");
}

TEST_F(SimDaemon, WrittenImageIsWhatTheMonitorShows) {
    start("");
    TVchan* ch = curch;
    for (int i = 0; i < FRAME_COLS * FRAME_LINES; ++i) ch->image[i] = static_cast<short>(i % 1000 - 300);
    write_image();
    Display d = displayed();
    ASSERT_TRUE(d.on);
    for (int l : {0, 1, 300, FRAME_LINES - 1})
        for (int c : {0, 1, 400, FRAME_COLS - 1}) {
            int v = (l * FRAME_COLS + c) % 1000 - 300;
            EXPECT_EQ(d.pixel(l, c)[0], static_cast<unsigned char>(v)) << l << "," << c;
        }
}

// The example configuration names every key with its built-in value and
// passes the reader's rules without a single report.
TEST(SimExampleConf, SetsEveryKeyToItsDefaultWithoutReports) {
    const ChanDef defaults[KX29_CHANNELS] = {chan0, chan1, chan2, chan3};
    const int default_version = ver_board_29, default_base = base_addr;
    const std::string default_dir = spe_dir;
    ver_board_29 = base_addr = -1;
    std::strcpy(spe_dir, "?");
    for (ChanDef* cd : chan) {
        cd->tandem = cd->spe1.size = cd->spe1.sum = cd->cols1 = cd->lines1 = -1;
        cd->spe2.size = cd->spe2.sum = cd->cols2 = cd->lines2 = -1;
        std::strcpy(cd->spe1.name, "?");
        std::strcpy(cd->spe2.name, "?");
    }

    char tmpl[] = "/tmp/kx29-conf-XXXXXX";
    std::filesystem::path dir = mkdtemp(tmpl);
    const std::filesystem::path example = std::filesystem::path(KX29_SOURCE_DIR) / "examples" / "kx29.conf";
    std::filesystem::copy_file(example, dir / "kx29.conf");
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    testing::internal::CaptureStderr();
    read_conf();
    std::string reports = testing::internal::GetCapturedStderr();
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);

    EXPECT_EQ(reports, "");
    EXPECT_EQ(ver_board_29, default_version);
    EXPECT_EQ(base_addr, default_base);
    EXPECT_EQ(spe_dir, default_dir);
    for (int i = 0; i < KX29_CHANNELS; ++i) {
        const ChanDef& d = defaults[i];
        const ChanDef& c = *chan[i];
        EXPECT_EQ(c.tandem, d.tandem) << i;
        for (auto [got, want] : {std::pair{&c.spe1, &d.spe1}, std::pair{&c.spe2, &d.spe2}}) {
            EXPECT_STREQ(got->name, want->name) << i;
            EXPECT_EQ(got->size, want->size) << i;
            EXPECT_EQ(got->sum, want->sum) << i;
        }
        EXPECT_EQ(c.cols1, d.cols1) << i;
        EXPECT_EQ(c.lines1, d.lines1) << i;
        EXPECT_EQ(c.cols2, d.cols2) << i;
        EXPECT_EQ(c.lines2, d.lines2) << i;
    }
}
