// Server-Sent Events shared by every viewer: a short history for viewers that
// wait, and the latest event of each topic for viewers that just arrived.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace kx29web {

// Topics whose latest event a new viewer receives first.
enum Topic { kTopicDaemon = 0, kTopicChannel0 = 1, kTopicAcquisition0 = 5, kTopicCount = 9 };

class EventHub {
public:
    // Publishes "event: name / data: json"; the topic keeps it for new viewers.
    void publish(const std::string& name, const std::string& json, int topic);

    // The latest event of every topic, as one block of text; cursor moves to the newest event.
    std::string snapshot(uint64_t& cursor) const;

    // The events after cursor, waiting up to `wait` for one; empty when none
    // came or the hub is closed. A viewer that fell behind the history gets
    // the snapshot instead, so no viewer ever shows a stale state.
    std::string next(uint64_t& cursor, std::chrono::milliseconds wait) const;

    // Wakes every waiting viewer; from now on next() returns at once.
    void close();
    bool closed() const;

private:
    struct Event {
        uint64_t id = 0;
        std::string text;
    };
    std::string snapshot_locked(uint64_t& cursor) const;

    static constexpr size_t kHistory = 256;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    uint64_t last_id_ = 0;
    std::deque<Event> history_;
    std::array<std::string, kTopicCount> latest_;
    bool closed_ = false;
};

}  // namespace kx29web
