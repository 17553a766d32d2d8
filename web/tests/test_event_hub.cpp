// The console's event hub: each event once and in order, and a viewer that fell
// behind its history gets the latest state instead of a gap.
#include <gtest/gtest.h>

#include "events.h"

namespace {

using kx29web::EventHub;

TEST(EventHub, EachEventOnceInOrderOrTheSnapshotAfterAGap) {
    EventHub hub;
    uint64_t cursor = 0;
    hub.snapshot(cursor);
    hub.publish("daemon", "1", kx29web::kTopicDaemon);
    hub.publish("channel", "2", kx29web::kTopicChannel0);
    EXPECT_EQ(hub.after(cursor), "id: 1\nevent: daemon\ndata: 1\n\nid: 2\nevent: channel\ndata: 2\n\n");
    EXPECT_EQ(hub.after(cursor), "");

    uint64_t behind = cursor;
    for (int i = 0; i < 300; ++i) hub.publish("channel", std::to_string(i), kx29web::kTopicChannel0 + 1);
    const std::string text = hub.after(behind);
    EXPECT_TRUE(text.starts_with("retry: ")) << text.substr(0, 80);
    EXPECT_NE(text.find("data: 1\n"), std::string::npos);    // the daemon's latest
    EXPECT_NE(text.find("data: 299\n"), std::string::npos);  // and each channel's
    EXPECT_EQ(text.find("data: 298\n"), std::string::npos);
    EXPECT_EQ(hub.after(behind), "");
}

}  // namespace
