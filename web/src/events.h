// Server-Sent Events shared by every viewer: a short history for viewers that
// fell behind by a few events, and the latest event of each topic for viewers
// that just arrived.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace kx29web {

// Topics whose latest event a new viewer receives first.
enum Topic { kTopicDaemon = 0, kTopicChannel0 = 1, kTopicAcquisition0 = 5, kTopicCount = 9 };

class EventHub {
public:
    // Publishes "event: name / data: json"; the topic keeps it for new viewers.
    void publish(const std::string& name, const std::string& json, int topic);

    // Called after every publication, from the publishing thread; set before anything publishes.
    void on_publish(std::function<void()> listener) { listener_ = std::move(listener); }

    // The latest event of every topic, as one block of text; cursor moves to the newest event.
    std::string snapshot(uint64_t& cursor) const;

    // The events after cursor, empty when there are none. A viewer that fell
    // behind the history gets the snapshot instead, so no viewer ever shows a
    // stale state.
    std::string after(uint64_t& cursor) const;

private:
    struct Event {
        uint64_t id = 0;
        std::string text;
    };
    std::string snapshot_locked(uint64_t& cursor) const;

    static constexpr size_t kHistory = 256;
    mutable std::mutex mutex_;
    uint64_t last_id_ = 0;
    std::deque<Event> history_;
    std::array<std::string, kTopicCount> latest_;
    std::function<void()> listener_;
};

}  // namespace kx29web
