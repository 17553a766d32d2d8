// Acquisitions started from the console: one per channel, each started and
// followed in a thread of its own that publishes its progress.
#pragma once

#include "events.h"

#include "kx29/acquire.h"

#include <array>
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace kx29web {

class Acquisitions {
public:
    explicit Acquisitions(EventHub& hub);
    ~Acquisitions();  // withdraws the acquisitions still running

    // Checks the request and writes it; returns once the daemon took it.
    // Throws kx29::Error: a usage error for a bad request, an environment
    // error without daemon, a failure when the channel is busy or the run was
    // stopped before the daemon took the request.
    void start(const kx29::AcquireRequest& req);

    // Withdraws the console's own acquisition on the channel and waits for its
    // end: its summary line, or nullopt when none was running.
    std::optional<std::string> stop(int channel);

    // Withdraws every acquisition still running and waits for their threads;
    // later requests are refused.
    void stop_all();

private:
    struct Run;
    void carry_out(Run& run, std::promise<void> taken, std::stop_token stop);

    EventHub& hub_;
    std::atomic<bool> closed_{false};
    std::array<std::mutex, 4> locks_;
    std::array<std::unique_ptr<Run>, 4> runs_;
};

}  // namespace kx29web
