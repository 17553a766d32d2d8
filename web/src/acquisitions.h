// Acquisitions started from the console: one per channel, each followed in a
// thread of its own that publishes its progress.
#pragma once

#include "events.h"

#include "kx29/acquire.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace kx29web {

class Acquisitions {
public:
    explicit Acquisitions(EventHub& hub);
    ~Acquisitions();  // withdraws the acquisitions still running

    // Checks the request and writes it. Throws kx29::Error: a usage error for
    // a bad request, an environment error without daemon, a failure when the
    // channel is busy.
    void start(const kx29::AcquireRequest& req);

    // Withdraws every acquisition still running and waits for their threads.
    void stop_all();

private:
    struct Run;
    void follow(Run& run, std::stop_token stop);

    EventHub& hub_;
    std::array<std::mutex, 4> locks_;
    std::array<std::unique_ptr<Run>, 4> runs_;
};

}  // namespace kx29web
