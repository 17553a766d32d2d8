// What the module needs from the client library that it does not offer yet: zero-copy access
// to a record's image, and a wait until the daemon has finished the frame of a withdrawn request.
#pragma once

#include "kx29/client.h"

#include <chrono>
#include <utility>

namespace kx29py {

// ChannelView keeps its record pointer protected. A pointer to that member,
// formed through a derived class, reads it without changing the library.
struct RecordReach : kx29::ChannelView {
    static const short* image(const kx29::ChannelView& v) { return (v.*(&RecordReach::rec_))->image; }
};

// The record's image memory: KX29_IMAGE_PIXELS values, row-major with stride
// img_width. It stays valid as long as the segment is attached.
inline const short* record_image(const kx29::ChannelView& v) { return RecordReach::image(v); }

// After a withdrawal the daemon still finishes the frame under way (a long
// exposure ends at its next countdown step, then its frame is read). A request
// written before that frame lands would count it as its own. Waits until
// neither seqn nor seqmsg has changed for `quiet`, as abort_channel does;
// false when timeout passed first.
inline bool wait_until_quiet(const kx29::ChannelView& v, std::chrono::milliseconds quiet,
                             std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    auto signature = [&] { return std::pair{v.seqn(), v.seqmsg()}; };
    auto last = signature();
    auto quiet_since = Clock::now();
    return kx29::poll_until(
        [&] {
            auto now = signature();
            if (now != last) {
                last = now;
                quiet_since = Clock::now();
            }
            return Clock::now() - quiet_since >= quiet;
        },
        timeout, {}, std::chrono::milliseconds(10));
}

}  // namespace kx29py
