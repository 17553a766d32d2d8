// Conversion of the client library's images into the 16-bit binned frames sent to INDI clients.
#include "frame.h"

#include <algorithm>
#include <cmath>

namespace kx29indi {

int video_frames_for(double seconds) {
    long frames = std::lround(seconds / kVideoFrameSeconds);
    return static_cast<int>(std::clamp<long>(frames, 1, kMaxVideoFrames));
}

Frame16 binned_sum(const kx29::Image& img, int binx, int biny) {
    const std::vector<int32_t> sum = img.sum();
    const int in_width = img.width();
    Frame16 out;
    out.width = in_width / binx;
    out.height = img.height() / biny;
    out.pixels.resize(static_cast<size_t>(out.width) * out.height);
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            int64_t acc = 0;
            for (int dy = 0; dy < biny; ++dy) {
                const int32_t* row = sum.data() + static_cast<size_t>(y * biny + dy) * in_width + x * binx;
                for (int dx = 0; dx < binx; ++dx) acc += std::clamp<int32_t>(row[dx], 0, UINT16_MAX);
            }
            out.pixels[static_cast<size_t>(y) * out.width + x] = static_cast<uint16_t>(std::min<int64_t>(acc, UINT16_MAX));
        }
    }
    return out;
}

std::vector<uint8_t> video_pixels(const Frame16& binned, int binx, int biny) {
    std::vector<uint8_t> out(binned.pixels.size());
    const int block = binx * biny;
    std::transform(binned.pixels.begin(), binned.pixels.end(), out.begin(),
                   [block](uint16_t v) { return static_cast<uint8_t>(std::min(v / block, 255)); });
    return out;
}

}  // namespace kx29indi
