// kx29ctl as a subprocess on hand-made segments: exit statuses, records left untouched when a
// request is refused, requests withdrawn when unanswered, and series through a peer that plays
// the daemon's part in acquisitions.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "kx29/acquire.h"

#include <array>
#include <atomic>

namespace {

using namespace kx29test;

// Acquires on one channel a frame every 60 ms, about the daemon's fastest:
// each frame fills the image with its seqn, then counts it and posts its
// message; the last frame of an image counts nexp down, and the last image
// clears the request bits. Where a test needs every image, the peer begins
// an image only once the test has seen the one before taken (the client may
// be held up on a loaded machine; the daemon would not wait for it).
class AcquisitionPeer {
public:
    // countdown: a long exposure of that many seconds precedes every frame,
    // counted down in the record's messages as the daemon does.
    AcquisitionPeer(HandMadeSegment& seg, int ch, double countdown = 0, std::function<bool(int)> taken = {})
        : seg_(seg), r_(seg.record(ch)), countdown_(countdown), taken_(std::move(taken)),
          thread_([this](std::stop_token s) { run(s); }) {}
    // The record as it stood when CMD_ACQUIRE was first seen.
    const TVchan* first_request() const { return seen_ ? &first_ : nullptr; }

private:
    void run(std::stop_token stop) {
        for (int left = 0; !stop.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(60))) {
            int command = __atomic_load_n(&r_->command, __ATOMIC_SEQ_CST);
            if ((command & (CMD_CLEAR | CMD_ACQUIRE)) == CMD_CLEAR) {  // a clear alone
                std::fill(r_->image, r_->image + KX29_IMAGE_PIXELS, 0);
                __atomic_fetch_add(&r_->seqn, 1, __ATOMIC_SEQ_CST);
                __atomic_fetch_and(&r_->command, ~CMD_CLEAR, __ATOMIC_SEQ_CST);
            }
            if (!(command & CMD_ACQUIRE) || r_->nexp == 0 || r_->nadd == 0) {
                left = 0;
                continue;
            }
            if (!seen_) std::memcpy(static_cast<void*>(&first_), r_, offsetof(TVchan, flat));
            seen_ = true;
            if (left == 0) {
                left = r_->nadd;
                if (taken_ && images_ > 0) kx29t::wait_for([&] { return taken_(images_); }, 30);
                ++images_;
            }
            for (double t = countdown_; t > 0.01; t -= 0.1) {
                seg_.post(r_->num, "Tandem Exposure: " + std::to_string(t));
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            int seqn = r_->seqn + 1;
            std::fill(r_->image, r_->image + KX29_IMAGE_PIXELS, static_cast<short>(seqn));
            r_->nadded = r_->nadd - left + 1;
            __atomic_store_n(&r_->seqn, seqn, __ATOMIC_SEQ_CST);
            // The frame's report follows its count after a while, as when
            // the daemon's statistics take long.
            std::this_thread::sleep_for(std::chrono::milliseconds(8));
            seg_.post(r_->num, "Frame" + std::to_string(seqn) + "(Add1 SubLev=0): Min=1 Max=255 Med=1.0");
            if (--left == 0 && r_->nexp > 0 && --r_->nexp == 0)
                __atomic_fetch_and(&r_->command, ~(CMD_ACQUIRE | CMD_CLEAR), __ATOMIC_SEQ_CST);
        }
    }

    HandMadeSegment& seg_;
    TVchan* r_;
    double countdown_;
    std::function<bool(int)> taken_;  // image k (from 1) was taken by the client
    int images_ = 0;
    TVchan first_{};
    std::atomic<bool> seen_{false};
    std::jthread thread_;  // stopped and joined first
};

// A refused request leaves every record as it was; a request left unanswered,
// or ended by a signal to kx29ctl or by the daemon's end, is withdrawn.
TEST(ClientCli, ExitStatusesRefusalsAndWithdrawals) {
    enum class Env { Segment, NoSegment, BadKey, PidZero, Busy };  // Busy: an acquisition on channel 3
    constexpr int kUnanswered = -1, kDaemonEnds = -2;  // what happens once the request is in, besides a signal
    struct Case {
        std::vector<std::string> args;
        Env env;
        int status;
        const char* text;  // in the output or the error output
        int once_in = 0;
    };
    const Case cases[] = {
        {{"--help"}, Env::Segment, 0, "Exit status: 0 success"},
        {{"status", "--json"}, Env::Segment, 0, R"("message":"say \"hi\"\u001f\u000a")"},
        {{"status"}, Env::PidZero, 3, "not running"},
        {{"status"}, Env::Busy, 0, "channel 3: acquiring, command ACQUIRE"},
        {{"acquire", "-c", "4"}, Env::Segment, 2, "channel 4"},
        {{"acquire", "-c", "0", "--window", "1,1,5,5", "-o", "x.tif"}, Env::Segment, 2, "file type"},
        {{"acquire", "-c", "3", "--exposure", "5", "-o", "/nonexistent/dir/x.fits"}, Env::Busy, 2, "no directory"},
        {{"acquire", "-c", "0", "--add", "--clear"}, Env::Segment, 2, "excludes"},
        {{"save", "-c", "0", "--key", "NAXIS=3", "-o", "x.fits"}, Env::Segment, 2, "NAXIS is written"},
        {{"save", "-c", "3", "-o", "x.fits"}, Env::Busy, 0, "channel 3 is acquiring; the image is saved as it stands"},
        {{"abort"}, Env::Segment, 2, "-c N or --all"},
        {{"abort", "--all"}, Env::Segment, 0, "channel 3: nothing to stop"},
        {{"abort", "-c", "3"}, Env::Busy, 0, "withdrew an acquisition (1 images of 1 frames left)"},
        {{"set", "-c", "0", "--window", "4,5,6,7", "--ref-lev", "12", "--bias", "255"}, Env::PidZero, 0,
         "window 4,5 6x7, reference level 12, exposure 0.040 s, bias 255"},  // as read back after writing
        {{"set", "-c", "0", "--window", "1,2,3,4", "--bias", "256"}, Env::Segment, 2, "bias"},
        {{"set", "-c", "0", "--ref-lev", "5", "--flat", "/nonexistent/flat.txt"}, Env::Segment, 2, "flat profile"},
        {{"status"}, Env::NoSegment, 2, "no daemon has run on this machine"},
        {{"status"}, Env::BadKey, 2, "KX29_KEY"},
        {{"clear", "-c", "2"}, Env::PidZero, 2, "not running"},
        {{"acquire", "-c", "3"}, Env::Busy, 1, "busy"},
        {{"clear", "-c", "3"}, Env::Busy, 1, "acquiring"},
        {{"set", "-c", "3", "--window", "0,0,16,16"}, Env::Busy, 1, "window can't change"},
        {{"reload", "-c", "3"}, Env::Busy, 1, "pending"},
        {{"acquire", "-c", "3", "--frames", "5", "--clear", "--ccd"}, Env::Segment, 1, "interrupted", SIGINT},
        {{"acquire", "-c", "3", "--images", "4"}, Env::Segment, 1, "interrupted", SIGTERM},
        {{"acquire", "-c", "3", "--images", "4"}, Env::Segment, 1, "interrupted", SIGPIPE},  // | head
        {{"acquire", "-c", "3", "--timeout", "0.3"}, Env::Segment, 1, "no frame", kUnanswered},
        {{"acquire", "-c", "3"}, Env::Segment, 1, "daemon ended", kDaemonEnds},
        {{"clear", "-c", "3", "--timeout", "0.3"}, Env::Segment, 1, "did not clear the image within 0.3", kUnanswered},
        {{"show", "-c", "3", "--timeout", "0.3"}, Env::Segment, 1, "did not show the image within 0.3", kUnanswered},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        HandMadeSegment seg;
        seg.post(2, "say \"hi\"\x1f\n");
        if (c.env == Env::PidZero) seg.set_pid(0);
        if (c.env == Env::Busy) {
            seg.record(3)->nadd = seg.record(3)->nexp = 1;
            seg.record(3)->command = CMD_ACQUIRE;
        }
        const std::string before(reinterpret_cast<const char*>(seg.record(0)), shm_size);
        const std::string key = c.env == Env::NoSegment ? HandMadeSegment().key() : seg.key();
        CtlProcess p(c.args, c.env == Env::BadKey ? "KX290" : key);
        if (c.once_in != 0) {
            ASSERT_TRUE(wait_for([&] { return seg.command(3) != 0; }, 5));
            if (c.once_in > 0) p.signal(c.once_in);
            if (c.once_in == kDaemonEnds) seg.set_pid(0);
        }
        auto res = p.wait(10);
        EXPECT_EQ(res.status, c.status) << res.out << res.err;
        EXPECT_TRUE(contains(res.out + res.err, c.text)) << res.out << res.err;
        if ((c.status != 0 || c.args[0] == "status") && c.once_in == 0) {
            EXPECT_EQ(std::memcmp(before.data(), seg.record(0), shm_size), 0) << "a record was changed";
        }
        if (c.once_in != 0 || c.args[0] == "abort") {  // withdrawn, without a daemon too
            EXPECT_EQ((std::array{seg.command(3), seg.record(3)->nexp}), (std::array{0, 0}));
        }
    }
}

// Image k of a series ends with the request's frame 2k (seqn 2k + 1, after
// the clear that starts it): its file must hold that frame, copied before the
// next image overwrites it.
TEST(ClientCli, SeriesSaveEveryImageAtItsEnd) {
    for (bool endless : {false, true}) {
        SCOPED_TRACE(endless ? "endless, ended by Ctrl-C" : "three images");
        HandMadeSegment seg;
        Scratch dir;
        // Without "{n}" the files of a series are numbered all the same.
        auto file = [&](int k) { return dir / ((endless ? "img" : "img_00") + std::to_string(k) + ".raw"); };
        AcquisitionPeer peer(seg, 2, 0, [&](int k) { return std::filesystem::exists(file(k)); });
        CtlProcess p({"acquire", "-c", "2", "--frames", "2", "--images", endless ? "-1" : "3", "--ccd",
                      "--ref-lev", "33", "--window", "10,20,30,40", "-o", dir / (endless ? "img{n}.raw" : "img.raw")},
                     seg.key());
        if (endless) {
            ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(file(3)); }, 10)) << p.out();
            p.signal(SIGINT);
        }
        auto res = p.wait(10);
        EXPECT_EQ(res.status, 0) << res.out << res.err;
        if (!endless) {  // each frame reported once, with its own report; saturation noticed
            std::vector<int> frames;
            for (size_t at = res.out.find(": Frame"); at != std::string::npos; at = res.out.find(": Frame", at + 1))
                frames.push_back(std::atoi(res.out.c_str() + at + 7));
            EXPECT_EQ(frames, (std::vector<int>{2, 3, 4, 5, 6, 7})) << res.out;
            EXPECT_TRUE(contains(res.out, "6 frames, 3 images, 3 saturated")) << res.out;
            EXPECT_TRUE(contains(res.out, "frame 1/2 image 1/3: Frame2(")) << res.out;  // the image under way
        }
        for (int k = 1; k <= 3; ++k)  // 2k + 1, little-endian
            EXPECT_EQ(kx29t::read_file(file(k)).substr(0, 2), std::string({static_cast<char>(2 * k + 1), 0})) << k;
        EXPECT_EQ(seg.command(2), endless ? 0 : CMD_CCD);  // the daemon leaves CMD_CCD; Ctrl-C clears it too
        // The request as the daemon's part first found it.
        const TVchan* r = peer.first_request();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ((std::array{r->command, r->nadd, r->nexp, r->ref_lev, r->frm_col0, r->frm_height}),
                  (std::array{CMD_ACQUIRE | CMD_CLEAR | CMD_CCD, 2, endless ? -1 : 3, 33, 10, 40}));
    }
}


// The progress reports in process: the time left from the measured frame
// period, a long exposure's countdown and its end, and a countdown that
// belongs to another channel's exposure.
TEST(ClientProgress, RemainingTimeAndCountdownFollowTheDaemon) {
    for (auto [channel, countdown] : {std::pair{0, 0.0}, std::pair{1, 0.5}, std::pair{2, 0.5}}) {
        SCOPED_TRACE(channel);
        HandMadeSegment seg;
        seg.record(channel)->seqn = -2;  // frames are counted across the wrap of seqn
        if (countdown > 0) seg.set_exposure(1, countdown);
        AcquisitionPeer peer(seg, channel, countdown);
        kx29::Segment s = attach(seg.key());
        kx29::AcquireRequest req;
        req.channel = channel, req.frames = 3, req.images = 2;
        kx29::Acquisition acq(s, req);
        std::vector<kx29::Progress> reports;
        kx29::AcquireEvents ev;
        ev.progress = [&](const kx29::Progress& p) { reports.push_back(p); };
        acq.start();
        ASSERT_EQ(acq.follow(ev, std::chrono::seconds(5)).outcome, kx29::Outcome::Completed);
        // The peer's pace as the reports saw it (it slows on a loaded machine):
        // the time left must follow it, not a fixed guess.
        std::map<int, double> frame_at;  // elapsed time at the report of each frame
        for (const auto& p : reports)
            if (p.new_frame) frame_at[p.frames_done] = p.elapsed_s;
        ASSERT_EQ(frame_at.count(1) + frame_at.count(3), 2u);
        const double period = (frame_at[3] - frame_at[1]) / 2;
        ASSERT_GT(period, 0);
        int countdowns = 0;
        for (const auto& p : reports) {
            countdowns += p.exposure_left_s.has_value();
            EXPECT_NEAR(p.exposure_left_s.value_or(0), 0.25, 0.25);  // within the exposure of 0.5 s
            EXPECT_TRUE(channel == 1 || p.message.rfind("Tandem", 0) != 0) << p.message;  // not ours to show
            if (!p.new_frame || p.frames_done != 3) continue;  // three frames measured, three to come
            ASSERT_TRUE(p.remaining_s);
            EXPECT_NEAR(*p.remaining_s, 3 * period, std::max(0.05, period / 3));
            EXPECT_FALSE(p.exposure_left_s);  // the exposure ended with its frame
        }
        EXPECT_EQ(countdowns > 0, channel == 1);
        EXPECT_EQ(reports.back().remaining_s.value_or(-1), 0);
    }
    // Before a pace is measured: a full video frame takes about 0.68 s at the board's pace
    // (a 2 s exposure, 50 frames, took 34 s), a 0.5 s long exposure of a small window 0.64 s.
    kx29::AcquirePlan video, camera;
    camera.long_exposure = true, camera.frame_exposure = 0.52;
    EXPECT_NEAR(kx29::expected_frame_interval(video, {0, 0, 768, 576}), 0.68, 0.1);
    EXPECT_NEAR(kx29::expected_frame_interval(camera, {0, 0, 64, 32}), 0.64, 0.05);
}

}  // namespace
