// Time to turn one full 768 x 576 record image into the live view's picture: PNG (the
// files' encoder) against the 8-bit stretch plus JPEG, grey and in colour (the
// saturation warning), the window statistics and the focus figure.
#include "jpeg.h"

#include "kx29/focus.h"
#include "kx29/image_file.h"

#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

namespace {

kx29::Image synthetic_image() {
    kx29::Image img;
    img.state.img_width = 768;
    img.state.img_height = 576;
    img.state.window = {0, 0, 768, 576};
    img.state.nadded = 1;
    img.region = img.state.window;
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 3);
    for (int y = 0; y < 576; ++y)
        for (int x = 0; x < 768; ++x) img.pixels.push_back(static_cast<int16_t>(40 + (x + y) / 12 + noise(rng)));
    return img;
}

// Median over runs of one call, in milliseconds.
double median_ms(const std::function<size_t()>& run, size_t& bytes) {
    std::vector<double> ms;
    for (int i = 0; i < 25; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        bytes = run();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::nth_element(ms.begin(), ms.begin() + ms.size() / 2, ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main() {
    const kx29::Image img = synthetic_image();
    size_t bytes = 0;
    double png = median_ms([&] { return kx29::encode_image(kx29::FileType::Png, img).size(); }, bytes);
    std::printf("PNG (encode_image):       %6.2f ms, %zu bytes\n", png, bytes);
    double stretch = median_ms([&] { return kx29::stretch_to_8bit(img).size(); }, bytes);
    std::printf("8-bit stretch:            %6.2f ms\n", stretch);
    for (int quality : {75, 85, 95}) {
        auto gray = kx29::stretch_to_8bit(img);
        double jpeg = median_ms([&] { return kx29web::encode_jpeg_gray(gray, 768, 576, quality).size(); }, bytes);
        std::printf("JPEG quality %d:          %6.2f ms, %zu bytes\n", quality, jpeg, bytes);
    }
    // Colour, as the live view sends a picture with red pixels: without and with chroma subsampling.
    auto gray = kx29::stretch_to_8bit(img);
    std::vector<uint8_t> rgb(gray.size() * 3);
    for (size_t i = 0; i < gray.size(); ++i) rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = gray[i];
    for (auto [sampling, name] : {std::pair{TJSAMP_444, "4:4:4"}, std::pair{TJSAMP_420, "4:2:0"}}) {
        double colour = median_ms([&, sampling = sampling] {
            tjhandle tj = tjInitCompress();
            unsigned char* out = nullptr;
            unsigned long size = 0;
            tjCompress2(tj, rgb.data(), 768, 0, 576, TJPF_RGB, &out, &size, sampling, 75, TJFLAG_FASTDCT);
            tjFree(out);
            tjDestroy(tj);
            return static_cast<size_t>(size);
        }, bytes);
        std::printf("colour JPEG %s, q. 75: %6.2f ms, %zu bytes\n", name, colour, bytes);
    }
    double levels = median_ms([&] { return static_cast<size_t>(kx29::stretch_levels(img).hi); }, bytes);
    std::printf("auto levels (of it):      %6.2f ms\n", levels);
    double mean = median_ms([&] { return img.mean().size(); }, bytes);
    std::printf("mean frame (statistics):  %6.2f ms\n", mean);
    double focus = median_ms([&] { return static_cast<size_t>(kx29::measure_focus(img).sharpness > 0); }, bytes);
    std::printf("focus figure:             %6.2f ms\n", focus);
    return 0;
}
