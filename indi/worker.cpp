// The device worker threads and the self-pipe that wakes the INDI event loop for their results.
#include "worker.h"

#include "indidevapi.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace kx29indi {

namespace {

struct MainQueue {
    std::mutex mutex;
    std::vector<std::function<void()>> pending;
    int read_fd = -1;
    int write_fd = -1;
};

// Never destroyed: a worker may still post while the process runs its exit handlers.
MainQueue& main_queue() {
    static MainQueue* q = new MainQueue;
    return *q;
}

void drain_main_queue(int fd, void*) {
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    std::vector<std::function<void()>> ready;
    {
        std::lock_guard lock(main_queue().mutex);
        ready.swap(main_queue().pending);
    }
    for (auto& fn : ready) fn();
}

}  // namespace

// The event loop watches the pipe's read end; a byte written wakes it at once.
void prepare_main_queue() {
    static std::once_flag once;
    std::call_once(once, [] {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        main_queue().read_fd = fds[0];
        main_queue().write_fd = fds[1];
        IEAddCallback(fds[0], drain_main_queue, nullptr);
    });
}

void run_on_main(std::function<void()> fn) {
    MainQueue& q = main_queue();
    {
        std::lock_guard lock(q.mutex);
        q.pending.push_back(std::move(fn));
    }
    const char wake = 1;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    while (write(q.write_fd, &wake, 1) < 0 && errno == EINTR) {
    }
}

Worker::Worker() : thread_([this](std::stop_token st) { run(st); }) {}

Worker::~Worker() {
    stop_all();
    thread_.request_stop();
    thread_.join();
}

void Worker::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.emplace_back(std::stop_source{}, std::move(job));
    }
    wake_.notify_one();
}

void Worker::stop_all() {
    std::lock_guard lock(mutex_);
    current_.request_stop();
    for (auto& [source, job] : jobs_) source.request_stop();
}

void Worker::run(std::stop_token thread_stop) {
    std::unique_lock lock(mutex_);
    // On the way out the queue is still emptied: stopped jobs end at once, and a job
    // interrupted this way still withdraws its request from the record.
    while (true) {
        wake_.wait(lock, thread_stop, [this] { return !jobs_.empty(); });
        if (jobs_.empty()) return;
        auto [source, job] = std::move(jobs_.front());
        jobs_.pop_front();
        if (thread_stop.stop_requested()) source.request_stop();
        current_ = source;
        lock.unlock();
        job(source.get_token());
        lock.lock();
    }
}

}  // namespace kx29indi
