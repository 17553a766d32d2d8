// Runs the simulated daemon for end-to-end tests: a scratch directory with the
// example configuration and generated FPGA images, a unique segment key, the
// records attached like a client's, and the daemon's output at hand.
#pragma once

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>

#include "kx29.h"

namespace kx29harness {

struct Options {
    std::string sim;         // KX29_SIM for the simulated board ("" = none)
    std::string conf_extra;  // lines appended to kx29.conf
    std::string key;         // segment key; empty: a fresh one
};

// In a child about to exec a daemon: gives up the right to real-time
// scheduling, so that daemons of parallel tests (run as root in CI) cannot
// starve the tests watching them. The simulated daemon then warns and runs at
// normal priority.
void drop_realtime_privilege();

// Forks kx29d-sim in `dir` on segment `key` (any KX29_SIM dropped) with
// stdout and stderr on the given descriptors, and does not wait for it.
// `in_child` runs in the child just before the exec.
pid_t spawn(const std::filesystem::path& dir, const std::string& key, int out_fd, int err_fd,
            const std::function<void()>& in_child = {});
// A waitpid status as Daemon::stop() reports it: exit status or 128 + signal.
int exit_status(int wait_status);
// The first line of a sanitizer report in a daemon's stderr, or "".
std::string sanitizer_report(const std::string& err);

class Daemon {
public:
    explicit Daemon(Options options = {});
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Starts kx29d-sim and waits until it serves (first channel loaded).
    // Returns false when it ended or did not get there within 10 s.
    bool start();
    // Sends `sig` and waits: the exit status, or 128 + signal when killed.
    int stop(int sig = SIGTERM);
    // Waits for the daemon to end by itself; the status as with stop().
    int wait_exit(double seconds);
    bool running() const { return pid_ > 0; }
    int last_exit() const { return last_exit_; }  // status of the last daemon that ended
    pid_t pid() const { return pid_; }

    TVchan* record(int ch) const { return reinterpret_cast<TVchan*>(shm_ + static_cast<size_t>(ch) * sizeof(TVchan)); }
    int pid_word() const { return __atomic_load_n(reinterpret_cast<int*>(shm_ + shm_size), __ATOMIC_SEQ_CST); }
    bool attached() const { return shm_ != nullptr; }

    std::string out() const;  // everything the daemon printed on stdout
    std::string err() const;  // and on stderr
    const std::string& key() const { return key_; }
    const std::filesystem::path& dir() const { return dir_; }

    // Polls `done` every 10 ms for up to `seconds`.
    static bool wait_for(const std::function<bool()>& done, double seconds);
    // Sets the parameters, then the command word, as a client must.
    void request(int ch, int command, int nadd, int nexp);
    // Waits until CMD_ACQUIRE has dropped on the channel.
    bool wait_idle(int ch, double seconds);
    // Waits until the daemon has printed nothing on stdout for `quiet`
    // seconds (every frame and every channel load prints).
    bool wait_quiet(double quiet, double seconds) const;

private:
    void attach();
    bool reaped();  // true once the daemon has ended and its status is taken

    Options options_;
    std::string key_;
    std::filesystem::path dir_;
    pid_t pid_ = -1;
    int last_exit_ = -1;
    unsigned char* shm_ = nullptr;
};

}  // namespace kx29harness
