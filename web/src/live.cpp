// The live view: the poller (daemon liveness, channel changes) and the encoder of each
// new frame (statistics, saturation, focus figure, the JPEG picture).
#include "live.h"

#include "jpeg.h"
#include "kx29/acquire.h"
#include "kx29/control.h"
#include "kx29/focus.h"
#include "kx29/status.h"

#include <nlohmann/json.hpp>
#include <sys/shm.h>
#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <functional>

namespace kx29web {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kHistogramBins = 64;
constexpr int kJpegQuality = 75;
constexpr auto kAttachRetry = std::chrono::milliseconds(500);
// Whether the daemon lives is read from /proc (its state, name and map): not at every pass.
constexpr auto kDaemonCheck = std::chrono::milliseconds(100);
constexpr auto kRateSpan = std::chrono::seconds(5);  // frames per second are counted over this much
// Red pixels keep their colour (no chroma subsampling): a single saturated pixel
// would otherwise become a pale 2x2 block.
constexpr int kColourSampling = TJSAMP_444;
constexpr size_t kMaxStretches = 8;  // other stretches kept per picture: one or two per viewer

json window_json(const kx29::Window& w) { return json::array({w.col0, w.lin0, w.width, w.height}); }

// Grey levels of one frame, (pixel + ADDLEV) / NCOMBINE, as Image::mean() has them.
double grey_level(const kx29::ChannelState& s, double raw) { return (raw + s.addlev) / std::max(1, s.nadded); }

// A record value with the grey level g in every frame.
int record_value(const kx29::ChannelState& s, double g) {
    return static_cast<int>(std::lround(std::clamp(g * std::max(1, s.nadded) - s.addlev, -1e9, 1e9)));
}

// Pixels that tell nothing of their light: at grey 255 in every frame, or with
// their sum cut at the record's 16-bit rails (only a sum of frames reaches them).
struct Flags {
    int saturated_from;  // record values from this on are saturated
    bool rails;
    bool clipped(int v) const { return rails && (v == INT16_MIN || v == INT16_MAX); }
    bool any(int v) const { return v >= saturated_from || clipped(v); }
};
Flags flags_of(const kx29::ChannelState& s) {
    if (s.nadded < 1) return {INT_MAX, false};  // no frame read into it yet: nothing to tell
    return {record_value(s, 255), s.nadded > 1};
}

struct WindowFigures {
    json stats = nullptr;
    kx29::StretchLevels extremes{0, 1};  // the window's minimum and maximum record values
    long saturated = 0, clipped = 0;
};

// Minimum, maximum, median, mean, dispersion and a histogram of the window's
// pixels, in grey levels of one frame, and its saturated and clipped pixels.
// Counted in a table of every 16-bit value, which costs a fraction of sorting
// or of converting every pixel; left all 0 again for the next frame.
WindowFigures window_figures(const kx29::Image& full, const kx29::Window& w, std::vector<uint32_t>& counts) {
    if (counts.size() != 65536) counts.assign(65536, 0);
    size_t n = 0;
    for (int y = w.lin0; y < w.lin0 + w.height; ++y) {
        const int16_t* row = full.pixels.data() + static_cast<size_t>(y) * full.width() + w.col0;
        for (int x = 0; x < w.width; ++x) ++counts[row[x] + 32768];
        n += w.width;
    }
    WindowFigures out;
    if (n == 0) return out;
    const double frames = full.state.nadded >= 1 ? full.state.nadded : 1;
    auto level = [&](double raw) { return grey_level(full.state, raw); };
    int lo = 0, hi = 65535;
    while (counts[lo] == 0) ++lo;
    while (counts[hi] == 0) --hi;
    double sum = 0, squares = 0, median = 0;
    size_t below = 0;
    const Flags flags = flags_of(full.state);
    for (int v = lo; v <= hi; ++v) {
        if (counts[v] == 0) continue;
        sum += static_cast<double>(counts[v]) * (v - 32768);
        if (below < (n + 1) / 2 && below + counts[v] >= (n + 1) / 2) median = v - 32768;
        below += counts[v];
        if (flags.clipped(v - 32768)) out.clipped += counts[v];
        else if (v - 32768 >= flags.saturated_from) out.saturated += counts[v];
    }
    const double mean = sum / n;
    std::vector<uint64_t> hist(kHistogramBins, 0);
    for (int v = lo; v <= hi; ++v) {
        if (counts[v] == 0) continue;
        squares += counts[v] * (v - 32768 - mean) * (v - 32768 - mean);
        hist[static_cast<size_t>(v - lo) * kHistogramBins / (hi - lo + 1)] += counts[v];
    }
    std::fill(counts.begin() + lo, counts.begin() + hi + 1, 0);
    out.extremes = {lo - 32768, hi - 32768};
    out.stats = {{"min", level(lo - 32768)},
                 {"max", level(hi - 32768)},
                 {"median", level(median)},
                 {"mean", level(mean)},
                 {"dispersion", std::sqrt(squares / n) / frames},
                 {"hist", hist},
                 {"hist_range", {level(lo - 32768), level(hi - 32768)}}};
    return out;
}

// The window's saturated and clipped pixels, as indices into the whole image.
std::vector<uint32_t> flagged_pixels(const kx29::Image& full, const kx29::Window& w) {
    const Flags flags = flags_of(full.state);
    std::vector<uint32_t> out;
    for (int y = w.lin0; y < w.lin0 + w.height; ++y) {
        const size_t start = static_cast<size_t>(y) * full.width();
        for (int x = w.col0; x < w.col0 + w.width; ++x)
            if (flags.any(full.pixels[start + x])) out.push_back(static_cast<uint32_t>(start + x));
    }
    return out;
}

// The 8-bit picture as JPEG: grey, or in colour with the flagged pixels red.
std::string encode_picture(const kx29::Image& full, const kx29::StretchLevels& levels,
                           const std::vector<uint32_t>& flagged) {
    std::vector<uint8_t> grey = kx29::stretch_to_8bit(full, levels);
    if (flagged.empty()) return encode_jpeg_gray(grey, full.width(), full.height(), kJpegQuality);
    std::vector<uint8_t> rgb(grey.size() * 3);
    for (size_t i = 0; i < grey.size(); ++i) rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = grey[i];
    for (uint32_t i : flagged) rgb[3 * i] = 255, rgb[3 * i + 1] = rgb[3 * i + 2] = 0;
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitCompress(), tjDestroy);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (!tj || tjCompress2(tj.get(), rgb.data(), full.width(), 0, full.height(), TJPF_RGB, &out, &size,
                           kColourSampling, kJpegQuality, TJFLAG_FASTDCT) != 0) {
        tjFree(out);
        throw std::runtime_error("libturbojpeg: can't encode the live picture in colour");
    }
    std::string bytes(reinterpret_cast<const char*>(out), size);
    tjFree(out);
    return bytes;
}

std::string stretch_key(const Stretch& s) {
    if (s.mode == Stretch::MinMax) return "minmax";
    return std::to_string(s.black) + "," + std::to_string(s.white);
}

// The focus figure as a page shows it: the brightest star's, or the scene's sharpness.
json focus_json(const kx29::FocusFigure& f) {
    json j = {{"sharpness", f.sharpness}, {"background", f.background}, {"noise", f.noise}, {"star", nullptr}};
    if (const auto& s = f.star)
        j["star"] = {{"x", s->x}, {"y", s->y}, {"hfr", s->hfr}, {"fwhm", s->fwhm}, {"peak", s->peak},
                     {"snr", s->snr}, {"aperture", s->aperture}, {"saturated", s->saturated}};
    return j;
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
    // The countdown of a long exposure, and 0 once the daemon says it ended ("Tandem Exposure: Ok" or "FAIL").
    if (auto left = kx29::parse_exposure_countdown(s.msg); left && s.tandem) j["exposure_left_s"] = *left;
    else if (s.tandem && s.msg.starts_with("Tandem Exposure: ")) j["exposure_left_s"] = 0.0;
    return j;
}

}  // namespace

// Makes the pictures on a thread of its own, so that no channel's event waits for
// another channel's picture (with the focus figure, several milliseconds a frame).
class Encoder {
public:
    struct Job {
        kx29::ChannelImage copy;
        double time = 0;  // when its frame appeared, ms since the epoch
        double fps = 0;
        uint64_t generation = 0;
    };
    using Done = std::function<void(int channel, json frame, uint64_t generation)>;

    Encoder(LiveFeed& feed, Done done)
        : feed_(feed), done_(std::move(done)), thread_([this](std::stop_token st) { run(st); }) {}

    // A job of the channel waits or is under way.
    bool busy(int ch) {
        std::lock_guard lock(mutex_);
        return busy_[ch];
    }

    void submit(int ch, Job job) {
        {
            std::lock_guard lock(mutex_);
            jobs_[ch] = std::move(job);
            busy_[ch] = true;
        }
        wake_.notify_one();
    }

private:
    void run(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        auto waiting = [&] { return std::ranges::any_of(jobs_, [](const auto& j) { return j.has_value(); }); };
        while (wake_.wait(lock, stop, waiting)) {
            for (int ch = 0; ch < 4; ++ch) {
                if (!jobs_[ch]) continue;
                Job job = std::move(*jobs_[ch]);
                jobs_[ch].reset();
                lock.unlock();
                try {
                    if (auto f = encode(ch, job)) done_(ch, std::move(*f), job.generation);
                } catch (const std::exception& e) {
                    // Said once; the next frame tries again.
                    if (last_error_ != e.what()) std::fprintf(stderr, "kx29ctl serve: live view: %s\n", e.what());
                    last_error_ = e.what();
                }
                lock.lock();
                busy_[ch] = jobs_[ch].has_value();
            }
        }
    }

    // Publishes the copy's picture for the viewers and returns its description:
    // statistics, saturation, the stretch's levels and the focus figure.
    std::optional<json> encode(int ch, const Job& job) {
        const kx29::ChannelState& s = job.copy.state;
        if (!kx29::geometry_fits(s) || s.img_width <= 0 || s.img_height <= 0) return std::nullopt;
        auto frame = std::make_shared<LiveFrame>();
        frame->image = kx29::make_image(job.copy, kx29::Crop::Full);
        const kx29::Image& full = frame->image;
        const kx29::Window window = kx29::clamped_window(s);
        WindowFigures figures = window_figures(full, window, counts_);
        frame->id = ++serial_;
        frame->automatic = kx29::stretch_levels(full);
        // A flat window has no span of its own: the library's levels say where it lies.
        frame->extremes = figures.extremes.hi > figures.extremes.lo ? figures.extremes : frame->automatic;
        if (figures.saturated + figures.clipped > 0) frame->flagged = flagged_pixels(full, window);
        frame->jpeg = encode_picture(full, frame->automatic, frame->flagged);
        auto grey = [&](const kx29::StretchLevels& l) {
            return json::array({grey_level(s, l.lo), grey_level(s, l.hi)});
        };
        json description = {{"id", frame->id},
                            {"seqn", s.seqn},
                            {"width", full.width()},
                            {"height", full.height()},
                            {"window", window_json(window)},
                            {"frames", s.nadded},
                            {"time", job.time},
                            {"fps", job.fps},
                            {"stats", figures.stats},
                            {"levels", {{"auto", grey(frame->automatic)}, {"minmax", grey(frame->extremes)}}},
                            {"saturated", figures.saturated},
                            {"clipped", figures.clipped},
                            {"focus", focus_json(kx29::measure_focus(full))}};
        std::lock_guard lock(feed_.mutex_);
        feed_.frames_[ch] = std::move(frame);
        return description;
    }

    LiveFeed& feed_;
    Done done_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::array<std::optional<Job>, 4> jobs_;
    std::array<bool, 4> busy_{};
    uint64_t serial_ = 0;
    std::vector<uint32_t> counts_;  // the statistics' table, kept between frames
    std::string last_error_;
    std::jthread thread_;           // last: it stops before the rest goes
};

// The poller's own state; only its thread touches it, but for what it publishes.
class Poller {
public:
    Poller(LiveFeed& feed)
        : feed_(feed), encoder_(feed, [this](int ch, json frame, uint64_t generation) {
              std::lock_guard lock(publish_mutex_);
              if (generation != generation_) return;  // a picture of a segment since left
              frames_[ch] = std::move(frame);
              publish_channel(ch);
          }) {}

    void pass(Clock::time_point now) {
        attach_if_needed(now);
        if (now >= next_daemon_check_) {
            next_daemon_check_ = now + kDaemonCheck;
            watch_daemon();
        }
        if (!segment_) return;
        for (int ch = 0; ch < 4; ++ch) watch_channel(ch, now);
    }

private:
    struct Known {
        std::optional<kx29::ChannelState> state;  // the record as last published
        int seqn = 0;
        bool frame_pending = true;
        Clock::time_point last_encoded{};
        std::deque<std::pair<Clock::time_point, int>> seen;  // when each recent seqn appeared
        double frame_time = 0;  // when the latest seqn appeared, ms since the epoch
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
        next_daemon_check_ = {};
        std::lock_guard lock(publish_mutex_);
        ++generation_;
        tiles_ = {}, frames_ = {};
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
        if (s.seqn != k.seqn) {
            k.frame_pending = true;
            k.seen.emplace_back(now, s.seqn);
            while (now - k.seen.front().first > kRateSpan) k.seen.pop_front();
            k.frame_time = std::chrono::duration<double, std::milli>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
        }
        k.seqn = s.seqn;
        // The change itself goes out at once; its picture follows when encoded.
        if (!k.state || !same_tile(s, *k.state)) {
            k.state = s;
            std::lock_guard lock(publish_mutex_);
            tiles_[ch] = tile_json(ch, s);
            publish_channel(ch);
        }
        // A picture is made only when the previous one was fetched (or there is none):
        // nobody looking, nothing encoded; a viewer's fetch of the old one brings the next.
        const bool wanted = feed_.viewed_[ch].load() || !feed_.frame(ch);
        if (k.frame_pending && wanted && now - k.last_encoded >= LiveFeed::kMinFrameInterval && !encoder_.busy(ch)) {
            // Never waits: while the daemon writes into the image (a readout takes 0.4 s
            // at the board's pace) the next pass tries again, and the events go on meanwhile.
            std::optional<kx29::ChannelImage> copy = segment_->view(ch).try_capture_image();
            if (!copy) return;
            k.frame_pending = false;
            k.last_encoded = now;
            feed_.viewed_[ch] = false;
            encoder_.submit(ch, {std::move(*copy), k.frame_time, frame_rate(k, now), generation_});
        }
    }

    // Under publish_mutex_, so that the latest event of a channel always has its latest tile and picture.
    void publish_channel(int ch) {
        json ev = tiles_[ch];
        ev["frame"] = frames_[ch];
        feed_.hub_.publish("channel", ev.dump(), kTopicChannel0 + ch);
    }

    // Frames per second of the channel over the last few seconds; 0 when none came.
    static double frame_rate(const Known& k, Clock::time_point now) {
        if (k.seen.size() < 2 || now - k.seen.back().first > kRateSpan) return 0;
        const double span = std::chrono::duration<double>(k.seen.back().first - k.seen.front().first).count();
        return span > 0 ? (k.seen.back().second - k.seen.front().second) / span : 0;
    }

    LiveFeed& feed_;
    std::optional<kx29::Segment> segment_;
    int shm_id_ = -1;
    Clock::time_point next_attach_{};
    Clock::time_point next_daemon_check_{};
    json daemon_;  // as last published
    std::array<Known, 4> known_;
    std::mutex publish_mutex_;
    uint64_t generation_ = 0;  // of the segment attached; pictures of another are dropped
    std::array<json, 4> tiles_, frames_;  // what the channels' events hold
    Encoder encoder_;  // last: its thread ends before the rest goes
};

LiveFeed::LiveFeed(EventHub& hub) : hub_(hub) {}

LiveFeed::~LiveFeed() { stop(); }

void LiveFeed::start() {
    thread_ = std::jthread([this](std::stop_token st) { run(st); });
    first_pass_.wait();
}

void LiveFeed::stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

std::shared_ptr<const LiveFrame> LiveFeed::frame(int channel, bool viewed) const {
    std::lock_guard lock(mutex_);
    if (viewed) viewed_.at(channel) = true;
    return frames_.at(channel);
}

Stretch parse_stretch(const std::optional<std::string>& text) {
    if (!text || *text == "auto") return {};
    if (*text == "minmax") return {Stretch::MinMax};
    Stretch s{Stretch::Manual};
    char tail = 0;
    if (std::sscanf(text->c_str(), "%lf,%lf%c", &s.black, &s.white, &tail) != 2 || !std::isfinite(s.black) ||
        !std::isfinite(s.white) || s.white <= s.black)
        throw kx29::Error(kx29::ErrorKind::Usage,
                          "stretch is auto, minmax or BLACK,WHITE in grey levels of one frame, BLACK below WHITE");
    return s;
}

std::optional<std::string> LiveFrame::cached(const Stretch& s) const {
    if (s.mode == Stretch::Auto) return jpeg;
    std::lock_guard lock(mutex_);
    auto it = others_.find(stretch_key(s));
    return it == others_.end() ? std::nullopt : std::optional(it->second);
}

std::string LiveFrame::picture(const Stretch& s) const {
    if (auto known = cached(s)) return *known;
    kx29::StretchLevels levels = extremes;
    if (s.mode == Stretch::Manual) {
        levels = {record_value(image.state, s.black), record_value(image.state, s.white)};
        if (levels.hi <= levels.lo) levels.hi = levels.lo + 1;  // closer than a level of the sum
    }
    std::string bytes = encode_picture(image, levels, flagged);
    std::lock_guard lock(mutex_);
    if (others_.size() >= kMaxStretches) return bytes;
    return others_.emplace(stretch_key(s), std::move(bytes)).first->second;
}

void LiveFeed::run(std::stop_token stop) {
    Poller poller(*this);
    std::string last_error;
    for (bool first = true; !stop.stop_requested(); first = false) {
        try {
            poller.pass(Clock::now());
        } catch (const std::exception& e) {
            // Said once; the next pass tries again.
            if (last_error != e.what()) std::fprintf(stderr, "kx29ctl serve: live view: %s\n", e.what());
            last_error = e.what();
        }
        if (first) first_pass_.count_down();
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace kx29web
