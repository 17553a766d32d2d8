// kx29ctl against the simulated daemon: the conformance check and a channel without video
// (acquiring to files, withdrawals and aborts are the storm's).
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "daemon_harness.h"

#include <array>

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
}

}  // namespace
