// Test support for the client: a hand-made shared segment that looks like a live daemon's,
// running commands and kx29ctl as subprocesses with their output and exit status, and reading
// FITS and PNG files back. Scratch directories and files come from test_util.h.
#pragma once

#include "kx29/client.h"
#include "test_util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fitsio.h>
#include <functional>
#include <map>
#include <png.h>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace kx29test {

using Scratch = kx29t::ScratchDir;

// Segments made by this process, removed on fatal signals too, so that a crashing test leaves none behind.
inline std::set<int> live_segments;
inline void remove_live_segments(int sig) {
    for (int id : live_segments) shmctl(id, IPC_RMID, nullptr);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

inline kx29::Segment attach(const std::string& key, kx29::Access access = kx29::Access::ReadWrite) {
    return kx29::Segment::attach(kx29t::shm_key(key), access);
}

// A segment under a key of its own, filled as a fresh daemon fills it
// (format 1 of the example configuration: 768x512, channel 1 768x576 with
// the long-exposure camera) and holding this process's PID, so that it looks
// alive to a client.
class HandMadeSegment {
public:
    explicit HandMadeSegment(size_t bytes = KX29_SEGMENT_BYTES) {
        for (int attempt = 0; attempt < 100 && id_ < 0; ++attempt) {
            key_ = "c" + kx29t::unique_key().substr(1);  // apart from the daemons' keys
            id_ = shmget(kx29t::key_code(key_), bytes, IPC_CREAT | IPC_EXCL | 0600);
        }
        if (id_ < 0) throw std::runtime_error(std::string("shmget: ") + std::strerror(errno));
        live_segments.insert(id_);
        for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGTERM, SIGINT}) std::signal(sig, remove_live_segments);
        base_ = static_cast<unsigned char*>(shmat(id_, nullptr, 0));
        if (bytes < static_cast<size_t>(KX29_SEGMENT_BYTES)) return;
        for (int ch = 0; ch < KX29_CHANNELS; ++ch) fill_record(ch);
        set_pid(getpid());
    }
    ~HandMadeSegment() {
        shmdt(base_);
        shmctl(id_, IPC_RMID, nullptr);
        live_segments.erase(id_);
    }
    HandMadeSegment(const HandMadeSegment&) = delete;
    HandMadeSegment& operator=(const HandMadeSegment&) = delete;

    const std::string& key() const { return key_; }
    TVchan* record(int ch) const { return reinterpret_cast<TVchan*>(base_ + static_cast<size_t>(ch) * sizeof(TVchan)); }
    void set_pid(int pid) { __atomic_store_n(reinterpret_cast<int*>(base_ + KX29_PID_OFFSET), pid, __ATOMIC_SEQ_CST); }
    int command(int ch) const { return __atomic_load_n(&record(ch)->command, __ATOMIC_SEQ_CST); }
    // Records 1 and 3 start 4 bytes off an 8-byte boundary: the exposure is copied, not stored.
    void set_exposure(int ch, double v) {
        std::memcpy(reinterpret_cast<char*>(record(ch)) + offsetof(TVchan, exposure), &v, sizeof v);
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

using kx29t::wait_for;

#ifdef KX29_FITSVERIFY
// fitsverify's one-line verdict goes to the test's output; true for a file without warnings or errors.
inline bool fitsverify(const std::string& path) { return std::system((KX29_FITSVERIFY " -q " + path).c_str()) == 0; }
#endif

#ifdef KX29_BIN_DIR  // where kx29ctl is
struct CtlResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// kx29ctl running in the background with KX29_KEY set (unset when empty);
// its output goes to files in a scratch directory.
class CtlProcess {
public:
    CtlProcess(std::vector<std::string> args, const std::string& key) {
        pid_ = fork();
        if (pid_ != 0) return;
        dup2(open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        key.empty() ? unsetenv("KX29_KEY") : setenv("KX29_KEY", key.c_str(), 1);
        args.insert(args.begin(), KX29_BIN_DIR "/kx29ctl");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ~CtlProcess() { if (pid_ > 0) wait(0); }
    CtlProcess(const CtlProcess&) = delete;
    CtlProcess& operator=(const CtlProcess&) = delete;

    void signal(int sig) const { kill(pid_, sig); }
    std::string out() const { return kx29t::read_file(dir_ / "out"); }

    // Waits up to `seconds`; a process still running then is killed (status 128 + 9).
    CtlResult wait(double seconds) {
        int status = 0;
        if (!wait_for([&] { return waitpid(pid_, &status, WNOHANG) != 0; }, seconds)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return {code, out(), kx29t::read_file(dir_ / "err")};
    }

private:
    Scratch dir_;
    pid_t pid_ = -1;
};

inline CtlResult run_ctl(const std::vector<std::string>& args, const std::string& key, double seconds = 30) {
    return CtlProcess(args, key).wait(seconds);
}
#endif

struct FitsImage {
    long size[2] = {0, 0};  // width, height
    std::vector<double> pixels;
    std::map<std::string, std::string> keys;  // values as written: strings quoted, logicals T or F
};

inline FitsImage read_fits(const std::string& path) {
    FitsImage r;
    fitsfile* f = nullptr;
    int status = 0, bitpix = 0, naxis = 0, nkeys = 0;
    if (fits_open_diskfile(&f, path.c_str(), READONLY, &status) != 0) return r;
    fits_get_img_param(f, 2, &bitpix, &naxis, r.size, &status);
    r.pixels.resize(static_cast<size_t>(r.size[0] * r.size[1]));
    fits_read_img(f, TDOUBLE, 1, r.size[0] * r.size[1], nullptr, r.pixels.data(), nullptr, &status);
    fits_get_hdrspace(f, &nkeys, nullptr, &status);
    for (int i = 1; i <= nkeys; ++i) {
        char name[FLEN_KEYWORD] = "", value[FLEN_VALUE] = "";
        fits_read_keyn(f, i, name, value, nullptr, &status);
        r.keys[name] = value;
    }
    int ignored = 0;
    fits_close_file(f, &ignored);
    return r;
}

struct PngImage {
    bool ok = false, sixteen_bit = false;
    unsigned width = 0, height = 0;
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

}  // namespace kx29test
