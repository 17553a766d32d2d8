// FITS headers: every card true of the pixels and of the record the image came from, as
// readers that know nothing of this program take them (CFITSIO and astropy).
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "kx29/image_file.h"

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <sstream>

namespace {

using namespace kx29test;
using kx29t::run_command;

// Physical values of the given FITS pixels (0-based x, y) as astropy reads them, "nan" for NaN.
std::vector<std::string> astropy_values(const std::string& path, const std::vector<std::pair<int, int>>& at) {
    std::string list;
    for (auto [x, y] : at) list += "(" + std::to_string(y) + "," + std::to_string(x) + "),";
    const std::string cmd = "/usr/bin/python3 -c \"from astropy.io import fits; d = fits.getdata('" + path +
                            "'); print(' '.join(repr(float(d[a])) for a in [" + list + "]))\" 2>&1";
    std::vector<std::string> out;
    std::istringstream words(run_command(cmd));
    for (std::string w; words >> w;) out.push_back(w);
    return out;
}

std::string text(double v) {
    if (std::isnan(v)) return "nan";
    std::ostringstream s;
    s << std::setprecision(17) << v;
    return s.str() + (s.str().find_first_of(".e") == std::string::npos ? ".0" : "");
}

// Each row: how the record got there, then the cards and physical pixel values a reader must see.
TEST(ClientHeaders, EveryCardIsTrueOfThePixelsAndTheRecord) {
    const double nan = std::nan("");
    struct Row {
        const char* what;
        std::vector<std::string> save_args;
        std::function<void(HandMadeSegment&, TVchan*)> prepare;
        std::map<std::string, std::string> cards;  // "" for a card that must be absent
        std::array<double, 3> values;              // NaN: undefined; record pixels (15,25)=-32768, (15,26)=32767, (16,25)=500
    };
    auto summed_long_exposure = [](HandMadeSegment& seg, TVchan* r) {
        seg.set_exposure(1, 2.5);  // runs 63 steps of 0.04 s
        r->nadded = r->nadd = 4, r->addlev = 100, r->seqn = 9, r->tcurr = 1700000008;
        seg.post(1, "Frame9(Add4 SubLev=100): Min=3 Max=255 Med=40.0 Avr=41.0 Disp=2.00");
    };
    const std::map<std::string, std::string> every = {{"TIMESYS", "'UTC     '"}, {"ROWORDER", "'TOP-DOWN'"},
                                                      {"BUNIT", "'adu     '"}, {"LTV1", "-10"}, {"LTV2", "-20"}};
    const Row rows[] = {
        {"4 long exposures, two pixels clipped, as the record holds them",
         {"--key", "OBJECT=M42", "--type", "dark"},
         summed_long_exposure,
         {{"BITPIX", "16"}, {"BZERO", "100"}, {"BSCALE", "1"}, {"EXPTIME", "10.080"}, {"FRAMEXP", "2.520"},
          {"EXPREQ", "2.500"}, {"EXPKNOWN", "T"}, {"CLIPPED", "2"}, {"SATURATD", "T"}, {"FRAMEMAX", "255"},
          {"DATE-OBS", "'2023-11-14T22:13:20'"}, {"MJD-OBS", "60262.92592593"},
          {"DATE-END", "'2023-11-14T22:13:30'"}, {"CCDCORR", "F"}, {"OBJECT", "'M42     '"},
          {"IMAGETYP", "'DARK    '"}, {"CCDBIAS", ""}},
         {-32668, 32867, 600}},
        {"the same as true sums: clipped pixels BLANK",
         {"--sum"},
         summed_long_exposure,
         {{"BITPIX", "32"}, {"BLANK", "-2147483648"}, {"BZERO", ""}, {"EXPTIME", "10.080"}, {"CLIPPED", "2"}},
         {nan, nan, 600}},
        {"the same as the mean frame: clipped pixels NaN, EXPTIME of one frame",
         {"--mean"},
         summed_long_exposure,
         {{"BITPIX", "-32"}, {"EXPTIME", "2.520"}, {"FRAMEXP", "2.520"}, {"NCOMBINE", "4"}, {"BZERO", ""}, {"CLIPPED", "2"}},
         {nan, nan, 150}},
        {"a cleared image: no light, no dates, no frame maximum",
         {},
         [](HandMadeSegment& seg, TVchan* r) {
             r->nadded = 0, r->addlev = 0, r->seqn = 3;
             std::fill(std::begin(r->image), std::end(r->image), 0);
             r->image[25 * 768 + 16] = 500;
             seg.post(1, "Frame2(Get1 SubLev=0): Min=3 Max=255 Med=40.0 Avr=41.0 Disp=2.00");
         },
         {{"NCOMBINE", "0"}, {"EXPTIME", "0.000"}, {"DATE-OBS", ""}, {"DATE-END", ""}, {"SATURATD", ""},
          {"FRAMEMAX", ""}, {"CLIPPED", "0"}, {"BZERO", "0"}},
         {0, 0, 500}},
        {"one frame that reached white: its maximum, as of a sum",
         {},
         [](HandMadeSegment& seg, TVchan* r) {
             r->nadded = r->nadd = 1, r->addlev = 0, r->seqn = 5;
             seg.post(1, "Frame5(Get1 SubLev=0): Min=3 Max=255 Med=40.0 Avr=41.0 Disp=2.00");
         },
         {{"NCOMBINE", "1"}, {"FRAMEMAX", "255"}, {"SATURATD", "T"}},
         {-32768, 32767, 500}},
        {"a long exposure cut short by an abort: light, end and correction unknown",
         {},
         [](HandMadeSegment& seg, TVchan* r) {
             seg.set_exposure(1, 2.5);
             r->command = CMD_ACQUIRE | CMD_CCD, r->nexp = r->nadd = r->nadded = 1, r->addlev = 0;
             seg.set_pid(0);
             ASSERT_EQ(run_ctl({"abort", "-c", "1"}, seg.key()).status, 0);
         },
         {{"EXPKNOWN", "F"}, {"EXPTIME", ""}, {"FRAMEXP", ""}, {"DATE-END", ""}, {"CCDCORR", ""},
          {"DATE-OBS", "'2023-11-14T22:13:20'"}, {"CLIPPED", "0"}},
         {-32768, 32767, 500}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        HandMadeSegment seg;
        Scratch dir;
        TVchan* r = seg.record(1);
        r->frm_col0 = 10, r->frm_lin0 = 20, r->frm_width = 30, r->frm_height = 40;
        r->image[25 * 768 + 15] = -32768, r->image[26 * 768 + 15] = 32767, r->image[25 * 768 + 16] = 500;
        row.prepare(seg, r);
        if (testing::Test::HasFatalFailure()) return;
        const std::string path = dir / "h.fits";
        std::vector<std::string> args{"save", "-c", "1", "-o", path};
        args.insert(args.end(), row.save_args.begin(), row.save_args.end());
        auto res = run_ctl(args, seg.key());
        ASSERT_EQ(res.status, 0) << res.err;
        EXPECT_EQ(contains(res.err, "clipped"), row.cards.count("CLIPPED") && row.cards.at("CLIPPED") != "0");
        EXPECT_TRUE(fitsverify(path));
        auto f = read_fits(path);
        for (const auto& cards : {every, row.cards})
            for (const auto& [key, value] : cards) EXPECT_EQ(value.empty() ? "" : f.keys[key], value) << key;
        for (const auto& [key, value] : row.cards)
            if (value.empty()) {
                EXPECT_EQ(f.keys.count(key), 0u) << key;
            }
        const std::vector<std::pair<int, int>> at = {{5, 5}, {5, 6}, {6, 5}};
        std::vector<std::string> expected;
        for (size_t i = 0; i < at.size(); ++i) {
            double cfitsio = f.pixels[at[i].second * 30 + at[i].first];
            if (f.keys.count("BLANK") && text(cfitsio) == f.keys["BLANK"] + ".0") cfitsio = nan;
            EXPECT_EQ(text(cfitsio), text(row.values[i])) << "CFITSIO, pixel " << i;
            expected.push_back(text(row.values[i]));
        }
        EXPECT_EQ(astropy_values(path, at), expected) << "astropy";
    }
}

// Values no request writes, which any local process can put into a record: refused with a
// clear message, never a file that misdescribes the image.
TEST(ClientHeaders, ImpossibleRecordValuesAreRefused) {
    struct Row {
        std::function<void(HandMadeSegment&)> hostile;
        std::vector<std::string> args;
        int status;
        const char* text;
    };
    const double inf = HUGE_VAL;
    const Row rows[] = {
        {[&](HandMadeSegment& s) { s.set_exposure(1, inf); }, {"save", "-c", "1", "-o", "x.fits"}, 1,
         "exposure of inf s"},
        {[&](HandMadeSegment& s) { s.set_exposure(1, std::nan("")); }, {"save", "-c", "1", "-o", "x.fits"}, 1,
         "exposure of nan s"},
        {[&](HandMadeSegment& s) { s.set_exposure(1, inf); }, {"acquire", "-c", "1"}, 2, "exposure of inf s"},
        {[&](HandMadeSegment& s) { s.record(1)->addlev = INT32_MAX; }, {"save", "-c", "1", "--sum", "-o", "x.fits"},
         1, "do not fit 32 bits"},
        {[&](HandMadeSegment& s) { s.record(0)->nadded = -5; }, {"save", "-c", "0", "-o", "x.fits"}, 1,
         "frame count below 0"},
        {[&](HandMadeSegment&) {}, {"acquire", "-c", "1", "--exposure", "3601"}, 2, "from 0 to 3600"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        HandMadeSegment seg;
        Scratch dir;
        row.hostile(seg);
        std::vector<std::string> args = row.args;
        if (args.back() == "x.fits") args.back() = dir / "x.fits";
        auto res = run_ctl(args, seg.key());
        EXPECT_EQ(res.status, row.status) << res.err;
        EXPECT_TRUE(contains(res.err, row.text)) << res.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "x.fits"));
    }
    EXPECT_DOUBLE_EQ(kx29::commanded_exposure(0.05), 0.08);  // the camera runs whole 0.04 s steps
    EXPECT_DOUBLE_EQ(kx29::commanded_exposure(1.5), 1.52);
    EXPECT_DOUBLE_EQ(kx29::commanded_exposure(1.0), 1.0);
}

}  // namespace
