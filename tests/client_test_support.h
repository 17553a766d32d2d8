// Test support for the client: a hand-made shared segment that looks like a live daemon's,
// scratch directories, running commands and kx29ctl as subprocesses with their output and
// exit status, and reading FITS and PNG files back.
#pragma once

#include "kx29.h"
#include "kx29/client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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

// Readers for the files kx29ctl writes, where the library is at hand.
#if __has_include(<fitsio.h>)
#include <fitsio.h>
#define KX29TEST_FITS 1
#endif
#if __has_include(<png.h>)
#include <png.h>
#define KX29TEST_PNG 1
#endif

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

// The PID of a child that has ended and been reaped.
inline int dead_pid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// The message of the kx29::Error that f throws, or "accepted" when it throws none.
inline std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const kx29::Error& e) {
        return e.what();
    }
    return "accepted";
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
inline int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Polls cond every 2 ms for up to `seconds`.
inline bool wait_for(const std::function<bool()>& cond, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// A directory of its own under /tmp, removed with everything in it.
class Scratch {
public:
    Scratch() {
        char tmpl[] = "/tmp/kx29-test-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
        dir_ = tmpl;
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string operator/(const std::string& name) const { return (dir_ / name).string(); }
    std::vector<std::string> entries() const {  // sorted
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path dir_;
};

// Runs a shell command line; its standard output and error together.
inline std::string command_output(const std::string& command) {
    std::string out;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
    pclose(p);
    return out;
}

#ifdef KX29_BIN_DIR
struct CtlResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// kx29ctl running in the background with KX29_KEY set (unset when empty);
// its output goes to files in a scratch directory.
class CtlProcess {
public:
    CtlProcess(const std::vector<std::string>& args, const std::string& key) {
        const std::string out = dir_ / "out", err = dir_ / "err";
        pid_ = fork();
        if (pid_ == 0) {
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            if (key.empty())
                unsetenv("KX29_KEY");
            else
                setenv("KX29_KEY", key.c_str(), 1);
            std::string prog = KX29_BIN_DIR "/kx29ctl";
            std::vector<std::string> copy = args;
            std::vector<char*> argv{prog.data()};
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
    }
    CtlProcess(const CtlProcess&) = delete;
    CtlProcess& operator=(const CtlProcess&) = delete;

    void signal(int sig) const { kill(pid_, sig); }
    std::string out() const { return slurp(dir_ / "out"); }

    // Waits up to `seconds`; a process still running then is killed (status 128 + 9).
    CtlResult wait(double seconds) {
        int status = 0;
        if (!wait_for([&] { return waitpid(pid_, &status, WNOHANG) != 0; }, seconds)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(dir_ / "out"),
                slurp(dir_ / "err")};
    }

private:
    Scratch dir_;
    pid_t pid_ = -1;
};

inline CtlResult run_ctl(const std::vector<std::string>& args, const std::string& key, double seconds = 30) {
    CtlProcess p(args, key);
    return p.wait(seconds);
}
#endif

#ifdef KX29TEST_FITS

struct FitsImage {
    int status = 0;  // CFITSIO's
    long width = 0, height = 0;
    std::vector<double> pixels;
    std::map<std::string, std::string> keys;  // values as written: strings quoted, logicals T or F
};

inline FitsImage read_fits(const std::string& path) {
    FitsImage r;
    fitsfile* f = nullptr;
    int bitpix = 0, naxis = 0, nkeys = 0;
    long n[2] = {0, 0};
    if (fits_open_diskfile(&f, path.c_str(), READONLY, &r.status) != 0) return r;
    fits_get_img_param(f, 2, &bitpix, &naxis, n, &r.status);
    r.width = n[0];
    r.height = n[1];
    r.pixels.resize(static_cast<size_t>(n[0] * n[1]));
    fits_read_img(f, TDOUBLE, 1, n[0] * n[1], nullptr, r.pixels.data(), nullptr, &r.status);
    fits_get_hdrspace(f, &nkeys, nullptr, &r.status);
    for (int i = 1; i <= nkeys; ++i) {
        char name[FLEN_KEYWORD] = "", value[FLEN_VALUE] = "";
        fits_read_keyn(f, i, name, value, nullptr, &r.status);
        r.keys[name] = value;
    }
    int ignored = 0;
    fits_close_file(f, &ignored);
    return r;
}
#endif

#ifdef KX29TEST_PNG

struct PngImage {
    bool ok = false;
    unsigned width = 0, height = 0;
    bool sixteen_bit = false;
    std::vector<uint16_t> pixels;  // grey, 8 or 16 bits
};

inline PngImage read_png(const std::string& path) {
    PngImage r;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return r;
    r.sixteen_bit = (png.format & PNG_FORMAT_FLAG_LINEAR) != 0;
    png.format = r.sixteen_bit ? PNG_FORMAT_LINEAR_Y : PNG_FORMAT_GRAY;
    std::vector<uint8_t> bytes(PNG_IMAGE_SIZE(png));
    r.ok = png_image_finish_read(&png, nullptr, bytes.data(), 0, nullptr) != 0;
    r.width = png.width;
    r.height = png.height;
    if (r.sixteen_bit) {
        r.pixels.resize(bytes.size() / 2);
        std::memcpy(r.pixels.data(), bytes.data(), bytes.size());
    } else {
        r.pixels.assign(bytes.begin(), bytes.end());
    }
    return r;
}
#endif

}  // namespace kx29test
