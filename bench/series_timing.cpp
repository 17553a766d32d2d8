// The cost of whole copies in a series: on one daemon at the board's pace, the
// same series of one-frame images timed through the record alone (the
// daemon's own pacing) and through the client library, which copies every
// image between its last frame and the next image's first. Rounds alternate.
#include <chrono>
#include <cstdio>
#include <thread>

#include "daemon_harness.h"
#include "kx29/acquire.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kImages = 10;

// Seconds per image: the request written as a client must, until the
// daemon clears CMD_ACQUIRE.
double through_record(kx29harness::Daemon& d) {
    const auto t0 = Clock::now();
    d.request(0, CMD_ACQUIRE | CMD_CLEAR, 1, kImages);
    d.wait_idle(0, 60);
    return std::chrono::duration<double>(Clock::now() - t0).count() / kImages;
}

double through_library(kx29::Segment& seg, int* copied, double* start_s) {
    kx29::AcquireRequest req;
    req.images = kImages;
    req.window = kx29::WindowRequest{false, {0, 0, 768, 256}};
    kx29::Acquisition acq(seg, req);
    kx29::AcquireEvents ev;
    ev.image_done = [&](int, const kx29::Image&) { ++*copied; };
    const auto t_start = Clock::now();
    acq.start();
    const auto t0 = Clock::now();  // after the clear that starts the request
    *start_s += std::chrono::duration<double>(t0 - t_start).count();
    acq.follow(ev, kx29::default_stall_timeout(acq.plan()));
    return std::chrono::duration<double>(Clock::now() - t0).count() / kImages;
}

}  // namespace

int main() {
    kx29harness::Daemon d("realtime");
    if (!d.start()) return 1;
    auto seg = kx29::Segment::attach(kx29t::shm_key(d.key()), kx29::Access::ReadWrite);
    TVchan* r = d.record(0);
    r->frm_col0 = r->frm_lin0 = 0, r->frm_width = 768, r->frm_height = 256;
    double record = 0, library = 0, start = 0;
    int copied = 0;
    const int rounds = 3;
    for (int i = 0; i < rounds; ++i) {
        record += through_record(d);
        library += through_library(seg, &copied, &start);
    }
    std::printf("series of %d one-frame images, window 768 x 256, %d rounds: %.3f s per image through the record,"
                " %.3f s through the library (%d of %d images copied whole): ratio %.3f; the library's start"
                " (a clear, then the claim) %.3f s\n",
                kImages, rounds, record / rounds, library / rounds, copied, rounds * kImages, library / record,
                start / rounds);
    d.stop();
    return 0;
}
