// The live view of the four channels: one poller watches the records, encodes each
// new frame once for every viewer and publishes what changed as events.
#pragma once

#include "events.h"

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kx29web {

// The live picture of one channel: the whole record image, stretched to 8 bits, as JPEG.
struct LiveFrame {
    uint64_t id = 0;
    std::string jpeg;
};

class LiveFeed {
public:
    explicit LiveFeed(EventHub& hub);
    ~LiveFeed();

    void start();
    void stop();

    // The latest live picture of a channel; null before the first.
    std::shared_ptr<const LiveFrame> frame(int channel) const;

    // At most this many pictures per channel and second are encoded.
    static constexpr std::chrono::milliseconds kMinFrameInterval{100};
    static constexpr std::chrono::milliseconds kPollInterval{5};

private:
    void run(std::stop_token stop);

    EventHub& hub_;
    mutable std::mutex mutex_;
    std::array<std::shared_ptr<const LiveFrame>, 4> frames_;
    std::jthread thread_;

    friend class Poller;
};

}  // namespace kx29web
