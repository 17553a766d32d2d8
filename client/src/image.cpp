// Finished images: cropping to the window, the light they hold, and their FITS header.
#include "kx29/image.h"

#include "text_case.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <set>

namespace kx29 {

namespace {

[[noreturn]] void usage(const std::string& text) { throw Error(ErrorKind::Usage, text); }

// Keywords this program writes, and the structural ones of any FITS writer:
// an observer's keyword may not replace them.
const std::set<std::string>& reserved_keywords() {
    static const std::set<std::string> names = {
        "SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "EXTEND", "BZERO", "BSCALE", "END", "CHECKSUM",
        "DATASUM", "DATE", "COMMENT", "HISTORY", "INSTRUME", "CREATOR", "DATE-OBS", "DATE-END", "TIMESYS", "BLANK",
        "MJD-OBS", "EXPTIME", "FRAMEXP", "NCOMBINE", "ADDLEV", "CHANNEL", "FORMAT", "REFLEV", "WINCOL0",
        "WINLIN0", "WINCOLS", "WINLINES", "LTV1", "LTV2", "CCDCORR", "CCDBIAS", "TANDEM", "SEQN", "BUNIT",
        "IMAGETYP", "ROWORDER", "PIXFORM", "FRAMEMAX", "SATURATD", "EXPKNOWN", "EXPREQ", "CLIPPED"};
    return names;
}

bool valid_keyword_name(const std::string& name) {
    if (name.empty() || name.size() > 8) return false;
    return std::all_of(name.begin(), name.end(),
                       [](unsigned char c) { return std::isupper(c) || std::isdigit(c) || c == '-' || c == '_'; });
}

// A whole number, a decimal number, T/F, or text.
CardValue user_value(const std::string& text) {
    if (text == "T" || text == "F") return text == "T";
    char* end = nullptr;
    errno = 0;
    long long whole = std::strtoll(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0' && errno == 0) return whole;
    double real = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0' && std::isfinite(real) && !std::isspace(static_cast<unsigned char>(text[0])))
        return real;
    return text;
}

}  // namespace

std::string fits_utc_date(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

ImageType parse_image_type(const std::string& text) {
    const std::string t = upper(text);
    for (ImageType type : {ImageType::Light, ImageType::Dark, ImageType::Flat, ImageType::Bias})
        if (t == image_type_name(type)) return type;
    usage("image type '" + text + "' is not light, dark, flat or bias");
}

const char* image_type_name(ImageType t) {
    switch (t) {
    case ImageType::Light: return "LIGHT";
    case ImageType::Dark: return "DARK";
    case ImageType::Flat: return "FLAT";
    case ImageType::Bias: return "BIAS";
    }
    return "LIGHT";
}

namespace {

// The rails of the record's 16-bit sums: the daemon saturates a pixel there.
bool on_rail(int16_t v) { return v == INT16_MIN || v == INT16_MAX; }

}  // namespace

std::vector<int32_t> Image::sum() const {
    std::vector<int32_t> out(pixels.size());
    const int64_t addlev = state.addlev;
    for (size_t i = 0; i < pixels.size(); ++i) {
        const int64_t v = pixels[i] + addlev;
        if (v < INT32_MIN || v > INT32_MAX)
            throw Error(ErrorKind::Failed, "channel " + std::to_string(channel) + "'s record holds ADDLEV " +
                                               std::to_string(state.addlev) + ": its sums do not fit 32 bits");
        out[i] = static_cast<int32_t>(v);
    }
    return out;
}

std::vector<float> Image::mean() const {
    std::vector<float> out(pixels.size());
    const double n = state.nadded >= 1 ? state.nadded : 1;
    const double addlev = state.addlev;
    std::transform(pixels.begin(), pixels.end(), out.begin(), [&](int16_t v) {
        return on_rail(v) && clipped > 0 ? std::numeric_limits<float>::quiet_NaN()
                                         : static_cast<float>((v + addlev) / n);
    });
    return out;
}

std::vector<std::string> image_warnings(const Image& img) {
    std::vector<std::string> lines;
    if (img.saturated()) lines.push_back("a frame reached grey level 255 (saturated)");
    if (img.clipped > 0)
        lines.push_back(std::to_string(img.clipped) + " pixels reached the 16-bit limit of the sum (clipped): "
                        "their values are not the sum of their frames");
    return lines;
}

Window clamped_window(const ChannelState& s) {
    int c0 = std::clamp(s.window.col0, 0, s.img_width);
    int l0 = std::clamp(s.window.lin0, 0, s.img_height);
    int c1 = static_cast<int>(std::clamp(static_cast<long>(s.window.col0) + s.window.width, 0L, long{s.img_width}));
    int l1 = static_cast<int>(std::clamp(static_cast<long>(s.window.lin0) + s.window.height, 0L, long{s.img_height}));
    if (c1 <= c0 || l1 <= l0) return {0, 0, s.img_width, s.img_height};
    return {c0, l0, c1 - c0, l1 - l0};
}

bool is_frame_report(const std::string& msg, int seqn) {
    return msg.rfind("Frame" + std::to_string(seqn) + "(", 0) == 0;
}

long count_clipped(const ChannelImage& copy) {
    const ChannelState& s = copy.state;
    if (s.nadded <= 1) return 0;  // one frame of 8-bit levels never reaches the rails
    const Window w = clamped_window(s);
    long n = 0;
    for (int line = w.lin0; line < w.lin0 + w.height; ++line) {
        const int16_t* row = copy.pixels.data() + static_cast<size_t>(line) * s.img_width + w.col0;
        n += std::count_if(row, row + w.width, on_rail);
    }
    return n;
}

std::optional<bool> correction_applied(const ChannelState& s) {
    if (s.command & CMD_CCD) return true;
    // A withdrawal clears CMD_CCD with the request and leaves nadd 0; a
    // finished request leaves its bit and its nadd.
    if ((s.command & CMD_ACQUIRE) || s.nadd != kWithdrawnNadd) return false;
    return std::nullopt;
}

Image make_image(const ChannelImage& copy, Crop crop) {
    Image img;
    img.channel = copy.channel;
    img.state = copy.state;
    const ChannelState& s = copy.state;
    img.region = crop == Crop::Full ? Window{0, 0, s.img_width, s.img_height} : clamped_window(s);
    img.pixels.resize(static_cast<size_t>(img.region.width) * img.region.height);
    for (int line = 0; line < img.region.height; ++line) {
        const int16_t* from = copy.pixels.data() + static_cast<size_t>(img.region.lin0 + line) * s.img_width +
                              img.region.col0;
        std::copy(from, from + img.region.width, img.pixels.begin() + static_cast<long>(line) * img.region.width);
    }
    img.exposure_s = image_exposure(s);
    if (s.nadded > 0 && is_frame_report(s.msg, s.seqn))
        if (auto max = frame_report_max(s.msg)) img.frame_max = *max;
    img.clipped = count_clipped(copy);
    img.ccd_corrected = correction_applied(s);
    img.times = record_times(s);
    return img;
}

std::optional<double> image_exposure(const ChannelState& s) {
    if (long_exposure(s) && s.nadd == kWithdrawnNadd && s.nexp == 0 && s.nadded > 0) return std::nullopt;
    return frame_exposure(s) * std::max(0, s.nadded);
}

std::optional<int> frame_report_max(const std::string& msg) {
    if (msg.rfind("Frame", 0) != 0) return std::nullopt;
    size_t at = msg.find(" Max=");
    if (at == std::string::npos) return std::nullopt;
    const char* text = msg.c_str() + at + 5;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text) return std::nullopt;
    return static_cast<int>(v);
}

HeaderCard parse_user_key(const std::string& text) {
    size_t eq = text.find('=');
    if (eq == std::string::npos) usage("keyword '" + text + "' is not NAME=VALUE");
    HeaderCard card;
    card.name = upper(text.substr(0, eq));
    const std::string value = text.substr(eq + 1);
    if (!valid_keyword_name(card.name))
        usage("keyword name '" + text.substr(0, eq) + "' is not 1 to 8 of A-Z, 0-9, '-' and '_'");
    if (reserved_keywords().count(card.name)) usage("keyword " + card.name + " is written by kx29ctl itself");
    if (value.size() > 68) usage("the value of keyword " + card.name + " is longer than 68 characters");
    if (!std::all_of(value.begin(), value.end(), [](unsigned char c) { return c >= 0x20 && c < 0x7f; }))
        usage("the value of keyword " + card.name + " holds characters other than printable ASCII");
    card.value = user_value(value);
    card.comment = "given by the observer";
    card.decimals = -1;
    return card;
}

namespace {

std::string fits_date(double t, int decimals) {
    const double whole = std::floor(t);
    std::string text = fits_utc_date(static_cast<std::time_t>(whole));
    if (decimals > 0) {
        const int scale = decimals == 3 ? 1000 : 100;
        const int part = std::min(scale - 1, static_cast<int>((t - whole) * scale));
        char frac[8];
        std::snprintf(frac, sizeof frac, ".%0*d", decimals, part);
        text += frac;
    }
    return text;
}

bool has_light(const Image& img) { return img.state.nadded > 0; }

}  // namespace

ImageTimes record_times(const ChannelState& s) {
    ImageTimes t;
    t.start = s.tstart;
    if (image_exposure(s)) t.end = s.tcurr + frame_exposure(s);
    t.how = "Dates: whole seconds stamped before the first and last capture.";
    return t;
}

std::vector<HeaderCard> header_cards(const Image& img, const HeaderOptions& opt) {
    const ChannelState& s = img.state;
    if (auto problem = record_problem(s)) throw Error(ErrorKind::Failed, *problem);
    const double frame_s = frame_exposure(s);
    const bool mean = opt.form == PixelForm::Mean;
    std::vector<HeaderCard> c;
    auto add = [&](const char* name, CardValue v, const char* comment, int decimals = 6) {
        c.push_back({name, std::move(v), comment, decimals});
    };
    using LL = long long;
    if (opt.form == PixelForm::Record) {
        // Readers that know nothing of ADDLEV take stored + BZERO: the true sum.
        add("BZERO", LL{s.addlev}, "stored + BZERO is the sum of the frames");
        add("BSCALE", LL{1}, "");
    }
    add("INSTRUME", std::string("KX29"), "KX29 video frame grabber");
    add("CREATOR", opt.creator, "program that wrote this file");
    add("IMAGETYP", std::string(image_type_name(opt.type)), "light, dark, flat or bias");
    add("TIMESYS", std::string("UTC"), "time scale of the dates");
    if (has_light(img)) {
        const ImageTimes& t = img.times;
        add("DATE-OBS", fits_date(t.start, t.decimals), "start of the image's first frame");
        add("MJD-OBS", t.start / 86400.0 + 40587.0, "[d] modified Julian date of DATE-OBS", 8);
        if (t.end) add("DATE-END", fits_date(*t.end, t.decimals), "end of the image's last frame");
    }
    if (img.exposure_s) {
        if (mean)
            add("EXPTIME", frame_s, "[s] light in one frame: the mean frame's", 3);
        else
            add("EXPTIME", *img.exposure_s, "[s] light summed in the image, NCOMBINE frames", 3);
        add("FRAMEXP", frame_s, long_exposure(s) ? "[s] one frame's light, as the camera was told"
                                                 : "[s] exposure of one video frame", 3);
    }
    add("EXPKNOWN", img.exposure_s.has_value(),
        img.exposure_s ? "EXPTIME is the light in the pixels" : "a long exposure was cut short: light unknown");
    if (long_exposure(s)) add("EXPREQ", s.exposure, "[s] asked for; the camera runs 0.04 s steps", 3);
    add("NCOMBINE", LL{s.nadded}, "number of frames summed into the image");
    add("ADDLEV", LL{s.addlev}, "sum of sub-levels subtracted from the frames");
    switch (opt.form) {
    case PixelForm::Record:
        add("PIXFORM", std::string("RECORD"), "sum less ADDLEV, as the record holds it");
        break;
    case PixelForm::Sum: add("PIXFORM", std::string("SUM"), "true sum of the frames (record value + ADDLEV)"); break;
    case PixelForm::Mean: add("PIXFORM", std::string("MEAN"), "mean frame: (record value + ADDLEV) / NCOMBINE"); break;
    }
    add("BUNIT", std::string("adu"), "8-bit grey levels of the video frames");
    if (img.frame_max >= 0 && has_light(img)) {
        add("FRAMEMAX", LL{img.frame_max}, "highest maximum of a frame, grey levels");
        add("SATURATD", img.saturated(), "a frame reached grey level 255");
    }
    add("CLIPPED", LL{img.clipped}, "pixels whose sum was cut at the 16-bit limits");
    if (img.clipped > 0 && opt.form == PixelForm::Sum)
        add("BLANK", LL{INT32_MIN}, "clipped pixels: their sum is not known");
    add("CHANNEL", LL{img.channel}, "video input of the grabber, 0..3");
    add("FORMAT", LL{s.form}, "image format loaded in the grabber, 1 or 2");
    add("REFLEV", LL{s.ref_lev}, "reference (black) level of the input, 0..63");
    add("WINCOL0", LL{s.window.col0}, "first column of the measurement window, from 0");
    add("WINLIN0", LL{s.window.lin0}, "first line of the measurement window, from 0");
    add("WINCOLS", LL{s.window.width}, "width of the measurement window in columns");
    add("WINLINES", LL{s.window.height}, "height of the measurement window in lines");
    // Image viewers map these pixels back to the full frame: physical = logical - LTV.
    add("LTV1", LL{-img.region.col0}, "column offset of this image in the full frame");
    add("LTV2", LL{-img.region.lin0}, "line offset of this image in the full frame");
    add("ROWORDER", std::string("TOP-DOWN"), "video line 0 is the first row");
    if (img.ccd_corrected) add("CCDCORR", *img.ccd_corrected, "flat correction applied while reading");
    add("TANDEM", s.tandem != 0, "input carries the long-exposure camera");
    add("SEQN", LL{s.seqn}, "sequence number of the last frame read");
    for (const auto& card : opt.user) c.push_back(card);
    return c;
}

std::vector<std::string> header_comments(const Image& img, const HeaderOptions& opt) {
    std::vector<std::string> lines = {
        "Pixels are sums of NCOMBINE frames of 8-bit grey levels; every frame",
        "after the first had its sub-level subtracted (ADDLEV in all), unless",
        "PIXFORM says otherwise. Only the measurement window is read; LTV1 and",
        "LTV2 place this image in the full frame."};
    if (has_light(img)) lines.push_back(img.times.how);
    if (img.clipped > 0) {
        switch (opt.form) {
        case PixelForm::Record: lines.push_back("CLIPPED pixels are stored as -32768 or 32767: not their sum."); break;
        case PixelForm::Sum: lines.push_back("CLIPPED pixels are BLANK: their sum is not known."); break;
        case PixelForm::Mean: lines.push_back("CLIPPED pixels are NaN: their mean is not known."); break;
        }
    }
    if (!img.ccd_corrected) lines.push_back("CCDCORR left out: frames read with and without it, or withdrawn.");
    return lines;
}

}  // namespace kx29
