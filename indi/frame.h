// Images as INDI clients receive them: the true sum of the frames as unsigned 16-bit
// pixels, binned in software, with the library's header made true of them; and the number
// of video frames an exposure time asks for.
#pragma once

#include "kx29/acquire.h"
#include "kx29/image.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx29indi {

// One video frame of the board holds 0.04 s of light.
inline constexpr double kVideoFrameSeconds = 0.04;
// 8-bit frames summed into 16 bits: 257 x 255 = 65535.
inline constexpr int kMaxVideoFrames = 65535 / 255;
inline constexpr int kMaxBinning = 4;
// A pixel whose sum is not known: its block holds a pixel the record clipped, or the
// block's sum passes 16 bits. The FITS file declares it BLANK.
inline constexpr uint16_t kUnknownSum = UINT16_MAX;

// max(1, round(seconds / 0.04)), at most kMaxVideoFrames.
int video_frames_for(double seconds);

struct Frame16 {
    int width = 0;
    int height = 0;
    std::vector<uint16_t> pixels;  // width x height, row-major
    long unknown = 0;              // pixels set to kUnknownSum

    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(pixels.data()); }
    uint32_t byte_count() const { return static_cast<uint32_t>(pixels.size() * sizeof(uint16_t)); }
};

// The image's sum (pixel + ADDLEV), binned binx x biny: each output pixel is the sum of its
// block, or kUnknownSum; a partial block at the right or bottom edge is left out, as INDI
// sizes a binned frame (width / binx, height / biny).
Frame16 binned_sum(const kx29::Image& img, int binx, int biny);

// A frame of live video, 8 bits as the board grabs them: each binned pixel divided by
// the pixels of its block, clamped to 255.
std::vector<uint8_t> video_pixels(const Frame16& binned, int binx, int biny);

// The library's cards and comments for img (form Sum: the frame's pixels are true sums),
// made true of the frame: LTV1/LTV2 and LTM1_1/LTM2_2 place the binned pixels in the full
// image, and BLANK marks kUnknownSum as stored in the 16-bit unsigned file (value - 32768).
struct FrameHeader {
    std::vector<kx29::HeaderCard> cards;
    std::vector<std::string> comments;
};
FrameHeader frame_header(const kx29::Image& img, const Frame16& frame, int binx, int biny,
                         kx29::HeaderOptions opt);

// Seconds between the frames of an acquisition, from its progress reports: the time from
// the first frame seen to the last over the frames between them.
class FrameInterval {
public:
    void add(const kx29::Progress& p);
    std::optional<double> seconds() const;

private:
    int first_frames_ = -1, last_frames_ = -1;
    double first_s_ = 0, last_s_ = 0;
};

}  // namespace kx29indi
