// Load: eight client processes on the four records while acquisitions run.
// Four acquire on a channel each, request after request, and count every
// frame; four toggle command bits that the daemon never clears (CMD_CCD of one
// channel, and one unnamed bit of their own on every channel) and write
// correction parameters, while the daemon clears CMD_ACQUIRE and CMD_CLEAR at
// the end of each acquisition. Nothing may be lost: a toggler always finds its
// bits as it left them, every request gets exactly its frames (or is still
// visibly pending at the end), and no sequence number ever goes back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "rel_support.h"

namespace {

using kx29harness::Daemon;
using Clock = std::chrono::steady_clock;
using kx29rel::soak;

constexpr int CLIENTS = 8;
constexpr double REQUEST_BOUND_S = 30;  // a request of at most six frames, among four busy channels

// What a client leaves for the test, in memory shared with it.
struct Report {
    char failure[400];
    long requests, frames, toggles, parameter_writes;
    int pending, pending_seqn, pending_frames;  // the acquirer's last request, if not finished
};

struct Client {
    int id;
    Daemon& d;
    Report& report;
    Clock::time_point until;
    std::mt19937 rng;
    int last_seqn[KX29_CHANNELS] = {};  // seqn starts at 0 and only counts up

    template <class... Args>
    void fail(const char* format, Args... args) {
        if (!failed()) snprintf(report.failure, sizeof report.failure, format, args...);
    }
    bool failed() const { return report.failure[0] != 0; }

    // Sequence numbers only go forward.
    void watch_seqn() {
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
            const int now = __atomic_load_n(&d.record(ch)->seqn, __ATOMIC_SEQ_CST);
            if (now < last_seqn[ch]) fail("client %d: seqn of channel %d went back: %d, %d", id, ch, last_seqn[ch], now);
            last_seqn[ch] = now;
        }
    }

    int random(int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)); }

    // One acquisition request after the other on channel `ch`; the client
    // owns its parameters and sets CMD_ACQUIRE (with CMD_CLEAR, sometimes
    // with CMD_SHOW) while another client toggles other bits of the word.
    void acquire(int ch) {
        TVchan* r = d.record(ch);
        while (Clock::now() < until && !failed()) {
            const bool small = random(0, 9) < 6;
            const int nadd = small ? 1 : random(1, 3), nexp = small ? 1 : random(1, 2);
            r->nadd = nadd;
            r->nexp = nexp;
            r->ref_lev = random(56, 60);
            if (ch == 1) r->exposure = random(0, 1) ? 0.04 : 0.05 * random(1, 5);
            if (random(0, 9) == 0) r->next_form = random(1, 2);  // a format change resets the window
            if (random(0, 2) != 0)
                r->frm_col0 = random(0, 400), r->frm_width = random(1, 300), r->frm_lin0 = random(0, 400),
                r->frm_height = random(1, 100);
            const int seqn0 = r->seqn;
            const int bits = CMD_ACQUIRE | CMD_CLEAR | (random(0, 3) == 0 ? CMD_SHOW : 0);
            __atomic_fetch_or(&r->command, bits, __ATOMIC_SEQ_CST);
            report.pending = 1, report.pending_seqn = seqn0, report.pending_frames = nadd * nexp;

            const Clock::time_point asked = Clock::now();
            while (cmd_read(r) & CMD_ACQUIRE) {
                watch_seqn();
                if (Clock::now() > until) return;  // still pending: the test checks it
                if (Clock::now() - asked > std::chrono::duration<double>(REQUEST_BOUND_S))
                    return fail("client %d: request %ld on channel %d (%d x %d frames) not done in %.0f s", id,
                                report.requests, ch, nadd, nexp, REQUEST_BOUND_S);
                usleep(2000);
            }
            report.pending = 0;
            const int got = r->seqn - seqn0;
            if (got != nadd * nexp)
                return fail("client %d: request %ld on channel %d: %d frames read of %d requested (%s)", id,
                            report.requests, ch, got, nadd * nexp, r->msg);
            // The last message is this channel's frame, unless a long exposure
            // on the tandem channel has posted to every record since.
            if (r->nexp != 0 || r->nadded != nadd ||
                (strncmp(r->msg, "Frame", 5) != 0 && strncmp(r->msg, "Tandem Exposure: ", 17) != 0))
                return fail("client %d: request on channel %d ended with nexp %d, nadded %d of %d, msg '%s'", id, ch,
                            r->nexp, r->nadded, nadd, r->msg);
            ++report.requests;
            report.frames += got;
            usleep(static_cast<useconds_t>(random(0, 30000)));
        }
    }

    // Toggles bits of the command words that the daemon never clears and
    // checks, on every toggle, that they were as this client left them.
    void toggle(int own) {
        const int unnamed = 0x100 << own;  // this client's bit on every channel
        int mine[KX29_CHANNELS] = {};      // the state this client left
        while (Clock::now() < until && !failed()) {
            const int ch = random(0, KX29_CHANNELS - 1);
            const int bits = ch == own ? unnamed | CMD_CCD : unnamed;
            const int old = __atomic_fetch_xor(&d.record(ch)->command, bits, __ATOMIC_SEQ_CST);
            if ((old & bits) != mine[ch])
                return fail("client %d: bits 0x%x of channel %d were 0x%x, left 0x%x (command word 0x%x): lost", id,
                            bits, ch, old & bits, mine[ch], old);
            mine[ch] ^= bits;
            ++report.toggles;
            if (random(0, 15) == 0) {  // correction parameters, read by every readout with CMD_CCD
                TVchan* r = d.record(own);
                r->bias = random(0, 8);
                for (int k = 0; k < 16; ++k) r->flat[random(0, KX29_MAX_COLS - 1)] = random(-300, 800);
                ++report.parameter_writes;
            }
            watch_seqn();
            usleep(static_cast<useconds_t>(random(50, 400)));
        }
        for (int ch = 0; ch < KX29_CHANNELS; ++ch)  // leave every word as found
            if (mine[ch]) __atomic_fetch_xor(&d.record(ch)->command, mine[ch], __ATOMIC_SEQ_CST);
    }
};

TEST(ClientLoad, EightClientsLoseNothing) {
    const int seconds = soak() ? 60 : 10;
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    auto* reports = static_cast<Report*>(
        mmap(nullptr, sizeof(Report) * CLIENTS, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(reports, MAP_FAILED);

    const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
    std::vector<pid_t> kids;
    for (int id = 0; id < CLIENTS; ++id) {
        const pid_t kid = fork();
        if (kid == 0) {  // the records are attached in the child as well
            Client c{id, d, reports[id], until, std::mt19937(1000 + id)};
            id < 4 ? c.acquire(id) : c.toggle(id - 4);
            _exit(0);
        }
        kids.push_back(kid);
    }
    long requests = 0, frames = 0, toggles = 0, parameters = 0;
    for (int id = 0; id < CLIENTS; ++id) {
        int status = 0;
        waitpid(kids[id], &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "client " << id << " crashed: " << status;
        const Report& r = reports[id];
        EXPECT_EQ(r.failure[0], 0) << r.failure;
        requests += r.requests, frames += r.frames, toggles += r.toggles, parameters += r.parameter_writes;
    }
    // Requests still pending when the clients stopped must finish with all their frames.
    for (int ch = 0; ch < 4; ++ch) {
        const Report& r = reports[ch];
        if (!r.pending) continue;
        TVchan* rec = d.record(ch);
        ASSERT_TRUE(d.wait_idle(ch, REQUEST_BOUND_S)) << "pending request on channel " << ch << " never ended";
        EXPECT_EQ(rec->seqn - r.pending_seqn, r.pending_frames) << "frames lost from the pending request on " << ch;
        ++requests;
        frames += r.pending_frames;
    }
    for (int ch = 0; ch < KX29_CHANNELS; ++ch)
        EXPECT_EQ(cmd_read(d.record(ch)), 0) << "channel " << ch << ": a bit nobody owns any more";
    EXPECT_GT(requests, 8) << "the daemon hardly served";
    EXPECT_TRUE(d.running() && d.wait_exit(0) == -1) << "daemon ended: " << d.last_exit();
    EXPECT_EQ(d.pid_word(), d.pid());
    EXPECT_EQ(d.err().find("Can't read frame"), std::string::npos) << d.err();
    EXPECT_EQ(kx29harness::sanitizer_report(d.err()), "");
    EXPECT_EQ(d.stop(SIGTERM), SIGTERM);
    munmap(reports, sizeof(Report) * CLIENTS);
    std::cout << "[ figures  ] " << CLIENTS << " clients for " << seconds << " s: " << requests << " requests, " << frames
              << " frames, " << toggles << " bit toggles, " << parameters << " parameter writes\n";
}

}  // namespace
