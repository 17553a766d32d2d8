// kx29ctl against the simulated daemon: acquiring to FITS and PNG, the conformance check and a
// channel without video (withdrawals and aborts are the storm's).
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "daemon_harness.h"

#include <array>

namespace {

using kx29harness::Daemon;
using namespace kx29test;

// Acquiring to files, the conformance check (which puts the channel's settings back), and
// channel 3, which has no video: its request fails.
TEST(ClientEndToEnd, AcquireCheckAndAChannelWithoutVideo) {
    Daemon d("novideo=3");
    ASSERT_TRUE(d.start()) << d.err();
    Scratch dir;
    auto res = run_ctl({"acquire", "-c", "0", "--frames", "3", "--images", "2", "-o", dir / "a{n}.fits",
                        "-o", dir / "a{n}.png"}, d.key(), 60);
    ASSERT_EQ(res.status, 0) << res.out << res.err << d.out();
    // Both outputs of both images; the files' contents are the business of ClientFiles.
    for (const char* name : {"a1.fits", "a1.png", "a2.png"}) EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
    EXPECT_TRUE(fitsverify(dir / "a2.fits"));
    // The last image is still the record's image: the file must hold it.
    auto f = read_fits(dir / "a2.fits");
    ASSERT_EQ(f.pixels.size(), 768u * 512);
    EXPECT_TRUE(std::equal(f.pixels.begin(), f.pixels.end(), d.record(0)->image));
    EXPECT_EQ(f.keys["NCOMBINE"], "3");

    for (int ch : {0, 1}) {
        TVchan before = *d.record(ch);
        res = run_ctl({"check", "-c", std::to_string(ch)}, d.key(), 120);
        EXPECT_EQ(res.status, 0) << res.out << res.err;
        EXPECT_TRUE(contains(res.out, " 0 failed")) << res.out;
        const TVchan* after = d.record(ch);
        EXPECT_EQ((std::array{after->form, after->frm_width, after->nadd, after->command}),
                  (std::array{before.form, before.frm_width, before.nadd, before.command}));
    }

    res = run_ctl({"acquire", "-c", "3", "--frames", "2"}, d.key(), 30);
    EXPECT_EQ(res.status, 1);
    EXPECT_TRUE(contains(res.err, "Can't read frame, no video!!!")) << res.err;
}

}  // namespace
