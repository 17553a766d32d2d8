// Latency from an acquisition request to its first frame message with an idle simulated daemon:
// through the client library, and through a kx29ctl process (a measurement, about 15 s).
#include "daemon_harness.h"
#include "kx29/acquire.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

bool first_frame_message(const kx29::ChannelView& ch, int seqn0) {
    return ch.seqn() != seqn0 && ch.msg().rfind("Frame", 0) == 0;
}

void report(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)]; };
    std::printf("%-34s n=%zu  min %.1f  median %.1f  p90 %.1f  max %.1f ms\n", what, v.size(), v.front(), at(0.5),
                at(0.9), v.back());
}

// The daemon's idle passes last 0.1 s; a random pause before each request
// samples every phase of them.
void random_pause(std::mt19937& rng) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 200)(rng)));
}

}  // namespace

int main() {
    kx29harness::Daemon d;
    if (!d.start()) {
        std::fprintf(stderr, "the simulated daemon did not start:\n%s", d.err().c_str());
        return 1;
    }
    ShmKey key{};
    kx29_key_from_text(d.key().c_str(), &key);
    kx29::Segment seg = kx29::Segment::attach(key, kx29::Access::ReadWrite);
    kx29::ChannelView ch = seg.view(0);
    std::mt19937 rng(29);

    std::vector<double> library;
    for (int i = 0; i < 41; ++i) {
        random_pause(rng);
        kx29::AcquireRequest req;
        req.channel = 0;
        kx29::Acquisition acq(seg, req);
        int seqn0 = ch.seqn();
        auto t0 = Clock::now();
        acq.start();
        kx29::poll_until([&] { return first_frame_message(ch, seqn0); }, std::chrono::seconds(10), {},
                         std::chrono::milliseconds(1));
        if (i > 0) library.push_back(ms_since(t0));  // the first one also switches the board
        kx29::poll_until([&] { return (ch.command() & CMD_ACQUIRE) == 0; }, std::chrono::seconds(10));
    }

    std::vector<double> process;
    setenv("KX29_KEY", d.key().c_str(), 1);
    std::string prog = KX29_BIN_DIR "/kx29ctl";
    for (int i = 0; i < 20; ++i) {
        random_pause(rng);
        int seqn0 = ch.seqn();
        char* argv[] = {prog.data(), const_cast<char*>("acquire"), const_cast<char*>("-c"), const_cast<char*>("0"),
                        nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        auto t0 = Clock::now();
        if (posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv, environ) != 0) return 1;
        kx29::poll_until([&] { return first_frame_message(ch, seqn0); }, std::chrono::seconds(10), {},
                         std::chrono::milliseconds(1));
        process.push_back(ms_since(t0));
        waitpid(pid, nullptr, 0);
        posix_spawn_file_actions_destroy(&fa);
    }

    std::printf("request to first frame message, idle simulated daemon, channel 0, full 768x512 window:\n");
    report("client library (start -> message)", library);
    report("kx29ctl process (spawn -> message)", process);
    return 0;
}
