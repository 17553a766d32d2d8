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
    // The library's mean frame is NaN where the record clipped the sum.
    const std::vector<float> mean = img.clipped > 0 ? img.mean() : std::vector<float>(sum.size());
    const int in_width = img.width();
    Frame16 out;
    out.width = in_width / binx;
    out.height = img.height() / biny;
    out.pixels.resize(static_cast<size_t>(out.width) * out.height);
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            int64_t acc = 0;
            bool known = true;
            for (int dy = 0; dy < biny; ++dy) {
                const size_t row = static_cast<size_t>(y * biny + dy) * in_width + x * binx;
                for (int dx = 0; dx < binx; ++dx) {
                    acc += std::max<int32_t>(sum[row + dx], 0);
                    known = known && !std::isnan(mean[row + dx]);
                }
            }
            known = known && acc < kUnknownSum;
            out.unknown += known ? 0 : 1;
            out.pixels[static_cast<size_t>(y) * out.width + x] = known ? static_cast<uint16_t>(acc) : kUnknownSum;
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

FrameHeader frame_header(const kx29::Image& img, const Frame16& frame, int binx, int biny,
                         kx29::HeaderOptions opt) {
    opt.form = kx29::PixelForm::Sum;
    FrameHeader h{kx29::header_cards(img, opt), kx29::header_comments(img, opt)};
    std::erase_if(h.cards, [](const kx29::HeaderCard& c) { return c.name == "BLANK"; });
    // A binned pixel's centre lies (bin - 1) / 2 pixels into its block: logical = physical / bin + LTV.
    for (auto& c : h.cards) {
        const int bin = c.name == "LTV1" ? binx : c.name == "LTV2" ? biny : 1;
        if (bin > 1) c = {c.name, (std::get<long long>(c.value) + (bin - 1) / 2.0) / bin, c.comment, -1};
    }
    if (binx > 1 || biny > 1) {
        h.cards.push_back({"LTM1_1", 1.0 / binx, "columns of the full frame per pixel, inverted", -1});
        h.cards.push_back({"LTM2_2", 1.0 / biny, "lines of the full frame per pixel, inverted", -1});
    }
    if (frame.unknown > 0) {
        h.cards.push_back({"BLANK", static_cast<long long>(kUnknownSum) - 32768, "sum not known (stored value)"});
        h.comments.push_back("BLANK pixels (65535): a clipped sum in their bin, or a bin sum over 65535.");
    }
    return h;
}

void FrameInterval::add(const kx29::Progress& p) {
    if (!p.new_frame) return;
    if (first_frames_ < 0) first_frames_ = p.frames_done, first_s_ = p.elapsed_s;
    last_frames_ = p.frames_done;
    last_s_ = p.elapsed_s;
}

std::optional<double> FrameInterval::seconds() const {
    if (last_frames_ <= first_frames_) return std::nullopt;
    return (last_s_ - first_s_) / (last_frames_ - first_frames_);
}

}  // namespace kx29indi
