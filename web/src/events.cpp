// The event hub of the web console: publication, history and snapshots.
#include "events.h"

namespace kx29web {

void EventHub::publish(const std::string& name, const std::string& json, int topic) {
    {
        std::lock_guard lock(mutex_);
        std::string text = "event: " + name + "\ndata: " + json + "\n\n";
        ++last_id_;
        history_.push_back({last_id_, "id: " + std::to_string(last_id_) + "\n" + text});
        latest_.at(topic) = std::move(text);
        if (history_.size() > kHistory) history_.pop_front();
    }
    if (listener_) listener_();
}

std::string EventHub::snapshot_locked(uint64_t& cursor) const {
    // The browser reconnects a second after the server went away.
    std::string out = "retry: 1000\n\n";
    for (const auto& text : latest_) out += text;
    cursor = last_id_;
    return out;
}

std::string EventHub::snapshot(uint64_t& cursor) const {
    std::lock_guard lock(mutex_);
    return snapshot_locked(cursor);
}

std::string EventHub::after(uint64_t& cursor) const {
    std::lock_guard lock(mutex_);
    if (last_id_ <= cursor) return {};
    if (history_.empty() || history_.front().id > cursor + 1) return snapshot_locked(cursor);
    std::string out;
    // The ids in the history follow each other.
    for (size_t i = cursor + 1 - history_.front().id; i < history_.size(); ++i) out += history_[i].text;
    cursor = last_id_;
    return out;
}

}  // namespace kx29web
