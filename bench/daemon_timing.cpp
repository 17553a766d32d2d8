// Measures the simulated daemon: the interval between frames within an image
// and between images for a full-image window, and its CPU use when idle.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "daemon_harness.h"

using Clock = std::chrono::steady_clock;

static double cpu_seconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 1; i <= 15 && f >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int main(int argc, char** argv) {
    const int idle_seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    kx29harness::Daemon d;
    if (!d.start()) {
        std::fprintf(stderr, "daemon did not start:\n%s", d.err().c_str());
        return 1;
    }

    // Frame times from seqn, polled every 200 us.
    const int nadd = 5, nexp = 4;
    TVchan* r = d.record(0);
    std::vector<double> t;
    int seen = r->seqn;
    const auto t0 = Clock::now();
    d.request(0, CMD_ACQUIRE | CMD_CLEAR, nadd, nexp);
    while ((cmd_read(r) & CMD_ACQUIRE) || r->seqn != seen) {
        if (r->seqn != seen) {
            seen = r->seqn;
            t.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    double within = 0, between = 0;
    int n_within = 0, n_between = 0;
    for (size_t i = 1; i < t.size(); ++i) {
        const double dt = t[i] - t[i - 1];
        if (i % nadd == 0) between += dt, ++n_between;
        else within += dt, ++n_within;
    }
    std::printf("full-image window, %zu frames: %.3f s between frames of an image (rule 0.2 s + capture/readout),"
                " %.3f s between images (rule 0.3 s + capture/readout)\n",
                t.size(), within / n_within, between / n_between);

    const double c0 = cpu_seconds(d.pid());
    std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
    const double c1 = cpu_seconds(d.pid());
    std::printf("idle: %.2f s CPU in %d s (%.3f %%)\n", c1 - c0, idle_seconds, 100.0 * (c1 - c0) / idle_seconds);
    d.stop();
    return 0;
}
