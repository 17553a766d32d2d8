// The client library on hand-made segments: attachment and its errors, daemon liveness,
// field access at the record's offsets, atomic command bits and image copies.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "kx29/client.h"

#include <atomic>
#include <thread>

namespace {

using kx29::Access;
using kx29::ErrorKind;
using kx29::Segment;
using kx29test::HandMadeSegment;

ShmKey key_of(const std::string& text) {
    ShmKey k{};
    EXPECT_TRUE(kx29_key_from_text(text.c_str(), &k));
    return k;
}

// The error an attachment (plus a liveness check) gives, or none.
std::optional<kx29::Error> attach_error(const std::string& key) {
    try {
        Segment seg = Segment::attach(key_of(key), Access::ReadOnly);
        seg.require_daemon();
    } catch (const kx29::Error& e) {
        return e;
    }
    return std::nullopt;
}

int dead_pid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

TEST(ClientSegment, AttachmentAndLivenessErrorsNameTheirCause) {
    {
        // A key no segment has: removed again right after it was made.
        std::string gone;
        { gone = HandMadeSegment().key(); }
        auto e = attach_error(gone);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->kind(), ErrorKind::Environment);
        EXPECT_NE(std::string(e->what()).find("no daemon has run on this machine"), std::string::npos) << e->what();
    }
    {
        HandMadeSegment small(1000);
        auto e = attach_error(small.key());
        ASSERT_TRUE(e);
        EXPECT_EQ(e->kind(), ErrorKind::Environment);
        EXPECT_NE(std::string(e->what()).find("1000 bytes"), std::string::npos) << e->what();
    }
    struct Case {
        const char* what;
        int pid;
        const char* message;  // nullptr: alive
    };
    const Case cases[] = {
        {"own pid", getpid(), nullptr},
        {"clean shutdown", 0, "ended cleanly"},
        {"process gone", dead_pid(), "no longer exists"},
        {"negative word", -1, "no longer exists"},
    };
    HandMadeSegment seg;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seg.set_pid(c.pid);
        auto e = attach_error(seg.key());
        if (c.message == nullptr) {
            EXPECT_FALSE(e) << e->what();
        } else {
            ASSERT_TRUE(e);
            EXPECT_EQ(e->kind(), ErrorKind::Environment);
            EXPECT_NE(std::string(e->what()).find(c.message), std::string::npos) << e->what();
        }
    }
}

TEST(ClientSegment, FieldsAreReadAndWrittenAtTheRecordsOffsets) {
    HandMadeSegment hm;
    Segment seg = Segment::attach(key_of(hm.key()), Access::ReadWrite);
    // Records 1 and 3 start 4 bytes off an 8-byte boundary: the double
    // there must still land at offset 8 of the record.
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
        SCOPED_TRACE(ch);
        kx29::Channel c = seg.channel(ch);
        c.set_exposure(12.5 + ch);
        c.set_window({1, 2, 3, 4});
        c.set_nexp(-1);
        c.set_nadd(7);
        EXPECT_EQ(hm.exposure(ch), 12.5 + ch);
        TVchan* r = hm.record(ch);
        EXPECT_EQ(r->frm_col0, 1);
        EXPECT_EQ(r->frm_lin0, 2);
        EXPECT_EQ(r->frm_width, 3);
        EXPECT_EQ(r->frm_height, 4);
        EXPECT_EQ(r->nexp, -1);
        EXPECT_EQ(r->nadd, 7);
        EXPECT_EQ(c.num(), ch);
        EXPECT_EQ(hm.record(ch)->activ, c.activ());
    }
    // A message of 99 characters and its terminating 0 in the last byte.
    hm.post(2, std::string(120, 'x'));
    EXPECT_EQ(seg.view(2).msg(), std::string(99, 'x'));
    EXPECT_EQ(seg.view(2).seqmsg(), 1);
}

TEST(ClientSegment, ReadOnlyAttachmentGivesNoWriteAccess) {
    HandMadeSegment hm;
    Segment seg = Segment::attach(key_of(hm.key()), Access::ReadOnly);
    EXPECT_EQ(seg.view(3).img_height(), 512);
    EXPECT_THROW(seg.channel(0), kx29::Error);
    EXPECT_THROW(seg.view(4), kx29::Error);
}

// Two writers of one command word, each toggling a bit of its own and
// checking it after every change: an operation that is not atomic wipes the
// other writer's bit now and then.
TEST(ClientSegment, CommandBitsSurviveConcurrentChanges) {
    HandMadeSegment hm;
    Segment seg = Segment::attach(key_of(hm.key()), Access::ReadWrite);
    std::atomic<int> ready{0};
    auto toggle = [&](int bit, std::atomic<int>& lost) {
        kx29::Channel c = seg.channel(0);
        for (++ready; ready < 2;) {
        }
        for (int i = 0; i < 3000000; ++i) {
            c.set_command_bits(bit);
            if (!(c.command() & bit)) ++lost;
            c.clear_command_bits(bit);
            if (c.command() & bit) ++lost;
        }
    };
    std::atomic<int> lost_show{0}, lost_acquire{0};
    std::thread other([&] { toggle(CMD_SHOW, lost_show); });
    toggle(CMD_ACQUIRE, lost_acquire);
    other.join();
    EXPECT_EQ(lost_show, 0);
    EXPECT_EQ(lost_acquire, 0);
    EXPECT_EQ(seg.view(0).command(), 0);
}

TEST(ClientSegment, ReloadIsWrittenOnlyIntoAnIdleWord) {
    HandMadeSegment hm;
    Segment seg = Segment::attach(key_of(hm.key()), Access::ReadWrite);
    kx29::Channel c = seg.channel(1);
    c.set_command_bits(CMD_CCD);
    EXPECT_FALSE(c.request_reload());  // 20 would never be taken as a reload
    EXPECT_EQ(c.command(), CMD_CCD);
    c.clear_command_bits(CMD_CCD);
    EXPECT_TRUE(c.request_reload());
    EXPECT_EQ(c.command(), CMD_RELOAD);
}

TEST(ClientSegment, ImageCopyCoversTheImageGeometryOnly) {
    HandMadeSegment hm;
    Segment seg = Segment::attach(key_of(hm.key()), Access::ReadOnly);
    TVchan* r = hm.record(2);
    r->img_width = 512;
    r->img_height = 100;
    r->image[511] = 1234;
    r->image[51200] = 999;  // past the image: not part of it
    kx29::ChannelImage img = seg.view(2).capture_image();
    ASSERT_EQ(img.pixels.size(), 51200u);
    EXPECT_EQ(img.pixels[511], 1234);
    EXPECT_EQ(img.pixels[512], r->image[512]);
    EXPECT_EQ(img.state.seqn, r->seqn);

    r->img_width = 769;  // wider than the record's flat profile and lines
    EXPECT_THROW(seg.view(2).capture_image(), kx29::Error);
    r->img_width = 768;
    r->img_height = 577;
    EXPECT_THROW(seg.view(2).capture_image(), kx29::Error);
}

}  // namespace
