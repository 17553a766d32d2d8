// Checking an acquisition request, writing it into the record and following it to its end.
#include "kx29/acquire.h"
#include "kx29/control.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace kx29 {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(2);
// How long a state that the daemon leaves only for microseconds (nexp at 0
// with CMD_ACQUIRE still set) may last before another client is blamed.
constexpr auto kGateGrace = std::chrono::milliseconds(200);
constexpr auto kLivenessInterval = std::chrono::milliseconds(250);
constexpr auto kReportInterval = std::chrono::milliseconds(100);
// Pause of the daemon between frames with a full-image window, plus a capture.
constexpr double kFrameOverhead = 0.25;
// A channel whose counters stood still this long after a withdrawal has no
// frame under way: the daemon pauses at most 0.3 s between frames.
constexpr auto kAbortQuiet = std::chrono::milliseconds(500);
// How long a frame's report may lag behind its count before the frame is
// reported without it.
constexpr auto kReportLag = std::chrono::milliseconds(100);

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

bool is_frame_message(const std::string& msg, int seqn) {
    return msg.rfind("Frame" + std::to_string(seqn) + "(", 0) == 0;
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

Acquisition::Acquisition(Segment& segment, const AcquireRequest& req)
    : segment_(segment), channel_(segment.channel(req.channel)),
      plan_(plan_acquisition(req, channel_.state())) {}

void Acquisition::start(std::chrono::milliseconds settle_timeout) {
    segment_.require_daemon();
    const AcquireRequest& req = plan_.request;
    const std::string name = "channel " + std::to_string(req.channel);

    ChannelState s = channel_.state();
    if ((s.command & CMD_ACQUIRE) && s.nexp != 0 && s.nadd != 0)
        throw Error(ErrorKind::Failed, name + " is busy with another acquisition (command " +
                                           command_names(s.command) + ")");
    // CMD_ACQUIRE with nexp or nadd 0 acquires nothing (the gate is closed);
    // such a leftover is withdrawn before the new parameters open the gate.
    if (s.command & CMD_ACQUIRE) channel_.clear_command_bits(CMD_ACQUIRE | CMD_CLEAR);

    // A clear or reload asked for earlier is left to the daemon first: with
    // CMD_ACQUIRE set the clear would change how the first frame is read.
    auto pending = [](int c) { return c == CMD_RELOAD || (c & (CMD_CLEAR | CMD_ACQUIRE)) == CMD_CLEAR; };
    if (!poll_until([&] { return !pending(channel_.command()); }, settle_timeout))
        throw Error(ErrorKind::Failed, name + ": the daemon has not carried out the pending " +
                                           command_names(channel_.command()));

    // Parameters first, the command word last: the daemon reads them all
    // afresh in the pass that sees CMD_ACQUIRE.
    if (req.exposure) channel_.set_exposure(*req.exposure);
    if (req.format) channel_.set_next_form(*req.format);
    if (req.ref_lev) channel_.set_ref_lev(*req.ref_lev);
    if (plan_.window) channel_.set_window(*plan_.window);
    channel_.set_nadd(req.frames);
    channel_.set_nexp(req.images);
    // CMD_CCD is never cleared by the daemon, so a bit left from an earlier
    // request is removed when this one does not ask for the correction.
    if (req.ccd)
        channel_.set_command_bits(CMD_CCD);
    else
        channel_.clear_command_bits(CMD_CCD);

    seqn0_ = channel_.seqn();
    seqmsg0_ = channel_.seqmsg();
    started_ = Clock::now();
    channel_.set_command_bits(CMD_ACQUIRE | (req.add ? 0 : CMD_CLEAR));
}

void Acquisition::stop() { withdraw(channel_); }

void withdraw(Channel& ch) {
    // nexp 0 closes the gate, so the daemon drops the image under way even if
    // it sees the word before the bits are cleared; a command word of 0 drops
    // it as well.
    ch.set_nexp(0);
    ch.set_nadd(kWithdrawnNadd);
    ch.clear_command_bits(CMD_ACQUIRE | CMD_CLEAR | CMD_CCD);
}

bool wait_until_quiet(const ChannelView& ch, std::chrono::milliseconds timeout) {
    auto signature = [&] { return std::pair{ch.seqn(), ch.seqmsg()}; };
    auto last = signature();
    auto quiet_since = Clock::now();
    return poll_until(
        [&] {
            auto now = signature();
            if (now != last) {
                last = now;
                quiet_since = Clock::now();
            }
            return Clock::now() - quiet_since >= kAbortQuiet;
        },
        timeout, {}, std::chrono::milliseconds(10));
}

const char* outcome_text(Outcome o) {
    switch (o) {
    case Outcome::Completed: return "completed";
    case Outcome::Failed: return "failed";
    case Outcome::Interrupted: return "interrupted";
    case Outcome::TimedOut: return "timed out";
    case Outcome::DaemonGone: return "daemon gone";
    case Outcome::EndedElsewhere: return "ended by another client";
    }
    return "?";
}

std::string acquisition_summary(int channel, const AcquireResult& r, int saturated_images) {
    std::string s = "channel " + std::to_string(channel) + ": " + outcome_text(r.outcome) + " after " +
                    std::to_string(r.frames) + " frames, " + std::to_string(r.images) + " images";
    if (saturated_images > 0) s += ", " + std::to_string(saturated_images) + " saturated";
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
    r.idle = wait_until_quiet(ch, timeout);
    r.summary = name + ": withdrew an acquisition (" + what + "); " +
                (r.idle ? "the daemon is idle on it" : "the daemon was still busy on it when the wait ended");
    return r;
}

// How an image is known to be finished:
// - finite series: the daemon counts nexp down right after the last frame of
//   an image, after the frame's counters and message; a drop of nexp is the
//   image boundary, and everything of that image is written by then. The
//   drop to 0 comes together with the clearing of the request bits, which
//   is awaited so that a client zeroing nexp is not taken for the end.
// - endless series (nexp negative, never counted down): every nadd frames,
//   counted by seqn; the frame is complete once its "Frame<seqn>(" message
//   is in msg (the message is written after nadded, addlev and tstart).
// An image is copied at once; the next image starts only after the pause at
// the end of the daemon's pass and a capture. When more frames than nadd
// have been read since the previous boundary, the next image has begun to
// overwrite it and it is reported missed instead.
AcquireResult Acquisition::follow(const AcquireEvents& ev, std::chrono::milliseconds stall_timeout) {
    const AcquireRequest& req = plan_.request;
    const bool finite = req.images > 0;

    Progress pr;
    pr.frames_per_image = req.frames;
    pr.images_total = req.images;
    pr.frame_exposure_s = plan_.frame_exposure;
    int last_seqmsg = seqmsg0_;
    int last_nexp = req.images;
    int boundary_frames = 0;
    auto last_activity = Clock::now();
    auto last_liveness = last_activity;
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

    auto result = [&](Outcome outcome, std::string message) {
        return AcquireResult{outcome, pr.frames_done, pr.images_done, std::move(message)};
    };
    // A finished image is copied at once and handed over after the progress
    // report, so that the report comes first and the copy is not delayed.
    std::vector<std::pair<int, std::optional<Image>>> finished;
    auto finished_image = [&] {
        Image img = make_image(channel_.capture_image(), req.crop);
        if (image_max >= 0) img.frame_max = image_max;
        return img;
    };
    auto finish_image = [&](bool overwritten, int frames_at_boundary) {
        int k = ++pr.images_done;
        if (overwritten)
            finished.emplace_back(k, std::nullopt);
        else if (ev.image_done)
            finished.emplace_back(k, finished_image());
        image_max = -1;
        boundary_frames = frames_at_boundary;
    };
    auto hand_over = [&] {
        for (auto& [k, img] : finished) {
            if (!img) {
                if (ev.image_missed) ev.image_missed(k);
            } else {
                ev.image_done(k, *img);
            }
        }
        finished.clear();
    };

    for (;;) {
        if (ev.stop_requested && ev.stop_requested()) {
            stop();
            wait_until_quiet(channel_, std::chrono::seconds(5));
            return result(Outcome::Interrupted, "interrupted; the acquisition was withdrawn");
        }
        // The command word first: the daemon clears its bits last, so once
        // they are seen cleared every other field of that turn is visible.
        const int command = channel_.command();
        ChannelState s = channel_.state();
        const auto now = Clock::now();
        pr.new_message = false;

        int frames = frames_between(seqn0_, s.seqn);
        if (frames != pr.frames_done) {
            pr.frames_done = frames;
            last_activity = now;
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
                last_activity = now;
            }
            if (plan_.long_exposure && countdown) {
                if (auto left = parse_exposure_countdown(s.msg)) {
                    countdown_at = now;
                    countdown_left = *left;
                } else {
                    countdown_at = {};
                }
            }
            if (auto max = frame_report_max(s.msg)) {
                pr.frame_max = *max;
                image_max = std::max(image_max, *max);
                if (*max >= 255) ++pr.saturated_frames;
            }
        }
        pr.nadded = s.nadded;

        if (failed_capture(s, seqmsg0_)) return result(Outcome::Failed, s.msg);

        if (finite) {
            if (s.nexp > last_nexp) {  // another client asked for more images
                pr.images_total += s.nexp - last_nexp;
                last_nexp = s.nexp;
            } else if (s.nexp < last_nexp && s.nexp >= 0 && (s.nexp > 0 || !(command & CMD_ACQUIRE))) {
                int count = last_nexp - s.nexp;
                last_nexp = s.nexp;
                for (int i = 0; i < count; ++i) {
                    bool newest = i == count - 1;
                    bool later_frames_read = s.nexp != 0 && pr.frames_done - boundary_frames > req.frames;
                    finish_image(!newest || later_frames_read, pr.frames_done);
                }
            }
        } else {
            while (pr.frames_done - boundary_frames >= req.frames) {
                bool exact = pr.frames_done - boundary_frames == req.frames;
                if (exact)
                    poll_until([&] { return is_frame_message(channel_.msg(), s.seqn) || channel_.seqn() != s.seqn; },
                               std::chrono::milliseconds(50), {}, std::chrono::milliseconds(1));
                finish_image(!exact || channel_.seqn() != s.seqn, boundary_frames + req.frames);
            }
        }
        // Right at a boundary the image just finished is shown as complete.
        pr.frame_in_image = pr.frames_done - boundary_frames;
        if (pr.frame_in_image <= 0 && pr.images_done > 0) pr.frame_in_image = req.frames;
        pr.frame_in_image = std::max(0, pr.frame_in_image);

        const bool frame_due =
            frame_unreported && (is_frame_message(s.msg, s.seqn) || now - frame_seen_at >= kReportLag);
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
                double period = plan_.frame_exposure + kFrameOverhead;
                if (last_frame_count > first_frame_count)
                    period = seconds(last_frame_at - first_frame_at) / (last_frame_count - first_frame_count);
                int left = std::max(0, pr.images_total * req.frames - pr.frames_done);
                double rem = left * period;
                if (pr.exposure_left_s && left > 0) rem = *pr.exposure_left_s + kFrameOverhead + (left - 1) * period;
                pr.remaining_s = rem;
            }
            ev.progress(pr);
        }
        hand_over();

        if (!(command & CMD_ACQUIRE)) {
            if (finite && pr.images_done >= pr.images_total)
                return result(Outcome::Completed, s.msg);
            return result(Outcome::EndedElsewhere, "another client withdrew the acquisition (command " +
                                                       command_names(s.command) + ")");
        }
        if (s.nexp == 0 || s.nadd == 0) {
            if (gate_closed_since == Clock::time_point{}) gate_closed_since = now;
            if (now - gate_closed_since > kGateGrace) {
                stop();
                return result(Outcome::EndedElsewhere, "another client set nexp or nadd to 0");
            }
        } else {
            gate_closed_since = {};
        }
        if (now - last_liveness >= kLivenessInterval) {
            last_liveness = now;
            if (!segment_.daemon().alive) {
                stop();
                return result(Outcome::DaemonGone, "the daemon ended during the acquisition");
            }
        }
        if (now - last_activity > stall_timeout) {
            stop();
            return result(Outcome::TimedOut, "no frame or message from the daemon for " +
                                                 std::to_string(stall_timeout.count() / 1000) + " s");
        }

        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace kx29
