// Signals and restarts: the termination signals at random moments (idle, in
// the middle of acquisitions, channel switches and long exposures) end the
// daemon with the signal's number and a cleared PID word, leave the records
// as they were, and let the next daemon attach; a killed daemon's stale PID
// is taken over; of daemons started at the same instant exactly one runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon_harness.h"
#include "test_util.h"

namespace {

using kx29harness::Daemon;
using kx29harness::sanitizer_report;
using namespace kx29rel;
using kx29t::read_file;

// Where the daemon is when the signal comes.
enum Moment { Idle, Readout, Switching, Exposure };
const char* const MOMENT_NAMES[] = {"idle", "acquiring", "switching between two channels", "in a long exposure"};

// Sets the records up for `m` and waits until the daemon is there. Record 3
// is never asked for anything. Whatever the restart resumed ends first: an
// exposure ending late would count down the new request's nexp.
bool bring_to(Daemon& d, Moment m) {
    if (!d.settle(3, 10)) return false;
    const int seqn0 = d.record(0)->seqn, seqn2 = d.record(2)->seqn, seqmsg3 = d.record(3)->seqmsg;
    if (m == Idle) return true;
    if (m == Exposure) {
        d.request(1, CMD_ACQUIRE | CMD_CLEAR, 1, 1);  // its countdown posts to every record, from the first second on
        return Daemon::wait_for([&] { return d.record(3)->seqmsg != seqmsg3; }, 10);
    }
    d.request(0, CMD_ACQUIRE | CMD_CLEAR, 3, -1);  // an endless series
    if (m == Switching) d.request(2, CMD_ACQUIRE | CMD_CLEAR, 3, -1);  // format 2: an FPGA load before every frame
    return Daemon::wait_for([&] { return d.record(0)->seqn != seqn0 && (m != Switching || d.record(2)->seqn != seqn2); },
                            10);
}

// Every sixth round SIGKILL, which leaves the PID word for the next start to
// take over; otherwise a termination signal, which clears it.
TEST(SignalsAndRestarts, SignalsAtRandomMomentsKeepRecordsAndAllowRestart) {
    const int rounds = soak() ? 240 : 48;
    const int sigs[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGKILL};
    std::mt19937 rng(29);
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
        TVchan* r = d.record(ch);
        r->bias = 100 + ch, r->ref_lev = 50 + ch, r->next_form = ch == 2 ? 2 : 1, r->exposure = ch == 1 ? 5.0 : 0.04;
    }
    std::vector<Field> settings = CLIENT_FIELDS;
    settings.insert(settings.end(), {KX29_FIELD(nexp), KX29_FIELD(frm_col0), KX29_FIELD(frm_lin0),
                                     KX29_FIELD(frm_width), KX29_FIELD(frm_height)});
    int kills = 0;
    for (int round = 0; round < rounds; ++round) {
        const Moment m = static_cast<Moment>(rng() % 4);
        const int sig_index = round % 6 == 5 ? 4 : static_cast<int>(rng() % 4), sig = sigs[sig_index];
        const std::string what = "round " + std::to_string(round) + ": SIG" + sigabbrev_np(sig) + " while " +
                                 MOMENT_NAMES[m];
        ASSERT_TRUE(bring_to(d, m)) << what << ": daemon did not get there\n" << tail(d.out(), 800);
        const std::vector<TVchan> before(d.record(0), d.record(0) + KX29_CHANNELS);
        usleep(static_cast<useconds_t>(rng() % 300000));
        const pid_t pid = d.pid();

        ASSERT_EQ(d.stop(sig), sig == SIGKILL ? 128 + sig : sig) << what << ": wrong exit status";
        kills += sig == SIGKILL;
        EXPECT_EQ(d.pid_word(), sig == SIGKILL ? pid : 0) << what << ": PID word";
        for (int ch = 0; ch < KX29_CHANNELS; ++ch)
            EXPECT_EQ(changed(before[ch], *d.record(ch), settings), "") << what << ": record " << ch;
        EXPECT_EQ(changed(before[3], *d.record(3), {KX29_FIELD(seqn), KX29_FIELD(image)}), "") << what << ": idle record";

        const size_t err_before = d.err().size();
        ASSERT_TRUE(d.start()) << what << ": restart failed\n" << d.err().substr(err_before);
        const std::string err = d.err().substr(err_before);
        EXPECT_NE(err.find("Attach shared memory segment"), std::string::npos) << what << "\n" << err;
        EXPECT_EQ(changed(before[3], *d.record(3), {KX29_FIELD(image)}), "") << what << ": restart changed record 3";
        if (testing::Test::HasFailure()) break;
    }
    EXPECT_EQ(sanitizer_report(d.err()), "");
    EXPECT_EQ(d.stop(SIGTERM), SIGTERM);
    std::cout << "[ figures  ] " << rounds - kills << " termination signals, " << kills
              << " SIGKILLs, each followed by a start over the stale PID\n";
}

// ---- Two daemons on one key -------------------------------------------------------

// A daemon started by the test itself in `d`'s directory on its key, its output
// in <name>.out and <name>.err there (a name used once); `in_child` runs just
// before the exec. Killed at the end unless it ended.
struct Proc {
    std::string name;
    pid_t pid;
    int status = -1;
    Proc(const Daemon& d, std::string n, const std::function<void()>& in_child = {})
        : name(std::move(n)), pid(kx29harness::spawn(d.dir(), d.key(), name, in_child)) {}
    bool ended() {
        int s = 0;
        if (status < 0 && waitpid(pid, &s, WNOHANG) == pid) status = kx29harness::exit_status(s);
        return status >= 0;
    }
    bool serves(const Daemon& d) const { return read_file(d.dir() / (name + ".out")).find("set_ref_lev(") != std::string::npos; }
    ~Proc() {
        if (pid > 0 && !ended()) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
};

// The segment of `key` as "PID <the PID word>", followed by the records found
// not initialised (the tandem record included), or a channel load that did
// not stay.
std::string segment_state(const std::string& key) {
    const int id = shmget(kx29t::key_code(key), 0, 0);
    void* p = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) return "no segment";
    const auto* r = static_cast<const TVchan*>(p);
    const int pid = __atomic_load_n(reinterpret_cast<const int*>(r + KX29_CHANNELS), __ATOMIC_SEQ_CST);
    std::string state = "PID " + std::to_string(pid);
    int active = 0;  // records switched to: one once a daemon has loaded its first channel
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
        if (r[ch].num != ch || r[ch].ref_lev != 60 || r[ch].flat[0] != 1 || r[ch].image[1] != -99 || r[ch].tandem != (ch == 1))
            state += " record " + std::to_string(ch) + " not initialised;";
        active += r[ch].activ & ACTIV_SWITCHED;
    }
    if (active != 1) state += " " + std::to_string(active) + " records active;";
    shmdt(p);
    return state;
}

// Of `procs`, exactly one keeps running and serves on initialised records,
// and every other one ended refusing the start with its PID; then it ends on
// SIGTERM with a cleared PID word. Returns its name.
std::string expect_one_runs(const Daemon& d, std::vector<std::unique_ptr<Proc>>& procs, const std::string& what) {
    const long n = static_cast<long>(procs.size());
    auto ended = [&] { return std::count_if(procs.begin(), procs.end(), [](auto& p) { return p->ended(); }); };
    if (!Daemon::wait_for([&] { return ended() >= n - 1; }, 15) || Daemon::wait_for([&] { return ended() == n; }, 0.5)) {
        ADD_FAILURE() << what << ": " << n - ended() << " run";
        return "";
    }
    Proc& w = **std::find_if(procs.begin(), procs.end(), [](auto& p) { return !p->ended(); });
    EXPECT_TRUE(Daemon::wait_for([&] { return w.serves(d); }, 5)) << what << ": " << w.name << " does not serve";
    const std::string refusal = "kx29 daemon already running! (PID=" + std::to_string(w.pid) + ")\n";
    for (auto& p : procs) {
        if (p.get() == &w) continue;
        const std::string said = read_file(d.dir() / (p->name + ".err"));
        EXPECT_TRUE(p->status == 1 && said.find(refusal) != std::string::npos) << what << ": " << p->name << " said\n" << said;
    }
    EXPECT_EQ(segment_state(d.key()), "PID " + std::to_string(w.pid)) << what;
    kill(w.pid, SIGTERM);
    EXPECT_TRUE(Daemon::wait_for([&] { return w.ended(); }, 5) && w.status == SIGTERM) << what << ": " << w.status;
    EXPECT_EQ(segment_state(d.key()), "PID 0") << what;
    return w.name;
}

// Several daemons released at the same instant (all wait for the end of a
// pipe whose only writer is the test), on no segment and on one left by a
// daemon that ended cleanly: one runs.
TEST(SignalsAndRestarts, DaemonsStartedTogetherOneRuns) {
    const int racers = 6;
    for (const bool fresh : {true, false}) {
        const int rounds = soak() ? 50 : fresh ? 8 : 3;
        Daemon d;  // scratch directory, key and clean-up
        if (!fresh) {
            ASSERT_TRUE(d.start() && d.stop(SIGTERM) == SIGTERM) << d.err();
        }
        for (int round = 0; round < rounds && !testing::Test::HasFailure(); ++round) {
            if (fresh) kx29t::remove_segment(d.key());
            int gate[2];
            ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
            std::vector<std::unique_ptr<Proc>> procs;
            for (int i = 0; i < racers; ++i)
                procs.push_back(std::make_unique<Proc>(d, std::to_string(round) + "." + std::to_string(i), [&] {
                    close(gate[1]);
                    char c;
                    while (read(gate[0], &c, 1) > 0) {
                    }
                }));
            close(gate[1]), close(gate[0]);  // the release
            expect_one_runs(d, procs, std::string(fresh ? "no segment" : "a segment") + ", round " + std::to_string(round));
        }
        std::cout << "[ figures  ] " << rounds << " rounds of " << racers << " simultaneous starts on "
                  << (fresh ? "no" : "an existing") << " segment\n";
    }
}

// The creator of a new segment stopped as soon as the segment exists (before
// or while it fills the records) while a second daemon starts, then let go
// on: one runs, on initialised records that keep its first channel load (and
// the tandem record, without which long exposures are lost for the life of
// the segment). If the second runs while the creator is stopped, its records
// are complete before the creator could go on with them.
TEST(SignalsAndRestarts, CreatorStoppedWhileAnotherStartsOneRunsOnInitialisedRecords) {
    Daemon base;  // scratch directory and key; the segment does not exist yet
    std::vector<std::unique_ptr<Proc>> procs;
    procs.push_back(std::make_unique<Proc>(base, "creator"));
    const int code = kx29t::key_code(base.key());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (shmget(code, 0, 0) < 0 && std::chrono::steady_clock::now() < deadline) {
    }
    kill(procs[0]->pid, SIGSTOP);
    ASSERT_GE(shmget(code, 0, 0), 0) << "the creator did not create the segment";
    procs.push_back(std::make_unique<Proc>(base, "second"));
    if (Daemon::wait_for([&] { return procs[1]->serves(base); }, 1)) {
        EXPECT_EQ(segment_state(base.key()), "PID " + std::to_string(procs[1]->pid)) << "the second runs, the creator stopped";
    }
    kill(procs[0]->pid, SIGCONT);
    std::cout << "[ figures  ] " << expect_one_runs(base, procs, "creator stopped") << " ran\n";
}

}  // namespace
