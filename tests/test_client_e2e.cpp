// kx29ctl against the simulated daemon: the conformance check and a channel without video
// (acquiring to files, withdrawals and aborts are the storm's).
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "daemon_harness.h"

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace {

using kx29harness::Daemon;
using namespace kx29test;

// The conformance check (which puts the channel's settings back), and channel 3, which has
// no video: its request fails.
TEST(ClientEndToEnd, CheckAndAChannelWithoutVideo) {
    Daemon d("novideo=3");
    ASSERT_TRUE(d.start()) << d.err();
    for (int ch : {0, 1}) {
        TVchan before = *d.record(ch);
        auto res = run_ctl({"check", "-c", std::to_string(ch)}, d.key(), 120);
        EXPECT_EQ(res.status, 0) << res.out << res.err;
        EXPECT_TRUE(contains(res.out, " 0 failed")) << res.out;
        const TVchan* after = d.record(ch);
        EXPECT_EQ((std::array{after->form, after->frm_width, after->nadd, after->command}),
                  (std::array{before.form, before.frm_width, before.nadd, before.command}));
    }

    auto res = run_ctl({"acquire", "-c", "3", "--frames", "2"}, d.key(), 30);
    EXPECT_EQ(res.status, 1);
    EXPECT_TRUE(contains(res.err, "Can't read frame, no video!!!")) << res.err;

    // A format switch resets the window to the new format's whole image: the image is still this request's.
    Scratch dir;
    res = run_ctl({"acquire", "-c", "2", "--format", "2", "--frames", "2", "-o", dir / "f2.pgm"}, d.key(), 60);
    EXPECT_EQ(res.status, 0) << res.out << res.err;
    const TVchan* r = d.record(2);
    const std::string header = "P5\n" + std::to_string(r->img_width) + " " + std::to_string(r->img_height) + "\n";
    EXPECT_EQ(kx29t::read_file(dir / "f2.pgm").substr(0, header.size()), header);
    EXPECT_NE(r->img_width, d.record(0)->img_width);  // format 2 of the configuration is another size
}

// A FITS date 'YYYY-MM-DDThh:mm:ss[.ff]' as seconds since the epoch.
double fits_seconds(const std::string& card) {
    std::tm tm{};
    double sec = 0;
    std::sscanf(card.c_str(), "'%d-%d-%dT%d:%d:%lf", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                &sec);
    tm.tm_year -= 1900, tm.tm_mon -= 1;
    return static_cast<double>(timegm(&tm)) + sec;
}

double wall_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// At the board's pace: the dates of a file span its frames' light within the call, to the
// hundredth of a second; long exposures are the camera's whole steps (0.3 s runs 0.32 s).
TEST(ClientEndToEnd, DatesSpanTheLightOfTheFramesSeen) {
    Daemon d("realtime");
    ASSERT_TRUE(d.start()) << d.err();
    Scratch dir;
    for (auto [ch, exposure, light] : {std::tuple{"0", "0.04", 0.12}, std::tuple{"1", "0.3", 0.96}}) {
        SCOPED_TRACE(ch);
        const double before = wall_now();
        std::vector<std::string> args{"acquire", "-c", ch, "--window", "0,0,64,32", "--frames", "3", "-o",
                                      dir / "d.fits", "--overwrite"};
        if (std::string(ch) == "1") args.insert(args.end(), {"--exposure", exposure});
        auto res = run_ctl(args, d.key(), 60);
        const double after = wall_now();
        ASSERT_EQ(res.status, 0) << res.err;
        auto f = read_fits(dir / "d.fits");
        const double start = fits_seconds(f.keys["DATE-OBS"]), end = fits_seconds(f.keys["DATE-END"]);
        // Hundredths when kx29ctl saw the readouts begin; a machine too loaded to poll
        // that often gets the daemon's whole seconds instead, which must hold too.
        const bool timed = f.keys["DATE-OBS"].size() == 24u;
        EXPECT_TRUE(timed || f.keys["DATE-OBS"].size() == 21u) << f.keys["DATE-OBS"];
        EXPECT_GE(start, before - (timed ? 0.05 : 1));
        EXPECT_LE(end, after);
        if (timed) {
            EXPECT_GE(end - start, light - 0.01);
        }
        EXPECT_NEAR(std::atof(f.keys["EXPTIME"].c_str()), light, 1e-9);
    }
}

// The first frames of a sum that will pass the record's 16 bits say so, long before its end;
// a sum whose light is not known is never given one.
TEST(ClientEndToEnd, ClippingIsForeseenFromTheFirstFrames) {
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    CtlProcess p({"acquire", "-c", "1", "--frames", "5000"}, d.key());
    EXPECT_TRUE(wait_for([&] { return contains(p.out(), "likely to clip"); }, 20)) << p.out();
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(20).status, 1);

    // Frames added to a long exposure cut short: the light of the sum stays unknown, in the
    // acquisition's file and in a later save of the record.
    Scratch dir;
    CtlProcess cut({"acquire", "-c", "1", "--exposure", "2", "--window", "0,0,64,32"}, d.key());
    ASSERT_TRUE(wait_for([&] { return contains(cut.out(), "Tandem Exposure"); }, 20)) << cut.out();
    cut.signal(SIGINT);
    ASSERT_EQ(cut.wait(20).status, 1);
    ASSERT_EQ(run_ctl({"acquire", "-c", "1", "--add", "--exposure", "0.2", "-o", dir / "a.fits"}, d.key()).status, 0);
    ASSERT_EQ(run_ctl({"save", "-c", "1", "-o", dir / "s.fits"}, d.key()).status, 0);
    for (const char* file : {"a.fits", "s.fits"}) EXPECT_EQ(read_fits(dir / file).keys["EXPKNOWN"], "F") << file;
}

}  // namespace
