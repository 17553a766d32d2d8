// Work off the INDI event loop: a device's worker thread that runs its jobs one after
// another, and the queue that hands results back to the event loop's thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>

namespace kx29indi {

// Opens the queue to the event loop; called once on the event loop's thread.
void prepare_main_queue();
// Runs fn on the thread of the INDI event loop, where every property is touched.
// Callable from any thread once the queue is prepared.
void run_on_main(std::function<void()> fn);

class Worker {
public:
    using Job = std::function<void(std::stop_token)>;

    Worker();
    ~Worker();  // stops every job and waits for the running one
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void post(Job job);
    // Asks the running job and every waiting one to stop; does not wait.
    void stop_all();

private:
    void run(std::stop_token thread_stop);

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<std::pair<std::stop_source, Job>> jobs_;
    std::stop_source current_;
    std::jthread thread_;  // last: starts once the members above exist
};

}  // namespace kx29indi
