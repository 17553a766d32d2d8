// The live view of the four channels: one poller watches the records, encodes each
// new frame once for every viewer and publishes what changed as events.
#pragma once

#include "events.h"

#include "kx29/image_file.h"

#include <array>
#include <atomic>
#include <chrono>
#include <latch>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace kx29web {

// How a viewer has the picture stretched to 8 bits: the window's 0.5 % and
// 99.5 % levels (the library's stretch), its minimum and maximum, or black and
// white points given in grey levels of one frame (kept when the frame count changes).
struct Stretch {
    enum Mode { Auto, MinMax, Manual } mode = Auto;
    double black = 0, white = 255;
};

// "auto" (or absent), "minmax", or "BLACK,WHITE" with BLACK < WHITE; a usage error otherwise.
Stretch parse_stretch(const std::optional<std::string>& text);

// The live picture of one channel: the whole record image, stretched to 8 bits,
// as JPEG; in colour when pixels of the window are saturated or clipped (red).
struct LiveFrame {
    uint64_t id = 0;
    std::string jpeg;  // the automatic stretch, which every viewer gets unless it asks for another
    kx29::Image image;  // the whole record image it shows
    kx29::StretchLevels automatic, extremes;  // record values
    std::vector<uint32_t> flagged;  // indices of the window's saturated and clipped pixels

    // The picture with the viewer's stretch: another than Auto is encoded once
    // per frame and choice, and kept (cached() finds it without encoding).
    std::string picture(const Stretch& s) const;
    std::optional<std::string> cached(const Stretch& s) const;

private:
    mutable std::mutex mutex_;
    mutable std::map<std::string, std::string> others_;
};

class LiveFeed {
public:
    explicit LiveFeed(EventHub& hub);
    ~LiveFeed();

    // Returns once the first look at the daemon is published: a viewer
    // arriving at once finds the daemon's state in its stream.
    void start();
    void stop();

    // The latest live picture of a channel; null before the first. viewed: a
    // viewer fetches it, which lets the poller make the next one (a channel
    // nobody looks at costs no encoding and no focus figure).
    std::shared_ptr<const LiveFrame> frame(int channel, bool viewed = false) const;

    // At most this many pictures per channel and second are encoded.
    static constexpr std::chrono::milliseconds kMinFrameInterval{100};
    static constexpr std::chrono::milliseconds kPollInterval{5};

private:
    void run(std::stop_token stop);

    EventHub& hub_;
    std::latch first_pass_{1};  // start() waits for it
    mutable std::mutex mutex_;
    std::array<std::shared_ptr<const LiveFrame>, 4> frames_;
    mutable std::array<std::atomic<bool>, 4> viewed_{};
    std::jthread thread_;

    friend class Poller;
    friend class Encoder;
};

}  // namespace kx29web
