// The daemon on the simulated board in a scratch directory, for end-to-end tests.
#include "daemon_harness.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_util.h"

namespace kx29harness {

namespace fs = std::filesystem;

void make_images(const fs::path& dir) {
    fs::create_directories(dir / "spe");
    for (const auto& [name, sum] : {std::pair{"fmta.spe", 7302}, {"fmtb.spe", 8977}, {"lexpa.spe", 8109}, {"lexpb.spe", 10593}}) {
        const std::string cmd = KX29_BIN_DIR "/kx29-mkspe " + (dir / "spe" / name).string() + " 3854 " + std::to_string(sum);
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("kx29-mkspe failed: " + cmd);
    }
}

Binary default_binary() {
    const char* d = std::getenv("KX29_DAEMON");
    return d != nullptr && std::string(d) == "trap" ? Binary::Trapped : Binary::Sim;
}

bool trap_built() { return fs::exists(KX29_BIN_DIR "/kx29d") && fs::exists(KX29_LIB_DIR "/kx29porttrap.so"); }

std::string example_conf(Binary binary) {
    const std::string conf = kx29t::read_file(KX29_SOURCE_DIR "/examples/kx29.conf");
    if (binary == Binary::Sim) return conf;
    static const std::regex geometry(R"((chan\d\.(cols|lines)\d) (\d+))");
    std::string small;
    std::istringstream lines(conf);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, m, geometry)) line = m.str(1) + " " + std::to_string(std::stoi(m.str(3)) / 6);
        small += line + "\n";
    }
    return small;
}

Daemon::Daemon(std::string sim, Binary binary) : sim_(std::move(sim)), binary_(binary) {
    key_ = kx29t::unique_key();
    char tmpl[] = "/tmp/kx29-daemon-XXXXXX";
    dir_ = mkdtemp(tmpl);
    make_images(dir_);
    std::ofstream(dir_ / "kx29.conf") << example_conf(binary_);
}

Daemon::~Daemon() {
    if (pid_ > 0) stop(SIGKILL);
    if (shm_ != nullptr) shmdt(shm_);
    kx29t::remove_segment(key_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

int exit_status(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

pid_t spawn(const fs::path& dir, const std::string& key, const std::string& log,
            const std::function<void()>& in_child, Binary binary) {
    const std::string out = log + ".out", err = log + ".err";  // no allocation after the fork
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (chdir(dir.c_str()) != 0) _exit(127);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644), 2);
    setenv("KX29_KEY", key.c_str(), 1);
    unsetenv("KX29_SIM");
    unsetenv("KX29_TRAP");
    unsetenv("KX29_TRAP_LOG");
    if (in_child) in_child();
    // Without the right to real-time scheduling, daemons of parallel tests
    // (run as root in CI) cannot starve the tests watching them; the simulated
    // daemon then warns and runs at normal priority.
    prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0);
    // Nor may it open this machine's I/O ports: should the port trap fail to
    // load, the hardware daemon's ioperm is refused instead of granted.
    prctl(PR_CAPBSET_DROP, CAP_SYS_RAWIO, 0, 0, 0);
    if (binary == Binary::Trapped) {
        setenv("LD_PRELOAD", KX29_LIB_DIR "/kx29porttrap.so", 1);
        execl(KX29_BIN_DIR "/kx29d", "kx29d", static_cast<char*>(nullptr));
    } else {
        execl(KX29_BIN_DIR "/kx29d-sim", "kx29d-sim", static_cast<char*>(nullptr));
    }
    _exit(127);
}

std::string sanitizer_report(const std::string& err) {
    std::smatch m;
    return std::regex_search(err, m, std::regex(".*(Sanitizer|runtime error:).*")) ? m.str() : "";
}

bool Daemon::reaped() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_) return false;
    pid_ = -1;
    last_exit_ = exit_status(status);
    return true;
}

// A start takes well under a second; a machine loaded many times over may
// hold the new process back for seconds.
constexpr double kStartDeadline = 30;

bool Daemon::start() {
    pid_ = spawn(dir_, key_, "daemon", [&] {
        if (!sim_.empty()) setenv("KX29_SIM", sim_.c_str(), 1);
    }, binary_);
    // Serving once the first load has set the reference level.
    const std::size_t before = out().size();
    const bool up = wait_for([&] {
        if (reaped()) return true;
        const int id = shm_ == nullptr ? shmget(kx29t::key_code(key_), 0, 0) : -1;
        void* p = id < 0 ? nullptr : shmat(id, nullptr, 0);
        if (p != nullptr && p != reinterpret_cast<void*>(-1)) shm_ = static_cast<unsigned char*>(p);
        return shm_ != nullptr && pid_word() == pid_ && out().find("set_ref_lev(", before) != std::string::npos;
    }, kStartDeadline);
    return up && pid_ > 0;
}

int Daemon::stop(int sig) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    return wait_exit(3600);
}

int Daemon::wait_exit(double seconds) {
    return pid_ <= 0 || wait_for([&] { return reaped(); }, seconds) ? last_exit_ : -1;
}

bool Daemon::settle(int n, double seconds) {
    for (int ch = 0; ch < n; ++ch) __atomic_store_n(&record(ch)->command, CMD_CLEAR, __ATOMIC_SEQ_CST);
    for (int ch = 0; ch < n; ++ch)
        if (!wait_for([&] { return cmd_read(record(ch)) == 0; }, seconds)) return false;
    return true;
}

std::string Daemon::out() const { return kx29t::read_file(dir_ / "daemon.out"); }
std::string Daemon::err() const { return kx29t::read_file(dir_ / "daemon.err"); }

void Daemon::request(int ch, int command, int nadd, int nexp) {
    record(ch)->nadd = nadd, record(ch)->nexp = nexp;
    __atomic_store_n(&record(ch)->command, command, __ATOMIC_SEQ_CST);
}

bool Daemon::wait_idle(int ch, double seconds) {
    return wait_for([&] { return (cmd_read(record(ch)) & CMD_ACQUIRE) == 0; }, seconds);
}

}  // namespace kx29harness
