// Checking acquisition requests and settings against a record before anything is written:
// parameter ranges, the window against the format that will be loaded, window text, flat profiles.
#include <gtest/gtest.h>

#include "kx29/acquire.h"

#include <cmath>
#include <functional>
#include <limits>
#include <sstream>

namespace {

using kx29::AcquireRequest;
using kx29::ChannelState;
using kx29::Window;
using kx29::WindowRequest;

// A record as a client finds it: format 1 of 768x512 loaded, window 100,50 200x100.
ChannelState record(int tandem = 0) {
    ChannelState s;
    s.num = 0;
    s.tandem = tandem;
    s.exposure = 0.04;
    s.form = s.next_form = 1;
    s.img_width = 768;
    s.img_height = 512;
    s.window = {100, 50, 200, 100};
    return s;
}

AcquireRequest request(const std::function<void(AcquireRequest&)>& change) {
    AcquireRequest r;
    change(r);
    return r;
}

WindowRequest window(int x, int y, int w, int h) { return {false, {x, y, w, h}}; }

TEST(ClientSettings, RequestsAreCheckedBeforeAnythingIsWritten) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        AcquireRequest req;
        int tandem;
        const char* error;  // part of the message; nullptr when accepted
    };
    const Case cases[] = {
        {"defaults", {}, 0, nullptr},
        {"channel -1", request([](auto& r) { r.channel = -1; }), 0, "channel -1"},
        {"channel 4", request([](auto& r) { r.channel = 4; }), 0, "channel 4"},
        {"format 0", request([](auto& r) { r.format = 0; }), 0, "format 0"},
        {"format 3", request([](auto& r) { r.format = 3; }), 0, "format 3"},
        {"frames 0", request([](auto& r) { r.frames = 0; }), 0, "frames"},
        {"frames -1", request([](auto& r) { r.frames = -1; }), 0, "frames"},
        {"images 0", request([](auto& r) { r.images = 0; }), 0, "images"},
        {"images endless", request([](auto& r) { r.images = -1; }), 0, nullptr},
        {"ref level 63", request([](auto& r) { r.ref_lev = 63; }), 0, nullptr},
        {"ref level 64", request([](auto& r) { r.ref_lev = 64; }), 0, "reference level"},
        {"ref level -1", request([](auto& r) { r.ref_lev = -1; }), 0, "reference level"},
        {"exposure 0", request([](auto& r) { r.exposure = 0.0; }), 1, nullptr},
        {"exposure 30", request([](auto& r) { r.exposure = 30.0; }), 1, nullptr},
        {"exposure negative", request([](auto& r) { r.exposure = -0.5; }), 1, "exposure"},
        {"exposure NaN", request([=](auto& r) { r.exposure = nan; }), 1, "exposure"},
        {"exposure infinite", request([=](auto& r) { r.exposure = inf; }), 1, "exposure"},
        {"exposure without camera", request([](auto& r) { r.exposure = 2.0; }), 0, "long-exposure camera"},
        // Format unchanged: the record's 768x512 is the image the window must fit.
        {"window whole", request([](auto& r) { r.window = window(0, 0, 768, 512); }), 0, nullptr},
        {"window corner", request([](auto& r) { r.window = window(767, 511, 1, 1); }), 0, nullptr},
        {"window too wide", request([](auto& r) { r.window = window(700, 0, 69, 10); }), 0, "not inside"},
        {"window too high", request([](auto& r) { r.window = window(0, 500, 10, 13); }), 0, "not inside"},
        {"window negative", request([](auto& r) { r.window = window(-1, 0, 10, 10); }), 0, "not inside"},
        {"window empty", request([](auto& r) { r.window = window(0, 0, 0, 10); }), 0, "not inside"},
        {"window overflowing", request([](auto& r) { r.window = window(2147483000, 0, 1000, 1); }), 0, "not inside"},
        {"same format named", request([](auto& r) { r.format = 1; r.window = window(0, 0, 10, 10); }), 0, nullptr},
        // Format changing: the daemon resets the window at the switch.
        {"switch with window", request([](auto& r) { r.format = 2; r.window = window(0, 0, 10, 10); }), 0,
         "format changes"},
        {"switch with full", request([](auto& r) { r.format = 2; r.window = WindowRequest{true, {}}; }), 0, nullptr},
        {"switch alone", request([](auto& r) { r.format = 2; }), 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            kx29::plan_acquisition(c.req, record(c.tandem));
            EXPECT_EQ(c.error, nullptr) << "accepted";
        } catch (const kx29::Error& e) {
            ASSERT_NE(c.error, nullptr) << e.what();
            EXPECT_EQ(e.kind(), kx29::ErrorKind::Usage);
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

TEST(ClientSettings, PlanSaysWhatWillBeWritten) {
    // "full" with the format unchanged is the record's whole image.
    auto p = kx29::plan_acquisition(request([](auto& r) { r.window = WindowRequest{true, {}}; }), record());
    ASSERT_TRUE(p.window);
    EXPECT_EQ(*p.window, (Window{0, 0, 768, 512}));
    EXPECT_FALSE(p.format_changing);

    // With a switch nothing is written: the daemon puts the new format's window in.
    p = kx29::plan_acquisition(request([](auto& r) { r.format = 2; r.window = WindowRequest{true, {}}; }), record());
    EXPECT_FALSE(p.window);
    EXPECT_TRUE(p.format_changing);

    // A next_form outside 1..2 is clamped by the daemon: 7 loads format 2.
    ChannelState s = record();
    s.next_form = 7;
    s.form = 2;
    p = kx29::plan_acquisition(request([](auto& r) { r.window = window(0, 0, 5, 5); }), s);
    EXPECT_FALSE(p.format_changing);

    // Long exposures only above 0.041 s on the camera's channel.
    EXPECT_FALSE(kx29::plan_acquisition(request([](auto& r) { r.exposure = 0.041; }), record(1)).long_exposure);
    p = kx29::plan_acquisition(request([](auto& r) { r.exposure = 0.05; }), record(1));
    EXPECT_TRUE(p.long_exposure);
    EXPECT_DOUBLE_EQ(p.frame_exposure, 0.05);
}

TEST(ClientSettings, RecordWindowOutsideItsImageNeedsAWindow) {
    ChannelState s = record();
    s.window = {600, 0, 200, 10};  // left by some other client
    EXPECT_THROW(kx29::plan_acquisition({}, s), kx29::Error);
    EXPECT_NO_THROW(kx29::plan_acquisition(request([](auto& r) { r.window = WindowRequest{true, {}}; }), s));
    s.img_width = 1024;  // beyond the record's capacity
    EXPECT_THROW(kx29::plan_acquisition(request([](auto& r) { r.window = window(0, 0, 5, 5); }), s), kx29::Error);
}

TEST(ClientSettings, WindowText) {
    EXPECT_TRUE(kx29::parse_window("full").full);
    auto w = kx29::parse_window("10,-2,30,40");
    EXPECT_FALSE(w.full);
    EXPECT_EQ(w.window, (Window{10, -2, 30, 40}));
    for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "1,,3,4", "a,b,c,d", "1,2,3,4x", "1 ,2,3,4", "99999999999,0,1,1",
                            "FULL"})
        EXPECT_THROW(kx29::parse_window(bad), kx29::Error) << '"' << bad << '"';
}

TEST(ClientSettings, FlatProfileText) {
    std::string good = "# profile\n";
    for (int i = 0; i < 768; ++i) good += std::to_string(i - 5) + (i % 10 == 9 ? "\n" : i % 2 ? ", " : "\t");
    std::istringstream in(good);
    auto flat = kx29::parse_flat_profile(in, "good");
    EXPECT_EQ(flat[0], -5);
    EXPECT_EQ(flat[767], 762);

    struct Case {
        std::string text;
        const char* error;
    };
    std::string short_text;
    for (int i = 0; i < 767; ++i) short_text += "1 ";
    const Case cases[] = {
        {short_text, "767 values"},
        {short_text + "1 1", "more than 768"},
        {short_text + "1.5", "'1.5' is not an integer"},
        {short_text + "\n\nx", "f:3: 'x'"},
        {short_text + "99999999999", "not an integer"},
    };
    for (const Case& c : cases) {
        std::istringstream bad(c.text);
        try {
            kx29::parse_flat_profile(bad, "f");
            ADD_FAILURE() << "accepted, expected " << c.error;
        } catch (const kx29::Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

TEST(ClientSettings, ExposureCountdownMessages) {
    EXPECT_EQ(kx29::parse_exposure_countdown("Tandem Exposure: 12.0"), 12.0);
    EXPECT_EQ(kx29::parse_exposure_countdown("Tandem Exposure: 0.0"), 0.0);
    EXPECT_FALSE(kx29::parse_exposure_countdown("Tandem Exposure: Ok"));
    EXPECT_FALSE(kx29::parse_exposure_countdown("Tandem Exposure: FAIL"));
    EXPECT_FALSE(kx29::parse_exposure_countdown("Tandem Exposure: nan"));
    EXPECT_FALSE(kx29::parse_exposure_countdown("Frame3(Add3 SubLev=12): Min=1 Max=2 Med=1.0 Avr=1.0 Disp=0.00"));
}

}  // namespace
