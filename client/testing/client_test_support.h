// Test support for the client: a hand-made shared segment that looks like a live daemon's,
// and running kx29ctl as a subprocess with its output and exit status.
#pragma once

#include "kx29.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kx29test {

// Segments made by this process, removed at exit and on fatal signals too, so
// that a crashing test leaves none behind.
class SegmentRegistry {
public:
    static SegmentRegistry& get() {
        static SegmentRegistry r;
        return r;
    }
    void add(int id) {
        std::lock_guard<std::mutex> lock(m_);
        ids_.insert(id);
    }
    void remove(int id) {
        shmctl(id, IPC_RMID, nullptr);
        std::lock_guard<std::mutex> lock(m_);
        ids_.erase(id);
    }

private:
    SegmentRegistry() {
        std::atexit([] { get().remove_all(); });
        for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGTERM, SIGINT}) std::signal(sig, on_fatal);
    }
    void remove_all() {
        for (int id : ids_) shmctl(id, IPC_RMID, nullptr);
        ids_.clear();
    }
    static void on_fatal(int sig) {
        for (int id : get().ids_) shmctl(id, IPC_RMID, nullptr);
        std::signal(sig, SIG_DFL);
        std::raise(sig);
    }
    std::mutex m_;
    std::set<int> ids_;
};

// A segment under a key of its own, filled as a fresh daemon fills it
// (format 1 of the example configuration: 768x512, channel 1 768x576 with
// the long-exposure camera) and holding this process's PID, so that it looks
// alive to a client.
class HandMadeSegment {
public:
    explicit HandMadeSegment(size_t bytes = KX29_SEGMENT_BYTES) {
        static int serial = 0;
        static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int attempt = 0; attempt < 100 && id_ < 0; ++attempt) {
            unsigned v = static_cast<unsigned>(getpid()) * 31u + static_cast<unsigned>(serial++) * 7919u;
            key_ = "c";
            for (int i = 0; i < 3; ++i, v /= 36) key_ += digits[v % 36];
            ShmKey k{};
            kx29_key_from_text(key_.c_str(), &k);
            id_ = shmget(k.code, bytes, IPC_CREAT | IPC_EXCL | 0600);
            if (id_ < 0 && errno != EEXIST) throw std::runtime_error(std::string("shmget: ") + std::strerror(errno));
        }
        if (id_ < 0) throw std::runtime_error("no free segment key");
        SegmentRegistry::get().add(id_);
        void* p = shmat(id_, nullptr, 0);
        if (p == reinterpret_cast<void*>(-1)) throw std::runtime_error(std::string("shmat: ") + std::strerror(errno));
        base_ = static_cast<unsigned char*>(p);
        if (bytes >= static_cast<size_t>(KX29_SEGMENT_BYTES)) {
            for (int ch = 0; ch < KX29_CHANNELS; ++ch) fill_record(ch);
            set_pid(getpid());
        }
    }
    ~HandMadeSegment() {
        if (base_ != nullptr) shmdt(base_);
        SegmentRegistry::get().remove(id_);
    }
    HandMadeSegment(const HandMadeSegment&) = delete;
    HandMadeSegment& operator=(const HandMadeSegment&) = delete;

    const std::string& key() const { return key_; }
    TVchan* record(int ch) const { return reinterpret_cast<TVchan*>(base_ + static_cast<size_t>(ch) * sizeof(TVchan)); }
    void set_pid(int pid) { __atomic_store_n(reinterpret_cast<int*>(base_ + KX29_PID_OFFSET), pid, __ATOMIC_SEQ_CST); }
    int command(int ch) const { return __atomic_load_n(&record(ch)->command, __ATOMIC_SEQ_CST); }
    void set_exposure(int ch, double v) {
        std::memcpy(reinterpret_cast<char*>(record(ch)) + offsetof(TVchan, exposure), &v, sizeof v);
    }
    double exposure(int ch) const {
        double v;
        std::memcpy(&v, reinterpret_cast<const char*>(record(ch)) + offsetof(TVchan, exposure), sizeof v);
        return v;
    }
    // Writes msg and counts seqmsg, as the daemon does.
    void post(int ch, const std::string& text) {
        TVchan* r = record(ch);
        std::memset(r->msg, 0, sizeof r->msg);
        std::memcpy(r->msg, text.data(), std::min(text.size(), sizeof r->msg - 1));
        __atomic_fetch_add(&r->seqmsg, 1, __ATOMIC_SEQ_CST);
    }

private:
    void fill_record(int ch) {
        TVchan* r = record(ch);
        r->num = ch;
        r->tandem = ch == 1;
        set_exposure(ch, 0.04);
        r->activ = ch == 0;
        r->tstart = r->tcurr = 1700000000;
        r->next_form = r->form = 1;
        r->ref_lev = 60;
        r->img_width = r->frm_width = 768;
        r->img_height = r->frm_height = ch == 1 ? 576 : 512;
        for (int& f : r->flat) f = 1;
        for (int j = 0; j < KX29_IMAGE_PIXELS; ++j) r->image[j] = static_cast<short>(j % r->img_width - 100);
    }

    std::string key_;
    int id_ = -1;
    unsigned char* base_ = nullptr;
};

struct CtlResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// kx29ctl running in the background with KX29_KEY set; its output goes to
// files in a scratch directory.
class CtlProcess {
public:
    CtlProcess(const std::vector<std::string>& args, const std::string& key) {
        char tmpl[] = "/tmp/kx29ctl-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        pid_ = fork();
        if (pid_ == 0) {
            int out = open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            if (key.empty())
                unsetenv("KX29_KEY");
            else
                setenv("KX29_KEY", key.c_str(), 1);
            std::vector<char*> argv;
            std::string prog = KX29_BIN_DIR "/kx29ctl";
            argv.push_back(prog.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(prog.c_str(), argv.data());
            _exit(127);
        }
    }
    ~CtlProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    CtlProcess(const CtlProcess&) = delete;
    CtlProcess& operator=(const CtlProcess&) = delete;

    void signal(int sig) const { kill(pid_, sig); }
    std::string out() const { return slurp(dir_ / "out"); }

    // Waits up to `seconds`; a process still running then is killed (status 128 + 9).
    CtlResult wait(double seconds) {
        CtlResult r;
        int status = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(dir_ / "out");
        r.err = slurp(dir_ / "err");
        return r;
    }

private:
    std::filesystem::path dir_;
    pid_t pid_ = -1;
};

inline CtlResult run_ctl(const std::vector<std::string>& args, const std::string& key, double seconds = 30) {
    CtlProcess p(args, key);
    return p.wait(seconds);
}

}  // namespace kx29test
