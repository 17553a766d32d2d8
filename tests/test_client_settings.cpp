// Checking acquisition requests and settings against a record before anything is written:
// parameter ranges, the window against the format that will be loaded, window and flat text.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "kx29/acquire.h"

#include <limits>
#include <sstream>

namespace {

using namespace kx29;

WindowRequest window(int x, int y, int w, int h) { return {false, {x, y, w, h}}; }
const WindowRequest kFull{true, {}};

TEST(ClientSettings, RequestsAreCheckedBeforeAnythingIsWritten) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        std::function<void(AcquireRequest&, ChannelState&)> change;
        const char* result;  // part of the error message, or "accepted"
    };
    const Case cases[] = {
        {"defaults", [](auto&, auto&) {}, "accepted"},
        {"channel 4", [](auto& r, auto&) { r.channel = 4; }, "channel 4"},
        {"format 3", [](auto& r, auto&) { r.format = 3; }, "format 3"},
        {"frames 0", [](auto& r, auto&) { r.frames = 0; }, "frames"},
        {"images 0", [](auto& r, auto&) { r.images = 0; }, "images"},
        {"images endless", [](auto& r, auto&) { r.images = -1; }, "accepted"},
        {"ref level 63", [](auto& r, auto&) { r.ref_lev = 63; }, "accepted"},
        {"ref level 64", [](auto& r, auto&) { r.ref_lev = 64; }, "reference level"},
        {"exposure 30", [](auto& r, auto& s) { s.tandem = 1; r.exposure = 30.0; }, "accepted"},
        {"exposure negative", [](auto& r, auto& s) { s.tandem = 1; r.exposure = -0.5; }, "exposure"},
        {"exposure NaN", [=](auto& r, auto& s) { s.tandem = 1; r.exposure = nan; }, "exposure"},
        {"exposure without camera", [](auto& r, auto&) { r.exposure = 2.0; }, "long-exposure camera"},
        // Format unchanged: the record's 768x512 is the image the window must fit.
        {"window corner", [](auto& r, auto&) { r.window = window(767, 511, 1, 1); }, "accepted"},
        {"window too wide", [](auto& r, auto&) { r.window = window(700, 0, 69, 10); }, "not inside"},
        {"window too tall", [](auto& r, auto&) { r.window = window(0, 500, 10, 13); }, "not inside"},
        {"window empty", [](auto& r, auto&) { r.window = window(0, 0, 0, 10); }, "not inside"},
        {"window overflowing", [](auto& r, auto&) { r.window = window(2147483000, 0, 1000, 1); }, "not inside"},
        {"record window outside", [](auto&, auto& s) { s.window = {600, 0, 200, 10}; }, "outside its image"},
        {"record window full", [](auto& r, auto& s) { s.window = {600, 0, 200, 10}; r.window = kFull; }, "accepted"},
        {"image beyond the record", [](auto& r, auto& s) { s.img_width = 1024; r.window = kFull; }, "768x576"},
        // Format changing: the daemon resets the window at the switch.
        {"switch, window", [](auto& r, auto&) { r.format = 2; r.window = window(0, 0, 9, 9); }, "format change"},
        {"switch, full", [](auto& r, auto&) { r.format = 2; r.window = kFull; }, "accepted"},
        {"0 loads 1", [](auto& r, auto& s) { s.next_form = 0; r.window = window(0, 0, 5, 5); }, "accepted"},
        {"7 loads 2", [](auto& r, auto& s) { s.form = 2; s.next_form = 7; r.window = window(0, 0, 5, 5); }, "accepted"},
    };
    for (const Case& c : cases) {
        ChannelState s;
        s.form = s.next_form = 1;
        s.img_width = 768;
        s.img_height = 512;
        s.window = {100, 50, 200, 100};
        AcquireRequest req;
        c.change(req, s);
        std::string result = kx29test::error_of([&] { kx29::plan_acquisition(req, s); });
        EXPECT_TRUE(kx29test::contains(result, c.result)) << c.what << ": " << result;
    }
    // A long exposure of 30 s must not be taken for a stalled daemon before it can end.
    AcquirePlan plan;
    plan.long_exposure = true;
    plan.frame_exposure = 30.0;
    EXPECT_GT(kx29::default_stall_timeout(plan), std::chrono::seconds(30));
}

TEST(ClientSettings, WindowAndFlatProfileText) {
    EXPECT_TRUE(kx29::parse_window("full").full);
    EXPECT_EQ(kx29::parse_window("10,-2,30,40").window, (Window{10, -2, 30, 40}));
    for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "1,,3,4", "1,2,3,4x", "99999999999,0,1,1", "FULL"})
        EXPECT_THROW(kx29::parse_window(bad), kx29::Error) << '"' << bad << '"';

    std::string good = "# profile\n", ones;
    for (int i = 0; i < 768; ++i) good += std::to_string(i - 5) + (i % 10 == 9 ? "\n" : i % 2 ? ", " : "\t");
    std::istringstream in(good);
    auto flat = kx29::parse_flat_profile(in, "good");
    EXPECT_EQ(std::pair(flat[0], flat[767]), std::pair(-5, 762));
    for (int i = 0; i < 767; ++i) ones += "1 ";
    const std::pair<std::string, const char*> bad_profiles[] = {
        {ones, "767 values"}, {ones + "1 1", "more than 768"}, {ones + "\n\n1.5", "f:3: '1.5' is not an integer"},
        {ones + "99999999999", "integer"}};
    for (const auto& [text, error] : bad_profiles) {
        std::istringstream bad(text);
        std::string result = kx29test::error_of([&] { kx29::parse_flat_profile(bad, "f"); });
        EXPECT_TRUE(kx29test::contains(result, error)) << result;
    }
}

}  // namespace
