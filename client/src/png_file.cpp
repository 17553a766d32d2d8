// The PNG writer: 8-bit greyscale stretched from the window, or the raw values offset into 16 bits.
#include "kx29/image_file.h"

#include <png.h>

namespace kx29 {

void write_png(const std::string& path, const ChannelImage& img, bool sixteen_bit) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(img.state.img_width);
    png.height = static_cast<png_uint_32>(img.state.img_height);
    int ok;
    if (sixteen_bit) {
        // Linear 16-bit grey: libpng stores the samples unchanged.
        png.format = PNG_FORMAT_LINEAR_Y;
        std::vector<uint16_t> data = offset_to_16bit(img);
        ok = png_image_write_to_file(&png, path.c_str(), 0, data.data(), 0, nullptr);
    } else {
        png.format = PNG_FORMAT_GRAY;
        std::vector<uint8_t> data = stretch_to_8bit(img);
        ok = png_image_write_to_file(&png, path.c_str(), 0, data.data(), 0, nullptr);
    }
    if (!ok) {
        std::string why = png.message;
        png_image_free(&png);
        throw Error(ErrorKind::Failed, "can't write " + path + ": " + why);
    }
}

}  // namespace kx29
