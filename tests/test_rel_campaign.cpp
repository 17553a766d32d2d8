// The reliability campaign on the simulated daemon, one driver over a table of
// cases: hostile clients writing anything into all four records, board faults
// (no video on a channel, a stuck busy bit, no board), and all four channels
// acquiring while another client toggles command bits. Every case ends the same way:
// the records are made sane again and each channel serves one request, which
// acquires exactly its frames inside its window or, on a faulty channel, fails
// within a bounded time. KX29_SOAK=1 runs the long versions, KX29_SEED=n
// another sequence of hostile values.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <random>
#include <thread>
#include <unistd.h>

#include "daemon_harness.h"

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
constexpr double REQUEST_BOUND_S = 30;  // at most six frames, among four busy channels

struct Case {
    const char* name;
    bool hostile;           // hostile records; otherwise rounds of requests
    const char* sim;        // KX29_SIM: the board's faults
    bool restart;           // look at a second start-up, which begins on the tandem record
    unsigned startup;       // bit i: STARTUP_FAULTS[i] reported at start-up
    unsigned failing;       // bit ch: every capture on channel ch fails
    unsigned healthy;       // bit ch: channel ch acquires in every round
    bool toggler;           // another client toggles command bits meanwhile
    double tandem_exposure; // of channel 1 (the acquirers and hostile values change it)
    int rounds, soak_rounds;
};

const Case HOSTILE = {"hostile", true, "", false, 0, 0, 0, false, 0.3, 400, 2500};
const Case LOAD = {"load", false, "", false, 0, 0, 15, true, 0.3, 25, 150};
const Case FAULTS[] = {
    {"novideo_2", false, "novideo=2", false, 0, 4, 3, false, 0.3, 8, 60},
    {"novideo_1", false, "novideo=1", true, 4, 2, 5, false, 2.0, 2, 10},
    // The long-exposure capture grabs in step with the field sync alone and
    // never looks at the busy bit: the tandem channel uses the normal capture here.
    {"busy", false, "busy", false, 0, 15, 0, false, 0.04, 2, 10},
    {"noboard", false, "noboard", false, 7, 15, 0, false, 1.0, 2, 10},
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
        static const double nasty[] = {NAN, -NAN, INFINITY, -INFINITY, 0.0, -0.0, 0.04, 0.041, 0.05, 1.0, -1.0, 1e300,
                                       DBL_MAX, DBL_TRUE_MIN, 2147483648.0, -2147483649.0};
        return below(2) == 0 ? nasty[below(std::size(nasty))] : std::bit_cast<double>(rng());
    }
};

// Fills every field of `r`, the command word last as a client does (0..31 in
// turn for the first passes, then anything); keeps in `w` what the client left.
void write_hostile(TVchan* r, Hostile& h, int pass, int ch, TVchan& w) {
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
    w = *r;
    w.command = pass < 32 ? (pass * 4 + ch) % 32 : h.below(2) ? h.below(32) : h.word();
    __atomic_store_n(&r->command, w.command, __ATOMIC_SEQ_CST);
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
    EXPECT_TRUE(std::equal(w.flat, w.flat + KX29_MAX_COLS, r->flat, [](int was, int now) { return now == was || now == 1; }))
        << what << ": flat entries changed to values other than 1";
}

std::string run_hostile(Daemon& d, int passes) {
    const char* seed_text = getenv("KX29_SEED");
    const uint64_t seed = seed_text != nullptr ? strtoull(seed_text, nullptr, 0) : 0x6b783239;
    Hostile h{std::mt19937_64(seed)};
    std::vector<TVchan> written(KX29_CHANNELS);  // too large for the stack
    int restarts = 0;
    for (int pass = 0; pass < passes; ++pass) {
        const std::string what = "seed " + std::to_string(seed) + ", pass " + std::to_string(pass);
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) write_hostile(d.record(ch), h, pass, ch, written[ch]);
        // Mostly a moment, now and then long enough for whole acquisitions.
        usleep(static_cast<useconds_t>(pass % 8 == 7 ? 250000 : h.below(40000)));
        if (d.wait_exit(0) != -1) {
            ADD_FAILURE() << "daemon ended with status " << d.last_exit() << "\n" << sanitizer_report(d.err());
            return what;
        }
        EXPECT_EQ(d.pid_word(), d.pid()) << what << ": PID word overwritten";
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) check_written(d.record(ch), written[ch], what + ", record " + std::to_string(ch));
        if (pass % 100 == 99) {  // a restart attaches to the hostile records as they are
            EXPECT_EQ(d.stop(SIGTERM), SIGTERM);
            if (!d.start()) ADD_FAILURE() << "no restart over hostile records\n" << d.err();
            ++restarts;
        }
        if (testing::Test::HasFailure()) return what;
    }
    const int frames = count(d.out(), "): Min=");
    EXPECT_GT(frames, passes / 10) << "hostile passes hardly reached the readout";
    return std::to_string(passes) + " hostile passes over 4 records: " + std::to_string(frames) + " frames read, " +
           std::to_string(count(d.out(), "Change TV channel:")) + " channel loads, " + std::to_string(restarts) + " restarts";
}

// ---- Requests on busy and faulty channels ----------------------------------------

// Asks channel `ch` for 2 x 3 frames with bits `extra` besides; it must fail
// within the bound, with its message, nadd and nexp zeroed, no frame counted,
// and only the acquire and clear bits cleared.
void expect_failed_request(Daemon& d, int ch, int extra, const std::string& what) {
    TVchan* r = d.record(ch);
    const int seqn = r->seqn, seqmsg = r->seqmsg;
    const auto t0 = Clock::now();
    d.request(ch, CMD_ACQUIRE | CMD_CLEAR | extra, 2, 3);
    ASSERT_TRUE(d.wait_idle(ch, 10)) << what << ": request never ended";
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), FAILURE_BOUND_S) << what;
    // A long exposure on the tandem channel may post its progress over the message.
    EXPECT_TRUE(strcmp(r->msg, NO_VIDEO) == 0 || (ch != 1 && strncmp(r->msg, "Tandem Exposure: ", 17) == 0))
        << what << ": " << r->msg;
    // Only the acquire and clear bits cleared, no frame counted.
    EXPECT_TRUE(r->nadd == 0 && r->nexp == 0 && cmd_read(r) == extra && r->seqn == seqn && r->seqmsg != seqmsg)
        << what << ": nadd " << r->nadd << ", nexp " << r->nexp << ", command " << cmd_read(r) << ", frames "
        << r->seqn - seqn;
    EXPECT_TRUE(ch != 1 || r->exposure <= 0.04 || strcmp(d.record(3)->msg, "Tandem Exposure: FAIL") == 0)
        << what << ": " << d.record(3)->msg;
}

// Another client meanwhile toggles bits of every command word that the daemon
// never clears (CMD_CCD, and an unnamed one) and writes correction parameters,
// while the daemon clears CMD_ACQUIRE and CMD_CLEAR in the same words: it must
// always find its bits as it left them, and no sequence number may go back.
long toggle_until(Daemon& d, const std::atomic<bool>& stop) {
    std::mt19937 rng(7);
    int mine[KX29_CHANNELS] = {}, last_seqn[KX29_CHANNELS] = {};
    long toggles = 0;
    for (; !stop && !testing::Test::HasFailure(); ++toggles) {
        const int ch = static_cast<int>(rng() % KX29_CHANNELS), bits = rng() % 2 ? 0x100 : 0x100 | CMD_CCD;
        const int old = __atomic_fetch_xor(&d.record(ch)->command, bits, __ATOMIC_SEQ_CST);
        EXPECT_EQ(old & bits, mine[ch] & bits) << "bits of channel " << ch << " lost, command word " << old;
        mine[ch] ^= bits;
        if (rng() % 16 == 0)  // read by every readout with CMD_CCD
            d.record(ch)->bias = static_cast<int>(rng() % 9), d.record(ch)->flat[rng() % KX29_MAX_COLS] = static_cast<int>(rng() % 1100) - 300;
        for (int c = 0; c < KX29_CHANNELS; ++c) {
            const int now = __atomic_load_n(&d.record(c)->seqn, __ATOMIC_SEQ_CST);
            EXPECT_GE(now, last_seqn[c]) << "seqn of channel " << c << " went back";
            last_seqn[c] = now;
        }
        usleep(static_cast<useconds_t>(50 + rng() % 350));
    }
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) __atomic_fetch_xor(&d.record(ch)->command, mine[ch], __ATOMIC_SEQ_CST);
    return toggles;
}

// Rounds of requests: every healthy channel asks for a few frames at once,
// with a window, format, reference level and exposure of its own, and gets
// exactly its frames; a failing channel's request in the same round fails in
// time, with and without CMD_CCD.
std::string run_requests(Daemon& d, const Case& c, int rounds) {
    std::mt19937 rng(2);
    auto random = [&](int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)); };
    std::atomic<bool> stop{false};
    long toggles = 0;
    std::thread toggler;
    if (c.toggler) toggler = std::thread([&] { toggles = toggle_until(d, stop); });
    int failed = 0, frames = 0;
    for (int round = 0; round < rounds && !testing::Test::HasFailure(); ++round) {
        const std::string what = "round " + std::to_string(round);
        int seqn[KX29_CHANNELS], nadd[KX29_CHANNELS], wanted[KX29_CHANNELS] = {};
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
            if (!(c.healthy >> ch & 1)) continue;
            TVchan* r = d.record(ch);
            const bool small = random(0, 9) < 6;
            nadd[ch] = small ? 1 : random(1, 3);
            const int nexp = small ? 1 : random(1, 2);
            r->ref_lev = random(56, 60);
            if (ch == 1) r->exposure = random(0, 1) ? 0.04 : 0.05 * random(1, 5);
            if (random(0, 9) == 0) r->next_form = random(1, 2);  // a format change resets the window
            if (random(0, 2) != 0)
                r->frm_col0 = random(0, 400), r->frm_width = random(1, 300), r->frm_lin0 = random(0, 400),
                r->frm_height = random(1, 100);
            seqn[ch] = r->seqn, wanted[ch] = nadd[ch] * nexp;
            r->nadd = nadd[ch], r->nexp = nexp;
            __atomic_fetch_or(&r->command, CMD_ACQUIRE | CMD_CLEAR | (random(0, 3) == 0 ? CMD_SHOW : 0), __ATOMIC_SEQ_CST);
        }
        for (int ch = 0; ch < KX29_CHANNELS; ++ch)
            if (c.failing >> ch & 1) expect_failed_request(d, ch, round % 2 ? CMD_CCD : 0, what + ", channel " + std::to_string(ch)), ++failed;
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
            if (wanted[ch] == 0) continue;
            TVchan* r = d.record(ch);
            EXPECT_TRUE(d.wait_idle(ch, REQUEST_BOUND_S)) << what << ": channel " << ch << " stalled";
            // The last message is this channel's frame, unless a long exposure
            // on the tandem channel has posted to every record since.
            EXPECT_TRUE(r->seqn - seqn[ch] == wanted[ch] && r->nexp == 0 && r->nadded == nadd[ch] &&
                        (strncmp(r->msg, "Frame", 5) == 0 || strncmp(r->msg, "Tandem Exposure: ", 17) == 0))
                << what << ", channel " << ch << ": " << r->seqn - seqn[ch] << " frames of " << wanted[ch] << ", nexp "
                << r->nexp << ", nadded " << r->nadded << ", msg " << r->msg;
            frames += wanted[ch];
        }
    }
    stop = true;
    if (toggler.joinable()) toggler.join();
    EXPECT_EQ(count(d.err(), std::string(NO_VIDEO) + "\n"), failed) << "each failure reported once";
    return std::to_string(failed) + " requests failed in bounded time, " + std::to_string(frames) +
           " frames acquired meanwhile, " + std::to_string(toggles) + " bit toggles";
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
    constexpr short SENTINEL = -12345;
    TVchan* r = d.record(ch);
    const int w = 768, ht = ch == 1 ? 576 : 512;  // the default formats
    ASSERT_TRUE(r->img_width == w && r->img_height == ht && r->form == 1) << r->img_width << "x" << r->img_height;
    std::fill(std::begin(r->image), std::end(r->image), SENTINEL);
    r->frm_col0 = 700, r->frm_width = 100, r->frm_lin0 = ht - 12, r->frm_height = 40;
    const int seqn = r->seqn;
    d.request(ch, CMD_ACQUIRE | CMD_CLEAR | CMD_CCD, 2, 1);
    ASSERT_TRUE(d.wait_idle(ch, 10)) << "clean acquisition did not end";
    EXPECT_TRUE(r->seqn == static_cast<int>(static_cast<unsigned>(seqn) + 2u) && r->nadded == 2 && r->nexp == 0 &&
                cmd_read(r) == CMD_CCD && strncmp(r->msg, "Frame", 5) == 0)
        << r->seqn - seqn << " " << r->nadded << " " << r->nexp << " " << r->msg;
    int outside = 0, inside = 0;
    for (int p = 0; p < KX29_IMAGE_PIXELS; ++p)
        (p < w * ht && p % w >= 700 && p / w >= ht - 12 ? inside : outside) += r->image[p] != SENTINEL;
    EXPECT_EQ(std::make_pair(outside, inside), std::make_pair(0, 68 * 12)) << "pixels changed outside, inside the window";
}

void run_case(const Case& c) {
    Daemon d(c.sim);
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
    const std::string figures = c.hostile ? run_hostile(d, rounds) : run_requests(d, c, rounds);
    ASSERT_FALSE(testing::Test::HasFailure()) << figures;

    // Stop everything, an endless exposure on the tandem record too, and make
    // the records sane: every channel serves a request, or fails it in time.
    ASSERT_TRUE(d.settle(KX29_CHANNELS, 20)) << "daemon still busy after every command was cleared";
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
TEST(ClientLoad, FourChannelsAndABitTogglerLoseNothing) { run_case(LOAD); }

class BoardFaults : public testing::TestWithParam<Case> {};
TEST_P(BoardFaults, RequestsEndInBoundedTimeAndTheRestWorks) { run_case(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Faults, BoardFaults, testing::ValuesIn(FAULTS), [](const auto& info) { return info.param.name; });

}  // namespace
