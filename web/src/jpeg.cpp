// JPEG encoding of 8-bit grey images through libturbojpeg.
#include "jpeg.h"

#include <memory>
#include <stdexcept>
#include <turbojpeg.h>

namespace kx29web {

std::string encode_jpeg_gray(const std::vector<uint8_t>& pixels, int width, int height, int quality) {
    if (width <= 0 || height <= 0 || pixels.size() < static_cast<size_t>(width) * height)
        throw std::invalid_argument("encode_jpeg_gray: image geometry does not match its pixels");
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitCompress(), tjDestroy);
    if (!tj) throw std::runtime_error("libturbojpeg: no compressor");
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj.get(), pixels.data(), width, width, height, TJPF_GRAY, &out, &size, TJSAMP_GRAY, quality,
                    TJFLAG_FASTDCT) != 0) {
        std::string why = tjGetErrorStr2(tj.get());
        tjFree(out);
        throw std::runtime_error("libturbojpeg: " + why);
    }
    std::string bytes(reinterpret_cast<const char*>(out), size);
    tjFree(out);
    return bytes;
}

}  // namespace kx29web
