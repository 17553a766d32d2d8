// Signals and restarts: the termination signals at random moments (idle, in
// the middle of acquisitions, channel switches and long exposures) end the
// daemon with the signal's number and a cleared PID word, leave the records
// as they were, and let the next daemon attach; a killed daemon's stale PID
// is taken over; of two daemons started at the same instant exactly one runs.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <filesystem>
#include <random>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "daemon_harness.h"
#include "test_util.h"

extern char** environ;

namespace {

using kx29harness::Daemon;
namespace fs = std::filesystem;

bool soak() {
    const char* s = getenv("KX29_SOAK");
    return s != nullptr && strcmp(s, "1") == 0;
}

bool has_sanitizer_report(const std::string& err) {
    return err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos;
}

std::string tail(const std::string& text, size_t n = 800) {
    return text.size() > n ? "..." + text.substr(text.size() - n) : text;
}

std::string signal_name(int sig) { return sigabbrev_np(sig) ? std::string("SIG") + sigabbrev_np(sig) : "?"; }

// Where the daemon is when the signal comes.
enum class Moment { Idle, Readout, Switching, Exposure };
const char* moment_name(Moment m) {
    switch (m) {
    case Moment::Idle: return "idle";
    case Moment::Readout: return "acquiring";
    case Moment::Switching: return "switching between two channels";
    case Moment::Exposure: return "in a long exposure";
    }
    return "?";
}

// The client's settings of a record, which survive any end of the daemon.
struct Settings {
    double exposure;
    int next_form, ref_lev, bias, nadd, nexp, frm[4];
    bool operator==(const Settings&) const = default;
};

Settings settings_of(const TVchan* r) {
    return {r->exposure, r->next_form, r->ref_lev, r->bias, r->nadd, r->nexp,
            {r->frm_col0, r->frm_lin0, r->frm_width, r->frm_height}};
}

// Sets the records up for `m` and waits until the daemon is there. Record 3
// is never asked for anything.
size_t out_size(const Daemon& d) {
    std::error_code ec;
    const auto n = fs::file_size(d.dir() / "stdout.log", ec);
    return ec ? 0 : static_cast<size_t>(n);
}

// Idle: nothing printed for 0.3 s (every frame and every switch prints).
bool wait_quiet(const Daemon& d, double seconds) {
    size_t last = out_size(d);
    int quiet = 0;
    return Daemon::wait_for(
        [&] {
            const size_t now = out_size(d);
            quiet = now == last ? quiet + 1 : 0;
            last = now;
            return quiet >= 30;
        },
        seconds);
}

bool bring_to(Daemon& d, Moment m) {
    // Whatever the restart resumed ends first.
    for (int ch = 0; ch < 3; ++ch) __atomic_store_n(&d.record(ch)->command, 0, __ATOMIC_SEQ_CST);
    if (!wait_quiet(d, 10)) return false;
    const int seqn0 = d.record(0)->seqn, seqn2 = d.record(2)->seqn, seqmsg3 = d.record(3)->seqmsg;
    switch (m) {
    case Moment::Idle: return true;
    case Moment::Readout:
        d.request(0, CMD_ACQUIRE | CMD_CLEAR, 3, -1);  // an endless series
        return Daemon::wait_for([&] { return d.record(0)->seqn != seqn0; }, 10);
    case Moment::Switching:
        d.request(0, CMD_ACQUIRE | CMD_CLEAR, 3, -1);
        d.request(2, CMD_ACQUIRE | CMD_CLEAR, 3, -1);  // in format 2: an FPGA load before every frame
        return Daemon::wait_for([&] { return d.record(0)->seqn != seqn0 && d.record(2)->seqn != seqn2; }, 10);
    case Moment::Exposure:
        d.request(1, CMD_ACQUIRE | CMD_CLEAR, 1, 1);
        // The countdown posts to every record.
        return Daemon::wait_for([&] { return d.record(3)->seqmsg != seqmsg3; }, 10);
    }
    return false;
}

void client_settings(Daemon& d) {
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
        TVchan* r = d.record(ch);
        r->bias = 100 + ch;
        r->ref_lev = 50 + ch;
        r->next_form = ch == 2 ? 2 : 1;
        r->exposure = ch == 1 ? 5.0 : 0.04;
    }
}

TEST(SignalsAndRestarts, TerminationAtRandomMomentsKeepsRecordsAndAllowsRestart) {
    const int rounds = soak() ? 200 : 40;
    const int sigs[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
    std::mt19937 rng(29);
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    client_settings(d);
    int per_moment[4] = {}, per_signal[4] = {};

    for (int round = 0; round < rounds; ++round) {
        const Moment m = static_cast<Moment>(rng() % 4);
        const int sig_index = static_cast<int>(rng() % 4), sig = sigs[sig_index];
        const std::string what = "round " + std::to_string(round) + ": " + signal_name(sig) + " while " +
                                 moment_name(m);
        ASSERT_TRUE(bring_to(d, m)) << what << ": daemon did not get there\n" << tail(d.out());
        std::vector<Settings> before;
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) before.push_back(settings_of(d.record(ch)));
        std::vector<short> idle_image(d.record(3)->image, d.record(3)->image + KX29_IMAGE_PIXELS);
        const int idle_seqn = d.record(3)->seqn;
        usleep(static_cast<useconds_t>(rng() % 300000));

        ASSERT_EQ(d.stop(sig), sig) << what << ": wrong exit status";
        ++per_moment[static_cast<int>(m)];
        ++per_signal[sig_index];
        EXPECT_EQ(d.pid_word(), 0) << what << ": PID word not cleared";
        for (int ch = 0; ch < KX29_CHANNELS; ++ch)
            EXPECT_TRUE(settings_of(d.record(ch)) == before[ch]) << what << ": client settings of record " << ch
                                                                 << " changed";
        EXPECT_EQ(d.record(3)->seqn, idle_seqn) << what;
        EXPECT_TRUE(std::equal(idle_image.begin(), idle_image.end(), d.record(3)->image))
            << what << ": image of the idle record changed";

        const size_t err_before = d.err().size();
        ASSERT_TRUE(d.start()) << what << ": restart failed\n" << d.err().substr(err_before);
        const std::string err = d.err().substr(err_before);
        EXPECT_EQ(err.find("already running"), std::string::npos) << what << "\n" << err;
        EXPECT_NE(err.find("Attach shared memory segment"), std::string::npos) << what << "\n" << err;
        EXPECT_TRUE(std::equal(idle_image.begin(), idle_image.end(), d.record(3)->image))
            << what << ": restart changed the image of the idle record";
        if (testing::Test::HasFailure()) break;
    }
    EXPECT_FALSE(has_sanitizer_report(d.err())) << d.err();
    EXPECT_EQ(d.stop(SIGTERM), SIGTERM);
    std::cout << "[ figures  ] " << rounds << " termination signals: idle " << per_moment[0] << ", acquiring "
              << per_moment[1] << ", switching " << per_moment[2] << ", long exposure " << per_moment[3]
              << "; SIGHUP " << per_signal[0] << ", SIGINT " << per_signal[1] << ", SIGQUIT " << per_signal[2]
              << ", SIGTERM " << per_signal[3] << "\n";
}

TEST(SignalsAndRestarts, KilledDaemonsStalePidIsTakenOver) {
    const int rounds = soak() ? 40 : 8;
    std::mt19937 rng(9);
    Daemon d;
    ASSERT_TRUE(d.start()) << d.err();
    client_settings(d);
    for (int round = 0; round < rounds; ++round) {
        const Moment m = static_cast<Moment>(rng() % 4);
        const std::string what = "round " + std::to_string(round) + ": SIGKILL while " + moment_name(m);
        ASSERT_TRUE(bring_to(d, m)) << what;
        usleep(static_cast<useconds_t>(rng() % 200000));
        const pid_t dead = d.pid();
        ASSERT_EQ(d.stop(SIGKILL), 128 + SIGKILL) << what;
        EXPECT_EQ(d.pid_word(), dead) << what << ": a killed daemon cannot clear its PID";

        const size_t err_before = d.err().size();
        ASSERT_TRUE(d.start()) << what << ": restart over a stale PID failed\n" << d.err().substr(err_before);
        EXPECT_EQ(d.pid_word(), d.pid()) << what;
        EXPECT_EQ(d.err().find("already running", err_before), std::string::npos) << what;
    }
    EXPECT_EQ(d.stop(SIGINT), SIGINT);
    EXPECT_EQ(d.pid_word(), 0);
}

// ---- Two daemons at the same instant -------------------------------------------------

// Holds the racers back until release(): each waits for the end of a pipe
// whose only writer is the test.
class Gate {
public:
    Gate() {
        if (pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
    }
    ~Gate() {
        release();
        close(fds_[0]);
    }
    void release() {
        if (fds_[1] >= 0) close(fds_[1]);
        fds_[1] = -1;
    }
    // In a child: drop the writer, then wait for the test's.
    void pass() const {
        close(fds_[1]);
        char c;
        while (read(fds_[0], &c, 1) > 0) {
        }
    }

private:
    int fds_[2];
};

class Racer {
public:
    // Forks the daemon, which starts when the gate is released.
    Racer(const fs::path& dir, const std::string& key, const std::string& name, const Gate& gate)
        : dir_(dir), name_(name) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
            if (strncmp(*e, "KX29_", 5) != 0) env.emplace_back(*e);
        env.push_back("KX29_KEY=" + key);
        std::vector<char*> envp;
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            int out = open((name + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open((name + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            gate.pass();
            char* argv[] = {const_cast<char*>("kx29d-sim"), nullptr};
            kx29harness::drop_realtime_privilege();
            execve(KX29_BIN_DIR "/kx29d-sim", argv, envp.data());
            _exit(127);
        }
    }
    ~Racer() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Reaps the process if it has ended; true once it has.
    bool ended() {
        int status = 0;
        if (!exited_ && waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return exited_;
    }
    int status() const { return status_; }
    pid_t pid() const { return pid_; }
    std::string out() const { return slurp(dir_ / (name_ + ".out")); }
    std::string err() const { return slurp(dir_ / (name_ + ".err")); }

private:
    static std::string slurp(const fs::path& p) {
        std::ifstream f(p);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    fs::path dir_;
    std::string name_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

int pid_word_of(const std::string& key) {
    int id = shmget(kx29t::key_code(key), 0, 0);
    if (id < 0) return -1;
    void* p = shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) return -1;
    int v = __atomic_load_n(reinterpret_cast<int*>(static_cast<char*>(p) + shm_size), __ATOMIC_SEQ_CST);
    shmdt(p);
    return v;
}

// A segment created in the race must have been initialised.
std::string initialised(const std::string& key) {
    int id = shmget(kx29t::key_code(key), 0, 0);
    if (id < 0) return "no segment";
    void* p = shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) return "segment not attachable";
    std::string bad;
    for (int ch = 0; ch < KX29_CHANNELS; ++ch) {
        const TVchan* r = reinterpret_cast<const TVchan*>(static_cast<char*>(p) + ch * sizeof(TVchan));
        if (r->num != ch || r->ref_lev != 60 || r->flat[0] != 1 || r->image[1] != -99)
            bad += " record " + std::to_string(ch) + " not initialised;";
    }
    shmdt(p);
    return bad;
}

void race(bool fresh_segment, int rounds) {
    Daemon d;  // scratch directory, key and clean-up
    if (!fresh_segment) {  // a segment left by a daemon that ended cleanly
        ASSERT_TRUE(d.start()) << d.err();
        ASSERT_EQ(d.stop(SIGTERM), SIGTERM);
    }
    int refused = 0, create_failed = 0;
    for (int round = 0; round < rounds; ++round) {
        const std::string what = "round " + std::to_string(round);
        if (fresh_segment) kx29t::remove_segment(d.key());
        Gate gate;
        Racer a(d.dir(), d.key(), "a", gate), b(d.dir(), d.key(), "b", gate);
        gate.release();
        ASSERT_TRUE(Daemon::wait_for([&] { return a.ended() || b.ended(); }, 8)) << what << ": both still running";
        Racer& loser = a.ended() ? a : b;
        Racer& winner = a.ended() ? b : a;
        ASSERT_TRUE(Daemon::wait_for([&] { return winner.out().find("set_ref_lev(") != std::string::npos; }, 5))
            << what << ": the other daemon does not serve either\n" << winner.err() << loser.err();
        EXPECT_FALSE(winner.ended()) << what << ": both ended";
        EXPECT_NE(loser.status(), 0) << what;
        const std::string lerr = loser.err();
        const bool was_refused =
            lerr.find("kx29 daemon already running! (PID=" + std::to_string(winner.pid()) + ")\n") != std::string::npos;
        const bool failed_create = lerr.find("Can't create shared memory segment '" + d.key() + "'") != std::string::npos;
        EXPECT_TRUE(was_refused || failed_create) << what << ": loser said\n" << lerr;
        refused += was_refused;
        create_failed += failed_create;
        EXPECT_EQ(pid_word_of(d.key()), winner.pid()) << what;
        if (fresh_segment) {
            EXPECT_EQ(initialised(d.key()), "") << what << "\nwinner:\n" << winner.err() << "loser:\n" << lerr;
        }
        kill(winner.pid(), SIGTERM);
        ASSERT_TRUE(Daemon::wait_for([&] { return winner.ended(); }, 5)) << what;
        EXPECT_EQ(winner.status(), SIGTERM) << what;
        EXPECT_EQ(pid_word_of(d.key()), 0) << what;
        if (testing::Test::HasFailure()) break;
    }
    std::cout << "[ figures  ] " << rounds << " simultaneous starts on " << (fresh_segment ? "no" : "an existing")
              << " segment: " << refused << " refused as already running, " << create_failed
              << " failed to create\n";
}

// The creator of a segment held up between creating it and claiming its PID
// word (here: stderr is a full pipe, so its first report blocks), while a
// second daemon attaches and claims the word first. Exactly one runs, and the
// records it runs on must be initialised all the same.
TEST(SignalsAndRestarts, DaemonAttachingWhileTheCreatorIsHeldUpFindsInitialisedRecords) {
    Daemon base;  // scratch directory and key; the segment does not exist yet
    int err_pipe[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    fcntl(err_pipe[1], F_SETFL, O_NONBLOCK);
    static const char filler[4096] = {};
    while (write(err_pipe[1], filler, sizeof filler) > 0) {
    }
    while (write(err_pipe[1], filler, 1) > 0) {
    }
    fcntl(err_pipe[1], F_SETFL, 0);  // the daemon's next write blocks

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (strncmp(*e, "KX29_", 5) != 0) env.emplace_back(*e);
    env.push_back("KX29_KEY=" + base.key());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t creator = fork();
    if (creator == 0) {
        if (chdir(base.dir().c_str()) != 0) _exit(127);
        int out = open("creator.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err_pipe[1], 2);
        close(err_pipe[0]);
        char* argv[] = {const_cast<char*>("kx29d-sim"), nullptr};
        kx29harness::drop_realtime_privilege();
        execve(KX29_BIN_DIR "/kx29d-sim", argv, envp.data());
        _exit(127);
    }
    close(err_pipe[1]);
    struct Reap {
        pid_t pid;
        ~Reap() {
            if (pid <= 0) return;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } reap{creator};
    ASSERT_TRUE(Daemon::wait_for([&] { return shmget(kx29t::key_code(base.key()), 0, 0) >= 0; }, 10))
        << "the creator did not create the segment";

    kx29harness::Options options;
    options.key = base.key();
    Daemon second(options);
    ASSERT_TRUE(second.start()) << second.err();

    // Let the creator go on; it finds the second daemon alive.
    fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
    std::string creator_err;
    int status = 0;
    bool ended = Daemon::wait_for(
        [&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(err_pipe[0], buf, sizeof buf)) > 0) creator_err.append(buf, static_cast<size_t>(n));
            return waitpid(creator, &status, WNOHANG) == creator;
        },
        10);
    close(err_pipe[0]);
    ASSERT_TRUE(ended) << "both daemons run; creator said: "
                       << creator_err.substr(std::min(creator_err.size(), creator_err.find_first_not_of('\0')))
                       << "\nsecond said: " << second.err() << "PID word " << second.pid_word() << ", creator "
                       << creator << ", second " << second.pid();
    reap.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(creator_err.find("kx29 daemon already running! (PID=" + std::to_string(second.pid()) + ")"),
              std::string::npos)
        << creator_err.substr(std::min(creator_err.size(), creator_err.find_first_not_of('\0')));
    EXPECT_EQ(second.pid_word(), second.pid());
    EXPECT_EQ(initialised(base.key()), "") << "the running daemon's records were never initialised";
    EXPECT_EQ(second.record(1)->tandem, 1) << "the long-exposure channel is lost for the life of the segment";
    EXPECT_EQ(second.stop(SIGTERM), SIGTERM);
}

TEST(SignalsAndRestarts, TwoDaemonsStartedTogetherWithoutASegmentOneRuns) { race(true, soak() ? 50 : 8); }

TEST(SignalsAndRestarts, TwoDaemonsStartedTogetherOnAnExistingSegmentOneRuns) { race(false, soak() ? 50 : 8); }

}  // namespace
