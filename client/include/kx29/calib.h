// Calibration: master bias, dark and flat frames combined from series of the library's FITS
// files, images calibrated with them, and the daemon's column profile derived from a master.
// Every front-end calls these; none does the arithmetic itself.
#pragma once

#include "kx29/image.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace kx29 {

// An image as calibration works on it: the mean frame in grey levels (a
// file's physical value divided by NCOMBINE, as a FITS reader sees it; a
// float file as it is), NaN where a pixel's value is not known (clipped,
// BLANK), with its keyword cards and HISTORY lines. Masters and calibrated
// images are of this kind too.
struct CalibImage {
    std::string path;  // the file it came from; empty for an image in memory
    int width = 0;
    int height = 0;
    std::vector<float> pixels;      // width x height, row-major
    std::vector<HeaderCard> cards;  // keywords after the structural ones, in order
    std::vector<std::string> history;

    const HeaderCard* card(const std::string& name) const;
    // The value as a message gives it ("40", "DARK", "T"); "none" when absent.
    std::string text(const std::string& name) const;
    std::optional<double> number(const std::string& name) const;
    // "dark_003.fits", or "the image" for one in memory.
    std::string name() const;
};

enum class MasterKind { Bias, Dark, Flat };
// "bias", "dark", "flat" (any case); a usage error otherwise.
MasterKind parse_master_kind(const std::string& text);
const char* master_type_name(MasterKind k);  // "MASTER BIAS", ...

enum class CombineMethod { Median, SigmaClip };
// "median" or "sigma-clip"; a usage error otherwise.
CombineMethod parse_combine_method(const std::string& text);

// A FITS file written by the library (an image, a master or a calibrated
// image). Throws a usage error for a file that is not one.
CalibImage read_calib_image(const std::string& path);
// A master of the kind: IMAGETYP must say so.
CalibImage read_master(const std::string& path, MasterKind kind);
// An image in memory as its --mean file would hold it.
CalibImage calib_image(const Image& img, const HeaderOptions& opt = {});

struct MasterOptions {
    MasterKind kind = MasterKind::Bias;
    CombineMethod method = CombineMethod::Median;
    double sigma = 3;                  // sigma-clip: kept within sigma standard deviations of the median
    const CalibImage* bias = nullptr;  // darks and flats: subtracted from each frame first
    const CalibImage* dark = nullptr;  // flats: subtracted, scaled by exposure
    std::string creator = "kx29ctl";
};

// Combines a matched series into a master. Refuses (usage error, one line
// naming the card and the file) an empty series, a frame whose IMAGETYP is
// not the kind's, and frames or masters whose settings differ: channel,
// format, reference level, window, size, frames per image, column
// correction, and for darks the exposure.
CalibImage make_master(const std::vector<CalibImage>& frames, const MasterOptions& opt);

struct Masters {
    std::optional<CalibImage> bias, dark, flat;
    bool empty() const { return !bias && !dark && !flat; }
};

// Throws a usage error when a master does not match the image's settings
// (channel, format, reference level, window, size, column correction), or a
// dark can't be scaled to the image's exposure.
void check_masters(const CalibImage& image, const Masters& m);

// (image - bias - dark x exposure ratio) / flat, with the cards of the image
// (PIXFORM MEAN, EXPTIME of one frame) and HISTORY naming the masters.
CalibImage calibrate(const CalibImage& image, const Masters& m);

// The masters of a directory that match the image (the newest of each kind;
// for darks the one nearest the image's exposure). A usage error when none does.
Masters find_masters(const std::string& dir, const CalibImage& image);

// "m42_001.fits" -> "m42_001_cal.fits": where a calibrated image goes.
std::string calibrated_name(const std::string& path);

// FITS bytes, float32; and the file written as save_image writes (temporary
// name, synced, never replacing a file unless overwrite).
std::string encode_calib_fits(const CalibImage& img);
void save_calib_image(const std::string& path, const CalibImage& img, bool overwrite);

// The daemon's column profile (1/256 grey level per column, as kx29ctl set
// --flat takes it) that removes a master bias's or dark's additive column
// offsets: 256 x (column mean - mean of all columns), raised so that the
// lowest value is 1; columns outside the master take the value of no offset.
std::array<int, KX29_MAX_COLS> column_profile(const CalibImage& master);

}  // namespace kx29
