// Acquisitions started from the console: one per channel, each started and
// followed in a thread of its own that publishes its progress.
#pragma once

#include "events.h"

#include "kx29/acquire.h"
#include "kx29/image_file.h"

#include <array>
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace kx29web {

// Where an acquisition's images go when it saves them: names checked before
// anything is asked of the daemon, as kx29ctl acquire -o does.
struct SavePlan {
    kx29::OutputNames names;
    kx29::WriteOptions write;
};

class Acquisitions {
public:
    explicit Acquisitions(EventHub& hub);
    ~Acquisitions();  // withdraws the acquisitions still running

    // Checks the request and writes it; returns once the daemon took it.
    // Throws kx29::Error: a usage error for a bad request, an environment
    // error without daemon, a failure when the channel is busy or the run was
    // stopped before the daemon took the request.
    // With save, each finished image is written to its files; a file that
    // can't be written ends the series (later images would be lost too).
    void start(const kx29::AcquireRequest& req, std::optional<SavePlan> save = std::nullopt);

    // Withdraws the console's own acquisition on the channel and waits for its
    // end: its summary line, or nullopt when none was running.
    std::optional<std::string> stop(int channel);

    // Withdraws every acquisition still running and waits for their threads;
    // later requests are refused.
    void stop_all();

private:
    struct Run;
    void carry_out(Run& run, std::promise<void> taken, std::stop_token stop, std::optional<SavePlan> save);

    EventHub& hub_;
    std::atomic<bool> closed_{false};
    std::array<std::mutex, 4> locks_;
    std::array<std::unique_ptr<Run>, 4> runs_;
};

}  // namespace kx29web
