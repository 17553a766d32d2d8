// A finished image as the front-ends hand it out: the record's pixels cropped to the
// measurement window, the light they hold, and the FITS header that describes them.
#pragma once

#include "kx29/client.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kx29 {

// "YYYY-MM-DDThh:mm:ss" in UTC, as FITS dates are written.
std::string fits_utc_date(std::time_t t);

// What the light in an image is, for IMAGETYP.
enum class ImageType { Light, Dark, Flat, Bias };
// "light", "dark", "flat", "bias" (any case); a usage error otherwise.
ImageType parse_image_type(const std::string& text);
const char* image_type_name(ImageType t);  // "LIGHT", "DARK", ...

// Which pixels a file holds: the values as the record holds them (int16),
// the true sum of the frames (pixel + ADDLEV, int32), or the mean frame
// ((pixel + ADDLEV) / NCOMBINE, float32).
enum class PixelForm { Record, Sum, Mean };

// Whether an image holds only the measurement window (the daemon reads
// nothing outside it, so pixels there are left from earlier images) or the
// whole record image.
enum class Crop { Window, Full };

// When an image's light was taken, in seconds since the epoch (UTC), and how
// that is known. The record stamps whole seconds taken before a capture; a
// client that followed the acquisition saw each frame arrive and narrows
// them down to its polling and the readout.
struct ImageTimes {
    double start = 0;            // capture of the first frame began
    std::optional<double> end;   // capture of the last frame ended; nullopt: unknown
    int decimals = 0;            // digits of a second the evidence supports (0 or 3)
    std::string how;             // one line for a COMMENT card
};

struct Image {
    int channel = 0;
    ChannelState state;          // the record as the image was copied
    Window region;               // the part of the record's image held here
    std::vector<int16_t> pixels; // region.width x region.height, row-major, record values

    // Seconds of light summed in the pixels; nullopt when unknown (a long
    // exposure that was withdrawn before its end).
    std::optional<double> exposure_s;
    // The highest per-frame maximum (8-bit grey level) of the frames the
    // image was seen to receive; -1 when no frame report was seen.
    int frame_max = -1;
    bool saturated() const { return frame_max >= 255; }
    // Pixels of the window whose sum reached the 16-bit limits of the record
    // (-32768 or 32767): the daemon cut their sum there, so their values are
    // not the sum of their frames.
    long clipped = 0;
    // Whether the bias/flat correction was applied; nullopt when the record no
    // longer says (a withdrawal clears the request's bits).
    std::optional<bool> ccd_corrected;
    ImageTimes times;

    int width() const { return region.width; }
    int height() const { return region.height; }
    // pixel + ADDLEV; throws a failure when a sum does not fit 32 bits (a
    // record's ADDLEV no acquisition leaves).
    std::vector<int32_t> sum() const;
    // (pixel + ADDLEV) / NCOMBINE, the sum when NCOMBINE < 1; clipped pixels
    // are NaN (their mean is not known).
    std::vector<float> mean() const;
};

// What an observer should be told about an image, one line each: saturated
// frames, clipped sums. Every front-end shows these as warnings.
std::vector<std::string> image_warnings(const Image& img);

// The image of a copied record, cropped as asked. The exposure and the
// saturation are taken from the record alone: see image_exposure and
// last_frame_max.
Image make_image(const ChannelImage& copy, Crop crop);
// The record's window clamped to its image; the whole image when nothing of it is left.
Window clamped_window(const ChannelState& s);

// nadd as withdraw() leaves it: 0, as the daemon itself leaves it after a
// failed capture, so that the gate stays closed for any client that would
// reuse the record's nadd. A long exposure cut short is read all the same:
// with nadd and nexp 0 the light of the image's last frame is not known.
constexpr int kWithdrawnNadd = 0;

// The light in the record's image according to the record: unknown on the
// long-exposure channel when its last request was withdrawn or failed.
std::optional<double> image_exposure(const ChannelState& s);
// Whether msg is the daemon's report "Frame<seqn>(..." of frame seqn.
bool is_frame_report(const std::string& msg, int seqn);
// Pixels of the record's window on the 16-bit rails, in an image of more than one frame.
long count_clipped(const ChannelImage& copy);
// "Max=" of a frame report "Frame<seqn>(...)"; nullopt for other messages.
std::optional<int> frame_report_max(const std::string& msg);

// ---- FITS header ---------------------------------------------------------------
using CardValue = std::variant<bool, long long, double, std::string>;
struct HeaderCard {
    std::string name;
    CardValue value;
    std::string comment;
    int decimals = 6;  // for double values; negative: as few as the value needs
};

// A keyword given by the observer ("OBJECT=M42"). Names are upper-cased and
// must be valid FITS keywords (1..8 of A-Z 0-9 - _) that this program does not
// write itself; values are numbers, T/F, or printable text of at most 68
// characters. Throws a usage error naming what is wrong.
HeaderCard parse_user_key(const std::string& text);

struct HeaderOptions {
    ImageType type = ImageType::Light;
    PixelForm form = PixelForm::Record;
    std::string creator = "kx29ctl";
    std::vector<HeaderCard> user;  // from parse_user_key
};

// The image's dates as the record alone gives them (whole seconds).
ImageTimes record_times(const ChannelState& s);
// Whether the record's image was read with the flat correction: nullopt once
// a withdrawal has cleared the request's bits.
std::optional<bool> correction_applied(const ChannelState& s);

// Every keyword after the structural ones (SIMPLE, BITPIX, NAXISn are the
// writer's), in the order they are written.
// Throws a failure when the record cannot be described (record_problem).
std::vector<HeaderCard> header_cards(const Image& img, const HeaderOptions& opt = {});
// The COMMENT lines that go with them: how the pixels and dates were obtained.
std::vector<std::string> header_comments(const Image& img, const HeaderOptions& opt = {});

}  // namespace kx29
