// Calibration: masters made by kx29ctl from series of the library's files (in every pixel form),
// a light calibrated with them checked against the light put in, the cards read back by CFITSIO
// and astropy and the reduction redone with ccdproc; and the refusals of mismatched frames.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "daemon_harness.h"
#include "kx29/calib.h"
#include "kx29/image_file.h"

#include <cmath>
#include <numeric>
#include <random>
#include <sstream>

namespace {

using namespace kx29test;
using kx29t::run_command;

constexpr int kW = 64, kH = 48;  // the window, at 100,50 of the 768x576 image
constexpr double kNoise = 2.0;   // grey levels rms in each frame

// The camera: a bias with column offsets, dark current with hot pixels, a vignetted flat.
double bias_at(int x, int y) { return 20 + (x % 7) * 1.5 + ((x * 31 + y * 17) % 5) * 0.3; }
double dark_at(int x, int y) { return (x * 13 + y * 7) % 97 == 0 ? 12.0 : 2.0; }  // grey levels per second
double flat_at(int x, int y) { return 1 + 0.15 * std::sin(x / 9.0) * std::cos(y / 7.0); }

struct Shot {
    const char* type;
    double exposure;  // requested, s (channel 1's long-exposure camera)
    double light;     // grey levels reaching a pixel of flat 1 in a frame
    kx29::PixelForm form = kx29::PixelForm::Record;
    int frames = 4, ref_lev = 60, format = 1, col0 = 100;
};

std::mt19937 noise_source(29);

// An image of `frames` frames as the daemon sums them, written through the library.
void take(const Shot& s, const std::string& path, bool clip_one = false) {
    kx29::Image img;
    img.channel = 1;
    kx29::ChannelState& st = img.state;
    st.num = 1, st.tandem = 1, st.exposure = s.exposure, st.form = s.format, st.ref_lev = s.ref_lev;
    st.img_width = 768, st.img_height = 576, st.window = {s.col0, 50, kW, kH};
    st.nadd = st.nadded = s.frames, st.addlev = 37 * (s.frames - 1), st.tstart = st.tcurr = 1700000000;
    img.region = st.window;
    img.exposure_s = kx29::image_exposure(st);
    img.ccd_corrected = false;
    const double t = std::string(s.type) == "bias" ? 0 : kx29::frame_exposure(st);
    std::normal_distribution<double> noise(0, kNoise);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            int sum = 0;
            for (int f = 0; f < s.frames; ++f) {
                const double v = bias_at(x, y) + dark_at(x, y) * t + flat_at(x, y) * s.light + noise(noise_source);
                sum += static_cast<int>(std::clamp(std::lround(v), 0L, 255L));
            }
            img.pixels.push_back(static_cast<int16_t>(sum - st.addlev));
        }
    if (clip_one) img.pixels[5 * kW + 5] = 32767, img.clipped = 1;
    kx29::WriteOptions w;
    w.header.form = s.form;
    w.header.type = kx29::parse_image_type(s.type);
    w.overwrite = true;
    kx29::save_image(path, img, w);
}

std::vector<std::string> series(const Shot& s, const std::string& name, int count) {
    std::vector<std::string> paths;
    const kx29::PixelForm forms[] = {kx29::PixelForm::Record, kx29::PixelForm::Sum, kx29::PixelForm::Mean};
    for (int k = 0; k < count; ++k) {
        Shot one = s;
        one.form = forms[k % 3];  // a reader of physical values takes all three alike
        paths.push_back(name + std::to_string(k) + ".fits");
        take(one, paths.back(), k < 2);  // a clipped pixel, kept as the record's bits and as BLANK
    }
    return paths;
}

CtlResult master(const std::string& kind, std::vector<std::string> files, const std::string& out,
                 std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"master", kind, "-o", out};
    args.insert(args.end(), files.begin(), files.end());
    args.insert(args.end(), extra.begin(), extra.end());
    for (auto& a : args)  // kx29ctl runs in a directory of its own
        if (a.ends_with(".fits")) a = std::filesystem::absolute(a).string();
    return run_ctl(args, "");
}

TEST(ClientCalib, MastersCalibrateALightToItsSky) {
    Scratch dir;
    const Shot bias{"bias", 0, 0}, dark{"dark", 2.0, 0}, flat{"flat", 0.2, 150}, light{"light", 0.8, 60};
    auto biases = series(bias, "bias", 9), darks = series(dark, "dark", 9), flats = series(flat, "flat", 7);
    auto r = master("bias", biases, "mbias.fits");
    ASSERT_EQ(r.status, 0) << r.err;
    r = master("dark", darks, "mdark.fits", {"--bias", "mbias.fits", "--method", "sigma-clip"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = master("flat", flats, "mflat.fits", {"--bias", "mbias.fits", "--dark", "mdark.fits"});
    ASSERT_EQ(r.status, 0) << r.err;
    take(light, "light.fits");

    kx29::Masters m{kx29::read_master("mbias.fits", kx29::MasterKind::Bias),
                    kx29::read_master("mdark.fits", kx29::MasterKind::Dark),
                    kx29::read_master("mflat.fits", kx29::MasterKind::Flat)};
    // The clipped pixel of the first two frames is left out, not averaged in.
    EXPECT_NEAR(m.bias->pixels[5 * kW + 5], bias_at(5, 5), 1.0);
    kx29::save_calib_image("cal.fits", kx29::calibrate(kx29::read_calib_image("light.fits"), m), false);

    // The sky is flat: 8x8 blocks within 1 % of the mean (uncorrected, the flat alone makes 15 %).
    auto cal = read_fits("cal.fits");
    ASSERT_EQ(cal.pixels.size(), size_t{kW * kH});
    double sky = 0, worst = 0;
    for (double v : cal.pixels) sky += v / (kW * kH);
    for (int by = 0; by < kH; by += 8)
        for (int bx = 0; bx < kW; bx += 8) {
            double block = 0;
            for (int y = by; y < by + 8; ++y)
                for (int x = bx; x < bx + 8; ++x) block += cal.pixels[y * kW + x] / 64;
            worst = std::max(worst, std::fabs(block / sky - 1));
        }
    EXPECT_NEAR(sky, 60, 0.6);
    EXPECT_LT(worst, 0.01) << "sky " << sky;
    // Darks calibrated with bias and dark average 0 within the noise of their mean.
    const double noise_of_mean = kNoise / std::sqrt(4.0 * kW * kH);
    for (const auto& d : {darks[1], darks[2]}) {
        auto res = kx29::calibrate(kx29::read_calib_image(d), {m.bias, m.dark, std::nullopt});
        double mean = 0, known = 0;  // the clipped pixel stays unknown
        for (float v : res.pixels)
            if (!std::isnan(v)) mean += v, ++known;
        mean /= known;
        EXPECT_EQ(known, kW * kH - (d == darks[1]));
        EXPECT_LT(std::fabs(mean), 3 * noise_of_mean) << d;
        std::printf("%s: mean after calibration %.4f, noise of the mean %.4f\n", d.c_str(), mean, noise_of_mean);
    }
    std::printf("sky %.3f, worst 8x8 block %.3f %% off\n", sky, 100 * worst);

    // The cards, by CFITSIO and by astropy, and fitsverify's word.
    const std::map<std::string, std::map<std::string, std::string>> cards = {
        {"mbias.fits", {{"IMAGETYP", "'MASTER BIAS'"}, {"NCOMBINE", "9"}, {"NFRAMES", "4"}, {"BITPIX", "-32"},
                        {"EXPTIME", "0.040"}, {"CHANNEL", "1"}, {"REFLEV", "60"}, {"WINCOL0", "100"},
                        {"LTV1", "-100"}, {"COMBINE", "'MEDIAN  '"}, {"FORMAT", "1"}}},
        {"mdark.fits", {{"IMAGETYP", "'MASTER DARK'"}, {"EXPTIME", "2.000"}, {"BIASSUB", "T"}, {"COMBINE", "'SIGCLIP '"}}},
        {"mflat.fits", {{"IMAGETYP", "'MASTER FLAT'"}, {"NCOMBINE", "7"}, {"BIASSUB", "T"}, {"DARKSUB", "T"}}},
        {"cal.fits", {{"IMAGETYP", "'LIGHT   '"}, {"PIXFORM", "'MEAN    '"}, {"EXPTIME", "0.800"}, {"DARKSCAL", "0.4"},
                      {"NCOMBINE", "4"}, {"BZERO", ""}, {"ADDLEV", ""}}}};
    for (const auto& [file, expected] : cards) {
        SCOPED_TRACE(file);
        EXPECT_TRUE(fitsverify(file));
        auto f = read_fits(file);
        for (const auto& [key, value] : expected) EXPECT_EQ(value.empty() ? "" : f.keys[key], value) << key;
    }
    const std::string py = run_command(
        "/usr/bin/python3 -c \"from astropy.io import fits; h = fits.getheader('cal.fits'); "
        "print(h['IMAGETYP'], len(h['HISTORY']), fits.getheader('mbias.fits')['HISTORY'][1].split('/')[-1])\" 2>&1");
    EXPECT_EQ(py, "LIGHT 4 bias0.fits\n");

    // ccdproc, given the raw files, reduces them to the same pixels (mean frames: physical / NCOMBINE).
    const std::string ccdproc = run_command(R"(/usr/bin/python3 - 2>&1 <<'EOF'
import glob, warnings, numpy as np, astropy.units as u, ccdproc
from astropy.nddata import CCDData
from astropy.stats import sigma_clip
warnings.simplefilter("ignore")
def frames(pattern):
    out = []
    for p in sorted(glob.glob(pattern)):
        c = CCDData.read(p)
        data = c.data / (1 if c.header["PIXFORM"] == "MEAN" else c.header["NCOMBINE"])
        if c.header["CLIPPED"]: data[5, 5] = np.nan
        out.append(CCDData(data, unit="adu", meta=c.header))
    return out
def scaled(c, dark):
    return ccdproc.subtract_dark(ccdproc.subtract_bias(c, bias), dark, dark_exposure=2.0 * u.s,
                                 data_exposure=c.header["FRAMEXP"] * u.s, scale=True)
bias = CCDData(np.nanmedian([c.data for c in frames("bias*.fits")], axis=0), unit="adu")
darks = [ccdproc.subtract_bias(c, bias).data for c in frames("dark*.fits")]
clipped = sigma_clip(np.ma.masked_invalid(darks), sigma=3, maxiters=None, axis=0)
dark = CCDData(clipped.mean(axis=0).filled(np.nan), unit="adu")
flats = [scaled(c, dark).data for c in frames("flat*.fits")]
flat = np.nanmedian([f / np.nanmedian(f) for f in flats], axis=0)
flat = CCDData(flat / np.nanmedian(flat), unit="")
light = ccdproc.flat_correct(scaled(frames("light.fits")[0], dark), flat, norm_value=1)
ours = CCDData.read("cal.fits").data
print("%.2e" % np.nanmax(np.abs(ours - light.data) / np.abs(light.data)))
EOF)");
    std::printf("ccdproc agrees within %s", ccdproc.c_str());
    EXPECT_LT(std::atof(ccdproc.c_str()), 1e-5) << ccdproc;
}

// A master is refused when its frames, or the masters it is given, do not match.
TEST(ClientCalib, MismatchedFramesAreRefused) {
    Scratch dir;
    const Shot bias{"bias", 0, 0};
    auto biases = series(bias, "b", 2);
    ASSERT_EQ(master("bias", biases, "mbias.fits").status, 0);
    struct Row {
        const char* kind;
        Shot odd;
        std::vector<std::string> extra;
        const char* error;
    };
    const Shot dark{"dark", 2.0, 0};
    const Row rows[] = {
        {"bias", {"bias", 0, 0, kx29::PixelForm::Record, 4, 60, 2}, {}, "odd.fits: FORMAT is 2, not 1 as in /"},
        {"bias", {"bias", 0, 0, kx29::PixelForm::Sum, 4, 60, 1, 90}, {}, "WINCOL0 is 90, not 100"},
        {"bias", {"bias", 0, 0, kx29::PixelForm::Mean, 4, 40}, {}, "REFLEV is 40, not 60 as in /"},
        {"bias", {"bias", 0, 0, kx29::PixelForm::Record, 8}, {}, "NCOMBINE is 8, not 4"},
        {"dark", {"dark", 1.0, 0}, {}, "FRAMEXP is 1, not 2 as in /"},
        {"bias", {"light", 0, 0}, {}, "odd.fits: IMAGETYP is 'LIGHT', not 'BIAS'"},
        {"dark", dark, {"--bias", "b0.fits"}, "b0.fits: IMAGETYP is 'BIAS', not 'MASTER BIAS'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        take(std::string(row.kind) == "dark" ? dark : bias, "x0.fits");
        take(row.odd, "odd.fits");
        auto r = master(row.kind, {"x0.fits", "odd.fits"}, "m.fits", row.extra);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(contains(r.err, row.error)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
        EXPECT_FALSE(std::filesystem::exists("m.fits"));
    }
    EXPECT_TRUE(contains(error_of([] { kx29::make_master({}, {}); }), "no frames to combine"));

    // Masters against an image: settings, and a dark that can't be scaled without its bias.
    ASSERT_EQ(master("dark", {"x0.fits"}, "mdark.fits", {"--bias", "mbias.fits"}).status, 0);
    take({"light", 0.8, 60, kx29::PixelForm::Record, 4, 40}, "l40.fits");
    take({"light", 0.8, 60}, "l60.fits");
    auto mb = kx29::read_master("mbias.fits", kx29::MasterKind::Bias);
    auto md = kx29::read_master("mdark.fits", kx29::MasterKind::Dark);
    auto calibrate = [](const char* file, kx29::Masters m) { kx29::calibrate(kx29::read_calib_image(file), m); };
    const std::pair<std::function<void()>, const char*> uses[] = {
        {[&] { calibrate("l40.fits", {mb, {}, {}}); }, "mbias.fits: REFLEV is 60, not 40"},
        {[&] { calibrate("l60.fits", {{}, md, {}}); }, "give the master bias too"},
        {[&] { kx29::read_master("mdark.fits", kx29::MasterKind::Flat); }, "not 'MASTER FLAT'"},
        {[&] { kx29::column_profile(kx29::read_calib_image("l60.fits")); }, "not 'MASTER BIAS' or 'MASTER DARK'"},
    };
    for (const auto& [use, error] : uses) EXPECT_TRUE(contains(error_of(use), error)) << error_of(use);

    // A "flat" that took no light is its bias again: nothing to divide by.
    for (const char* type : {"bias", "flat"}) {
        noise_source.seed(3);
        take({type, 0, 0}, std::string(type) + "-only.fits");
    }
    ASSERT_EQ(master("bias", {"bias-only.fits"}, "mb1.fits").status, 0);
    auto r = master("flat", {"flat-only.fits"}, "mf.fits", {"--bias", "mb1.fits"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "flat-only.fits: its median is 0 after bias and dark: not a flat")) << r.err;
}

// A night on the simulated board's long-exposure camera: biases and darks capped, flats on a
// panel, then lights of an empty sky calibrated by kx29ctl acquire as they are taken. The
// vignetting and dust the raw sky shows are gone, and calibrated darks are 0 within their
// noise. Masters of other settings are refused before any light is spent, and a master bias
// fills the daemon's column profile.
TEST(ClientCalib, ASimulatedNightGivesAFlatSky) {
    Scratch dir;
    const std::vector<std::string> window{"-c", "1", "--window", "full"};
    auto session = [&](const std::string& sim, std::vector<std::vector<std::string>> commands,
                       const std::function<void(kx29harness::Daemon&)>& then = {}) {
        kx29harness::Daemon d(sim + ",stars=0,sky=40");
        ASSERT_TRUE(d.start()) << d.err();
        for (auto args : commands) {
            args.insert(args.begin() + 1, window.begin(), window.end());
            auto r = run_ctl(args, d.key(), 120);
            ASSERT_EQ(r.status, 0) << testing::PrintToString(args) << r.err;
        }
        if (then) then(d);
    };
    auto files = [&](const std::string& stem, int n) {
        std::vector<std::string> v;
        for (int k = 1; k <= n; ++k) v.push_back(dir / (stem + "_00" + std::to_string(k) + ".fits"));
        return v;
    };
    session("covered=1", {{"acquire", "--exposure", "0", "--frames", "8", "--images", "5", "--type", "bias", "-o",
                           dir / "bias.fits"},
                          {"acquire", "--exposure", "2", "--images", "5", "--type", "dark", "-o", dir / "dark.fits"}});
    ASSERT_EQ(master("bias", files("bias", 5), dir / "mb.fits").status, 0);
    ASSERT_EQ(master("dark", files("dark", 5), dir / "md.fits", {"--bias", dir / "mb.fits"}).status, 0);
    session("flatpanel=1",
            {{"acquire", "--exposure", "2.5", "--images", "5", "--type", "flat", "-o", dir / "flat.fits"}});
    auto r = master("flat", files("flat", 5), dir / "mf.fits", {"--bias", dir / "mb.fits", "--dark", dir / "md.fits"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string mb = dir / "mb.fits";
    session("seed=7",
            {{"acquire", "--exposure", "1", "--frames", "4", "--bias", mb, "--dark", dir / "md.fits", "--flat",
              dir / "mf.fits", "-o", dir / "sky.fits"},
             {"acquire", "--exposure", "1", "--calib", dir.path().string(), "--no-raw", "-o", dir / "n.fits"},
             {"set", "--column-profile-from", mb}},
            [&](kx29harness::Daemon& d) {
                const auto profile = kx29::column_profile(kx29::read_calib_image(mb));
                EXPECT_TRUE(std::equal(profile.begin(), profile.end(), d.record(1)->flat));
                EXPECT_EQ(*std::min_element(profile.begin(), profile.end()), 1);
                const std::pair<std::vector<std::string>, const char*> refused[] = {
                    {{"acquire", "-c", "1", "--ref-lev", "40", "--bias", mb, "-o", dir / "x.fits"},
                     "mb.fits: REFLEV is 60, not 40 as in the image (reference level)"},
                    {{"set", "-c", "0", "--column-profile-from", mb}, "CHANNEL is 1, not 0 as asked"}};
                for (const auto& [args, error] : refused) {
                    auto r = run_ctl(args, d.key(), 60);
                    EXPECT_TRUE(r.status == 2 && contains(r.err, error)) << r.err;
                }
                EXPECT_EQ(d.record(1)->ref_lev, 60);
            });
    EXPECT_FALSE(std::filesystem::exists(dir / "x.fits") || std::filesystem::exists(dir / "n.fits"));
    // kx29ctl wrote what the library makes of the raw image.
    kx29::Masters all{kx29::read_master(mb, kx29::MasterKind::Bias),
                      kx29::read_master(dir / "md.fits", kx29::MasterKind::Dark),
                      kx29::read_master(dir / "mf.fits", kx29::MasterKind::Flat)};
    auto again = kx29::calibrate(kx29::read_calib_image(dir / "sky.fits"), all);
    EXPECT_TRUE(kx29t::read_file(dir / "sky_cal.fits").find("HISTORY minus master bias " + mb) != std::string::npos);

    // The largest departure of a 32x32 block's mean from the image's mean, as a fraction of it
    // (the noise of a calibrated block's mean is about 0.2 %).
    auto unevenness = [](const std::vector<float>& p, int w, int h) {
        std::vector<double> blocks;
        for (int by = 0; by + 32 <= h; by += 32)
            for (int bx = 0; bx + 32 <= w; bx += 32) {
                double sum = 0;
                int known = 0;  // a hot pixel that saturated the flats is not known
                for (int y = by; y < by + 32; ++y)
                    for (int x = bx; x < bx + 32; ++x)
                        if (const float v = p[static_cast<size_t>(y) * w + x]; !std::isnan(v)) sum += v, ++known;
                blocks.push_back(sum / known);
            }
        const double mean = std::accumulate(blocks.begin(), blocks.end(), 0.0) / static_cast<double>(blocks.size());
        double worst = 0;
        for (double b : blocks) worst = std::max(worst, std::fabs(b / mean - 1));
        return worst;
    };
    auto raw = kx29::read_calib_image(dir / "sky.fits"), cal = kx29::read_calib_image(dir / "sky_cal.fits");
    EXPECT_TRUE(std::equal(cal.pixels.begin(), cal.pixels.end(), again.pixels.begin(), again.pixels.end(),
                           [](float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }));
    EXPECT_TRUE(std::filesystem::exists(dir / "n_cal.fits"));
    const double raw_off = unevenness(raw.pixels, raw.width, raw.height),
                 cal_off = unevenness(cal.pixels, cal.width, cal.height);
    std::printf("simulated sky: raw blocks up to %.2f %% off, calibrated %.2f %%\n", 100 * raw_off, 100 * cal_off);
    EXPECT_GT(raw_off, 0.03);  // the bias dilutes the vignetting in the raw image
    EXPECT_LT(cal_off, 0.01);
    auto dark = kx29::calibrate(kx29::read_calib_image(files("dark", 5)[2]), {all.bias, all.dark, std::nullopt});
    const double n = static_cast<double>(dark.pixels.size());
    double mean = 0, var = 0;
    for (float v : dark.pixels) mean += v / n;
    for (float v : dark.pixels) var += (v - mean) * (v - mean) / n;
    const double noise_of_mean = std::sqrt(var / n);
    std::printf("simulated dark after calibration: mean %.4f, noise of the mean %.4f\n", mean, noise_of_mean);
    EXPECT_LT(std::fabs(mean), 3 * noise_of_mean);
}

}  // namespace
