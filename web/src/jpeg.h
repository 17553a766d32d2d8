// JPEG encoding of 8-bit grey images for the live view.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx29web {

// Baseline JPEG of a width x height grey image at the given quality (1..100).
std::string encode_jpeg_gray(const std::vector<uint8_t>& pixels, int width, int height, int quality);

}  // namespace kx29web
