// Writing images: FITS, PNG, PGM or raw, chosen by the file name's extension; the
// output names of a series and the checks made on them before anything is acquired.
#pragma once

#include "kx29/image.h"

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
const char* mime_type(FileType t);

struct WriteOptions {
    HeaderOptions header;  // FITS: keywords, and which pixels (form)
    // PNG and PGM: the raw values offset into 16 bits (value + 32768)
    // instead of the 8-bit stretch.
    bool sixteen_bit = false;
    bool overwrite = false;  // else an existing file is an error
};

// The file's bytes. Every front-end writes or serves exactly these.
std::string encode_image(FileType type, const Image& img, const WriteOptions& opt = {});

// Writes the file under a temporary name, syncs it to the disk and renames it
// when complete, so no partial file is ever seen under the name. Without
// opt.overwrite an existing file (any directory entry, a dangling link too) is
// left alone and reported; with it, a symbolic link under the name is replaced
// by the file, its target is not touched. Throws a failure (ErrorKind::Failed).
void save_image(const std::string& path, const Image& img, const WriteOptions& opt = {});

// Grey levels at 0.5 % and 99.5 % of the window's pixels (the record's window
// within the region held); hi > lo. When those are one level (a flat window)
// the scale is that of the grey levels the frames can hold: lo is a sum of 0
// and hi of 255 in each of the NCOMBINE frames (-ADDLEV and NCOMBINE x 255 -
// ADDLEV as the record holds them), so a flat window is drawn at its own grey
// level: white for frames saturated all over, never black unless it is.
struct StretchLevels {
    int lo = 0;
    int hi = 1;
};
StretchLevels stretch_levels(const Image& img);
// The image mapped linearly from lo..hi onto 0..255, clipped; with the
// levels given, or those of stretch_levels.
std::vector<uint8_t> stretch_to_8bit(const Image& img);
std::vector<uint8_t> stretch_to_8bit(const Image& img, const StretchLevels& levels);
// The image offset into unsigned 16 bits: value + 32768.
std::vector<uint16_t> offset_to_16bit(const Image& img);

// ---- Names of the files of a series ------------------------------------------
// "{n}" is the image's number, "{n:0W}" the number zero-padded to W digits
// (W 1..9). Any other "{" is a usage error.
std::string expand_name(const std::string& pattern, int n);

// The outputs of an acquisition of `images` images (negative: endless),
// checked before the request is made: the type is known, the pattern valid,
// the directory exists and is writable, no two outputs name the same file
// (compared as absolute paths with the directories' links resolved, and as
// existing files), none names a directory, and (without overwrite) no file of
// a finite series, nor the first of an endless one, exists yet. With several
// images and no "{n}" in a pattern, "_{n:0W}" is put before the extension
// (W: the digits of the count, at least 3; 4 for an endless series).
class OutputNames {
public:
    OutputNames(const std::vector<std::string>& patterns, int images, bool overwrite);
    // The paths of image n (1-based).
    std::vector<std::string> paths(int n) const;
    bool empty() const { return patterns_.empty(); }

private:
    std::vector<std::string> patterns_;
};

namespace detail {
// The calls that put a file in place where nothing may be replaced, and the
// sync, as a seam for tests to act out file systems that lack hard links or
// RENAME_NOREPLACE. Each returns 0, or -1 with errno set.
struct PlaceCalls {
    int (*link)(const char* from, const char* to);
    int (*rename_noreplace)(const char* from, const char* to);
    int (*fsync)(int fd);
};
extern PlaceCalls place_calls;  // the system's calls
}  // namespace detail

}  // namespace kx29
