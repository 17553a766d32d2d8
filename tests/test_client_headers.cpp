// FITS headers: every card true of the pixels and of the record the image came from, as
// readers that know nothing of this program take them.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "kx29/image_file.h"

namespace {

using namespace kx29test;

TEST(ClientHeaders, HeadersDescribeThePixelsWritten) {
    HandMadeSegment seg;
    Scratch dir;
    TVchan* r = seg.record(1);  // the long-exposure channel
    seg.set_exposure(1, 2.5);
    r->nadded = r->nadd = 4;
    r->addlev = 100;
    r->frm_col0 = 10, r->frm_lin0 = 20, r->frm_width = 30, r->frm_height = 40;
    r->image[25 * 768 + 15] = -32768;
    r->image[26 * 768 + 15] = 32767;
    seg.post(1, "Frame9(Add4 SubLev=25): Min=3 Max=255 Med=40.0 Avr=41.0 Disp=2.00");
    struct Case {
        std::vector<std::string> extra;
        bool full;
        std::map<std::string, std::string> keys;  // besides those of every case
        std::function<double(int)> value;         // of a record pixel
    };
    const Case cases[] = {
        {{"--key", "OBJECT=M42", "--key", "airmass=1.25", "--key", "OBS-ID_2=7", "--type", "dark"}, false,
         {{"BITPIX", "16"}, {"OBJECT", "'M42     '"}, {"AIRMASS", "1.25"}, {"OBS-ID_2", "7"},
          {"IMAGETYP", "'DARK    '"}},
         [](int v) { return v; }},
        {{"--sum"}, false, {{"BITPIX", "32"}}, [](int v) { return v + 100; }},
        {{"--mean", "--full"}, true, {{"BITPIX", "-32"}}, [](int v) { return (v + 100) / 4.0; }},
    };
    // The last frame, of 2.5 s, ended 3 s after the record's tcurr (rounded up).
    const std::map<std::string, std::string> every = {
        {"DATE-OBS", "'2023-11-14T22:13:20'"}, {"DATE-END", "'2023-11-14T22:13:23'"}, {"MJD-OBS", "60262.925926"},
        {"TIMESYS", "'UTC     '"}, {"EXPTIME", "10.000"}, {"SATURATD", "T"}, {"ROWORDER", "'TOP-DOWN'"},
        {"BUNIT", "'adu     '"}, {"EXPKNOWN", "T"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys.at("BITPIX"));
        const std::string path = dir / ("h" + c.keys.at("BITPIX") + ".fits");
        std::vector<std::string> args{"save", "-c", "1", "-o", path};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        auto res = run_ctl(args, seg.key());
        ASSERT_EQ(res.status, 0) << res.err;
        EXPECT_TRUE(fitsverify(path));
        auto f = read_fits(path);
        ASSERT_EQ(std::pair(f.size[0], f.size[1]), c.full ? std::pair(768L, 576L) : std::pair(30L, 40L));
        const int at = c.full ? 25 * 768 + 15 : 5 * 30 + 5;  // record pixels (15, 25) and (15, 26)
        EXPECT_DOUBLE_EQ(f.pixels[at], c.value(-32768));
        EXPECT_DOUBLE_EQ(f.pixels[at + f.size[0]], c.value(32767));
        // Keys whose values change with the build or the time of writing (fitsverify checked the sums).
        for (const char* key : {"CHECKSUM", "DATASUM", "DATE", "CREATOR"}) EXPECT_EQ(f.keys.count(key), 1u) << key;
        EXPECT_EQ(f.keys["LTV1"] + " " + f.keys["LTV2"], c.full ? "0 0" : "-10 -20");  // the crop's offsets
        for (const auto& keys : {every, c.keys})
            for (const auto& [key, value] : keys) EXPECT_EQ(f.keys[key], value) << key;
    }

    // The light in the pixels (long exposures summed: EXPTIME above): at the threshold, video
    // frames; without the long-exposure camera the exposure is ignored.
    for (auto [tandem, exposure, nadded, light] : {std::tuple{1, 0.041, 3, 0.12}, std::tuple{0, 5.0, 10, 0.4}}) {
        kx29::ChannelState st;
        st.tandem = tandem, st.exposure = exposure, st.nadded = st.nadd = nadded;
        EXPECT_NEAR(kx29::image_exposure(st).value_or(-1), light, 1e-9) << exposure;
    }
    // A cleared image (NCOMBINE 0): its mean is its sum, not a division by zero.
    kx29::Image cleared;
    cleared.state.addlev = 100;
    cleared.pixels = {-100, 5};
    EXPECT_EQ(cleared.mean(), (std::vector<float>{0, 105}));
    // A long exposure withdrawn mid-way: the light is not known.
    r->command = CMD_ACQUIRE;
    r->nexp = 1;
    r->nadd = 1;
    seg.set_pid(0);
    ASSERT_EQ(run_ctl({"abort", "-c", "1"}, seg.key()).status, 0);
    ASSERT_EQ(run_ctl({"save", "-c", "1", "-o", dir / "cut.fits"}, seg.key()).status, 0);
    auto f = read_fits(dir / "cut.fits");
    EXPECT_EQ(f.keys.count("EXPTIME"), 0u);
    EXPECT_EQ(f.keys["EXPKNOWN"], "F");
}

}  // namespace
