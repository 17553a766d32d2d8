// The FITS and PNG encoders, each in a file of its own with its library.
#pragma once

#include "kx29/image_file.h"

#include <string>
#include <vector>

namespace kx29 {

std::string encode_fits(const Image& img, const HeaderOptions& opt);
// A float32 image described by the cards, then COMMENT and HISTORY lines.
std::string encode_float_fits(long width, long height, std::vector<float> pixels, const std::vector<HeaderCard>& cards,
                              const std::vector<std::string>& comments, const std::vector<std::string>& history);
std::string encode_png(const Image& img, bool sixteen_bit);
// Puts the bytes at path whole and synced, never over a file unless overwrite,
// as every file the library saves.
void write_file(const std::string& path, const std::string& bytes, bool overwrite);

}  // namespace kx29
