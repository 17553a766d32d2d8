// Calibration: reading the library's FITS files as a FITS reader would, combining matched
// series into masters, calibrating images with them, and the daemon's column profile.
#include "kx29/calib.h"

#include "image_encoders.h"
#include "text_case.h"

#include <fitsio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>

namespace kx29 {

namespace {

namespace fs = std::filesystem;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

[[noreturn]] void usage(const std::string& text) { throw Error(ErrorKind::Usage, text); }

std::string trim_right(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

std::string number_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

// ---- Reading ---------------------------------------------------------------------------
// Cards every FITS writer puts itself, and those that describe stored values only.
const std::set<std::string>& structural_keywords() {
    static const std::set<std::string> names = {"SIMPLE",  "BITPIX", "NAXIS",  "NAXIS1", "NAXIS2",
                                                "EXTEND",  "BZERO",  "BSCALE", "BLANK",  "CHECKSUM",
                                                "DATASUM", "DATE",   "END",    "COMMENT"};
    return names;
}

// A card's value as written: 'text', T/F, an integer or a real.
CardValue card_value(const std::string& text, int& decimals) {
    if (!text.empty() && text[0] == '\'') {
        std::string out;
        for (size_t i = 1; i < text.size(); ++i) {
            if (text[i] != '\'') {
                out += text[i];
            } else if (i + 1 < text.size() && text[i + 1] == '\'') {
                out += '\'';
                ++i;
            } else {
                break;
            }
        }
        return trim_right(out);
    }
    if (text == "T" || text == "F") return text == "T";
    char* end = nullptr;
    long long whole = std::strtoll(text.c_str(), &end, 10);
    if (*end == '\0') return whole;
    const size_t dot = text.find('.');
    decimals = dot != std::string::npos && text.find_first_of("EeDd") == std::string::npos
                   ? static_cast<int>(text.size() - dot - 1)
                   : -1;
    return std::strtod(text.c_str(), nullptr);
}

class FitsReader {
public:
    explicit FitsReader(const std::string& path) : path_(path) {
        fits_open_diskfile(&f_, path.c_str(), READONLY, &status_);
        check();
    }
    FitsReader(const FitsReader&) = delete;
    FitsReader& operator=(const FitsReader&) = delete;
    ~FitsReader() {
        int ignored = 0;
        if (f_ != nullptr) fits_close_file(f_, &ignored);
    }
    void check() {
        if (status_ == 0) return;
        char text[FLEN_STATUS];
        fits_get_errstatus(status_, text);
        usage("can't read " + path_ + ": " + text);
    }
    fitsfile* file() { return f_; }
    int& status() { return status_; }

private:
    std::string path_;
    fitsfile* f_ = nullptr;
    int status_ = 0;
};

// ---- Comparing settings ----------------------------------------------------------------
struct Setting {
    const char* card;
    const char* what;
};

// What must be the same for frames to be combined or calibrated together.
const std::vector<Setting>& image_settings() {
    static const std::vector<Setting> s = {{"CHANNEL", "channel"},
                                           {"FORMAT", "image format"},
                                           {"REFLEV", "reference level"},
                                           {"WINCOL0", "measurement window"},
                                           {"WINLIN0", "measurement window"},
                                           {"WINCOLS", "measurement window"},
                                           {"WINLINES", "measurement window"},
                                           {"LTV1", "place in the full frame"},
                                           {"LTV2", "place in the full frame"},
                                           {"CCDCORR", "column correction while reading"}};
    return s;
}

bool same_value(const HeaderCard* a, const HeaderCard* b) {
    if (!a || !b) return !a && !b;
    auto num = [](const CardValue& v) -> std::optional<double> {
        if (auto* i = std::get_if<long long>(&v)) return static_cast<double>(*i);
        if (auto* d = std::get_if<double>(&v)) return *d;
        return std::nullopt;
    };
    auto x = num(a->value), y = num(b->value);
    if (x && y) return std::fabs(*x - *y) <= 1e-9 * std::max(1.0, std::fabs(*y));
    return a->value == b->value;
}

// Throws "<a>: REFLEV is 40, not 60 as in <b> (reference level)" for the first setting that differs.
void require_same(const CalibImage& a, const CalibImage& b, const std::vector<Setting>& settings,
                  const std::string& a_name, const std::string& b_name) {
    if (a.width != b.width || a.height != b.height)
        usage(a_name + ": size " + std::to_string(a.width) + "x" + std::to_string(a.height) + ", not " +
              std::to_string(b.width) + "x" + std::to_string(b.height) + " as in " + b_name);
    for (const Setting& s : settings)
        if (!same_value(a.card(s.card), b.card(s.card)))
            usage(a_name + ": " + s.card + " is " + a.text(s.card) + ", not " + b.text(s.card) + " as in " + b_name +
                  " (" + s.what + ")");
}

void require_type(const CalibImage& img, const std::string& type, const std::string& hint) {
    if (img.text("IMAGETYP") != type)
        usage(img.name() + ": IMAGETYP is '" + img.text("IMAGETYP") + "', not '" + type + "'" + hint);
}

void require_master(const CalibImage& m, MasterKind kind) {
    require_type(m, master_type_name(kind),
                 " (make one with kx29ctl master " + lower(master_type_name(kind) + 7) + ")");
}

// ---- Arithmetic ------------------------------------------------------------------------
// The median of the values that are not NaN (NaN when none is), as numpy takes it.
double median_of(std::vector<double>& v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty()) return std::nan("");
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(mid), v.end());
    double m = v[mid];
    if (v.size() % 2 == 0) m = (m + *std::max_element(v.begin(), v.begin() + static_cast<long>(mid))) / 2;
    return m;
}

double median_of(const std::vector<float>& pixels) {
    std::vector<double> v(pixels.begin(), pixels.end());
    return median_of(v);
}

// Values within sigma standard deviations of their median are kept, again
// and again until none more is dropped; their mean.
double clipped_mean(std::vector<double>& v, double sigma) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    for (size_t before = 0; v.size() > 2 && v.size() != before;) {
        before = v.size();
        double mean = 0, var = 0;
        for (double x : v) mean += x;
        mean /= static_cast<double>(v.size());
        for (double x : v) var += (x - mean) * (x - mean);
        const double limit = sigma * std::sqrt(var / static_cast<double>(v.size()));
        std::vector<double> copy = v;
        const double centre = median_of(copy);
        v.erase(std::remove_if(v.begin(), v.end(), [&](double x) { return std::fabs(x - centre) > limit; }), v.end());
    }
    if (v.empty()) return std::nan("");
    double sum = 0;
    for (double x : v) sum += x;
    return sum / static_cast<double>(v.size());
}

// How a dark is taken off an image: scaled by the ratio of the exposures,
// with the bias taken out of it first when it still holds it.
struct DarkUse {
    double scale = 1;
    bool minus_bias = false;
};

DarkUse dark_use(const CalibImage& target, const CalibImage& dark, const CalibImage* bias) {
    const auto t_dark = dark.number("FRAMEXP");
    if (!t_dark || *t_dark <= 0) usage(dark.name() + ": its exposure (FRAMEXP) is not known: it can't be scaled");
    const auto t = target.number("FRAMEXP");
    if (!t) usage(target.name() + ": its exposure is not known (EXPKNOWN = F): a dark can't be scaled to it");
    const bool bias_subtracted = dark.text("BIASSUB") == "T";
    if (bias_subtracted && !bias)
        usage(dark.name() + " holds the dark current alone (BIASSUB = T): give the master bias too");
    if (!bias_subtracted && !bias && std::fabs(*t - *t_dark) > 1e-6 * *t_dark)
        usage(dark.name() + " still holds the bias (made without a master bias): its exposure " + number_text(*t_dark) +
              " s must be that of " + target.name() + ", " + number_text(*t) + " s, or give the master bias");
    return {*t / *t_dark, !bias_subtracted && bias != nullptr};
}

std::string base_name(const CalibImage& m) { return m.path.empty() ? "(in memory)" : m.path; }

// (target - bias - scale x dark) / (flat / its median), with a HISTORY line for each step.
std::vector<float> reduce(const CalibImage& target, const CalibImage* bias, const CalibImage* dark,
                          const CalibImage* flat, std::vector<std::string>& history) {
    std::vector<double> out(target.pixels.begin(), target.pixels.end());
    const size_t n = out.size();
    if (bias) {
        for (size_t i = 0; i < n; ++i) out[i] -= bias->pixels[i];
        history.push_back("minus master bias " + base_name(*bias));
    }
    if (dark) {
        const DarkUse use = dark_use(target, *dark, bias);
        for (size_t i = 0; i < n; ++i)
            out[i] -= use.scale * (dark->pixels[i] - (use.minus_bias ? bias->pixels[i] : 0.0));
        history.push_back("minus master dark " + base_name(*dark) + " x " + number_text(use.scale) + " (exposure " +
                          number_text(*target.number("FRAMEXP")) + " s / " + number_text(*dark->number("FRAMEXP")) +
                          " s" + (use.minus_bias ? ", its bias taken out)" : ")"));
    }
    if (flat) {
        const double level = median_of(flat->pixels);
        if (!(level > 0)) usage(flat->name() + ": its median is " + number_text(level) + ": not a flat");
        for (size_t i = 0; i < n; ++i) {
            const double f = flat->pixels[i] / level;
            out[i] = f > 0 ? out[i] / f : std::nan("");
        }
        history.push_back("divided by master flat " + base_name(*flat) + " / its median " + number_text(level));
    }
    return std::vector<float>(out.begin(), out.end());
}

void set_card(std::vector<HeaderCard>& cards, HeaderCard c) {
    for (auto& old : cards)
        if (old.name == c.name) {
            old = std::move(c);
            return;
        }
    cards.push_back(std::move(c));
}

void erase_card(std::vector<HeaderCard>& cards, const std::string& name) {
    cards.erase(std::remove_if(cards.begin(), cards.end(), [&](const HeaderCard& c) { return c.name == name; }),
                cards.end());
}

}  // namespace

// ---- CalibImage ------------------------------------------------------------------------
const HeaderCard* CalibImage::card(const std::string& name) const {
    for (const auto& c : cards)
        if (c.name == name) return &c;
    return nullptr;
}

std::string CalibImage::text(const std::string& name) const {
    const HeaderCard* c = card(name);
    if (!c) return "none";
    if (auto* b = std::get_if<bool>(&c->value)) return *b ? "T" : "F";
    if (auto* i = std::get_if<long long>(&c->value)) return std::to_string(*i);
    if (auto* d = std::get_if<double>(&c->value)) return number_text(*d);
    return std::get<std::string>(c->value);
}

std::optional<double> CalibImage::number(const std::string& name) const {
    const HeaderCard* c = card(name);
    if (!c) return std::nullopt;
    if (auto* i = std::get_if<long long>(&c->value)) return static_cast<double>(*i);
    if (auto* d = std::get_if<double>(&c->value)) return *d;
    return std::nullopt;
}

std::string CalibImage::name() const { return path.empty() ? "the image" : path; }

MasterKind parse_master_kind(const std::string& text) {
    const std::string t = upper(text);
    if (t == "BIAS") return MasterKind::Bias;
    if (t == "DARK") return MasterKind::Dark;
    if (t == "FLAT") return MasterKind::Flat;
    usage("master '" + text + "' is not bias, dark or flat");
}

const char* master_type_name(MasterKind k) {
    switch (k) {
        case MasterKind::Bias:
            return "MASTER BIAS";
        case MasterKind::Dark:
            return "MASTER DARK";
        case MasterKind::Flat:
            return "MASTER FLAT";
    }
    return "MASTER BIAS";
}

CombineMethod parse_combine_method(const std::string& text) {
    if (text == "median") return CombineMethod::Median;
    if (text == "sigma-clip") return CombineMethod::SigmaClip;
    usage("combination '" + text + "' is not median or sigma-clip");
}

CalibImage read_calib_image(const std::string& path) {
    CalibImage img;
    img.path = path;
    FitsReader r(path);
    int bitpix = 0, naxis = 0, nkeys = 0;
    long size[2] = {0, 0};
    fits_get_img_param(r.file(), 2, &bitpix, &naxis, size, &r.status());
    r.check();
    if (naxis != 2 || size[0] < 1 || size[1] < 1) usage(path + " is not a two-dimensional image");
    img.width = static_cast<int>(size[0]);
    img.height = static_cast<int>(size[1]);
    fits_get_hdrspace(r.file(), &nkeys, nullptr, &r.status());
    std::optional<double> bzero;
    for (int i = 1; i <= nkeys; ++i) {
        char name[FLEN_KEYWORD] = "", value[FLEN_VALUE] = "", comment[FLEN_COMMENT] = "";
        fits_read_keyn(r.file(), i, name, value, comment, &r.status());
        const std::string key = name;
        if (key == "HISTORY") img.history.push_back(trim_right(comment));
        if (key == "BZERO") bzero = std::strtod(value, nullptr);
        if (key.empty() || key == "HISTORY" || structural_keywords().count(key) || value[0] == '\0') continue;
        HeaderCard c{key, {}, comment, 6};
        c.value = card_value(value, c.decimals);
        img.cards.push_back(std::move(c));
    }
    r.check();
    const std::string form = img.text("PIXFORM");
    if (img.text("INSTRUME") != "KX29" || (form != "RECORD" && form != "SUM" && form != "MEAN"))
        usage(path + " was not written by kx29ctl or the kx29 library (no INSTRUME = 'KX29' and PIXFORM)");

    // The physical values, as any FITS reader takes them: stored x BSCALE + BZERO, BLANK as NaN.
    const long n = size[0] * size[1];
    std::vector<double> v(static_cast<size_t>(n));
    double null_value = std::nan("");
    int any_null = 0;
    fits_read_img(r.file(), TDOUBLE, 1, n, &null_value, v.data(), &any_null, &r.status());
    r.check();
    // The default files keep clipped pixels' record bits (-32768, 32767): not sums.
    const bool rails = form == "RECORD" && img.number("CLIPPED").value_or(0) > 0;
    const double frames = form == "MEAN" ? 1 : std::max(1.0, img.number("NCOMBINE").value_or(1));
    img.pixels.resize(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        const double stored = v[i] - bzero.value_or(0);
        img.pixels[i] = rails && (stored == -32768 || stored == 32767) ? kNaN : static_cast<float>(v[i] / frames);
    }
    return img;
}

CalibImage read_master(const std::string& path, MasterKind kind) {
    CalibImage m = read_calib_image(path);
    require_master(m, kind);
    return m;
}

CalibImage calib_image(const Image& img, const HeaderOptions& opt) {
    HeaderOptions mean = opt;
    mean.form = PixelForm::Mean;
    CalibImage c;
    c.width = img.width();
    c.height = img.height();
    c.cards = header_cards(img, mean);
    c.pixels = img.mean();
    return c;
}

// ---- Masters ---------------------------------------------------------------------------
CalibImage make_master(const std::vector<CalibImage>& frames, const MasterOptions& opt) {
    std::string kind = master_type_name(opt.kind) + 7;  // "BIAS"
    if (frames.empty()) usage("no frames to combine: a master " + lower(kind) + " needs at least one file");
    const CalibImage& first = frames.front();
    std::vector<Setting> series = image_settings();
    series.push_back({"NCOMBINE", "frames per image"});
    if (opt.kind == MasterKind::Dark) series.push_back({"FRAMEXP", "exposure of a frame"});
    for (const CalibImage& f : frames) {
        require_type(f, kind, " (take them with --type " + lower(kind) + ")");
        require_same(f, first, series, f.name(), first.name());
        if (opt.kind != MasterKind::Bias && !f.number("FRAMEXP"))
            usage(f.name() + ": its exposure is not known (EXPKNOWN = F)");
    }
    const CalibImage* bias = opt.kind == MasterKind::Bias ? nullptr : opt.bias;
    const CalibImage* dark = opt.kind == MasterKind::Flat ? opt.dark : nullptr;
    if (bias) {
        require_master(*bias, MasterKind::Bias);
        require_same(*bias, first, image_settings(), bias->name(), first.name());
    }
    if (dark) {
        require_master(*dark, MasterKind::Dark);
        require_same(*dark, first, image_settings(), dark->name(), first.name());
    }

    CalibImage m;
    m.width = first.width;
    m.height = first.height;
    std::vector<std::string> steps;
    std::vector<std::vector<float>> planes;
    for (const CalibImage& f : frames) {
        steps.clear();
        planes.push_back(reduce(f, bias, dark, nullptr, steps));
        std::string line = "input " + f.name();
        if (opt.kind == MasterKind::Flat) {
            const double level = median_of(planes.back());
            if (!(level > 0))
                usage(f.name() + ": its median is " + number_text(level) + " after bias and dark: not a flat");
            for (float& p : planes.back()) p = static_cast<float>(p / level);
            line += " (median " + number_text(level) + ")";
        }
        m.history.push_back(line);
    }
    const std::string method = opt.method == CombineMethod::Median
                                   ? "median"
                                   : "mean within " + number_text(opt.sigma) + " sigma of the median";
    std::vector<std::string> head = {"Master " + lower(kind) + ": " + method + " of " + std::to_string(frames.size()) +
                                     " images, each as its mean frame"};
    for (const auto& s : steps) head.push_back("each " + s);
    if (opt.kind == MasterKind::Flat) head.push_back("each divided by its median, the result by its own");
    m.history.insert(m.history.begin(), head.begin(), head.end());

    m.pixels.resize(planes.front().size());
    std::vector<double> column(planes.size());
    for (size_t i = 0; i < m.pixels.size(); ++i) {
        column.resize(planes.size());
        for (size_t k = 0; k < planes.size(); ++k) column[k] = planes[k][i];
        m.pixels[i] = static_cast<float>(opt.method == CombineMethod::Median ? median_of(column)
                                                                             : clipped_mean(column, opt.sigma));
    }
    if (opt.kind == MasterKind::Flat) {
        const double level = median_of(m.pixels);
        if (!(level > 0)) usage("the combined flat's median is " + number_text(level) + ": not a flat");
        for (float& p : m.pixels) p = static_cast<float>(p / level);
    }

    // The cards: the settings the frames were taken with, and what the master is.
    using LL = long long;
    auto copy = [&](const char* name) {
        if (const HeaderCard* c = first.card(name)) m.cards.push_back(*c);
    };
    auto add = [&](const char* name, CardValue v, const char* comment, int decimals = 6) {
        m.cards.push_back({name, std::move(v), comment, decimals});
    };
    copy("INSTRUME");
    add("CREATOR", opt.creator, "program that wrote this file");
    add("IMAGETYP", std::string(master_type_name(opt.kind)), "combined from images of one kind");
    copy("TIMESYS");
    copy("DATE-OBS");
    if (const HeaderCard* end = frames.back().card("DATE-END")) m.cards.push_back(*end);
    if (auto t = first.number("FRAMEXP")) add("EXPTIME", *t, "[s] light in the mean frame", 3);
    copy("FRAMEXP");
    copy("EXPREQ");
    add("NCOMBINE", LL(frames.size()), "number of images combined");
    if (auto nf = first.number("NCOMBINE")) add("NFRAMES", LL(*nf), "frames summed into each image combined");
    add("PIXFORM", std::string("MEAN"), "grey levels of one frame");
    add("COMBINE", std::string(opt.method == CombineMethod::Median ? "MEDIAN" : "SIGCLIP"),
        "how the images were combined, pixel by pixel");
    if (opt.method == CombineMethod::SigmaClip)
        add("CLIPSIG", opt.sigma, "kept within this many sigma of the median", -1);
    if (opt.kind != MasterKind::Bias) add("BIASSUB", bias != nullptr, "a master bias was subtracted");
    if (opt.kind == MasterKind::Flat) add("DARKSUB", dark != nullptr, "a master dark was subtracted");
    copy("BUNIT");
    for (const Setting& s : image_settings()) copy(s.card);
    copy("ROWORDER");
    copy("TANDEM");
    return m;
}

// ---- Calibration -----------------------------------------------------------------------
void check_masters(const CalibImage& image, const Masters& m) {
    const std::pair<const std::optional<CalibImage>*, MasterKind> slots[] = {
        {&m.bias, MasterKind::Bias}, {&m.dark, MasterKind::Dark}, {&m.flat, MasterKind::Flat}};
    for (auto [master, kind] : slots) {
        if (!*master) continue;
        require_master(**master, kind);
        require_same(**master, image, image_settings(), (*master)->name(), image.name());
    }
    if (m.dark) dark_use(image, *m.dark, m.bias ? &*m.bias : nullptr);
}

CalibImage calibrate(const CalibImage& image, const Masters& m) {
    check_masters(image, m);
    CalibImage out;
    out.width = image.width;
    out.height = image.height;
    out.cards = image.cards;
    out.history = image.history;
    std::vector<std::string> steps;
    out.pixels =
        reduce(image, m.bias ? &*m.bias : nullptr, m.dark ? &*m.dark : nullptr, m.flat ? &*m.flat : nullptr, steps);
    out.history.push_back("Calibrated from the mean frame of " + image.name() + ":");
    for (auto& s : steps) out.history.push_back(s);
    set_card(out.cards, {"PIXFORM", std::string("MEAN"), "grey levels of one frame, calibrated"});
    if (auto t = image.number("FRAMEXP")) set_card(out.cards, {"EXPTIME", *t, "[s] light in the mean frame", 3});
    if (m.dark) {
        const double scale = dark_use(image, *m.dark, m.bias ? &*m.bias : nullptr).scale;
        set_card(out.cards, {"DARKSCAL", scale, "master dark scaled by the ratio of exposures", -1});
    }
    erase_card(out.cards, "ADDLEV");  // describes the record's sums, not these pixels
    return out;
}

Masters find_masters(const std::string& dir, const CalibImage& image) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) usage("no directory " + dir);
    struct Found {
        CalibImage img;
        fs::file_time_type time;
    };
    std::vector<Found> candidates[3];
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        std::string ext = upper(entry.path().extension().string());
        if (!entry.is_regular_file() || (ext != ".FITS" && ext != ".FIT")) continue;
        try {
            CalibImage c = read_calib_image(entry.path().string());
            for (MasterKind k : {MasterKind::Bias, MasterKind::Dark, MasterKind::Flat}) {
                if (c.text("IMAGETYP") != master_type_name(k)) continue;
                require_same(c, image, image_settings(), c.name(), image.name());
                candidates[static_cast<int>(k)].push_back({std::move(c), entry.last_write_time()});
                break;
            }
        } catch (const Error&) {
            // not a master, or not this image's: passed over
        }
    }
    auto newest = [](std::vector<Found>& v) -> std::optional<CalibImage> {
        if (v.empty()) return std::nullopt;
        auto it = std::max_element(v.begin(), v.end(), [](auto& a, auto& b) { return a.time < b.time; });
        return std::move(it->img);
    };
    Masters m;
    m.bias = newest(candidates[0]);
    m.flat = newest(candidates[2]);
    // Darks: those that can be scaled to the image with the bias found, nearest its exposure first.
    const double t = image.number("FRAMEXP").value_or(0);
    double best = HUGE_VAL;
    for (auto& d : candidates[1]) {
        try {
            dark_use(image, d.img, m.bias ? &*m.bias : nullptr);
        } catch (const Error&) {
            continue;
        }
        const double distance = std::fabs(std::log(d.img.number("FRAMEXP").value_or(1) / std::max(t, 1e-9)));
        if (distance < best) best = distance, m.dark = d.img;
    }
    if (m.empty())
        usage("no master in " + dir + " matches the image (channel " + image.text("CHANNEL") + ", format " +
              image.text("FORMAT") + ", reference level " + image.text("REFLEV") + ", window " + image.text("WINCOL0") +
              "," + image.text("WINLIN0") + "," + image.text("WINCOLS") + "," + image.text("WINLINES") + ")");
    return m;
}

std::string calibrated_name(const std::string& path) {
    fs::path p(path);
    return (p.parent_path() / (p.stem().string() + "_cal" + p.extension().string())).string();
}

std::string encode_calib_fits(const CalibImage& img) {
    return encode_float_fits(img.width, img.height, img.pixels, img.cards,
                             {"Pixels are grey levels of one frame (PIXFORM = 'MEAN'); NaN where not known."},
                             img.history);
}

void save_calib_image(const std::string& path, const CalibImage& img, bool overwrite) {
    write_file(path, encode_calib_fits(img), overwrite);
}

std::array<int, KX29_MAX_COLS> column_profile(const CalibImage& master) {
    const std::string type = master.text("IMAGETYP");
    if (type == "MASTER FLAT")
        usage(master.name() +
              " is a master flat: the daemon's correction removes additive column offsets, "
              "give a master bias or dark");
    if (type != "MASTER BIAS" && type != "MASTER DARK")
        usage(master.name() + ": IMAGETYP is '" + type + "', not 'MASTER BIAS' or 'MASTER DARK'");
    const int x0 = static_cast<int>(-master.number("LTV1").value_or(0));
    if (x0 < 0 || x0 + master.width > KX29_MAX_COLS)
        usage(master.name() + ": columns " + std::to_string(x0) + ".." + std::to_string(x0 + master.width - 1) +
              " are not within the 768 of a line");
    std::vector<double> col(static_cast<size_t>(master.width), std::nan(""));
    double total = 0;
    int columns = 0;
    for (int x = 0; x < master.width; ++x) {
        double sum = 0;
        int n = 0;
        for (int y = 0; y < master.height; ++y) {
            const float v = master.pixels[static_cast<size_t>(y) * master.width + x];
            if (!std::isnan(v)) sum += v, ++n;
        }
        if (n > 0) col[x] = sum / n, total += col[x], ++columns;
    }
    if (columns == 0) usage(master.name() + " has no pixel with a value");
    const double mean = total / columns;
    std::array<long long, KX29_MAX_COLS> offset{};
    for (int x = 0; x < master.width; ++x)
        if (!std::isnan(col[x])) offset[x0 + x] = std::llround(256 * (col[x] - mean));
    const long long lift = 1 - *std::min_element(offset.begin(), offset.end());
    std::array<int, KX29_MAX_COLS> profile{};
    for (int j = 0; j < KX29_MAX_COLS; ++j) profile[j] = static_cast<int>(offset[j] + lift);
    return profile;
}

}  // namespace kx29
