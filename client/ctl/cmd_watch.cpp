// kx29ctl watch: prints every channel's messages with time stamps as seqmsg changes, until Ctrl-C.
#include "ctl.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <sys/time.h>
#include <thread>

namespace kx29ctl {

namespace {

std::string stamp() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm tm{};
    localtime_r(&tv.tv_sec, &tm);
    char text[48];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(text + n, sizeof text - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));
    return text;
}

struct Fresh {
    int count;  // messages since the last poll; only the newest is still in msg
    std::string msg;
};

}  // namespace

int run_watch(const WatchOptions& o) {
    auto seg = kx29::Segment::attach(kx29::Access::ReadOnly);
    install_interrupt_handlers();
    std::array<int, KX29_CHANNELS> last_seqmsg;
    for (int n = 0; n < KX29_CHANNELS; ++n) last_seqmsg[n] = seg.view(n).seqmsg();
    bool alive = seg.daemon().alive;
    std::printf("%s watching segment '%s'; daemon %s\n", stamp().c_str(), seg.key().name,
                alive ? "running" : "not running");
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    auto last_probe = start;
    while (!interrupted()) {
        auto now = std::chrono::steady_clock::now();
        if (o.duration_s && now - start >= to_ms(*o.duration_s)) break;

        std::array<std::optional<Fresh>, KX29_CHANNELS> fresh;
        for (int n = 0; n < KX29_CHANNELS; ++n) {
            kx29::ChannelView v = seg.view(n);
            int seqmsg = v.seqmsg();
            if (seqmsg == last_seqmsg[n]) continue;
            fresh[n] = Fresh{seqmsg - last_seqmsg[n], v.msg()};
            last_seqmsg[n] = seqmsg;
        }
        // The long-exposure capture posts its messages into all four records
        // at once; such a message is printed once.
        bool everywhere = true;
        for (const auto& f : fresh) everywhere = everywhere && f && f->msg == fresh[0]->msg;
        std::string when = stamp();
        for (int n = 0; n < KX29_CHANNELS; ++n) {
            if (!fresh[n]) continue;
            std::string skipped = fresh[n]->count > 1 ? " (" + std::to_string(fresh[n]->count - 1) + " earlier missed)" : "";
            if (everywhere) {
                std::printf("%s all  %s%s\n", when.c_str(), fresh[n]->msg.c_str(), skipped.c_str());
                break;
            }
            std::printf("%s ch%d  %s%s\n", when.c_str(), n, fresh[n]->msg.c_str(), skipped.c_str());
        }

        if (now - last_probe >= std::chrono::milliseconds(500)) {
            last_probe = now;
            kx29::DaemonStatus d = seg.daemon();
            if (d.alive != alive) {
                alive = d.alive;
                std::string what = alive ? "started, PID " + std::to_string(d.pid) : "stopped";
                std::printf("%s daemon %s\n", when.c_str(), what.c_str());
            }
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return kExitOk;
}

}  // namespace kx29ctl
