// Images as INDI clients receive them: the true sum of the frames as unsigned 16-bit
// pixels, binned in software; and the number of video frames an exposure time asks for.
#pragma once

#include "kx29/image.h"

#include <cstdint>
#include <vector>

namespace kx29indi {

// One video frame of the board holds 0.04 s of light.
inline constexpr double kVideoFrameSeconds = 0.04;
// 8-bit frames summed into 16 bits: 257 x 255 = 65535.
inline constexpr int kMaxVideoFrames = 65535 / 255;
inline constexpr int kMaxBinning = 4;

// max(1, round(seconds / 0.04)), at most kMaxVideoFrames.
int video_frames_for(double seconds);

struct Frame16 {
    int width = 0;
    int height = 0;
    std::vector<uint16_t> pixels;  // width x height, row-major

    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(pixels.data()); }
    uint32_t byte_count() const { return static_cast<uint32_t>(pixels.size() * sizeof(uint16_t)); }
};

// The image's sum (pixel + ADDLEV) clamped into 0..65535, then binned binx x biny:
// each output pixel is the saturating sum of its block; a partial block at the right or
// bottom edge is left out, as INDI sizes a binned frame (width / binx, height / biny).
Frame16 binned_sum(const kx29::Image& img, int binx, int biny);

// A frame of live video, 8 bits as the board grabs them: each binned pixel divided by
// the pixels of its block, clamped to 255.
std::vector<uint8_t> video_pixels(const Frame16& binned, int binx, int biny);

}  // namespace kx29indi
