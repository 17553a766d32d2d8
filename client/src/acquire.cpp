// Checking an acquisition request, writing it into the record and following it to its end.
#include "kx29/acquire.h"
#include "kx29/control.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

namespace kx29 {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(2);
// Between frames of a steady series, far from the next frame's end and from
// the last change in the record, polls come this far apart: most of a
// follower's cost is its wake-ups, and nothing there needs the fast pace.
constexpr auto kQuietPollInterval = std::chrono::milliseconds(8);
constexpr auto kQuietAfterChange = std::chrono::milliseconds(50);
// How long a state that the daemon leaves only for microseconds (nexp at 0
// with CMD_ACQUIRE still set) may last before another client is blamed.
constexpr auto kGateGrace = std::chrono::milliseconds(200);
// How long a channel's word must have asked for no acquisition before a new
// request takes the channel: ten polls of the client that followed the last.
constexpr auto kHandover = std::chrono::milliseconds(20);
constexpr auto kLivenessInterval = std::chrono::milliseconds(250);
constexpr auto kReportInterval = std::chrono::milliseconds(100);
// Pause of the daemon between frames with a full-image window, plus a capture.
constexpr double kFrameOverhead = 0.25;
// The daemon's work on a frame at the board's pace: a switch of the board (an FPGA load), a capture (up to
// two video frames, or the last 0.04 s step of a long exposure with its
// final grab), and one bus cycle of about 1 us per pixel position the
// readout passes. Doubled, plus a poll's grace, for a slow or loaded PC.
constexpr double kSwitchTime = 0.25;
constexpr double kCaptureTime = 0.12;
constexpr double kPixelTime = 1.2e-6;
constexpr double kSlowPcFactor = 2.0;
constexpr auto kSettleGrace = std::chrono::milliseconds(250);
// After its seqn the daemon writes a frame's tallies and message, which take
// microseconds; a write still marked after this long is the next frame's,
// which is destroying the image.
constexpr auto kCopyPatience = std::chrono::milliseconds(50);
// How long a frame's report may lag behind its count before the frame is
// reported without it.
constexpr auto kReportLag = std::chrono::milliseconds(100);
// A frame's readout is timed only by polls at most this far apart.
constexpr auto kTimingGap = std::chrono::milliseconds(20);
// From the end of a frame's light to its readout: a video capture waits for
// the next field switch (up to 0.02 s); a long exposure's frame is delivered
// by a grab of 0.061 s and a frame boundary after the integration ends.
constexpr double kVideoReadoutLag = 0.01;
constexpr double kDeliveryLag = 0.08;

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

[[noreturn]] void usage(const std::string& text) { throw Error(ErrorKind::Usage, text); }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// seqn counts frames (and clears, which cannot happen while CMD_ACQUIRE is
// set); the difference survives a wrap of the counter.
int frames_between(int from, int to) {
    return static_cast<int>(static_cast<unsigned>(to) - static_cast<unsigned>(from));
}

// A failed capture: the daemon writes its message, then zeroes nadd and
// nexp, then clears the request bits. A normal end never zeroes nadd.
bool failed_capture(const ChannelState& s, int seqmsg0) {
    return s.nadd == 0 && s.msg == kNoVideoMessage && s.seqmsg != seqmsg0;
}

int seqn_after(int seqn, int frames) {
    return static_cast<int>(static_cast<unsigned>(seqn) + static_cast<unsigned>(frames));
}

// The image as it stood when frame `seqn` was complete: waits while the daemon
// is still writing (the tail of that frame, or the next one), then copies;
// nullopt once a later frame or a clear has been counted, or when the writing
// does not end within `patience`.
std::optional<ChannelImage> image_at(const ChannelView& ch, int seqn, std::chrono::milliseconds patience) {
    std::optional<ChannelImage> img;
    bool gone = false;
    poll_until(
        [&] {
            if (ch.seqn() != seqn) return gone = true;
            img = ch.try_capture_image();
            return img.has_value();
        },
        patience, {}, std::chrono::milliseconds(1));
    if (gone || !img || img->state.seqn != seqn) return std::nullopt;
    return img;
}

bool window_inside(const Window& w, const ChannelState& s) {
    return w.col0 >= 0 && w.lin0 >= 0 && w.width >= 1 && w.height >= 1 &&
           static_cast<long>(w.col0) + w.width <= s.img_width && static_cast<long>(w.lin0) + w.height <= s.img_height;
}

}  // namespace

AcquirePlan plan_acquisition(const AcquireRequest& req, const ChannelState& s) {
    check_channel(req.channel);
    if (req.format) check_format(*req.format);
    if (req.ref_lev) check_ref_lev(*req.ref_lev);
    if (req.frames < 1) usage("frames per image must be at least 1");
    if (req.images == 0) usage("the number of images must not be 0 (a negative number is an endless series)");
    if (req.exposure) check_exposure(*req.exposure, s);

    AcquirePlan plan;
    plan.request = req;
    plan.format_changing = format_changes(s, req.format);
    if (req.window) {
        plan.window = resolve_window(*req.window, s, plan.format_changing);
    } else if (!plan.format_changing) {
        // The record's window stays; the daemon reads it as it is.
        check_geometry(s);
        if (!window_inside(s.window, s))
            usage("the channel's window lies outside its image; give --window (for example --window full)");
    }
    ChannelState after = s;
    if (req.exposure) after.exposure = *req.exposure;
    if (!req.add) after.nadded = 0;
    if (auto problem = record_problem(after)) usage(*problem + " (give --exposure)");
    plan.frame_exposure = frame_exposure(after);
    plan.long_exposure = long_exposure(after);
    return plan;
}

std::optional<double> parse_exposure_countdown(const std::string& msg) {
    static const std::string prefix = "Tandem Exposure: ";
    if (msg.rfind(prefix, 0) != 0) return std::nullopt;
    const char* text = msg.c_str() + prefix.size();
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::chrono::milliseconds default_stall_timeout(const AcquirePlan& plan) {
    double s = 10.0 + (plan.long_exposure ? 2.0 * plan.frame_exposure : 0.0);
    return std::chrono::milliseconds(static_cast<long long>(s * 1000.0));
}

LifeSignature life_signature(const Segment& seg) {
    LifeSignature sig{};
    for (int n = 0; n < KX29_CHANNELS; ++n) {
        ChannelView v = seg.view(n);
        sig[n] = {v.seqn(), v.seqmsg()};
    }
    return sig;
}

std::chrono::milliseconds settle_time(const ChannelState& s) {
    // Every line of the window is read from column 0 to its right edge.
    const double right = std::clamp(static_cast<double>(s.window.col0) + s.window.width, 0.0, double{KX29_MAX_COLS});
    const double lines = std::clamp(static_cast<double>(s.window.height), 0.0, double{KX29_MAX_LINES});
    const double capture = kCaptureTime + (long_exposure(s) ? 0.1 : 0.0);
    const double frame = kSwitchTime + capture + right * lines * kPixelTime;
    return std::chrono::milliseconds(static_cast<long long>(kSlowPcFactor * frame * 1000.0)) + kSettleGrace;
}

// The daemon checks a channel's gate at the start of its turn, so after a
// withdrawal at most the one frame it had already begun can still come. It
// has come, or will not, once: the channel's seqn moved; or the daemon
// counted a frame of another channel (it serves one channel at a time); or
// neither counter of the channel moved for settle_time, the longest a frame
// takes from its switch to its message.
bool wait_until_settled(const Segment& seg, int channel, std::chrono::milliseconds timeout) {
    const ChannelView ch = seg.view(channel);
    const auto quiet_needed = settle_time(ch.state());
    const LifeSignature start = life_signature(seg);
    auto last_message = start[channel].second;
    auto quiet_since = Clock::now();
    return poll_until(
        [&] {
            if (ch.activ() & ACTIV_WRITING) return false;
            const LifeSignature now = life_signature(seg);
            for (int n = 0; n < KX29_CHANNELS; ++n)
                if (now[n].first != start[n].first) return true;
            if (now[channel].second != last_message) {  // a long exposure still counting down
                last_message = now[channel].second;
                quiet_since = Clock::now();
            }
            return Clock::now() - quiet_since >= quiet_needed;
        },
        timeout, {}, std::chrono::milliseconds(5));
}

Acquisition::Acquisition(Segment& segment, const AcquireRequest& req)
    : segment_(segment), channel_(segment.channel(req.channel)),
      plan_(plan_acquisition(req, channel_.state())) {}

namespace {

bool busy_with_acquisition(const ChannelState& s) { return (s.command & CMD_ACQUIRE) && s.nexp != 0 && s.nadd != 0; }

enum class Wait { Done, Stopped, Stalled, DaemonGone };

// Waits for cond while the daemon shows life: until it holds, stop() returns
// true, the daemon showed no life for stall_timeout, or it ended.
Wait wait_while_alive(const Segment& seg, const std::function<bool()>& cond, std::chrono::milliseconds stall_timeout,
                      const std::function<bool()>& stop) {
    LifeSignature last = life_signature(seg);
    auto last_life = Clock::now(), last_liveness = last_life;
    Wait why = Wait::Done;
    poll_until(
        [&] {
            if (cond()) return true;
            const auto now = Clock::now();
            LifeSignature sig = life_signature(seg);
            if (sig != last) {
                last = sig;
                last_life = now;
            }
            if (stop && stop()) why = Wait::Stopped;
            else if (now - last_life > stall_timeout) why = Wait::Stalled;
            else if (now - last_liveness >= kLivenessInterval && !(last_liveness = now, seg.daemon().alive))
                why = Wait::DaemonGone;
            return why != Wait::Done;
        },
        std::chrono::hours(24 * 365));
    return why;
}

// The error for a wait that ended otherwise than with its condition.
Error unanswered(const std::string& name, Wait why, std::chrono::milliseconds stall_timeout) {
    switch (why) {
    case Wait::Stopped: return Error(ErrorKind::Failed, name + ": interrupted before the daemon took the request");
    case Wait::DaemonGone: return Error(ErrorKind::Failed, name + ": the daemon ended before it took the request");
    default:
        return Error(ErrorKind::Failed, name + ": no frame or message from the daemon for " +
                                            seconds_text(stall_timeout) + "; the request was withdrawn");
    }
}

}  // namespace

// A fresh image must not continue one the daemon still counts down: after a
// withdrawal the daemon drops its own countdown only in its next turn on the
// channel, and a request written before that turn would get the old image's
// remaining frames added ("Add4" for a one-frame request). For a request
// whose images start afresh the daemon is first asked for a clear alone
// (CMD_CLEAR without CMD_ACQUIRE): that turn drops any countdown and marks the
// next frame as the first of an image, and the daemon shows it by clearing
// the bit. A request that adds to the image can't be cleared first; a frame
// count that does not fit it is found while following (see follow()).
void Acquisition::start(std::chrono::milliseconds stall_timeout, const std::function<bool()>& stop) {
    segment_.require_daemon();
    const AcquireRequest& req = plan_.request;
    const std::string name = "channel " + std::to_string(req.channel);
    auto busy = [&] {
        return Error(ErrorKind::Failed, name + " is busy with another acquisition (command " +
                                            command_names(channel_.command()) + ")");
    };

    ChannelState s = channel_.state();
    if (busy_with_acquisition(s)) throw busy();
    // CMD_ACQUIRE with nexp or nadd 0 acquires nothing (the gate is closed).
    // A request that just ended (the daemon clears its bits right after its
    // last count of nexp) or another client's start holds the word so for a
    // moment; a leftover stays the same word with the gate closed, and is
    // withdrawn unless the word changed meanwhile.
    auto changed = [&] { return channel_.command() != s.command || channel_.nexp() != 0 || channel_.nadd() != s.nadd; };
    if ((s.command & CMD_ACQUIRE) && !poll_until(changed, kGateGrace))
        channel_.replace_command(s.command, s.command & ~(CMD_ACQUIRE | CMD_CLEAR));

    // The channel is taken only once its word has asked for no acquisition for
    // a moment: the client that followed the request just ended then sees its
    // end before the record holds another request.
    auto free_since = Clock::now();
    if (!poll_until(
            [&] {
                if (channel_.command() & CMD_ACQUIRE) free_since = Clock::now();
                return Clock::now() - free_since >= kHandover;
            },
            kGateGrace))
        throw busy();

    // A clear or reload asked for earlier is left to the daemon first: with
    // CMD_ACQUIRE set the clear would change how the first frame is read.
    auto pending = [](int c) { return c == CMD_RELOAD || (c & (CMD_CLEAR | CMD_ACQUIRE)) == CMD_CLEAR; };
    Wait why = wait_while_alive(segment_, [&] { return !pending(channel_.command()); }, stall_timeout, stop);
    if (why == Wait::Stalled)
        throw Error(ErrorKind::Failed, name + ": the daemon has not carried out the pending " +
                                           command_names(channel_.command()));
    if (why != Wait::Done) throw unanswered(name, why, stall_timeout);
    // The daemon also clears CMD_CLEAR at the end of a request whose last
    // frame was still under way when it was withdrawn; that frame counts seqn
    // and leaves its report, which the clear does not write. The clear is then
    // asked for again.
    for (int attempt = 0; !req.add; ++attempt) {
        const int seqn_before = channel_.seqn();
        if (!channel_.claim_with_clear()) throw busy();
        why = wait_while_alive(segment_, [&] { return (channel_.command() & CMD_CLEAR) == 0; }, stall_timeout, stop);
        const int seqn = channel_.seqn();
        if (why != Wait::Done) {
            // Once the daemon has done the clear (seqn moved), a clear bit
            // in the word is another client's.
            if (seqn == seqn_before) channel_.withdraw_clear();
            throw unanswered(name, why, stall_timeout);
        }
        // The daemon's clear counts seqn; a bit gone without it was withdrawn.
        if (seqn == seqn_before)
            throw Error(ErrorKind::Failed, name + ": another client withdrew the request before the daemon took it");
        if (!is_frame_report(channel_.msg(), seqn) || attempt == 2) break;
    }

    // The channel is claimed: CMD_ACQUIRE set by compare-and-swap on a word
    // that asks for no acquisition or clear, so that of two clients starting
    // at once one is refused before it has written anything. Then the gate
    // is closed (nexp 0; the daemon and every withdrawal leave it so), the
    // parameters follow, and nexp last opens it: the daemon reads them all
    // afresh in the pass that sees it open.
    light_unknown_ = req.add && !image_exposure(channel_.state());
    // Frames added to an image read otherwise leave its correction mixed.
    mixed_correction_ = req.add && correction_applied(channel_.state()) != std::optional<bool>(req.ccd);
    if (!channel_.claim_for_acquisition(!req.add, req.ccd)) throw busy();
    channel_.set_nexp(0);  // left from a request that did not end by the daemon's count
    if (req.exposure) channel_.set_exposure(*req.exposure);
    if (req.format) channel_.set_next_form(*req.format);
    if (req.ref_lev) channel_.set_ref_lev(*req.ref_lev);
    if (plan_.window) channel_.set_window(*plan_.window);
    channel_.set_nadd(req.frames);
    window0_ = channel_.window();
    window_follows_switch_ = plan_.format_changing;
    seqn0_ = channel_.seqn();
    seqmsg0_ = channel_.seqmsg();
    started_ = Clock::now();
    channel_.set_nexp(req.images);
}

// After frames were added to an image of unknown light: nadd as a withdrawal
// leaves it, so that the record goes on saying the light is not known. Only
// when the request ended by the daemon's count and nobody took the channel.
void Acquisition::leave_light_unknown() {
    if (!(channel_.command() & CMD_ACQUIRE) && channel_.nexp() == 0)
        channel_.replace_nadd(plan_.request.frames, kWithdrawnNadd);
}

// Only while the record still holds this request: once it has ended, the
// word and counts may already be another client's request.
void Acquisition::stop() {
    if ((channel_.command() & CMD_ACQUIRE) && channel_.nadd() == plan_.request.frames &&
        channel_.window() == window0_)
        withdraw(channel_);
}

void withdraw(Channel& ch) {
    // nexp 0 closes the gate, so the daemon drops the image under way even if
    // it sees the word before the bits are cleared; a command word of 0 drops
    // it as well.
    ch.set_nexp(0);
    ch.set_nadd(kWithdrawnNadd);
    ch.clear_command_bits(CMD_ACQUIRE | CMD_CLEAR | CMD_CCD);
}

const char* outcome_text(Outcome o) {
    switch (o) {
    case Outcome::Completed: return "completed";
    case Outcome::Failed: return "failed";
    case Outcome::Interrupted: return "withdrawn here";
    case Outcome::TimedOut: return "timed out";
    case Outcome::DaemonGone: return "daemon gone";
    case Outcome::EndedElsewhere: return "withdrawn by another client";
    }
    return "?";
}

void ClipForecast::report(const std::string& msg) {
    int seqn = 0, index = 0, sublev = 0, min = 0, max = 0;
    char kind[4] = {};
    if (std::sscanf(msg.c_str(), "Frame%d(%3[A-Za-z]%d SubLev=%d): Min=%d Max=%d", &seqn, kind, &index, &sublev, &min,
                    &max) != 6)
        return;
    if (std::string(kind) == "Get") {
        *this = ClipForecast{};
        have_first_ = true;
        first_min_ = min;
        first_max_ = max;
    } else if (have_first_ && index > last_index_ && index >= 2) {
        sum_min_ += min;
        sum_max_ += max;
        ++later_;
    } else {
        return;
    }
    last_index_ = index;
    sublev_ = sublev;
}

std::optional<int> ClipForecast::frames_to_clip() const {
    if (!have_first_ || later_ == 0 || last_index_ < 2) return std::nullopt;
    const double level = static_cast<double>(sublev_) / (last_index_ - 1);  // mean sub-level of the later frames
    const double gain_hi = static_cast<double>(sum_max_) / later_ - level;
    const double gain_lo = static_cast<double>(sum_min_) / later_ - level;
    double frames = HUGE_VAL;
    if (gain_hi > 0) frames = std::min(frames, 1 + (INT16_MAX - first_max_) / gain_hi);
    if (gain_lo < 0) frames = std::min(frames, 1 + (INT16_MIN - first_min_) / gain_lo);
    if (!(frames < 1e9)) return std::nullopt;
    return static_cast<int>(std::ceil(frames));
}

double expected_frame_interval(const AcquirePlan& plan, const Window& w) {
    const double capture = plan.long_exposure ? kDeliveryLag + 0.04 : 0.06;  // a frame boundary, a grab
    return plan.frame_exposure + capture + kPixelTime * (static_cast<double>(w.col0) + w.width) * w.height;
}

std::string clip_forecast_text(const Progress& p) {
    if (!p.clip_expected_after) return {};
    return "images of " + std::to_string(p.frames_per_image) +
           " frames are likely to clip: the brightest or darkest pixels reach the 16-bit limit of the sum after "
           "about " +
           std::to_string(*p.clip_expected_after) + " frames";
}

int Progress::image_number() const {
    const bool at_boundary = images_done > 0 && frame_in_image >= frames_per_image;
    const int n = at_boundary ? images_done : images_done + 1;
    return images_total > 0 ? std::min(n, images_total) : n;
}

std::string acquisition_summary(int channel, const AcquireResult& r, int saturated_images, int clipped_images) {
    std::string s = "channel " + std::to_string(channel) + ": " + outcome_text(r.outcome) + " after " +
                    std::to_string(r.frames) + " frames, " + std::to_string(r.images) + " images";
    if (r.partial_frames > 0)
        s += " (an unfinished image of " + std::to_string(r.partial_frames) + " frames was not kept)";
    if (saturated_images > 0) s += ", " + std::to_string(saturated_images) + " saturated";
    if (clipped_images > 0) s += ", " + std::to_string(clipped_images) + " clipped";
    return s;
}

AbortReport abort_channel(Segment& seg, int channel, std::chrono::milliseconds timeout) {
    Channel ch = seg.channel(channel);
    const ChannelState s = ch.state();
    AbortReport r;
    r.channel = channel;
    r.daemon_alive = seg.daemon().alive;
    r.was_acquiring = (s.command & CMD_ACQUIRE) != 0 || s.nexp != 0;
    r.images_left = s.nexp;
    r.frames_per_image = s.nadd;
    r.long_exposure = long_exposure(s);
    const std::string name = "channel " + std::to_string(channel);
    if (!r.was_acquiring) {
        r.summary = name + ": nothing to stop";
        return r;
    }
    withdraw(ch);
    std::string what = r.images_left < 0 ? "an endless series"
                                         : std::to_string(r.images_left) + " images of " +
                                               std::to_string(r.frames_per_image) + " frames left";
    if (r.long_exposure) what += ", long exposures";
    if (!r.daemon_alive) {
        r.summary = name + ": withdrew an acquisition (" + what + "); no daemon runs, the record is left idle";
        return r;
    }
    // The daemon finishes the frame under way (a long exposure ends at its next
    // countdown step, then its frame is read).
    r.idle = wait_until_settled(seg, channel, timeout);
    r.summary = name + ": withdrew an acquisition (" + what + "); " +
                (r.idle ? "the daemon is idle on it" : "the daemon was still busy on it when the wait ended");
    return r;
}

// How an image is known to be finished:
// - finite series: the daemon counts nexp down by one right after the last
//   frame of an image, after that frame's counters and message. A drop of
//   nexp ends one image for every `frames` frames read since the previous
//   boundary. A drop the frames do not account for was written by a client:
//   to 0 it is a withdrawal (the bits are cleared with it); to more than 0 it
//   means the daemon ended an image after fewer frames than asked, an image it
//   had begun before this request or whose nadd another client changed, and
//   the run fails.
// - endless series (nexp negative, never counted down): every `frames`
//   frames, counted by seqn.
// A finished image is copied at the seqn of its last frame while nothing is
// written into it (image_at); when the next image's first frame came first,
// it is reported missed. An image that starts afresh must hold exactly
// `frames` frames by the daemon's own count (nadded), so a frame of another
// request can't pass for one of this.
AcquireResult Acquisition::follow(const AcquireEvents& ev, std::chrono::milliseconds stall_timeout) {
    const AcquireRequest& req = plan_.request;
    const bool finite = req.images > 0;
    const int per_image = req.frames;

    Progress pr;
    pr.frames_per_image = per_image;
    pr.images_total = req.images;
    pr.frame_exposure_s = plan_.frame_exposure;
    int last_seqmsg = seqmsg0_;
    int last_nexp = req.images;
    int image_start = 0;  // frames read before the image under way
    LifeSignature life = life_signature(segment_);
    auto last_life = Clock::now();
    auto last_liveness = last_life;
    Clock::time_point last_report{};
    // Zero time points stand for "not yet".
    Clock::time_point gate_closed_since{};
    Clock::time_point first_frame_at{}, last_frame_at{};
    int first_frame_count = 0, last_frame_count = 0;
    Clock::time_point countdown_at{};
    double countdown_left = 0;
    int image_max = -1;  // highest frame maximum of the image under way
    // A frame is reported once, with its own message: the daemon counts seqn
    // up before it writes the frame's message.
    bool frame_unreported = false;
    Clock::time_point frame_seen_at{};
    std::optional<std::string> foreign;  // why an image is not this request's
    const auto settle = settle_time(channel_.state());
    ClipForecast forecast;
    // Request frame number -> wall time its readout was seen to begin.
    std::map<int, double> readout_seen;
    bool was_writing = false;
    auto last_poll = Clock::now();
    ChannelState cached = channel_.state();
    std::array<int, 6> last_counters = {cached.seqn, cached.seqmsg, cached.activ, cached.nadd, cached.command,
                                        cached.nexp};
    auto last_change = Clock::now();

    auto result = [&](Outcome outcome, std::string message) {
        AcquireResult r{outcome, pr.frames_done, pr.images_done, 0, std::move(message)};
        if (outcome != Outcome::Completed) r.partial_frames = std::max(0, pr.frames_done - image_start);
        if (light_unknown_) leave_light_unknown();
        return r;
    };
    // The dates of frames first..last, from their readouts as seen here,
    // checked against the whole seconds the daemon stamped before the first
    // and last capture.
    auto observed_times = [&](int first, int last, const ChannelState& st) -> std::optional<ImageTimes> {
        auto a = readout_seen.find(first), b = readout_seen.find(last);
        if (req.add || a == readout_seen.end() || b == readout_seen.end()) return std::nullopt;
        const double lag = plan_.long_exposure ? kDeliveryLag : kVideoReadoutLag;
        ImageTimes t;
        t.end = b->second - lag;
        t.start = a->second - lag - plan_.frame_exposure;
        const double slack = 1.2 + (plan_.long_exposure ? 0.2 : 0.0);
        if (t.start < st.tstart - 0.05 || t.start > st.tstart + slack || *t.end < st.tcurr ||
            *t.end > st.tcurr + slack + plan_.frame_exposure)
            return std::nullopt;
        t.start = std::max(t.start, static_cast<double>(st.tstart));
        t.decimals = 2;
        t.how = plan_.long_exposure
                    ? "Dates: first and last readout seen, less exposure (to 0.05 s)."
                    : "Dates: first and last readout seen, less the capture (to 0.02 s).";
        return t;
    };
    // A finished image is copied at once and handed over after the progress
    // report, so that the report comes first and the copy is not delayed.
    std::vector<std::pair<int, std::optional<Image>>> finished;
    // Copies the image that ends with the request's frame `end`; nullopt when
    // it is gone, or (with `confirm`) when its last frame's own report is not
    // there to say it is a frame of an image.
    auto copy_image = [&](int end, bool confirm) -> std::optional<Image> {
        const int seqn = seqn_after(seqn0_, end);
        auto copy = image_at(channel_, seqn, kCopyPatience);
        if (!copy || (confirm && !is_frame_report(copy->state.msg, seqn))) return std::nullopt;
        if (copy->state.window != window0_) {
            foreign = "the window of channel " + std::to_string(req.channel) + " changed during image " +
                      std::to_string(pr.images_done + 1) +
                      " (another client's window, or its request replaced this one); the image is not kept";
            return std::nullopt;
        }
        if (!req.add && copy->state.nadded != per_image) {
            foreign = "image " + std::to_string(pr.images_done + 1) + " holds " + std::to_string(copy->state.nadded) +
                      " frames by the daemon's count, not " + std::to_string(per_image) +
                      ": it was not begun by this request";
            return std::nullopt;
        }
        Image img = make_image(*copy, req.crop);
        if (image_max >= 0) img.frame_max = image_max;
        if (auto t = observed_times(end - per_image + 1, end, copy->state)) img.times = *t;
        if (light_unknown_) img.exposure_s.reset();
        if (mixed_correction_) img.ccd_corrected.reset();
        return img;
    };
    auto finish_image = [&](int end, std::optional<Image> img) {
        finished.emplace_back(++pr.images_done, std::move(img));
        image_max = -1;
        image_start = end;
        readout_seen.erase(readout_seen.begin(), readout_seen.lower_bound(end + 1));
    };
    auto hand_over = [&] {
        for (auto& [k, img] : finished) {
            if (!img) {
                if (ev.image_missed) ev.image_missed(k);
            } else if (ev.image_done) {
                ev.image_done(k, *img);
            }
        }
        finished.clear();
    };
    // After a withdrawal, from whichever side: the frame under way when it
    // came is awaited, and may have been the last of an image. It is this
    // request's only when the record, read after seqn, still says so: its
    // window, and nadd this request's or 0 (as a withdrawal leaves it); a
    // request begun since writes its own before its first frame can come.
    // A long exposure is cut short by a withdrawal: never a whole image.
    auto withdrawn = [&](Outcome outcome, std::string message) {
        wait_until_settled(segment_, req.channel, 2 * settle);
        const ChannelState after = channel_.state();
        pr.frames_done = frames_between(seqn0_, after.seqn);
        const bool ours = after.window == window0_ && (after.nadd == per_image || after.nadd == kWithdrawnNadd);
        if (ours && !plan_.long_exposure && pr.frames_done - image_start >= per_image &&
            (!finite || pr.images_done < pr.images_total)) {
            const int end = image_start + per_image;
            if (auto img = copy_image(end, true)) finish_image(end, std::move(img));
        }
        hand_over();
        if (finite && pr.images_done >= pr.images_total) return result(Outcome::Completed, after.msg);
        if (foreign) return result(Outcome::Failed, *foreign);
        return result(outcome, std::move(message));
    };

    for (;;) {
        if (ev.stop_requested && ev.stop_requested()) {
            stop();
            return withdrawn(Outcome::Interrupted, "interrupted; the acquisition was withdrawn");
        }
        // The command word first, then nexp, then the frame counters: the
        // daemon writes them in the opposite order in a turn (a frame's
        // counters, then nexp, then the bits), so each reading sees at least
        // what the one before it saw.
        const int command = channel_.command();
        const int nexp = channel_.nexp();
        // The whole record (its text made valid) is read again only when a
        // counter, bit or count the daemon writes moved: most polls see none.
        const std::array<int, 6> counters = {channel_.seqn(), channel_.seqmsg(), channel_.activ(), channel_.nadd(),
                                              command, nexp};
        const auto now = Clock::now();
        if (counters != last_counters) {
            last_counters = counters;
            last_change = now;
            cached = channel_.state();
        }
        ChannelState s = cached;
        s.command = command, s.nexp = nexp;
        if (window_follows_switch_ && s.form == req.format) {
            // Switched before the first frame: the whole image of the new format.
            if (s.window == Window{0, 0, s.img_width, s.img_height}) window0_ = s.window;
            window_follows_switch_ = false;
        }
        pr.new_message = false;

        LifeSignature sig = life_signature(segment_);
        if (sig != life) {
            life = sig;
            last_life = now;
        }
        int frames = frames_between(seqn0_, s.seqn);
        // A readout seen to begin between two close polls times its frame:
        // seqn counts the frame at the readout's end.
        const bool writing = (s.activ & ACTIV_WRITING) != 0;
        const bool close_polls = now - last_poll <= kTimingGap;
        last_poll = now;
        if (close_polls && writing && !was_writing)
            readout_seen.try_emplace(frames > pr.frames_done ? frames : frames + 1, wall_seconds());
        else if (close_polls && frames == pr.frames_done + 1)
            readout_seen.try_emplace(frames, wall_seconds());
        was_writing = writing;
        if (frames != pr.frames_done) {
            pr.frames_done = frames;
            countdown_at = {};
            if (first_frame_at == Clock::time_point{}) {
                first_frame_at = now;
                first_frame_count = frames;
            }
            last_frame_at = now;
            last_frame_count = frames;
            frame_unreported = true;
            frame_seen_at = now;
        }
        if (s.seqmsg != last_seqmsg) {
            last_seqmsg = s.seqmsg;
            const bool countdown = s.msg.rfind("Tandem Exposure:", 0) == 0;
            // The long-exposure capture posts its countdown into every record:
            // it belongs to this channel only when it acquires long exposures.
            if (!countdown || plan_.long_exposure) {
                pr.message = s.msg;
                pr.new_message = true;
            }
            if (plan_.long_exposure && countdown) {
                if (auto left = parse_exposure_countdown(s.msg)) {
                    countdown_at = now;
                    countdown_left = *left;
                } else {
                    countdown_at = {};
                }
            }
            if (!req.add) {
                forecast.report(s.msg);
                if (!pr.clip_expected_after)
                    if (auto n = forecast.frames_to_clip(); n && *n < per_image) pr.clip_expected_after = n;
            }
            if (auto max = frame_report_max(s.msg)) {
                pr.frame_max = *max;
                image_max = std::max(image_max, *max);
                if (*max >= 255) ++pr.saturated_frames;
            }
        }
        pr.nadded = s.nadded;

        if (failed_capture(s, seqmsg0_)) {
            hand_over();
            return result(Outcome::Failed, s.msg);
        }

        // Another request on the channel: this one ended unseen (this client
        // was held up longer than the next client took to start), or another
        // client rewrote it. Its images so far stay; it is not withdrawn, since
        // the request in the record is no longer this one.
        const bool replaced = (finite ? nexp > last_nexp : nexp != req.images && nexp != 0) ||
                              ((command & CMD_ACQUIRE) && s.nadd != per_image && s.nadd != 0);
        // More frames than asked while the request stands: the daemon went
        // on counting down an image begun before it (a request that adds).
        if (!replaced && finite && (command & CMD_ACQUIRE) && pr.frames_done > req.images * per_image)
            foreign = "more frames were read than asked: the daemon went on with an image begun before this "
                      "request, or another client's request replaced this one";
        if (replaced) {
            hand_over();
            return result(Outcome::Failed, "another client's request replaced this one on channel " +
                                               std::to_string(req.channel) + " before its end was seen");
        }
        if (finite) {
            if (nexp < last_nexp && nexp >= 0 && (nexp > 0 || !(command & CMD_ACQUIRE))) {
                // Each drop by the daemon ends one image of per_image frames.
                while (last_nexp > nexp && pr.frames_done - image_start >= per_image) {
                    const int end = image_start + per_image;
                    finish_image(end, ev.image_done ? copy_image(end, false) : std::nullopt);
                    --last_nexp;
                }
                if (last_nexp > nexp && nexp > 0)
                    foreign = "image " + std::to_string(pr.images_done + 1) + " ended after " +
                              std::to_string(pr.frames_done - image_start) + " of its " + std::to_string(per_image) +
                              " frames: the daemon went on with an image begun before this request, or another "
                              "client changed nadd (" + std::to_string(s.nadd) + "; last message: " + s.msg + ")";
            }
        } else {
            while (pr.frames_done - image_start >= per_image) {
                const int end = image_start + per_image;
                finish_image(end, ev.image_done ? copy_image(end, false) : std::nullopt);
            }
        }
        if (foreign) {
            stop();
            return withdrawn(Outcome::Failed, *foreign);
        }
        // Right at a boundary the image just finished is shown as complete.
        pr.frame_in_image = std::clamp(pr.frames_done - image_start, 0, per_image);
        if (pr.frame_in_image == 0 && pr.images_done > 0) pr.frame_in_image = per_image;

        const bool frame_due =
            frame_unreported && (is_frame_report(s.msg, s.seqn) || now - frame_seen_at >= kReportLag);
        pr.new_frame = frame_due;
        if (frame_unreported && !frame_due) pr.new_message = false;  // comes with the frame
        if (ev.progress && (frame_due || pr.new_message || (!frame_unreported && now - last_report >= kReportInterval))) {
            if (frame_due) frame_unreported = false;
            last_report = now;
            pr.elapsed_s = seconds(now - started_);
            pr.exposure_left_s.reset();
            if (countdown_at != Clock::time_point{})
                pr.exposure_left_s = std::max(0.0, countdown_left - seconds(now - countdown_at));
            pr.remaining_s.reset();
            if (pr.images_total > 0) {
                double period = expected_frame_interval(plan_, window0_);
                if (last_frame_count > first_frame_count)
                    period = seconds(last_frame_at - first_frame_at) / (last_frame_count - first_frame_count);
                int left = std::max(0, pr.images_total * per_image - pr.frames_done);
                double rem = left * period;
                if (pr.exposure_left_s && left > 0) rem = *pr.exposure_left_s + kFrameOverhead + (left - 1) * period;
                pr.remaining_s = rem;
            }
            ev.progress(pr);
        }
        hand_over();

        // The last image is whole as soon as its last frame and its report
        // are in, read while the record still held this request: the daemon
        // ends the request right after, and the next client may take the
        // channel at once. That end is awaited, but no longer needed.
        const bool owned = (command & CMD_ACQUIRE) && s.nadd == per_image && s.window == window0_;
        if (finite && !req.add && owned && pr.images_done == pr.images_total - 1 &&
            pr.frames_done - image_start == per_image) {
            const int end = image_start + per_image;
            std::optional<Image> img = copy_image(end, true);
            if (img) {
                finish_image(end, ev.image_done ? std::move(img) : std::nullopt);
                hand_over();
                auto ours = [&] { return (channel_.command() & CMD_ACQUIRE) && channel_.nadd() == per_image; };
                poll_until([&] { return !ours(); }, settle);
                return result(Outcome::Completed, s.msg);
            }
        }
        if (!(command & CMD_ACQUIRE)) {
            if (finite && last_nexp == 0 && pr.images_done >= pr.images_total)
                return result(Outcome::Completed, s.msg);
            return withdrawn(Outcome::EndedElsewhere, "another client withdrew the acquisition (command " +
                                                          command_names(s.command) + ", nexp " + std::to_string(nexp) +
                                                          ", nadd " + std::to_string(s.nadd) + ")");
        }
        if (nexp == 0 || s.nadd == 0) {
            if (gate_closed_since == Clock::time_point{}) gate_closed_since = now;
            if (now - gate_closed_since > kGateGrace) {
                withdraw(channel_);
                return withdrawn(Outcome::EndedElsewhere, "another client set nexp or nadd to 0");
            }
        } else {
            gate_closed_since = {};
        }
        if (now - last_liveness >= kLivenessInterval) {
            last_liveness = now;
            if (!segment_.daemon().alive) {
                stop();
                hand_over();
                return result(Outcome::DaemonGone, "the daemon ended during the acquisition");
            }
        }
        if (now - last_life > stall_timeout) {
            stop();
            return withdrawn(Outcome::TimedOut, "no frame or message from the daemon for " +
                                                    std::to_string(stall_timeout.count() / 1000) + " s");
        }

        // The next frame's end is expected one period after the last, from
        // the frames seen so far; a quiet poll never sleeps into it.
        auto pause = kPollInterval;
        if (last_frame_count > first_frame_count + 1 && now - last_change >= kQuietAfterChange) {
            const auto period = (last_frame_at - first_frame_at) / (last_frame_count - first_frame_count);
            if (now - last_frame_at + 4 * kQuietPollInterval < period) pause = kQuietPollInterval;
        }
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace kx29
