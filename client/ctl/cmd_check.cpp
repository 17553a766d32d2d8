// kx29ctl check: drives one channel through the protocol and reports, check by check, whether the
// running daemon honours it; the channel's settings are restored afterwards.
#include "ctl.h"

#include <cstdio>
#include <regex>
#include <thread>

namespace kx29ctl {

namespace {

using kx29::ChannelState;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class Verdict { Pass, Fail, Skip };

struct Result {
    Verdict verdict;
    std::string detail;
};

Result pass(std::string detail) { return {Verdict::Pass, std::move(detail)}; }
Result fail(std::string why) { return {Verdict::Fail, std::move(why)}; }
Result skip(std::string why) { return {Verdict::Skip, std::move(why)}; }

// "Frame%d(%s%d SubLev=%d): Min=%d Max=%d Med=%.1f Avr=%.1f Disp=%.2f"
struct FrameMessage {
    int seqn = 0;
    bool add = false;
    int nadded = 0;
    int sublev = 0;
    int min = 0;
    int max = 0;
};

std::optional<FrameMessage> parse_frame_message(const std::string& text) {
    static const std::regex re(
        R"(^Frame(-?\d+)\((Get|Add)(-?\d+) SubLev=(-?\d+)\): Min=(\d+) Max=(\d+) Med=-?\d+\.\d Avr=-?\d+\.\d Disp=\d+\.\d\d$)");
    std::smatch m;
    if (!std::regex_match(text, m, re)) return std::nullopt;
    return FrameMessage{std::stoi(m[1]), m[2] == "Add", std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[5]),
                        std::stoi(m[6])};
}

// One frame as seen right after the daemon read it.
struct Frame {
    std::string text;
    FrameMessage m;
    ChannelState s;
};

// What a request did, followed until the daemon cleared CMD_ACQUIRE.
struct Run {
    std::vector<Frame> frames;
    std::vector<int> nexp_seen;  // successive values of nexp
    ChannelState final;          // the record right after CMD_ACQUIRE was cleared
    bool no_video = false;
    std::optional<std::string> trouble;
};

std::string text(const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string window_text(const kx29::Window& w) {
    return text("%d,%d %dx%d", w.col0, w.lin0, w.width, w.height);
}

class Checker {
public:
    Checker(kx29::Segment& seg, int channel, milliseconds timeout)
        : seg_(seg), ch_(seg.channel(channel)), n_(channel), timeout_(timeout) {}

    int run();

private:
    Result check_records();
    Result check_reload();
    Result check_clear();
    Result check_get_add();
    Result check_add_without_clear();
    Result check_gate();
    Result check_ccd();
    Result check_window();
    Result check_format_switch();
    Result check_reload_after_acquire();
    Result check_long_exposure();
    Result check_show();

    void prepare();
    bool restore();
    Run request(int nadd, int nexp, int bits);
    Run follow(int seqn0, int seqmsg0);
    void withdraw();
    // Asks the daemon to zero the image; takes the bit back when unanswered.
    bool clear_image() {
        ch_.set_command_bits(CMD_CLEAR);
        if (wait([&] { return (ch_.command() & CMD_CLEAR) == 0; }, timeout_)) return true;
        ch_.clear_command_bits(CMD_CLEAR);
        return false;
    }
    bool wait(const std::function<bool()>& cond, milliseconds timeout) {
        return kx29::poll_until(cond, timeout, interrupted, milliseconds(1));
    }
    std::optional<Result> needs_video() const {
        if (!video_) return skip("needs video; the daemon reported none on this channel");
        return std::nullopt;
    }
    Result check_frames_of_run(const Run& r, size_t expected);

    kx29::Segment& seg_;
    kx29::Channel ch_;
    int n_;
    milliseconds timeout_;
    ChannelState saved_;
    std::array<int, KX29_MAX_COLS> saved_flat_{};
    bool restore_show_ = false;
    bool video_ = true;
};

void Checker::withdraw() {
    ch_.set_nexp(0);
    ch_.clear_command_bits(CMD_ACQUIRE | CMD_CLEAR | CMD_CCD);
}

Run Checker::follow(int seqn0, int seqmsg0) {
    Run r;
    int last_seqn = seqn0;
    r.nexp_seen.push_back(ch_.nexp());
    auto last_activity = Clock::now();
    for (;;) {
        if (interrupted()) {
            r.trouble = "interrupted";
            withdraw();
            return r;
        }
        const int command = ch_.command();
        const int seqn = ch_.seqn();
        if (seqn != last_seqn) {
            if (seqn - last_seqn != 1) r.trouble = text("seqn went from %d to %d between two looks", last_seqn, seqn);
            last_seqn = seqn;
            // The message, nadded, addlev and tstart follow seqn in the same turn.
            std::string prefix = "Frame" + std::to_string(seqn) + "(";
            wait([&] { return ch_.msg().rfind(prefix, 0) == 0; }, milliseconds(200));
            Frame f{ch_.msg(), {}, ch_.state()};
            if (auto m = parse_frame_message(f.text))
                f.m = *m;
            else if (!r.trouble)
                r.trouble = "after seqn became " + std::to_string(seqn) + " the message was '" + f.text + "'";
            r.frames.push_back(f);
            last_activity = Clock::now();
        }
        int nexp = ch_.nexp();
        if (nexp != r.nexp_seen.back()) r.nexp_seen.push_back(nexp);
        if (ch_.seqmsg() != seqmsg0 && ch_.msg() == kx29::kNoVideoMessage && ch_.nadd() == 0) {
            r.no_video = true;
            video_ = false;
            wait([&] { return (ch_.command() & CMD_ACQUIRE) == 0; }, timeout_);
            r.final = ch_.state();
            return r;
        }
        if (!(command & CMD_ACQUIRE)) {
            r.final = ch_.state();
            return r;
        }
        if (Clock::now() - last_activity > timeout_) {
            r.trouble = text("no frame for %lld s", static_cast<long long>(timeout_.count() / 1000));
            withdraw();
            r.final = ch_.state();
            return r;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
}

// Parameters first, the command bits last.
Run Checker::request(int nadd, int nexp, int bits) {
    ch_.set_nadd(nadd);
    ch_.set_nexp(nexp);
    int seqn0 = ch_.seqn();
    int seqmsg0 = ch_.seqmsg();
    ch_.set_command_bits(bits);
    return follow(seqn0, seqmsg0);
}

Result Checker::check_frames_of_run(const Run& r, size_t expected) {
    if (r.no_video) return fail(text("the daemon answered \"%s\"", kx29::kNoVideoMessage));
    if (r.trouble) return fail(*r.trouble);
    if (r.frames.size() != expected) return fail(text("%zu frames read, expected %zu", r.frames.size(), expected));
    for (const Frame& f : r.frames) {
        if (f.m.seqn != f.s.seqn) return fail("message '" + f.text + "' does not carry seqn " + std::to_string(f.s.seqn));
        if (f.m.nadded != f.s.nadded || f.m.sublev != f.s.addlev)
            return fail(text("message '%s' disagrees with nadded %d / addlev %d", f.text.c_str(), f.s.nadded, f.s.addlev));
        if (f.m.min > f.m.max || f.m.max > 255) return fail("message '" + f.text + "' has Min/Max outside 0..255");
    }
    if (r.final.command & (CMD_ACQUIRE | CMD_CLEAR))
        return fail("command still " + kx29::command_names(r.final.command) + " after the last image");
    if (r.final.nexp != 0) return fail(text("nexp is %d after the last image", r.final.nexp));
    return pass("");
}

Result Checker::check_records() {
    kx29::DaemonStatus d = seg_.daemon();
    if (!d.alive) return fail("the daemon is not alive");
    int active = 0;
    for (int n = 0; n < KX29_CHANNELS; ++n) {
        kx29::ChannelView v = seg_.view(n);
        if (v.num() != n) return fail(text("record %d has num %d", n, v.num()));
        active += (v.activ() & ACTIV_SWITCHED) != 0;
    }
    if (active > 1) return fail(text("%d records are active; the board is switched to one channel", active));
    ChannelState s = ch_.state();
    if (!kx29::geometry_fits(s)) return fail(text("image %dx%d does not fit the record", s.img_width, s.img_height));
    if (s.form != 1 && s.form != 2) return fail(text("loaded format is %d", s.form));
    return pass(text("4 records, daemon PID %d, image %dx%d in format %d", d.pid, s.img_width, s.img_height, s.form));
}

Result Checker::check_reload() {
    if (!ch_.request_reload()) return fail("command word not 0 before the reload: " + kx29::command_names(ch_.command()));
    if (!wait([&] { return ch_.command() == 0; }, timeout_)) {
        ch_.clear_command_bits(CMD_RELOAD);
        return fail("command 16 was not set to 0");
    }
    if (!wait([&] { return (ch_.activ() & ACTIV_SWITCHED) != 0; }, timeout_)) return fail("the channel did not become active");
    for (int n = 0; n < KX29_CHANNELS; ++n)
        if (n != n_ && (seg_.view(n).activ() & ACTIV_SWITCHED)) return fail(text("record %d is still active", n));
    int expected = kx29::effective_format(ch_.next_form());
    if (ch_.form() != expected) return fail(text("format %d loaded, next_form asks %d", ch_.form(), expected));
    return pass("command 16 became 0; the channel is the active one");
}

Result Checker::check_clear() {
    ChannelState before = ch_.state();
    if (!clear_image()) return fail("CMD_CLEAR was not cleared");
    kx29::ChannelImage img = ch_.capture_image();
    const ChannelState& s = img.state;
    if (s.seqn != before.seqn + 1) return fail(text("seqn went from %d to %d, a clear counts 1", before.seqn, s.seqn));
    if (s.nadded != before.nadded || s.addlev != before.addlev)
        return fail(text("nadded/addlev changed from %d/%d to %d/%d", before.nadded, before.addlev, s.nadded, s.addlev));
    for (size_t i = 0; i < img.pixels.size(); ++i)
        if (img.pixels[i] != 0) return fail(text("pixel %zu is %d after the clear", i, img.pixels[i]));
    return pass("image zeroed, seqn +1, nadded and addlev kept");
}

Result Checker::check_get_add() {
    Run r = request(3, 2, CMD_ACQUIRE | CMD_CLEAR);
    Result frames = check_frames_of_run(r, 6);
    if (frames.verdict != Verdict::Pass) return frames;
    for (size_t i = 0; i < 6; ++i) {
        const Frame& f = r.frames[i];
        bool first = i % 3 == 0;
        int nadded = static_cast<int>(i % 3) + 1;
        if (f.m.add == first || f.m.nadded != nadded)
            return fail(text("frame %zu reads '%s', expected %s%d", i + 1, f.text.c_str(), first ? "Get" : "Add", nadded));
        if (first && f.m.sublev != 0) return fail("a replacing frame has SubLev " + std::to_string(f.m.sublev));
        if (first && f.s.tstart != f.s.tcurr)
            return fail(text("a replacing frame left tstart %d and tcurr %d", f.s.tstart, f.s.tcurr));
    }
    if (r.nexp_seen != std::vector<int>{2, 1, 0}) {
        std::string seen;
        for (int v : r.nexp_seen) seen += " " + std::to_string(v);
        return fail("nexp went" + seen + ", expected 2 1 0");
    }
    if (r.final.nadd != 3) return fail(text("nadd is %d afterwards; the daemon keeps its own countdown", r.final.nadd));
    return pass("Get1 Add2 Add3 twice, nexp 2 1 0, CMD_ACQUIRE and CMD_CLEAR cleared");
}

Result Checker::check_add_without_clear() {
    ChannelState before = ch_.state();
    Run r = request(2, 1, CMD_ACQUIRE);
    Result frames = check_frames_of_run(r, 2);
    if (frames.verdict != Verdict::Pass) return frames;
    for (size_t i = 0; i < 2; ++i) {
        const Frame& f = r.frames[i];
        int nadded = before.nadded + static_cast<int>(i) + 1;
        if (!f.m.add || f.m.nadded != nadded)
            return fail(text("frame %zu reads '%s', expected Add%d", i + 1, f.text.c_str(), nadded));
    }
    if (r.frames[0].m.sublev < before.addlev || r.frames[1].m.sublev < r.frames[0].m.sublev)
        return fail("addlev decreased while frames were added");
    if (r.final.tstart != before.tstart) return fail("tstart changed without a replacing frame");
    return pass(text("first frame added, nadded %d -> %d", before.nadded, r.final.nadded));
}

Result Checker::check_gate() {
    ch_.set_nadd(1);
    ch_.set_nexp(0);
    int seqn0 = ch_.seqn();
    int seqmsg0 = ch_.seqmsg();
    ch_.set_command_bits(CMD_ACQUIRE);
    // Idle passes of the daemon's loop take 0.1 s; a second is many of them.
    std::this_thread::sleep_for(milliseconds(1000));
    if (ch_.seqn() != seqn0) {
        withdraw();
        return fail("frames were read while nexp was 0");
    }
    if (!(ch_.command() & CMD_ACQUIRE)) return fail("CMD_ACQUIRE was cleared while the gate was closed");
    ch_.set_nexp(1);
    Run r = follow(seqn0, seqmsg0);
    Result frames = check_frames_of_run(r, 1);
    if (frames.verdict != Verdict::Pass) return frames;
    return pass("nothing read for 1 s with nexp 0; one frame once nexp was set");
}

Result Checker::check_ccd() {
    ChannelState s = ch_.state();
    std::array<int, KX29_MAX_COLS> flat{};
    flat.fill(-5);
    ch_.set_flat(flat);
    Run r = request(1, 1, CMD_ACQUIRE | CMD_CCD);
    Result frames = check_frames_of_run(r, 1);
    if (frames.verdict != Verdict::Pass) return frames;
    if (r.final.command != CMD_CCD)
        return fail("command is " + kx29::command_names(r.final.command) + " afterwards, CMD_CCD alone expected");
    ch_.clear_command_bits(CMD_CCD);
    std::array<int, KX29_MAX_COLS> after = ch_.flat();
    int right = s.window.col0 + s.window.width;
    for (int j = 0; j < KX29_MAX_COLS; ++j) {
        bool inside = j >= s.window.col0 && j < right;
        if (after[j] != (inside ? 1 : -5))
            return fail(text("flat[%d] is %d, expected %d (window columns %d..%d)", j, after[j], inside ? 1 : -5,
                             s.window.col0, right - 1));
    }
    return pass("CMD_CCD kept after the acquisition; flat values below 1 raised to 1 in the window");
}

Result Checker::check_window() {
    ChannelState s = ch_.state();
    if (!clear_image()) return fail("CMD_CLEAR was not cleared");
    kx29::Window w{s.img_width / 4, s.img_height / 4, s.img_width / 2, s.img_height / 2};
    ch_.set_window(w);
    Run r = request(1, 1, CMD_ACQUIRE | CMD_CLEAR);
    Result frames = check_frames_of_run(r, 1);
    if (frames.verdict != Verdict::Pass) return frames;
    kx29::ChannelImage img = ch_.capture_image();
    if (!(img.state.window == w)) return fail("the window changed to " + window_text(img.state.window));
    int lo = 255, hi = 0;
    for (int line = 0; line < s.img_height; ++line) {
        for (int col = 0; col < s.img_width; ++col) {
            int v = img.pixels[static_cast<size_t>(line) * s.img_width + col];
            bool inside = col >= w.col0 && col < w.col0 + w.width && line >= w.lin0 && line < w.lin0 + w.height;
            if (!inside && v != 0) return fail(text("pixel %d,%d outside the window is %d", col, line, v));
            if (inside) lo = std::min(lo, v), hi = std::max(hi, v);
        }
    }
    // A replacing frame without correction stores the raw grey levels, whose
    // extremes the message reports.
    const FrameMessage& m = r.frames[0].m;
    if (lo != m.min || hi != m.max)
        return fail(text("window pixels span %d..%d, the message says Min=%d Max=%d", lo, hi, m.min, m.max));
    return pass("window " + window_text(w) + " read alone; its pixels match Min/Max");
}

Result Checker::check_format_switch() {
    ChannelState s = ch_.state();
    int other = s.form == 1 ? 2 : 1;
    try {
        reload_channel(ch_, other, timeout_);
    } catch (const kx29::Error& e) {
        return fail(e.what());
    }
    ChannelState t = ch_.state();
    kx29::Window whole{0, 0, t.img_width, t.img_height};
    if (t.form != other) return fail(text("format %d loaded, %d asked", t.form, other));
    if (!kx29::geometry_fits(t)) return fail(text("format %d has image %dx%d", other, t.img_width, t.img_height));
    if (!(t.window == whole)) return fail("window " + window_text(t.window) + " after the switch, not the whole image");
    try {
        reload_channel(ch_, s.form, timeout_);
    } catch (const kx29::Error& e) {
        return fail(std::string("switching back: ") + e.what());
    }
    ChannelState u = ch_.state();
    if (u.img_width != s.img_width || u.img_height != s.img_height)
        return fail(text("format %d came back as %dx%d, was %dx%d", s.form, u.img_width, u.img_height, s.img_width,
                         s.img_height));
    if (!(u.window == kx29::Window{0, 0, u.img_width, u.img_height}))
        return fail("window " + window_text(u.window) + " after switching back, not the whole image");
    return pass(text("format %d is %dx%d, window reset both ways", other, t.img_width, t.img_height));
}

Result Checker::check_reload_after_acquire() {
    // 18 is CMD_ACQUIRE with the bit 16: the daemon acquires, clears only
    // its own bits (leaving 16, a reload) and reloads in the next pass. The
    // word is built with the gate closed so that nothing starts early.
    ch_.set_nadd(1);
    ch_.set_nexp(0);
    int seqn0 = ch_.seqn();
    int seqmsg0 = ch_.seqmsg();
    ch_.set_command_bits(CMD_ACQUIRE);
    ch_.set_command_bits(CMD_RELOAD);
    ch_.set_nexp(1);
    Run r = follow(seqn0, seqmsg0);
    if (r.no_video || r.trouble || r.frames.size() != 1) {
        ch_.clear_command_bits(CMD_RELOAD);
        return check_frames_of_run(r, 1);
    }
    if (r.final.command != CMD_RELOAD)
        return fail("command was " + kx29::command_names(r.final.command) + " after the acquisition, 16 expected");
    if (!wait([&] { return ch_.command() == 0; }, timeout_)) {
        ch_.clear_command_bits(CMD_RELOAD);
        return fail("the word 16 left by the acquisition was not taken as a reload");
    }
    return pass("command 18 acquired one frame, became 16, then 0");
}

Result Checker::check_long_exposure() {
    if (!saved_.tandem) return skip("the channel has no long-exposure camera");
    // The countdown and the final "Ok" are posted into all four records.
    const int other = (n_ + 1) % KX29_CHANNELS;
    kx29::ChannelView witness = seg_.view(other);
    const int witness_seqmsg = witness.seqmsg();
    ch_.set_exposure(1.0);
    Run r = request(1, 1, CMD_ACQUIRE | CMD_CLEAR);
    ch_.set_exposure(0.04);
    Result frames = check_frames_of_run(r, 1);
    if (frames.verdict != Verdict::Pass) return frames;
    if (r.frames[0].m.add || r.frames[0].s.tstart != r.frames[0].s.tcurr)
        return fail("the exposure was not read as a replacing frame: '" + r.frames[0].text + "'");
    int posted = witness.seqmsg() - witness_seqmsg;
    if (posted < 2) return fail(text("record %d got %d messages during the exposure, its countdown expected", other, posted));
    std::string last = witness.msg();
    if (witness.command() == 0 && last != "Tandem Exposure: Ok")
        return fail(text("record %d reads '%s' after the exposure", other, last.c_str()));
    return pass(text("1 s exposure: %d messages in record %d, then the frame", posted, other));
}

Result Checker::check_show() {
    ch_.set_command_bits(CMD_SHOW);
    if (wait([&] { return (ch_.command() & CMD_SHOW) == 0; }, std::min(timeout_, milliseconds(3000))))
        return pass("CMD_SHOW cleared after the image was shown");
    ch_.clear_command_bits(CMD_SHOW);
    return skip("CMD_SHOW stayed set: a version 1 board does not show images");
}

void Checker::prepare() {
    saved_ = ch_.state();
    saved_flat_ = ch_.flat();
    const std::string name = "channel " + std::to_string(n_);
    if ((saved_.command & CMD_ACQUIRE) && saved_.nexp != 0 && saved_.nadd != 0)
        throw kx29::Error(kx29::ErrorKind::Failed, name + " is acquiring; check needs an idle channel");
    auto pending = [](int c) { return c == CMD_RELOAD || (c & (CMD_CLEAR | CMD_ACQUIRE)) == CMD_CLEAR; };
    if (!wait([&] { return !pending(ch_.command()); }, timeout_))
        throw kx29::Error(kx29::ErrorKind::Failed, name + " has a request the daemon does not take: " +
                                                       kx29::command_names(ch_.command()));
    if (ch_.command() & CMD_SHOW) {
        // A version 1 board leaves CMD_SHOW set for good.
        if (!wait([&] { return (ch_.command() & CMD_SHOW) == 0; }, milliseconds(1000))) restore_show_ = true;
    }
    ch_.clear_command_bits(CMD_ACQUIRE | CMD_CCD | CMD_SHOW);
    if (saved_.tandem) ch_.set_exposure(0.04);  // normal frames, not long exposures
    if (kx29::geometry_fits(saved_)) ch_.set_window({0, 0, saved_.img_width, saved_.img_height});
}

bool Checker::restore() {
    withdraw();
    ch_.clear_command_bits(CMD_SHOW);
    wait([&] { return ch_.command() != CMD_RELOAD; }, timeout_);
    bool ok = true;
    int form = kx29::effective_format(saved_.form);
    if (ch_.form() != form) {
        try {
            reload_channel(ch_, form, timeout_);
        } catch (const kx29::Error& e) {
            std::printf("restoring format %d: %s\n", form, e.what());
            ok = false;
        }
    }
    ch_.set_next_form(saved_.next_form);
    if (ch_.form() == saved_.form) ch_.set_window(saved_.window);
    ch_.set_exposure(saved_.exposure);
    ch_.set_ref_lev(saved_.ref_lev);
    ch_.set_bias(saved_.bias);
    ch_.set_flat(saved_flat_);
    ch_.set_nadd(saved_.nadd);
    ch_.set_nexp(saved_.nexp);
    int bits = (saved_.command & CMD_CCD) | (restore_show_ ? CMD_SHOW : 0);
    if (bits) ch_.set_command_bits(bits);
    return ok;
}

int Checker::run() {
    struct Case {
        const char* name;
        Result (Checker::*fn)();
        bool needs_frames;
    };
    static const Case cases[] = {
        {"records", &Checker::check_records, false},
        {"reload", &Checker::check_reload, false},
        {"clear", &Checker::check_clear, false},
        {"get-add", &Checker::check_get_add, true},
        {"add", &Checker::check_add_without_clear, true},
        {"gate", &Checker::check_gate, true},
        {"ccd", &Checker::check_ccd, true},
        {"window", &Checker::check_window, true},
        {"format", &Checker::check_format_switch, false},
        {"reload-18", &Checker::check_reload_after_acquire, true},
        {"long-exp", &Checker::check_long_exposure, true},
        {"show", &Checker::check_show, false},
    };

    std::printf("check of channel %d, daemon PID %d, segment '%s'\n", n_, seg_.daemon().pid, seg_.key().name);
    std::fflush(stdout);
    prepare();
    int passed = 0, failed = 0, skipped = 0;
    for (const Case& c : cases) {
        if (interrupted()) break;
        Result r = c.needs_frames && !video_ ? *needs_video() : (this->*c.fn)();
        const char* word = r.verdict == Verdict::Pass ? "PASS" : r.verdict == Verdict::Fail ? "FAIL" : "SKIP";
        (r.verdict == Verdict::Pass ? passed : r.verdict == Verdict::Fail ? failed : skipped)++;
        std::printf("%s  %-10s %s\n", word, c.name, r.detail.c_str());
        std::fflush(stdout);
    }
    bool restored = restore();
    std::printf("%s  %-10s %s\n", restored ? "PASS" : "FAIL", "restore",
                restored ? "channel settings put back" : "the channel's settings could not all be put back");
    restored ? ++passed : ++failed;
    if (interrupted()) {
        std::printf("interrupted\n");
        return kExitFailed;
    }
    std::printf("%d checks: %d passed, %d failed, %d skipped\n", passed + failed + skipped, passed, failed, skipped);
    return failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int run_check(const CheckOptions& o) {
    kx29::check_channel(o.channel);
    auto seg = kx29::Segment::attach(kx29::Access::ReadWrite);
    seg.require_daemon();
    install_interrupt_handlers();
    Checker checker(seg, o.channel, to_ms(o.timeout_s));
    return checker.run();
}

}  // namespace kx29ctl
