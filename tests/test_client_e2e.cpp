// kx29ctl against the simulated daemon: acquiring to FITS and PNG, the conformance check,
// Ctrl-C during an acquisition and a long exposure, and a channel without video.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "daemon_harness.h"

#include <fitsio.h>

namespace {

namespace fs = std::filesystem;
using kx29harness::Daemon;
using kx29test::CtlProcess;
using kx29test::run_ctl;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Scratch {
    fs::path dir;
    Scratch() {
        char tmpl[] = "/tmp/kx29-e2e-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string operator/(const std::string& name) const { return (dir / name).string(); }
};

TEST(ClientEndToEnd, AcquiresToFitsAndPng) {
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    Scratch dir;
    auto res = run_ctl({"acquire", "-c", "0", "--frames", "3", "--images", "2", "--clear", "-o", dir / "a{n}.fits",
                        "-o", dir / "a{n}.png"},
                       d.key(), 60);
    ASSERT_EQ(res.status, 0) << res.out << res.err << d.out();
    for (const char* name : {"a1.fits", "a2.fits", "a1.png", "a2.png"}) EXPECT_TRUE(fs::exists(dir / name)) << name;

    std::string verify;
    FILE* p = popen((std::string(KX29_FITSVERIFY) + " " + (dir / "a2.fits") + " 2>&1").c_str(), "r");
    char buf[256];
    while (fgets(buf, sizeof buf, p) != nullptr) verify += buf;
    pclose(p);
    EXPECT_TRUE(contains(verify, "0 warning(s) and 0 error(s)")) << verify;

    // The last image is still the record's image: the file must hold it.
    int status = 0;
    fitsfile* f = nullptr;
    fits_open_diskfile(&f, (dir / "a2.fits").c_str(), READONLY, &status);
    std::vector<short> data(768 * 512);
    fits_read_img(f, TSHORT, 1, 768 * 512, nullptr, data.data(), nullptr, &status);
    int ncombine = 0;
    fits_read_key(f, TINT, "NCOMBINE", &ncombine, nullptr, &status);
    fits_close_file(f, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(ncombine, 3);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), d.record(0)->image));
    EXPECT_EQ(d.record(0)->command, 0);
}

TEST(ClientEndToEnd, CheckPassesOnTheVideoAndTheLongExposureChannel) {
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    for (const char* ch : {"0", "1"}) {
        TVchan before = *d.record(std::atoi(ch));
        auto res = run_ctl({"check", "-c", ch}, d.key(), 120);
        EXPECT_EQ(res.status, 0) << res.out << res.err;
        EXPECT_TRUE(contains(res.out, " 0 failed")) << res.out;
        TVchan* after = d.record(std::atoi(ch));
        EXPECT_EQ(after->form, before.form);
        EXPECT_EQ(after->frm_width, before.frm_width);
        EXPECT_EQ(after->nadd, before.nadd);
        EXPECT_EQ(after->command, before.command);
    }
}

TEST(ClientEndToEnd, CtrlCEndsAcquisitionsAndLeavesTheChannelIdle) {
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    TVchan* r = d.record(2);
    {
        CtlProcess p({"acquire", "-c", "2", "--frames", "1000", "--images", "-1", "--clear"}, d.key());
        ASSERT_TRUE(Daemon::wait_for([&] { return r->seqn >= 2; }, 20)) << p.out();
        p.signal(SIGINT);
        auto res = p.wait(5);
        EXPECT_EQ(res.status, 0) << res.err;  // Ctrl-C is how an endless series ends
        EXPECT_EQ(r->command, 0);
        int seqn = r->seqn;
        usleep(600000);
        EXPECT_LE(r->seqn, seqn + 1);  // at most the frame under way, then nothing
    }
    {
        // A long exposure of a minute, ended a second in: the daemon must be
        // free again right away.
        TVchan* lx = d.record(1);
        int seqmsg = lx->seqmsg;
        CtlProcess p({"acquire", "-c", "1", "--exposure", "60"}, d.key());
        ASSERT_TRUE(Daemon::wait_for([&] { return lx->seqmsg > seqmsg + 1; }, 20)) << p.out();
        p.signal(SIGINT);
        auto res = p.wait(5);
        EXPECT_EQ(res.status, 1) << res.err;
        EXPECT_EQ(lx->command, 0);
        auto next = run_ctl({"acquire", "-c", "0", "--frames", "2", "--timeout", "5"}, d.key(), 20);
        EXPECT_EQ(next.status, 0) << next.err;
    }
}

TEST(ClientEndToEnd, NoVideoIsAFailedRequest) {
    Daemon d(kx29harness::Options{"novideo=3", "", ""});
    ASSERT_TRUE(d.start()) << d.err();
    auto res = run_ctl({"acquire", "-c", "3", "--frames", "2"}, d.key(), 30);
    EXPECT_EQ(res.status, 1);
    EXPECT_TRUE(contains(res.err, "Can't read frame, no video!!!")) << res.err;
    EXPECT_EQ(d.record(3)->command, 0);
}

}  // namespace
