// A seeded storm of clients on the simulated daemon at the board's pace, whose
// frames name themselves (the oracle): library calls in threads, kx29ctl and
// the Python module in processes, on all four channels, with aborts from the
// same and from other clients, clears, copies and a daemon restart. Every
// result is checked: success only when complete, every image handed out holds
// exactly the frames its header counts (and no row more), nothing hangs
// beyond a bound from its request. Short by default;
// KX29_SOAK=1 storms for ten minutes, KX29_SEED=n another sequence.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "client_test_support.h"
#include "daemon_harness.h"
#include "kx29/acquire.h"
#include "kx29/control.h"
#include "kx29/image_file.h"
#include "kx29_oracle.h"

namespace {

using namespace kx29test;
using Clock = std::chrono::steady_clock;
using Rng = std::mt19937_64;

// The operations, and how often a client picks each.
enum class Op { Acquire, AcquireStopped, Abort, Clear, Copy, Ctl, Python };
const std::array<double, 7> kWeights = {30, 6, 2, 2, 10, 8, 4};

// A scratch directory for one client's files (ScratchDir changes the
// process's working directory, which the other clients share).
struct FilesDir {
    std::filesystem::path path = mkdtemp(std::string("/tmp/kx29-storm-XXXXXX").data());
    ~FilesDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

class Storm {
public:
    explicit Storm(kx29harness::Daemon& d, std::uint64_t seed) : daemon_(d), seed_(seed) {}

    void client(int id, Clock::time_point end) {
        Rng rng(seed_ * 1000 + id);
        std::discrete_distribution<> pick_op(kWeights.begin(), kWeights.end());
        while (Clock::now() < end) {
            const Op op = static_cast<Op>(pick_op(rng));
            try {
                run(op, pick(rng, 0, 3), rng);
            } catch (const kx29::Error&) {  // refusals: busy, no daemon during the restart
            }
            ++ops_;
        }
    }
    void restart() {
        touch(-1);
        daemon_.stop();
        EXPECT_TRUE(daemon_.start());
        touch(-1);
    }
    // The figures of a run, one line.
    std::string report() const {
        std::string text = std::to_string(ops_) + " operations by 8 clients, " + std::to_string(checks_) +
                           " invariant checks, " + std::to_string(violations().size()) + " violations, " +
                           std::to_string(held_ups_) + " followers held up past their request's end; acquisitions"
                           " in threads:";
        for (int o = 0; o < 6; ++o)
            text += std::string(o ? ", " : " ") + kx29::outcome_text(static_cast<kx29::Outcome>(o)) + " " +
                    std::to_string(outcomes_[o]);
        return text;
    }
    std::vector<std::string> violations() const {
        std::lock_guard lock(mutex_);
        return violations_;
    }

private:
    // What happened to a channel from outside a run: an abort by another
    // client, or the daemon's restart (channel -1: all).
    void touch(int ch) {
        std::lock_guard lock(mutex_);
        touches_.emplace_back(ch, Clock::now());
    }
    // Touched since `from`; channel -1 asks for restarts only.
    bool touched(int ch, Clock::time_point from) const {
        std::lock_guard lock(mutex_);
        for (const auto& [channel, at] : touches_)
            if ((channel == ch || channel < 0) && at >= from) return true;
        return false;
    }
    void check(bool ok, const std::string& what) {
        ++checks_;
        if (ok) return;
        std::lock_guard lock(mutex_);
        violations_.push_back(what);
    }
    // An image as handed out: every row the same frames, a run of frames of
    // the channel's own input, as many as asked and as its header counts. A
    // restart powers up a new board, whose frames are numbered from 1 again:
    // an image begun before it is no run of numbers.
    void check_image(const std::string& who, const std::int16_t* px, int width, int height, int col0, int addlev,
                     int channel, int nadded, int frames, Clock::time_point t0) {
        kx29sim::OracleImage o = kx29sim::decode_oracle(px, width, height, col0, addlev);
        if (!o.ok && contains(o.problem, "consecutive") && touched(-1, t0)) return;
        check(o.ok && o.frames == frames && nadded == frames && o.input == channel,
              who + ": asked " + std::to_string(frames) + " frames, header " + std::to_string(nadded) + ", holds " +
                  std::to_string(o.frames) + " of input " + std::to_string(o.input) + " " + o.problem);
    }

    static int pick(Rng& rng, int lo, int hi) { return std::uniform_int_distribution<>(lo, hi)(rng); }
    static kx29::Window random_window(int ch, Rng& rng) {
        const int lines = ch == 1 ? 576 : 512;
        if (pick(rng, 0, 4) == 0) return {0, pick(rng, 0, lines / 2), 768, pick(rng, 8, lines / 2)};  // long readouts
        return {pick(rng, 0, 300), pick(rng, 0, 200), pick(rng, 16, 96), pick(rng, 4, 64)};  // a whole group of 8 columns
    }
    static kx29::AcquireRequest random_request(int ch, Rng& rng) {
        kx29::AcquireRequest req;
        req.channel = ch, req.frames = pick(rng, 1, 5), req.images = pick(rng, 1, 3), req.add = pick(rng, 0, 9) == 0;
        req.window = kx29::WindowRequest{false, random_window(ch, rng)};
        if (ch == 1) req.exposure = pick(rng, 0, 2) == 0 ? 0.04 : pick(rng, 1, 12) / 10.0;
        return req;
    }

    void run(Op op, int ch, Rng& rng) {
        auto seg = kx29::Segment::attach(kx29t::shm_key(daemon_.key()), kx29::Access::ReadWrite);
        kx29::Channel c = seg.channel(ch);
        switch (op) {
        case Op::Acquire:
        case Op::AcquireStopped: acquire(seg, random_request(ch, rng), op == Op::AcquireStopped, rng); break;
        case Op::Abort:  // a touch spans the operation: it may be delayed between its steps
            touch(ch);
            kx29::abort_channel(seg, ch);
            touch(ch);
            break;
        case Op::Clear: kx29::clear_image(c, std::chrono::seconds(5)); break;
        case Op::Copy: {
            // During a request that starts its images afresh the window holds
            // one image: zeros (the clear before it) or a run of its frames.
            // An abort can leave an image the daemon goes on with (its request
            // then fails): only a channel left alone for a while is checked.
            const auto t0 = Clock::now();
            kx29::Image img = kx29::make_image(c.capture_image(), kx29::Crop::Window);
            const kx29::ChannelState& s = img.state;
            if ((s.command & (CMD_ACQUIRE | CMD_CLEAR)) != (CMD_ACQUIRE | CMD_CLEAR) ||
                touched(ch, t0 - std::chrono::seconds(20)))
                break;
            const bool cleared = std::all_of(img.pixels.begin(), img.pixels.end(), [](auto v) { return v == 0; });
            kx29sim::OracleImage o = kx29sim::decode_oracle(img.pixels.data(), img.width(), img.height(),
                                                            img.region.col0, cleared ? 0 : s.addlev);
            check(o.ok && (o.frames == 0 || (o.frames == s.nadded && o.input == ch)),
                  "copy of channel " + std::to_string(ch) + ": " + std::to_string(o.frames) + " frames, header " +
                      std::to_string(s.nadded) + " " + o.problem);
            break;
        }
        case Op::Ctl:
        case Op::Python: file_client(op == Op::Python, random_request(ch, rng), rng); break;
        }
    }

    static double bound_s(const kx29::AcquireRequest& r) {
        // Four channels take turns, each frame a switch, a capture and a
        // readout of up to a whole image; twice that on a loaded machine.
        return 30 + 8.0 * r.frames * r.images * (r.exposure.value_or(0.04) + 0.6);
    }

    void acquire(kx29::Segment& seg, const kx29::AcquireRequest& req, bool stop_early, Rng& rng) {
        const std::string who = "acquire on channel " + std::to_string(req.channel) + " (" +
                                std::to_string(req.frames) + "x" + std::to_string(req.images) + (req.add ? " add)" : ")");
        kx29::Acquisition acq(seg, req);
        const auto t0 = Clock::now(), stop_at = t0 + std::chrono::milliseconds(pick(rng, 100, 3000));
        int delivered = 0, missed = 0;
        kx29::AcquireEvents ev;
        ev.image_done = [&](int, const kx29::Image& img) {
            ++delivered;
            if (!req.add)
                check_image(who, img.pixels.data(), img.width(), img.height(), img.region.col0, img.state.addlev,
                            req.channel, img.state.nadded, req.frames, t0);
        };
        ev.image_missed = [&](int) { ++missed; };
        ev.stop_requested = [&] { return stop_early && Clock::now() >= stop_at; };
        acq.start(std::chrono::seconds(10), ev.stop_requested);
        kx29::AcquireResult r = acq.follow(ev, kx29::default_stall_timeout(acq.plan()));
        const double took = std::chrono::duration<double>(Clock::now() - t0).count();
        // A request the daemon's restart caught resumes with the new daemon.
        if (!touched(-1, t0)) check(took < bound_s(req), who + ": took " + std::to_string(took) + " s");
        const std::string said = who + ": " + kx29::acquisition_summary(req.channel, r, 0) + " " + r.message;
        check(r.images == delivered + missed, said + "; images handed out " + std::to_string(delivered + missed));
        if (r.outcome == kx29::Outcome::Completed) check(r.images == req.images, said);
        const bool left_alone = !stop_early && !touched(req.channel, t0);
        // Held up longer than the next client took to start, a follower can't
        // know how its request ended: a failure, never a success.
        const bool held_up = contains(r.message, "replaced this one");
        held_ups_ += held_up;
        ++outcomes_[static_cast<int>(r.outcome)];
        if (left_alone && !req.add && !held_up) check(r.outcome == kx29::Outcome::Completed, said);
        if (!stop_early) check(r.outcome != kx29::Outcome::Interrupted, said);
    }

    // kx29ctl or Python in a process, writing files: every file holds a whole
    // image, success means all of them, and a client left alone succeeds or
    // is refused. One kx29ctl in five is interrupted as Ctrl-C would.
    void file_client(bool python, const kx29::AcquireRequest& req, Rng& rng) {
        if (python && !std::filesystem::exists(KX29_PYTHON_DIR)) return;
        FilesDir dir;
        const kx29::Window& w = req.window->window;
        auto n = [](auto v) { return std::to_string(v); };
        const std::string win = n(w.col0) + "," + n(w.lin0) + "," + n(w.width) + "," + n(w.height);
        std::string cmd =
            python ? "env PYTHONPATH=" KX29_PYTHON_DIR " /usr/bin/python3 -c \"import kx29\nfor k, i in enumerate("
                     "kx29.Board().channels[" + n(req.channel) + "].acquire_iter(frames=" + n(req.frames) + ", images=" +
                     n(req.images) + ", add=" + (req.add ? "True" : "False") + ", window=(" + win + ")" +
                     (req.exposure ? ", exposure=" + n(*req.exposure) : "") + ")): i.save('" +
                     (dir.path / "p").string() + "%d.fits' % k)\""
                   : KX29_BIN_DIR "/kx29ctl acquire -c " + n(req.channel) + " --frames " + n(req.frames) +
                         " --images " + n(req.images) + " --window " + win + " -o " + (dir.path / "s{n}.fits").string() +
                         (req.add ? " --add" : "") + (req.exposure ? " --exposure " + n(*req.exposure) : "");
        const bool interrupt = !python && pick(rng, 0, 4) == 0;
        if (interrupt) cmd = "timeout -s INT " + n(pick(rng, 2, 20) / 10.0) + " " + cmd;
        const auto t0 = Clock::now();
        const int wait = std::system(("cd / && KX29_KEY=" + daemon_.key() + " timeout -s KILL " +
                                      n(static_cast<int>(bound_s(req))) + " " + cmd + " 2>" +
                                      (dir.path / "err").string() + " >/dev/null").c_str());
        const int status = WIFEXITED(wait) ? WEXITSTATUS(wait) : 128;
        const std::string err = kx29t::read_file(dir.path / "err"), who = cmd.substr(0, 120);
        // Refused, or held up past its request's end (see acquire()).
        const bool refused = contains(err, "busy") || contains(err, "pending") || contains(err, "replaced this one");
        int files = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.path)) {
            if (e.path().extension() != ".fits") continue;
            ++files;
            FitsImage f = read_fits(e.path());
            auto key = [&](const char* k) { return std::atoi(f.keys[k].c_str()); };
            std::vector<std::int16_t> px(f.pixels.begin(), f.pixels.end());
            if (!req.add)  // with BZERO the values read are the sums already
                check_image(who, px.data(), static_cast<int>(f.size[0]), static_cast<int>(f.size[1]), -key("LTV1"),
                            f.keys.count("BZERO") ? 0 : key("ADDLEV"), req.channel, key("NCOMBINE"), req.frames, t0);
        }
        if (status == 0) check(files == req.images, who + ": exit 0 with " + n(files) + " files");
        if (!interrupt && !refused && !req.add && !touched(req.channel, t0))
            check(status == 0, who + ": exit " + n(status) + " " + err);
    }

    kx29harness::Daemon& daemon_;
    std::uint64_t seed_;
    std::atomic<int> ops_{0}, checks_{0}, held_ups_{0};
    std::array<std::atomic<int>, 6> outcomes_{};
    mutable std::mutex mutex_;
    std::vector<std::pair<int, Clock::time_point>> touches_;
    std::vector<std::string> violations_;
};

TEST(Storm, EveryResultTrueWithEightClientsAtTheBoardsPace) {
    const char* seed_text = std::getenv("KX29_SEED");
    const std::uint64_t seed = seed_text ? std::strtoull(seed_text, nullptr, 0) : 29;
    const double seconds = kx29rel::soak() ? 600 : 45;
    kx29harness::Daemon daemon("realtime,oracle");
    ASSERT_TRUE(daemon.start()) << daemon.err();
    Storm storm(daemon, seed);
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::jthread> clients;
    for (int id = 0; id < 8; ++id) clients.emplace_back([&, id] { storm.client(id, end); });
    // A restart half-way (every two minutes in a soak).
    for (auto at = t0 + (end - t0) / 2; at < end; at += std::chrono::minutes(2)) {
        std::this_thread::sleep_until(at);
        storm.restart();
    }
    clients.clear();
    const auto violations = storm.violations();
    std::cout << "storm seed " << seed << ": " << storm.report() << "\n";
    for (const auto& v : violations) ADD_FAILURE() << v;
    if (!violations.empty()) std::cout << kx29rel::tail(daemon.err(), 3000) << kx29rel::tail(daemon.out(), 20000);
}

}  // namespace
