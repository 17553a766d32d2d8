// Zero-copy reach into a record's image memory, which the client library does not hand out.
#pragma once

#include "kx29/client.h"

namespace kx29py {

// ChannelView keeps its record pointer protected. A pointer to that member,
// formed through a derived class, reads it without changing the library.
struct RecordReach : kx29::ChannelView {
    static const short* image(const kx29::ChannelView& v) { return (v.*(&RecordReach::rec_))->image; }
};

// The record's image memory: KX29_IMAGE_PIXELS values, row-major with stride
// img_width. It stays valid as long as the segment is attached.
inline const short* record_image(const kx29::ChannelView& v) { return RecordReach::image(v); }

}  // namespace kx29py
