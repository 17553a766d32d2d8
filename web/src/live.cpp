// The live view's poller: daemon liveness, channel changes, frame statistics and pictures.
#include "live.h"

#include "jpeg.h"
#include "kx29/acquire.h"
#include "kx29/control.h"
#include "kx29/image_file.h"
#include "kx29/status.h"

#include <nlohmann/json.hpp>
#include <sys/shm.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace kx29web {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kHistogramBins = 64;
constexpr int kJpegQuality = 75;
constexpr auto kAttachRetry = std::chrono::milliseconds(500);

json window_json(const kx29::Window& w) { return json::array({w.col0, w.lin0, w.width, w.height}); }

// Minimum, maximum, median, mean, dispersion and a histogram of the window's
// pixels, in grey levels of one frame: (pixel + ADDLEV) / NCOMBINE, as
// Image::mean() has them. Counted in a table of every 16-bit value, which costs
// a fraction of sorting or of converting every pixel.
json window_statistics(const kx29::Image& full, const kx29::Window& w, std::vector<uint32_t>& counts) {
    counts.assign(65536, 0);
    size_t n = 0;
    for (int y = w.lin0; y < w.lin0 + w.height; ++y) {
        const int16_t* row = full.pixels.data() + static_cast<size_t>(y) * full.width() + w.col0;
        for (int x = 0; x < w.width; ++x) ++counts[row[x] + 32768];
        n += w.width;
    }
    if (n == 0) return nullptr;
    const double frames = full.state.nadded >= 1 ? full.state.nadded : 1;
    auto level = [&](double raw) { return (raw + full.state.addlev) / frames; };
    int lo = 0, hi = 65535;
    while (counts[lo] == 0) ++lo;
    while (counts[hi] == 0) --hi;
    double sum = 0, squares = 0, median = 0;
    size_t below = 0;
    for (int v = lo; v <= hi; ++v) {
        if (counts[v] == 0) continue;
        sum += static_cast<double>(counts[v]) * (v - 32768);
        if (below < (n + 1) / 2 && below + counts[v] >= (n + 1) / 2) median = v - 32768;
        below += counts[v];
    }
    const double mean = sum / n;
    std::vector<uint64_t> hist(kHistogramBins, 0);
    for (int v = lo; v <= hi; ++v) {
        if (counts[v] == 0) continue;
        squares += counts[v] * (v - 32768 - mean) * (v - 32768 - mean);
        hist[static_cast<size_t>(v - lo) * kHistogramBins / (hi - lo + 1)] += counts[v];
    }
    return {{"min", level(lo - 32768)},
            {"max", level(hi - 32768)},
            {"median", level(median)},
            {"mean", level(mean)},
            {"dispersion", std::sqrt(squares / n) / frames},
            {"hist", hist},
            {"hist_range", {level(lo - 32768), level(hi - 32768)}}};
}

// Whether two states of a record look the same on a page (the fields of tile_json).
bool same_tile(const kx29::ChannelState& a, const kx29::ChannelState& b) {
    return a.seqn == b.seqn && a.seqmsg == b.seqmsg && a.msg == b.msg && a.command == b.command && a.nexp == b.nexp &&
           a.nadd == b.nadd && a.nadded == b.nadded && a.form == b.form && a.next_form == b.next_form &&
           a.ref_lev == b.ref_lev && a.exposure == b.exposure && a.activ == b.activ && a.tandem == b.tandem &&
           a.img_width == b.img_width && a.img_height == b.img_height && a.window == b.window && a.tcurr == b.tcurr;
}

// What a page shows of a record, beside the picture.
json tile_json(int channel, const kx29::ChannelState& s) {
    json j = {{"channel", channel},
              {"tandem", s.tandem != 0},
              {"activ", s.activ},
              {"seqn", s.seqn},
              {"seqmsg", s.seqmsg},
              {"msg", s.msg},
              {"command", kx29::command_names(s.command)},
              {"activity", kx29::channel_activity(s)},
              {"acquiring", kx29::acquiring(s)},
              {"nexp", s.nexp},
              {"nadd", s.nadd},
              {"nadded", s.nadded},
              {"form", s.form},
              {"next_form", s.next_form},
              {"ref_lev", s.ref_lev},
              {"exposure", s.exposure},
              {"image", {s.img_width, s.img_height}},
              {"window", window_json(s.window)},
              {"tcurr", s.tcurr}};
    if (auto left = kx29::parse_exposure_countdown(s.msg); left && s.tandem) j["exposure_left_s"] = *left;
    return j;
}

}  // namespace

// The poller's own state; only its thread touches it.
class Poller {
public:
    Poller(LiveFeed& feed) : feed_(feed) {}

    void pass(Clock::time_point now) {
        attach_if_needed(now);
        watch_daemon();
        if (!segment_) return;
        for (int ch = 0; ch < 4; ++ch) watch_channel(ch, now);
    }

private:
    struct Known {
        std::optional<kx29::ChannelState> state;  // the record as last published
        json tile;
        int seqn = 0;
        bool frame_pending = true;
        Clock::time_point last_encoded{};
        json frame = nullptr;   // the latest picture's description
    };

    // Attaches by key while there is no segment, and again when the key names
    // another segment than the one attached: a daemon started after its
    // segment was removed serves a new one, while the old one would stay
    // mapped here alone with its dead daemon.
    void attach_if_needed(Clock::time_point now) {
        if (now < next_attach_) return;
        next_attach_ = now + kAttachRetry;
        if (segment_ && shmget(segment_->key().code, 0, 0) == shm_id_) return;
        try {
            kx29::Segment seg = kx29::Segment::attach(kx29::Access::ReadOnly);
            shm_id_ = shmget(seg.key().code, 0, 0);
            segment_.emplace(std::move(seg));
        } catch (const kx29::Error&) {
            segment_.reset();
        }
        known_ = {};
    }

    void watch_daemon() {
        kx29::DaemonStatus d = segment_ ? segment_->daemon() : kx29::DaemonStatus{};
        json ev{{"alive", d.alive}, {"pid", d.pid}, {"segment", segment_.has_value()}};
        if (ev == daemon_) return;
        daemon_ = ev;
        feed_.hub_.publish("daemon", ev.dump(), kTopicDaemon);
    }

    void watch_channel(int ch, Clock::time_point now) {
        Known& k = known_[ch];
        kx29::ChannelState s = segment_->view(ch).state();
        const bool new_frame = s.seqn != k.seqn;
        if (new_frame) k.frame_pending = true;
        k.seqn = s.seqn;
        // The change itself goes out at once; its picture follows when encoded.
        if (!k.state || !same_tile(s, *k.state)) {
            k.state = s;
            k.tile = tile_json(ch, s);
            publish_channel(ch, k);
        }
        if (k.frame_pending && now - k.last_encoded >= LiveFeed::kMinFrameInterval) {
            k.frame_pending = false;
            k.last_encoded = now;
            if (auto f = encode_frame(ch)) {
                k.frame = *f;
                publish_channel(ch, k);
            }
        }
    }

    void publish_channel(int ch, const Known& k) {
        json ev = k.tile;
        ev["frame"] = k.frame;
        feed_.hub_.publish("channel", ev.dump(), kTopicChannel0 + ch);
    }

    // Copies the record's image, publishes its picture and returns its description.
    std::optional<json> encode_frame(int ch) {
        kx29::ChannelImage copy = segment_->view(ch).capture_image();
        if (!kx29::geometry_fits(copy.state) || copy.state.img_width <= 0 || copy.state.img_height <= 0)
            return std::nullopt;
        kx29::Image full = kx29::make_image(copy, kx29::Crop::Full);
        auto frame = std::make_shared<LiveFrame>();
        frame->id = ++serial_;
        frame->jpeg = encode_jpeg_gray(kx29::stretch_to_8bit(full), full.width(), full.height(), kJpegQuality);
        {
            std::lock_guard lock(feed_.mutex_);
            feed_.frames_[ch] = frame;
        }
        return json{{"id", frame->id},
                    {"seqn", copy.state.seqn},
                    {"width", full.width()},
                    {"height", full.height()},
                    {"window", window_json(kx29::clamped_window(copy.state))},
                    {"frames", copy.state.nadded},
                    {"stats", window_statistics(full, kx29::clamped_window(copy.state), counts_)}};
    }

    LiveFeed& feed_;
    std::optional<kx29::Segment> segment_;
    int shm_id_ = -1;
    Clock::time_point next_attach_{};
    json daemon_;  // as last published
    std::array<Known, 4> known_;
    uint64_t serial_ = 0;
    std::vector<uint32_t> counts_;  // the statistics' table, kept between frames
};

LiveFeed::LiveFeed(EventHub& hub) : hub_(hub) {}

LiveFeed::~LiveFeed() { stop(); }

void LiveFeed::start() {
    thread_ = std::jthread([this](std::stop_token st) { run(st); });
}

void LiveFeed::stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

std::shared_ptr<const LiveFrame> LiveFeed::frame(int channel) const {
    std::lock_guard lock(mutex_);
    return frames_.at(channel);
}

void LiveFeed::run(std::stop_token stop) {
    Poller poller(*this);
    std::string last_error;
    while (!stop.stop_requested()) {
        try {
            poller.pass(Clock::now());
        } catch (const std::exception& e) {
            // Said once; the next pass tries again.
            if (last_error != e.what()) std::fprintf(stderr, "kx29ctl serve: live view: %s\n", e.what());
            last_error = e.what();
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace kx29web
