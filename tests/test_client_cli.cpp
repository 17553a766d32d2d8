// kx29ctl as a subprocess on hand-made segments: exit statuses, requests left untouched when
// refused, and whole requests followed through a peer that plays the daemon's part.
#include <gtest/gtest.h>

#include "client_test_support.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

namespace fs = std::filesystem;
using kx29test::CtlProcess;
using kx29test::HandMadeSegment;
using kx29test::run_ctl;
using std::chrono::milliseconds;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool wait_for(const std::function<bool()>& cond, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// Plays the daemon's part for one channel, one turn per period: reload,
// clear, and acquisition frame by frame with the counters, messages and
// countdowns in the order the daemon writes them. Every frame fills the
// image with its seqn. With no_video every capture fails. A period of 60 ms
// is about the shortest time the daemon takes from one frame to the next.
class ChannelPeer {
public:
    ChannelPeer(HandMadeSegment& seg, int ch, bool no_video = false, milliseconds period = milliseconds(60))
        : seg_(seg), r_(seg.record(ch)), no_video_(no_video), period_(period), thread_([this] { run(); }) {}
    ~ChannelPeer() {
        stop_ = true;
        thread_.join();
    }
    // The record as it stood when CMD_ACQUIRE was first seen.
    TVchan first_request() const {
        std::lock_guard<std::mutex> lock(m_);
        return first_;
    }

private:
    void clear_bits(int bits) { __atomic_fetch_and(&r_->command, ~bits, __ATOMIC_SEQ_CST); }
    void frame(int command) {
        bool add = !((command & CMD_CLEAR) && first_frame_);
        int seqn = r_->seqn + 1;
        std::fill(r_->image, r_->image + KX29_IMAGE_PIXELS, static_cast<short>(seqn));
        __atomic_store_n(&r_->seqn, seqn, __ATOMIC_SEQ_CST);
        r_->tcurr = static_cast<int>(time(nullptr));
        if (add) {
            ++r_->nadded;
        } else {
            r_->nadded = 1;
            r_->addlev = 0;
            r_->tstart = r_->tcurr;
        }
        char text[100];
        std::snprintf(text, sizeof text, "Frame%d(%s%d SubLev=%d): Min=1 Max=2 Med=1.5 Avr=1.5 Disp=0.50", seqn,
                      add ? "Add" : "Get", r_->nadded, r_->addlev);
        seg_.post(r_->num, text);
    }
    void acquisition_turn(int command) {
        if (!seen_) {
            std::lock_guard<std::mutex> lock(m_);
            std::memcpy(static_cast<void*>(&first_), r_, offsetof(TVchan, flat));
            seen_ = true;
        }
        if (r_->nexp == 0 || r_->nadd == 0) {
            countdown_ = 0;
            return;
        }
        if (countdown_ == 0) {
            countdown_ = r_->nadd;
            first_frame_ = true;
        }
        if (no_video_) {
            seg_.post(r_->num, "Can't read frame, no video!!!");
            r_->nadd = 0;
            r_->nexp = 0;
            countdown_ = 0;
        } else {
            frame(command);
            first_frame_ = false;
            --countdown_;
        }
        if (countdown_ == 0) {
            if (r_->nexp > 0) --r_->nexp;
            if (r_->nexp == 0) clear_bits(CMD_ACQUIRE | CMD_CLEAR);
        }
    }
    void run() {
        while (!stop_) {
            int command = __atomic_load_n(&r_->command, __ATOMIC_SEQ_CST);
            if (command == 0) {
                countdown_ = 0;
            } else if (command == CMD_RELOAD) {
                __atomic_store_n(&r_->command, 0, __ATOMIC_SEQ_CST);
                int form = std::clamp(r_->next_form, 1, 2);
                if (form != r_->form) {
                    r_->img_width = r_->frm_width = form == 1 ? 768 : 512;
                    r_->img_height = r_->frm_height = 512;
                    r_->frm_col0 = r_->frm_lin0 = 0;
                }
                r_->form = form;
                r_->activ = 1;
            } else if (command & CMD_ACQUIRE) {
                acquisition_turn(command);
            } else if (command & CMD_CLEAR) {
                std::fill(r_->image, r_->image + KX29_IMAGE_PIXELS, short{0});
                countdown_ = 0;
                ++r_->seqn;
                clear_bits(CMD_CLEAR);
            }
            std::this_thread::sleep_for(period_);
        }
    }

    HandMadeSegment& seg_;
    TVchan* r_;
    bool no_video_;
    milliseconds period_;
    int countdown_ = 0;
    bool first_frame_ = false;
    bool seen_ = false;
    mutable std::mutex m_;
    TVchan first_{};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Scratch {
    fs::path dir;
    Scratch() {
        char tmpl[] = "/tmp/kx29-cli-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string operator/(const std::string& name) const { return (dir / name).string(); }
};

int16_t first_pixel(const std::string& raw_file) {
    std::string bytes = kx29test::slurp(raw_file);
    int16_t v = -1;
    if (bytes.size() >= 2) std::memcpy(&v, bytes.data(), 2);
    return v;
}

TEST(ClientCli, RefusedRequestsExitWithTheirStatusAndWriteNothing) {
    enum class Env { Segment, NoSegment, BadKey, PidZero, PidGone, SmallSegment, Busy };
    struct Case {
        std::vector<std::string> args;
        Env env;
        int status;
        const char* error;
    };
    const Case cases[] = {
        {{"acquire", "-c", "4"}, Env::Segment, 2, "channel 4"},
        {{"acquire", "-c", "0", "--format", "3"}, Env::Segment, 2, "format 3"},
        {{"acquire", "-c", "0", "--frames", "0"}, Env::Segment, 2, "frames"},
        {{"acquire", "-c", "0", "--images", "0"}, Env::Segment, 2, "images"},
        {{"acquire", "-c", "1", "--exposure", "-1"}, Env::Segment, 2, "exposure"},
        {{"acquire", "-c", "1", "--exposure", "nan"}, Env::Segment, 2, ""},
        {{"acquire", "-c", "0", "--exposure", "5"}, Env::Segment, 2, "long-exposure camera"},
        {{"acquire", "-c", "0", "--window", "700,0,100,10"}, Env::Segment, 2, "not inside the 768x512"},
        {{"acquire", "-c", "0", "--window", "1,2,3"}, Env::Segment, 2, "X,Y,W,H"},
        {{"acquire", "-c", "0", "--format", "2", "--window", "0,0,9,9"}, Env::Segment, 2, "format changes"},
        {{"acquire", "-c", "0", "--ref-lev", "64"}, Env::Segment, 2, "reference level"},
        {{"acquire", "-c", "0", "-o", "x.tif"}, Env::Segment, 2, "file type"},
        {{"acquire", "-c", "0", "--frames", "x"}, Env::Segment, 2, ""},
        {{"acquire"}, Env::Segment, 2, "channel"},
        {{"frobnicate"}, Env::Segment, 2, ""},
        {{"set", "-c", "0"}, Env::Segment, 2, "nothing to set"},
        {{"set", "-c", "0", "--bias", "256"}, Env::Segment, 2, "bias"},
        {{"set", "-c", "0", "--flat", "/nonexistent/flat.txt"}, Env::Segment, 2, "flat profile"},
        {{"set", "-c", "0", "--format", "2", "--window", "0,0,9,9"}, Env::Segment, 2, "format changes"},
        {{"status"}, Env::NoSegment, 2, "no daemon has run on this machine"},
        {{"status"}, Env::BadKey, 2, "KX29_KEY"},
        {{"status"}, Env::SmallSegment, 2, "fewer than"},
        {{"acquire", "-c", "0"}, Env::PidZero, 2, "not running"},
        {{"acquire", "-c", "0"}, Env::PidGone, 2, "not running"},
        {{"clear", "-c", "2"}, Env::PidZero, 2, "not running"},
        {{"acquire", "-c", "0"}, Env::Busy, 1, "busy"},
        {{"clear", "-c", "0"}, Env::Busy, 1, "acquiring"},
        {{"reload", "-c", "0"}, Env::Busy, 1, "pending"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        HandMadeSegment seg(c.env == Env::SmallSegment ? 100 : KX29_SEGMENT_BYTES);
        std::string key = seg.key();
        if (c.env == Env::NoSegment) key = "cNo" + std::string(1, "abcdefghij"[getpid() % 10]);
        if (c.env == Env::BadKey) key = "KX290";
        if (c.env == Env::PidZero) seg.set_pid(0);
        if (c.env == Env::PidGone) {
            pid_t child = fork();
            if (child == 0) _exit(0);
            waitpid(child, nullptr, 0);
            seg.set_pid(child);
        }
        if (c.env == Env::Busy) {
            seg.record(0)->nadd = seg.record(0)->nexp = 1;
            seg.record(0)->command = CMD_ACQUIRE;
        }
        const size_t records = c.env == Env::SmallSegment ? 0 : static_cast<size_t>(shm_size);
        std::vector<unsigned char> before(records);
        if (records) std::memcpy(before.data(), seg.record(0), records);

        auto res = run_ctl(c.args, key, 10);
        EXPECT_EQ(res.status, c.status) << res.out << res.err;
        EXPECT_TRUE(contains(res.err, c.error)) << res.err;
        if (records) {
            EXPECT_EQ(std::memcmp(before.data(), seg.record(0), records), 0) << "a record was changed";
        }
    }
}

TEST(ClientCli, EverySubcommandHasHelp) {
    HandMadeSegment seg;
    for (const char* cmd : {"status", "acquire", "save", "clear", "show", "reload", "set", "watch", "check"}) {
        auto res = run_ctl({cmd, "--help"}, seg.key());
        EXPECT_EQ(res.status, 0) << cmd;
        EXPECT_TRUE(contains(res.out, std::string("kx29ctl ") + cmd)) << res.out;
    }
    EXPECT_EQ(run_ctl({"--help"}, seg.key()).status, 0);
}

TEST(ClientCli, ImagesAreSavedAtTheirBoundariesWithTheRequestedParameters) {
    HandMadeSegment seg;
    Scratch dir;
    ChannelPeer peer(seg, 2);
    auto res = run_ctl({"acquire", "-c", "2", "--frames", "2", "--images", "3", "--clear", "--ref-lev", "33",
                        "--window", "10,20,30,40", "-o", dir / "img{n}.raw"},
                       seg.key());
    ASSERT_EQ(res.status, 0) << res.out << res.err;
    // The image at the end of image k is that of its last frame, seqn 2k.
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(first_pixel(dir / ("img" + std::to_string(k) + ".raw")), 2 * k) << k;
    EXPECT_FALSE(fs::exists(dir / "img4.raw"));

    TVchan req = peer.first_request();
    EXPECT_EQ(req.command, CMD_ACQUIRE | CMD_CLEAR);
    EXPECT_EQ(req.nadd, 2);
    EXPECT_EQ(req.nexp, 3);
    EXPECT_EQ(req.ref_lev, 33);
    EXPECT_EQ(req.frm_col0, 10);
    EXPECT_EQ(req.frm_height, 40);
    EXPECT_EQ(seg.command(2), 0);
    EXPECT_TRUE(contains(res.out, "completed after 6 frames, 3 images")) << res.out;
}

TEST(ClientCli, EndlessSeriesEndsCleanlyOnCtrlC) {
    HandMadeSegment seg;
    Scratch dir;
    ChannelPeer peer(seg, 0);
    CtlProcess p({"acquire", "-c", "0", "--frames", "2", "--images", "-1", "--clear", "--ccd", "-o", dir / "s{n}.raw"},
                 seg.key());
    ASSERT_TRUE(wait_for([&] { return fs::exists(dir / "s2.raw"); }, 10)) << p.out();
    p.signal(SIGINT);
    auto res = p.wait(5);
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(seg.command(0), 0);  // no CMD_CLEAR or CMD_CCD left behind
    EXPECT_EQ(seg.record(0)->nexp, 0);
    EXPECT_EQ(first_pixel(dir / "s1.raw"), 2);
    EXPECT_EQ(first_pixel(dir / "s2.raw"), 4);
}

TEST(ClientCli, RequestsWithoutAnAnswerAreWithdrawn) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::function<void(HandMadeSegment&, CtlProcess&)> act;  // once the request is in
        const char* error;
    };
    const Case cases[] = {
        {"Ctrl-C", {"acquire", "-c", "3", "--frames", "5", "--clear", "--ccd"},
         [](HandMadeSegment&, CtlProcess& p) { p.signal(SIGINT); }, ""},
        {"SIGTERM", {"acquire", "-c", "3", "--images", "4"}, [](HandMadeSegment&, CtlProcess& p) { p.signal(SIGTERM); },
         ""},
        {"stall", {"acquire", "-c", "3", "--timeout", "0.3"}, [](HandMadeSegment&, CtlProcess&) {}, "no frame"},
        {"daemon ends", {"acquire", "-c", "3"}, [](HandMadeSegment& s, CtlProcess&) { s.set_pid(0); }, "daemon ended"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HandMadeSegment seg;
        CtlProcess p(c.args, seg.key());
        ASSERT_TRUE(wait_for([&] { return seg.command(3) & CMD_ACQUIRE; }, 5));
        c.act(seg, p);
        auto res = p.wait(5);
        EXPECT_EQ(res.status, 1) << res.out << res.err;
        EXPECT_TRUE(contains(res.err, c.error)) << res.err;
        EXPECT_EQ(seg.command(3), 0);
        EXPECT_EQ(seg.record(3)->nexp, 0);
    }
}

TEST(ClientCli, FailedCaptureIsAFailedRequest) {
    HandMadeSegment seg;
    ChannelPeer peer(seg, 1, true);
    auto res = run_ctl({"acquire", "-c", "1", "--frames", "3"}, seg.key());
    EXPECT_EQ(res.status, 1);
    EXPECT_TRUE(contains(res.err, "Can't read frame, no video!!!")) << res.err;
    EXPECT_TRUE(wait_for([&] { return seg.command(1) == 0; }, 2));
}

TEST(ClientCli, ClearShowReloadAndSet) {
    HandMadeSegment seg;
    Scratch dir;
    {
        ChannelPeer peer(seg, 0);
        EXPECT_EQ(run_ctl({"clear", "-c", "0"}, seg.key()).status, 0);
        EXPECT_EQ(seg.record(0)->image[1000], 0);
        EXPECT_EQ(seg.record(0)->seqn, 1);

        auto res = run_ctl({"set", "-c", "0", "--format", "2"}, seg.key());
        ASSERT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(seg.record(0)->form, 2);
        // The window is now checked against format 2's 512 columns.
        EXPECT_EQ(run_ctl({"set", "-c", "0", "--window", "500,0,20,10"}, seg.key()).status, 2);
        std::string flat;
        for (int i = 0; i < 768; ++i) flat += std::to_string(200 + i) + (i % 16 == 15 ? "\n" : " ");
        std::ofstream(dir / "flat.txt") << flat;
        res = run_ctl({"set", "-c", "0", "--window", "4,5,6,7", "--ref-lev", "12", "--bias", "9", "--flat",
                       dir / "flat.txt"},
                      seg.key());
        ASSERT_EQ(res.status, 0) << res.err;
        TVchan* r = seg.record(0);
        EXPECT_EQ(r->frm_col0 * 1000 + r->frm_lin0 * 100 + r->frm_width * 10 + r->frm_height, 4567);
        EXPECT_EQ(r->ref_lev, 12);
        EXPECT_EQ(r->bias, 9);
        EXPECT_EQ(r->flat[0], 200);
        EXPECT_EQ(r->flat[767], 967);
    }
    // No daemon answers: the requests are withdrawn after the time-out.
    for (const char* cmd : {"show", "clear"}) {
        auto res = run_ctl({cmd, "-c", "0", "--timeout", "0.2"}, seg.key());
        EXPECT_EQ(res.status, 1) << cmd;
        EXPECT_EQ(seg.command(0), 0) << cmd;
    }
}

TEST(ClientCli, StatusShowsEveryChannel) {
    HandMadeSegment seg;
    TVchan* r = seg.record(2);
    r->command = CMD_ACQUIRE | CMD_CCD;
    r->nexp = 2;
    r->nadd = 10;
    seg.post(2, "say \"hi\"\n");
    auto res = run_ctl({"status", "--json"}, seg.key());
    ASSERT_EQ(res.status, 0);
    EXPECT_TRUE(contains(res.out, "\"daemon\":{\"pid\":" + std::to_string(getpid()) + ",\"alive\":true}")) << res.out;
    EXPECT_TRUE(contains(res.out, "\"command_bits\":[\"ACQUIRE\",\"CCD\"]")) << res.out;
    EXPECT_TRUE(contains(res.out, "\"message\":\"say \\\"hi\\\"\\u000a\"")) << res.out;
    EXPECT_TRUE(contains(res.out, "\"tstart\":1700000000")) << res.out;

    res = run_ctl({"status"}, seg.key());
    ASSERT_EQ(res.status, 0);
    EXPECT_TRUE(contains(res.out, "channel 2: acquiring, command ACQUIRE|CCD")) << res.out;
    EXPECT_TRUE(contains(res.out, "image 768x576")) << res.out;  // channel 1

    seg.set_pid(0);
    res = run_ctl({"status"}, seg.key());
    EXPECT_EQ(res.status, 0);
    EXPECT_TRUE(contains(res.out, "not running")) << res.out;
}

}  // namespace
