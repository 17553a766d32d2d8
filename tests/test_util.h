// Small helpers shared by the tests: scratch directories, files, segment keys.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <sys/shm.h>
#include <unistd.h>

#include "kx29.h"

namespace kx29t {

// Polls cond every `poll` for up to `seconds`; its last answer.
inline bool wait_for(const std::function<bool()>& cond, double seconds,
                     std::chrono::milliseconds poll = std::chrono::milliseconds(2)) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; !cond(); std::this_thread::sleep_for(poll))
        if (std::chrono::steady_clock::now() > until) return false;
    return true;
}

// A fresh directory under /tmp that the test works in (the current directory while it lives); removed afterwards.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/kx29-test-XXXXXX";
        path_ = mkdtemp(tmpl);
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_, old_;
};

inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// What a shell command prints on its standard output.
inline std::string run_command(const std::string& cmd) {
    std::string out;
    if (std::FILE* p = popen(cmd.c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
        pclose(p);
    }
    return out;
}

inline void write_file(const std::filesystem::path& p, const std::string& bytes) {
    std::filesystem::create_directories(p.parent_path().empty() ? "." : p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

// Four printable characters unique to this process and call, for KX29_KEY.
inline std::string unique_key() {
    static int calls = 0;
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned v = static_cast<unsigned>(getpid()) * 7u + static_cast<unsigned>(calls++) * 104729u;
    std::string key = "t";
    for (int i = 0; i < 3; ++i, v /= 36) key += digits[v % 36];
    return key;
}

inline ShmKey shm_key(const std::string& key) {
    ShmKey k{};
    kx29_key_from_text(key.c_str(), &k);
    return k;
}

inline int key_code(const std::string& key) { return shm_key(key).code; }

// Removes the segment of `key` if there is one.
inline void remove_segment(const std::string& key) {
    int id = shmget(key_code(key), 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

}  // namespace kx29t
