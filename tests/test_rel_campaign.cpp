// The reliability campaign on the simulated daemon, one driver over a table of
// cases: hostile clients writing anything into all four records, board faults
// (no video on a channel, a stuck busy bit, no board), and eight clients
// acquiring and toggling command bits at once. Every case ends the same way:
// the records are made sane again and each channel serves one request, which
// acquires exactly its frames inside its window or, on a faulty channel, fails
// within a bounded time. KX29_SOAK=1 runs the long versions, KX29_SEED=n
// another sequence of hostile values.
#include <gtest/gtest.h>

#include <cfloat>
#include <chrono>
#include <climits>
#include <limits>
#include <random>
#include <regex>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "rel_support.h"

namespace {

using kx29harness::Daemon;
using kx29harness::sanitizer_report;
using namespace kx29rel;
using Clock = std::chrono::steady_clock;

const char NO_VIDEO[] = "Can't read frame, no video!!!";
const char* const STARTUP_FAULTS[] = {"Test of KX29 on-board memory FAILED!!!\n",
                                      "Maybe no board at BaseAddress = 0x300 ?\n", "Warning! KX29 - no VIDEO?!\n"};
// A failing request ends in its first turn; allow for a pass of the other
// channels' work (four full frames and a long exposure) before it.
constexpr double FAILURE_BOUND_S = 3.0;
constexpr double REQUEST_BOUND_S = 30;  // at most six frames among four busy channels

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

enum class Stress { Hostile, Faults, Load };

struct Case {
    const char* name;
    Stress stress;
    const char* sim;        // KX29_SIM: the board's faults
    bool restart;           // look at a second start-up, which begins on the tandem record
    unsigned startup;       // bit i: STARTUP_FAULTS[i] reported at start-up
    unsigned failing;       // bit ch: every capture on channel ch fails
    double tandem_exposure; // of channel 1 (the acquirers and hostile values change it)
    int rounds, soak_rounds;
};

const Case HOSTILE = {"hostile", Stress::Hostile, "", false, 0, 0, 0.3, 400, 2500};
const Case LOAD = {"load", Stress::Load, "", false, 0, 0, 0.3, 10, 60};  // seconds
const Case FAULTS[] = {
    {"novideo_2", Stress::Faults, "novideo=2", false, 0, 1u << 2, 0.3, 4, 30},
    {"novideo_1", Stress::Faults, "novideo=1", true, 4, 1u << 1, 2.0, 1, 5},
    // The long-exposure capture grabs in step with the field sync alone and
    // never looks at the busy bit: the tandem channel uses the normal capture here.
    {"busy", Stress::Faults, "busy", false, 0, 15, 0.04, 1, 5},
    {"noboard", Stress::Faults, "noboard", false, 7, 15, 1.0, 1, 5},
    {"base_0x340", Stress::Faults, "base=0x340", false, 7, 15, 1.0, 1, 5},  // a board jumpered elsewhere
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// ---- Hostile records ------------------------------------------------------------

// Random values with a strong bias towards the ones that break arithmetic.
struct Hostile {
    std::mt19937_64 rng;
    int word() { return static_cast<int>(static_cast<uint32_t>(rng())); }
    int below(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }
    int any_int() {
        static const int nasty[] = {0, -1, 1, 2, 3, 16, INT_MAX, INT_MIN, INT_MIN + 1, INT_MAX - 1, 1 << 30, 65536,
                                    511, 512, 513, 575, 576, 577, 767, 768, 769, -768, 442367, 442368, 442369, 255, 256};
        const int kind = below(3);
        return kind == 0 ? nasty[below(std::size(nasty))] : kind == 1 ? word() : below(1600) - 400;
    }
    double any_double() {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
        static const double nasty[] = {nan, -nan, inf, -inf, 0.0, -0.0, 0.04, 0.041, 0.05, 1.0, -1.0, 1e300, DBL_MAX,
                                       DBL_TRUE_MIN, 2147483648.0, -2147483649.0};
        if (below(2) == 0) return nasty[below(std::size(nasty))];
        const uint64_t bits = rng();
        double d;
        memcpy(&d, &bits, sizeof d);
        return d;
    }
};

// Fills every field of `r`, the command word last as a client does (0..31 in
// turn for the first passes, then anything); returns what the client left.
TVchan write_hostile(TVchan* r, Hostile& h, int pass, int ch) {
    for (int* f : {&r->num, &r->tandem, &r->activ, &r->seqn, &r->tstart, &r->tcurr, &r->nexp, &r->nadd, &r->nadded,
                   &r->addlev, &r->next_form, &r->form, &r->ref_lev, &r->img_width, &r->img_height, &r->frm_width,
                   &r->frm_height, &r->frm_col0, &r->frm_lin0, &r->seqmsg, &r->bias})
        *f = h.any_int();
    // A long exposure lasts until the command changes: keep most records on
    // the normal capture so that passes reach the readout.
    if (h.below(4) != 0) r->tandem = 0;
    r->exposure = h.any_double();
    for (char& c : r->msg) c = static_cast<char>('A' + h.below(26));  // no terminating NUL
    for (int j = 0; j < KX29_MAX_COLS;) {  // one extreme value per run of columns
        const int v = h.any_int(), run = 1 + h.below(200);
        for (int k = 0; k < run && j < KX29_MAX_COLS; ++k) r->flat[j++] = v;
    }
    const short fill = static_cast<short>(h.below(2) ? (h.below(2) ? 32767 : -32768) : h.word());  // sums saturate
    std::fill(std::begin(r->image), std::end(r->image), fill);
    TVchan w = *r;
    w.command = pass < 32 ? (pass * 4 + ch) % 32 : h.below(2) ? h.below(32) : h.word();
    __atomic_store_n(&r->command, w.command, __ATOMIC_SEQ_CST);
    return w;
}

// Fields only clients write hold what was written (nadd too: on a board with
// video no capture fails); the daemon only clears its own command bits, and
// raises flat entries to 1.
void check_written(const TVchan* r, const TVchan& w, const std::string& what) {
    EXPECT_EQ(changed(w, *r, CLIENT_FIELDS), "") << what << ": overwritten by the daemon";
    const int cmd = cmd_read(r);
    EXPECT_EQ(cmd & ~w.command, 0) << what << ": daemon set command bits: wrote " << w.command << ", now " << cmd;
    // The reload bit goes only with a word that is nothing but it once the
    // daemon's own bits are cleared, and then the whole word becomes 0.
    int daemon_clears = CMD_CLEAR | CMD_ACQUIRE | CMD_SHOW;
    if ((w.command & ~daemon_clears) == CMD_RELOAD) daemon_clears |= CMD_RELOAD;
    EXPECT_EQ(w.command & ~cmd & ~daemon_clears, 0) << what << ": client's bits lost: wrote " << w.command << ", now " << cmd;
    EXPECT_TRUE(!(w.command & CMD_RELOAD) || (cmd & CMD_RELOAD) || cmd == 0) << what << ": reload taken from " << w.command;
    int bad = 0;
    for (int j = 0; j < KX29_MAX_COLS; ++j) bad += r->flat[j] != w.flat[j] && r->flat[j] != 1;
    EXPECT_EQ(bad, 0) << what << ": flat entries changed to values other than 1";
}

std::string run_hostile(Daemon& d, int passes) {
    const char* seed_text = getenv("KX29_SEED");
    const uint64_t seed = seed_text != nullptr ? strtoull(seed_text, nullptr, 0) : 0x6b783239;
    Hostile h{std::mt19937_64(seed)};
    TVchan written[KX29_CHANNELS];
    int restarts = 0;
    for (int pass = 0; pass < passes; ++pass) {
        const std::string what = "seed " + std::to_string(seed) + ", pass " + std::to_string(pass);
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) written[ch] = write_hostile(d.record(ch), h, pass, ch);
        // Mostly a moment, now and then long enough for whole acquisitions.
        usleep(static_cast<useconds_t>(pass % 8 == 7 ? 250000 : h.below(40000)));
        if (!d.running() || d.wait_exit(0) != -1)
            return what + ": daemon ended with status " + std::to_string(d.last_exit()) + "\n" + sanitizer_report(d.err());
        EXPECT_EQ(d.pid_word(), d.pid()) << what << ": PID word overwritten";
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) check_written(d.record(ch), written[ch], what + ", record " + std::to_string(ch));
        if (testing::Test::HasFailure()) return what;
        if (pass % 100 == 99) {  // a restart attaches to the hostile records as they are
            if (d.stop(SIGTERM) != SIGTERM || !d.start()) return what + ": no restart over hostile records\n" + d.err();
            ++restarts;
        }
    }
    const int frames = count(d.out(), "): Min=");
    EXPECT_GT(frames, passes / 10) << "hostile passes hardly reached the readout";
    return std::to_string(passes) + " hostile passes over 4 records: " + std::to_string(frames) + " frames read, " +
           std::to_string(count(d.out(), "Change TV channel:")) + " channel loads, " + std::to_string(restarts) + " restarts";
}

// ---- Requests on a faulty board ------------------------------------------------

// Asks channel `ch` for 2 x 3 frames with bits `extra` besides; it must fail
// within the bound, with its message, nadd and nexp zeroed, no frame counted,
// and only the acquire and clear bits cleared.
void expect_failed_request(Daemon& d, int ch, int extra, const std::string& what) {
    TVchan* r = d.record(ch);
    const int seqn = r->seqn, seqmsg = r->seqmsg;
    const auto t0 = Clock::now();
    d.request(ch, CMD_ACQUIRE | CMD_CLEAR | extra, 2, 3);
    ASSERT_TRUE(d.wait_idle(ch, 10)) << what << ": request never ended";
    EXPECT_LT(since(t0), FAILURE_BOUND_S) << what;
    // A long exposure on the tandem channel may post its progress over the message.
    EXPECT_TRUE(strcmp(r->msg, NO_VIDEO) == 0 || (ch != 1 && strncmp(r->msg, "Tandem Exposure: ", 17) == 0))
        << what << ": " << r->msg;
    EXPECT_TRUE(r->nadd == 0 && r->nexp == 0) << what << ": nadd " << r->nadd << ", nexp " << r->nexp;
    EXPECT_EQ(cmd_read(r), extra) << what << ": bits other than acquire and clear lost";
    EXPECT_EQ(r->seqn, seqn) << what << ": a failed capture counted a frame";
    EXPECT_NE(r->seqmsg, seqmsg) << what;
    if (ch == 1 && d.record(1)->exposure > 0.04) {
        EXPECT_STREQ(d.record(3)->msg, "Tandem Exposure: FAIL") << what;
    }
}

// Rounds of failing requests, with and without CMD_CCD, while the healthy
// channels acquire all their frames in the same passes.
std::string run_faults(Daemon& d, const Case& c, int rounds) {
    std::mt19937 rng(2);
    int failed = 0, frames = 0;
    for (int round = 0; round < rounds && !testing::Test::HasFailure(); ++round)
        for (int ch = 0; ch < KX29_CHANNELS; ++ch)
            for (int extra : {0, int{CMD_CCD}}) {
                if (!(c.failing >> ch & 1)) continue;
                const std::string what = "round " + std::to_string(round) + ", channel " + std::to_string(ch);
                int seqn[KX29_CHANNELS], wanted[KX29_CHANNELS] = {};
                for (int h = 0; h < 3; ++h)
                    if (!(c.failing >> h & 1)) {
                        seqn[h] = d.record(h)->seqn, wanted[h] = 1 + static_cast<int>(rng() % 3);
                        d.request(h, CMD_ACQUIRE | CMD_CLEAR, wanted[h], 1);
                    }
                expect_failed_request(d, ch, extra, what);
                ++failed;
                for (int h = 0; h < 3; ++h)
                    if (wanted[h] != 0) {
                        EXPECT_TRUE(d.wait_idle(h, 20)) << what << ": healthy channel " << h << " stalled";
                        EXPECT_EQ(d.record(h)->seqn - seqn[h], wanted[h]) << what << ": frames lost on " << h;
                        frames += wanted[h];
                    }
            }
    EXPECT_EQ(count(d.err(), std::string(NO_VIDEO) + "\n"), failed) << "each failure reported once";
    return std::to_string(failed) + " requests failed in bounded time, " + std::to_string(frames) +
           " frames on the healthy channels meanwhile";
}

// ---- Load from eight clients ----------------------------------------------------

// What a client process leaves for the test, in memory shared with it.
struct Report {
    char failure[400];
    long requests, frames, toggles;
    int pending, pending_seqn, pending_frames;  // an acquirer's last request, if not finished
};

// Four clients acquire on a channel each, request after request, and count
// every frame; four toggle bits the daemon never clears (CMD_CCD of one
// channel, an unnamed bit of their own on every channel) and write correction
// parameters, while the daemon clears CMD_ACQUIRE and CMD_CLEAR in the same
// words. No sequence number may ever go back.
struct Client {
    int id;
    Daemon& d;
    Report& report;
    Clock::time_point until;
    std::mt19937 rng;
    int last_seqn[KX29_CHANNELS] = {};

    template <class... Args>
    void fail(const char* format, Args... args) {
        if (!report.failure[0]) snprintf(report.failure, sizeof report.failure, format, args...);
    }
    bool go_on() const { return Clock::now() < until && !report.failure[0]; }
    int random(int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)); }
    void watch_seqn() {
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
            const int now = __atomic_load_n(&d.record(ch)->seqn, __ATOMIC_SEQ_CST);
            if (now < last_seqn[ch]) fail("client %d: seqn of channel %d went back: %d, %d", id, ch, last_seqn[ch], now);
            last_seqn[ch] = now;
        }
    }

    void acquire(int ch) {
        TVchan* r = d.record(ch);
        while (go_on()) {
            const bool small = random(0, 9) < 6;
            const int nadd = small ? 1 : random(1, 3), nexp = small ? 1 : random(1, 2);
            r->nadd = nadd, r->nexp = nexp, r->ref_lev = random(56, 60);
            if (ch == 1) r->exposure = random(0, 1) ? 0.04 : 0.05 * random(1, 5);
            if (random(0, 9) == 0) r->next_form = random(1, 2);  // a format change resets the window
            if (random(0, 2) != 0)
                r->frm_col0 = random(0, 400), r->frm_width = random(1, 300), r->frm_lin0 = random(0, 400),
                r->frm_height = random(1, 100);
            const int seqn0 = r->seqn;
            __atomic_fetch_or(&r->command, CMD_ACQUIRE | CMD_CLEAR | (random(0, 3) == 0 ? CMD_SHOW : 0), __ATOMIC_SEQ_CST);
            report.pending = 1, report.pending_seqn = seqn0, report.pending_frames = nadd * nexp;
            for (const auto asked = Clock::now(); cmd_read(r) & CMD_ACQUIRE; usleep(2000)) {
                watch_seqn();
                if (Clock::now() > until) return;  // still pending: the test checks it
                if (since(asked) > REQUEST_BOUND_S) return fail("client %d: request on channel %d not done", id, ch);
            }
            report.pending = 0;
            const int got = r->seqn - seqn0;
            // The last message is this channel's frame, unless a long exposure
            // on the tandem channel has posted to every record since.
            if (got != nadd * nexp || r->nexp != 0 || r->nadded != nadd ||
                (strncmp(r->msg, "Frame", 5) != 0 && strncmp(r->msg, "Tandem Exposure: ", 17) != 0))
                return fail("client %d: channel %d: %d frames of %d x %d, nexp %d, nadded %d, msg '%s'", id, ch, got,
                            nadd, nexp, r->nexp, r->nadded, r->msg);
            ++report.requests, report.frames += got;
            usleep(static_cast<useconds_t>(random(0, 30000)));
        }
    }

    void toggle(int own) {
        const int unnamed = 0x100 << own;
        int mine[KX29_CHANNELS] = {};  // the state this client left
        while (go_on()) {
            const int ch = random(0, KX29_CHANNELS - 1), bits = ch == own ? unnamed | CMD_CCD : unnamed;
            const int old = __atomic_fetch_xor(&d.record(ch)->command, bits, __ATOMIC_SEQ_CST);
            if ((old & bits) != mine[ch])
                return fail("client %d: bits 0x%x of channel %d were 0x%x, left 0x%x: lost", id, bits, ch, old & bits, mine[ch]);
            mine[ch] ^= bits, ++report.toggles;
            if (random(0, 15) == 0) {  // correction parameters, read by every readout with CMD_CCD
                d.record(own)->bias = random(0, 8);
                for (int k = 0; k < 16; ++k) d.record(own)->flat[random(0, KX29_MAX_COLS - 1)] = random(-300, 800);
            }
            watch_seqn();
            usleep(static_cast<useconds_t>(random(50, 400)));
        }
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) __atomic_fetch_xor(&d.record(ch)->command, mine[ch], __ATOMIC_SEQ_CST);
    }
};

std::string run_load(Daemon& d, int seconds) {
    constexpr int CLIENTS = 8;
    auto* reports = static_cast<Report*>(
        mmap(nullptr, sizeof(Report) * CLIENTS, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (reports == MAP_FAILED) return "no shared memory for the clients";
    const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
    pid_t kids[CLIENTS];
    for (int id = 0; id < CLIENTS; ++id)
        if ((kids[id] = fork()) == 0) {  // the records are attached in the child as well
            Client c{id, d, reports[id], until, std::mt19937(1000 + id)};
            id < 4 ? c.acquire(id) : c.toggle(id - 4);
            _exit(0);
        }
    long requests = 0, frames = 0, toggles = 0;
    for (int id = 0; id < CLIENTS; ++id) {
        int status = 0;
        waitpid(kids[id], &status, 0);
        const Report& r = reports[id];
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "client " << id << " crashed: " << status;
        EXPECT_EQ(r.failure[0], 0) << r.failure;
        requests += r.requests, frames += r.frames, toggles += r.toggles;
        if (id >= 4 || !r.pending) continue;  // a pending request must finish with all its frames
        EXPECT_TRUE(d.wait_idle(id, REQUEST_BOUND_S)) << "pending request on channel " << id << " never ended";
        EXPECT_EQ(d.record(id)->seqn - r.pending_seqn, r.pending_frames) << "frames lost on " << id;
    }
    munmap(reports, sizeof(Report) * CLIENTS);
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) EXPECT_EQ(cmd_read(d.record(ch)), 0) << "channel " << ch << ": a bit nobody owns";
    EXPECT_GT(requests, 8) << "the daemon hardly served";
    return std::to_string(CLIENTS) + " clients for " + std::to_string(seconds) + " s: " + std::to_string(requests) +
           " requests, " + std::to_string(frames) + " frames, " + std::to_string(toggles) + " bit toggles";
}

// ---- The driver -------------------------------------------------------------------

// Makes a record sane again as a client can: the reload of a format that
// differs from the stored one resets the geometry and window.
void restore(TVchan* r, int ch, double tandem_exposure) {
    r->num = ch, r->tandem = ch == 1, r->exposure = ch == 1 ? tandem_exposure : 0.04, r->nexp = r->nadd = 0;
    r->form = 0, r->next_form = 1, r->ref_lev = 60, r->bias = 0;
    std::fill(std::begin(r->flat), std::end(r->flat), 1);
    __atomic_store_n(&r->command, CMD_RELOAD, __ATOMIC_SEQ_CST);
}

// One request of two frames with a window that reaches past the image's
// bottom right corner: only the window's part inside the image changes.
void expect_clean_acquisition(Daemon& d, int ch) {
    SCOPED_TRACE("channel " + std::to_string(ch));
    static const std::regex frame(R"(Frame-?\d+\(Add2 SubLev=\d+\): Min=(\d+) Max=(\d+) Med=[\d.]+ Avr=[\d.]+ Disp=[\d.]+)");
    constexpr short SENTINEL = -12345;
    TVchan* r = d.record(ch);
    const int w = 768, ht = ch == 1 ? 576 : 512;  // the default formats
    ASSERT_TRUE(r->img_width == w && r->img_height == ht && r->form == 1) << r->img_width << "x" << r->img_height;
    std::fill(std::begin(r->image), std::end(r->image), SENTINEL);
    r->frm_col0 = 700, r->frm_width = 100, r->frm_lin0 = ht - 12, r->frm_height = 40;
    const int seqn = r->seqn;
    d.request(ch, CMD_ACQUIRE | CMD_CLEAR | CMD_CCD, 2, 1);
    ASSERT_TRUE(d.wait_idle(ch, 10)) << "clean acquisition did not end";
    EXPECT_EQ(r->seqn, static_cast<int>(static_cast<unsigned>(seqn) + 2u));
    EXPECT_TRUE(r->nadded == 2 && r->nexp == 0 && cmd_read(r) == CMD_CCD) << r->nadded << " " << r->nexp;
    std::cmatch m;
    ASSERT_TRUE(std::regex_match(r->msg, m, frame)) << r->msg;
    EXPECT_TRUE(std::stoi(m[1]) <= std::stoi(m[2]) && std::stoi(m[2]) <= 255) << r->msg;
    int outside = 0, inside = 0;
    for (int p = 0; p < KX29_IMAGE_PIXELS; ++p)
        (p < w * ht && p % w >= 700 && p / w >= ht - 12 ? inside : outside) += r->image[p] != SENTINEL;
    EXPECT_EQ(outside, 0) << "pixels outside the window changed";
    EXPECT_EQ(inside, 68 * 12) << "window pixels not all read";
}

void run_case(const Case& c) {
    Daemon d(kx29harness::Options{c.sim, "", ""});
    ASSERT_TRUE(d.start()) << d.err();
    size_t from = 0;  // where the start-up to look at begins in stderr
    if (c.restart) {
        ASSERT_EQ(d.stop(SIGINT), SIGINT);
        from = d.err().size();
        ASSERT_TRUE(d.start()) << d.err();
    }
    if (c.startup != 0) {  // the board check ends with its last report
        ASSERT_TRUE(Daemon::wait_for([&] { return d.err().find(STARTUP_FAULTS[2], from) != std::string::npos; }, 5));
        usleep(300000);
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(d.err().find(STARTUP_FAULTS[i], from) != std::string::npos, (c.startup >> i & 1) != 0) << STARTUP_FAULTS[i];
    d.record(1)->exposure = c.tandem_exposure;
    const int rounds = soak() ? c.soak_rounds : c.rounds;
    const std::string figures = c.stress == Stress::Hostile ? run_hostile(d, rounds)
                                : c.stress == Stress::Load  ? run_load(d, rounds)
                                                            : run_faults(d, c, rounds);
    ASSERT_FALSE(testing::Test::HasFailure()) << figures;

    // Stop everything, an endless exposure on the tandem record too, and make
    // the records sane: every channel serves a request, or fails it in time.
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) __atomic_store_n(&d.record(ch)->command, 0, __ATOMIC_SEQ_CST);
    ASSERT_TRUE(d.wait_quiet(0.5, 20)) << "daemon still busy after every command was cleared";
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) restore(d.record(ch), ch, c.tandem_exposure);
    for (int ch = 0; ch < KX29_CHANNELS; ++ch)
        ASSERT_TRUE(Daemon::wait_for([&] { return cmd_read(d.record(ch)) == 0; }, 10)) << "reload of " << ch;
    for (int ch = 0; ch < KX29_CHANNELS; ++ch)
        c.failing >> ch & 1 ? expect_failed_request(d, ch, CMD_CCD, "after the campaign") : expect_clean_acquisition(d, ch);
    EXPECT_TRUE(c.failing != 0 || d.err().find(NO_VIDEO) == std::string::npos) << "a capture failed on a board with video";
    EXPECT_EQ(d.pid_word(), d.pid());
    EXPECT_EQ(sanitizer_report(d.err()), "");
    EXPECT_EQ(d.stop(SIGQUIT), SIGQUIT);
    EXPECT_EQ(d.pid_word(), 0);
    std::cout << "[ figures  ] " << c.name << ": " << figures << "\n";
}

// Named as before the cases moved into one driver, so that runs filtering by
// name keep working.
TEST(HostileRecords, DaemonSurvivesAndServesCleanlyAfterwards) { run_case(HOSTILE); }
TEST(ClientLoad, EightClientsLoseNothing) { run_case(LOAD); }

class BoardFaults : public testing::TestWithParam<Case> {};
TEST_P(BoardFaults, RequestsEndInBoundedTimeAndTheRestWorks) { run_case(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Faults, BoardFaults, testing::ValuesIn(FAULTS), [](const auto& info) { return info.param.name; });

}  // namespace
