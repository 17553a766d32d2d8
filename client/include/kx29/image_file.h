// Saving a channel's image: FITS, PNG, PGM or raw, chosen by the file name's extension,
// each file written under a temporary name and renamed when complete.
#pragma once

#include "kx29/client.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace kx29 {

enum class FileType { Fits, Png, Pgm, Raw };

// .fits/.fit, .png, .pgm, .raw (any case); nullopt for anything else.
std::optional<FileType> file_type_for(const std::string& path);
// The same, with a usage error for an unknown extension.
FileType require_file_type(const std::string& path);

struct SaveOptions {
    // PNG and PGM: the raw values offset into 16 bits (value + 32768)
    // instead of the 8-bit stretch.
    bool sixteen_bit = false;
};

// Throws a failure (ErrorKind::Failed) when the file can't be written; no
// partial file is left behind under the name.
void save_image(const std::string& path, const ChannelImage& img, const SaveOptions& opt = {});

// The writers, each creating the file at path directly.
void write_fits(const std::string& path, const ChannelImage& img);
void write_png(const std::string& path, const ChannelImage& img, bool sixteen_bit);
void write_pgm(const std::string& path, const ChannelImage& img, bool sixteen_bit);
void write_raw(const std::string& path, const ChannelImage& img);

// Grey levels at 0.5 % and 99.5 % of the window's pixels (the window as
// clamped to the image); hi > lo.
struct StretchLevels {
    int lo = 0;
    int hi = 1;
};
StretchLevels stretch_levels(const ChannelImage& img);
// The image mapped linearly from lo..hi onto 0..255, clipped.
std::vector<uint8_t> stretch_to_8bit(const ChannelImage& img);
// The image offset into unsigned 16 bits: value + 32768.
std::vector<uint16_t> offset_to_16bit(const ChannelImage& img);

// Every "{n}" in pattern replaced by n.
std::string numbered_name(const std::string& pattern, int n);

// "YYYY-MM-DDThh:mm:ss" in UTC, as FITS dates are written.
std::string fits_utc_date(std::time_t t);

// Seconds of light summed in the image: one frame's exposure times the
// number of frames added (NCOMBINE).
double exposure_time(const ChannelState& s);

}  // namespace kx29
