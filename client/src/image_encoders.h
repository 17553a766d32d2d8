// The FITS and PNG encoders, each in a file of its own with its library.
#pragma once

#include "kx29/image_file.h"

#include <string>

namespace kx29 {

std::string encode_fits(const Image& img, const HeaderOptions& opt);
std::string encode_png(const Image& img, bool sixteen_bit);

}  // namespace kx29
