// The client library on hand-made segments: attachment and liveness errors, fields at the
// records' offsets, atomic changes and claims of the command word, whole image copies within the record.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "kx29/client.h"
#include "kx29/control.h"

#include <atomic>
#include <limits>
#include <optional>

namespace {

using kx29::Access;
using kx29::Segment;
using namespace kx29test;

TEST(ClientSegment, AttachmentAndLivenessErrorsNameTheirCause) {
    const int kNoPid = std::numeric_limits<int>::max();  // far beyond the kernel's largest PID
    const size_t full = KX29_SEGMENT_BYTES;  // bytes 0: no segment under the key
    for (auto [bytes, pid, expected] : {std::tuple{full, getpid(), "accepted"},
                                        std::tuple{size_t{0}, 0, "no daemon has run on this machine"},
                                        std::tuple{size_t{1000}, 0, "1000 bytes, fewer than"},
                                        std::tuple{full, 0, "ended cleanly"},
                                        std::tuple{full, 1, "is no daemon attached to it"},  // init
                                        std::tuple{full, kNoPid, "no longer exists"},
                                        std::tuple{full, -kNoPid, "no longer exists"},
                                        std::tuple{full, -getpid(), "is starting"}}) {
        std::optional<HandMadeSegment> seg;
        std::string key = bytes == 0 ? HandMadeSegment().key() : seg.emplace(bytes).key();
        if (bytes == full) seg->set_pid(pid);
        std::string result = error_of([&] { attach(key, Access::ReadOnly).require_daemon(); });
        EXPECT_TRUE(contains(result, expected)) << result;
    }
}

// Records 1 and 3 start 4 bytes off an 8-byte boundary: the exposure must
// still land at offset 8 of each record. Image copies stay within the record.
TEST(ClientSegment, FieldsAndImageStayInTheRecords) {
    HandMadeSegment hm;
    Segment seg = attach(hm.key());
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
        const double exposure = 12.5 + ch;
        kx29::Channel c = seg.channel(ch);
        c.set_exposure(exposure);
        c.set_window({1, 2, 3, 4});
        EXPECT_EQ(std::memcmp(reinterpret_cast<char*>(hm.record(ch)) + 8, &exposure, sizeof exposure), 0) << ch;
        EXPECT_EQ(hm.record(ch)->frm_height, 4) << ch;
    }
    hm.post(2, std::string(120, 'x'));  // 99 characters and the terminating 0 in the last byte
    EXPECT_EQ(seg.view(2).msg(), std::string(99, 'x'));
    hm.post(2, "\xff\xc3\xa9\xed\xa0\x80\xc3");  // bytes of no text, an é, a surrogate, a cut sequence
    EXPECT_EQ(seg.view(2).msg(), "\uFFFD\u00e9\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(error_of([&] { attach(hm.key(), Access::ReadOnly).channel(0); }),
              "the segment is attached read-only");

    TVchan* r = hm.record(2);
    r->img_width = 512;
    r->img_height = 100;
    r->image[51199] = 1234;
    r->activ = ACTIV_SWITCHED | ACTIV_WRITING;  // a frame being written: no copy is whole
    EXPECT_THROW(seg.view(2).capture_image(std::chrono::milliseconds(20)), kx29::Error);
    r->activ = ACTIV_SWITCHED;
    kx29::ChannelImage img = seg.view(2).capture_image();
    ASSERT_EQ(img.pixels.size(), 51200u);
    EXPECT_EQ(img.pixels.back(), 1234);
    for (auto [w, h] : {std::pair{769, 576}, std::pair{768, 577}}) {  // beyond the record's 768 x 576
        r->img_width = w;
        r->img_height = h;
        EXPECT_THROW(seg.view(2).capture_image(), kx29::Error) << w << "x" << h;
    }
}

// Two writers of one command word, each toggling a bit of its own and
// checking it after every change: an operation that is not atomic wipes the
// other writer's bit now and then.
TEST(ClientSegment, CommandBitsSurviveConcurrentChanges) {
    HandMadeSegment hm;
    Segment seg = attach(hm.key());
    std::atomic<int> ready{0}, lost{0};
    auto toggle = [&](int bit) {
        kx29::Channel c = seg.channel(0);
        for (++ready; ready < 2;) {
        }
        for (int i = 0; i < 20000000; ++i) {
            c.set_command_bits(bit);
            if (!(c.command() & bit)) ++lost;
            c.clear_command_bits(bit);
            if (c.command() & bit) ++lost;
        }
    };
    std::thread other([&] { toggle(CMD_SHOW); });
    toggle(CMD_ACQUIRE);
    other.join();
    EXPECT_EQ(lost, 0);

    // Claims go only into a word without the work they would take over.
    kx29::Channel c = seg.channel(1);
    c.set_command_bits(CMD_CLEAR);
    EXPECT_FALSE(c.claim_with_clear() || c.claim_for_acquisition(true, false));
    c.clear_command_bits(CMD_CLEAR);
    EXPECT_TRUE(c.claim_for_acquisition(false, true) && c.command() == (CMD_ACQUIRE | CMD_CCD));
    c.clear_command_bits(CMD_ACQUIRE | CMD_CCD);
    // A clear sets the tallies to 0 only when the daemon did the clear alone
    // (seqn one further); frames of another client's acquisition that took up
    // the bit leave that acquisition's tallies.
    for (int counted : {1, 3}) {
        hm.record(1)->nadded = 4;
        std::jthread daemon([&] {
            while (!(hm.command(1) & CMD_CLEAR)) std::this_thread::yield();
            __atomic_fetch_add(&hm.record(1)->seqn, counted, __ATOMIC_SEQ_CST);
            __atomic_fetch_and(&hm.record(1)->command, ~CMD_CLEAR, __ATOMIC_SEQ_CST);
        });
        const std::string said = error_of([&] { kx29::clear_image(c, std::chrono::seconds(5)); });
        EXPECT_EQ(std::pair(contains(said, "took the image"), hm.record(1)->nadded),
                  std::pair(counted != 1, counted == 1 ? 0 : 4));
    }
    // A reload counts only as the whole word, so it goes only into an idle one.
    c.set_command_bits(CMD_CCD);
    EXPECT_FALSE(c.request_reload());
    EXPECT_EQ(c.command(), CMD_CCD);
    c.clear_command_bits(CMD_CCD);
    EXPECT_TRUE(c.request_reload());
    EXPECT_EQ(c.command(), CMD_RELOAD);
}

}  // namespace
