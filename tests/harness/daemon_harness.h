// Runs the daemon on the simulated board for end-to-end tests (a scratch directory with the
// example configuration and generated FPGA images, a unique segment key, the
// records attached like a client's, the daemon's output at hand), and compares
// the records it leaves.
#pragma once

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "kx29.h"
#include "test_util.h"

namespace kx29harness {

// The FPGA images of the example configuration in dir/spe, made by kx29-mkspe.
void make_images(const std::filesystem::path& dir);

// The daemon binary the tests run: kx29d-sim, or the hardware daemon kx29d on
// the simulated board through the port trap (LD_PRELOAD kx29porttrap.so).
// KX29_DAEMON=trap in the environment makes Trapped the default.
enum class Binary { Sim, Trapped };
Binary default_binary();
// Whether kx29d and the port trap were built (x86, no sanitizers).
bool trap_built();
// The example configuration; for the trapped daemon, whose port accesses cost
// about 10 us each, with every format cut to 128 x 96 pixels.
std::string example_conf(Binary binary);

// Forks the daemon in `dir` on segment `key` (any KX29_SIM, KX29_TRAP and
// KX29_TRAP_LOG dropped) with stdout and stderr appended to <log>.out and
// <log>.err there, and does not wait for it. `in_child` runs in the child
// just before the exec.
pid_t spawn(const std::filesystem::path& dir, const std::string& key, const std::string& log,
            const std::function<void()>& in_child = {}, Binary binary = default_binary());
// A waitpid status as Daemon::stop() reports it: exit status or 128 + signal.
int exit_status(int wait_status);
// The first line of a sanitizer report in a daemon's stderr, or "".
std::string sanitizer_report(const std::string& err);

class Daemon {
public:
    // `sim`: KX29_SIM for the simulated board ("" = none).
    explicit Daemon(std::string sim = "", Binary binary = default_binary());
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Starts the daemon and waits until it serves (first channel loaded).
    // Returns false when it ended or did not get there within 30 s.
    bool start();
    // Sends `sig` and waits: the exit status, or 128 + signal when killed.
    int stop(int sig = SIGTERM);
    // Waits for the daemon to end by itself; the status as with stop().
    int wait_exit(double seconds);
    int last_exit() const { return last_exit_; }  // status of the last daemon that ended
    pid_t pid() const { return pid_; }

    TVchan* record(int ch) const { return reinterpret_cast<TVchan*>(shm_ + static_cast<size_t>(ch) * sizeof(TVchan)); }
    int pid_word() const { return __atomic_load_n(reinterpret_cast<int*>(shm_ + shm_size), __ATOMIC_SEQ_CST); }

    std::string out() const;  // everything the daemon printed on stdout
    std::string err() const;  // and on stderr
    const std::string& key() const { return key_; }
    const std::filesystem::path& dir() const { return dir_; }

    // Polls `done` every 10 ms for up to `seconds`.
    static bool wait_for(const std::function<bool()>& done, double seconds) {
        return kx29t::wait_for(done, seconds, std::chrono::milliseconds(10));
    }
    // Sets the parameters, then the command word, as a client must.
    void request(int ch, int command, int nadd, int nexp);
    // Waits until CMD_ACQUIRE has dropped on the channel.
    bool wait_idle(int ch, double seconds);
    // Ends what records 0 to n-1 ask for: a clear replaces each command word,
    // and the daemon drops it only once it is done with the step under way
    // (a long exposure ends at the next frame). False if one stays.
    bool settle(int n, double seconds);

private:
    bool reaped();  // true once the daemon has ended and its status is taken

    std::string sim_;
    Binary binary_;
    std::string key_;
    std::filesystem::path dir_;
    pid_t pid_ = -1;
    int last_exit_ = -1;
    unsigned char* shm_ = nullptr;
};

}  // namespace kx29harness

// ---- Records and output of the daemon, for the reliability tests ----
namespace kx29rel {

// KX29_SOAK=1: the long versions.
inline bool soak() {
    const char* s = getenv("KX29_SOAK");
    return s != nullptr && strcmp(s, "1") == 0;
}

inline int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

inline std::string tail(const std::string& text, size_t n = 1500) {
    return text.size() > n ? "..." + text.substr(text.size() - n) : text;
}

// A field of a record, compared byte for byte (a NaN equals itself).
struct Field {
    const char* name;
    size_t offset, size;
};
#define KX29_FIELD(f) kx29rel::Field{#f, offsetof(TVchan, f), sizeof(TVchan::f)}

// Client settings the daemon never writes (nadd only after a failed capture).
inline const std::vector<Field> CLIENT_FIELDS = {KX29_FIELD(exposure), KX29_FIELD(next_form), KX29_FIELD(ref_lev),
                                                 KX29_FIELD(bias), KX29_FIELD(nadd)};

// The names of `fields` that differ between two states of a record, or "".
inline std::string changed(const TVchan& before, const TVchan& now, const std::vector<Field>& fields) {
    std::string names;
    for (const Field& f : fields)
        if (memcmp(reinterpret_cast<const char*>(&before) + f.offset, reinterpret_cast<const char*>(&now) + f.offset,
                   f.size) != 0)
            names += std::string(names.empty() ? "" : ", ") + f.name;
    return names;
}

}  // namespace kx29rel
