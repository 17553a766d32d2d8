// Saving images: FITS checked by fitsverify and read back with CFITSIO, PNG read back with
// libpng, PGM and raw bytes, the window's stretch levels, and the atomic replacement of files.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "kx29/image_file.h"

#include <fitsio.h>
#include <png.h>

#include <cstdio>

namespace {

namespace fs = std::filesystem;
using kx29test::HandMadeSegment;
using kx29test::run_ctl;

class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/kx29-files-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path path_;
};

// An image of w x h whose pixel (col, line) is col + 100 * line - 20000.
kx29::ChannelImage ramp_image(int w, int h) {
    kx29::ChannelImage img;
    img.channel = 2;
    img.state.num = 2;
    img.state.img_width = w;
    img.state.img_height = h;
    img.state.window = {0, 0, w, h};
    img.state.form = 1;
    for (int line = 0; line < h; ++line)
        for (int col = 0; col < w; ++col) img.pixels.push_back(static_cast<int16_t>(col + 100 * line - 20000));
    return img;
}

std::string fitsverify(const std::string& path) {
    std::string out;
    FILE* p = popen((std::string(KX29_FITSVERIFY) + " " + path + " 2>&1").c_str(), "r");
    char buf[512];
    while (p != nullptr && fgets(buf, sizeof buf, p) != nullptr) out += buf;
    if (p != nullptr) pclose(p);
    return out;
}

struct FitsFile {
    std::vector<short> data;
    long width = 0, height = 0;
    int status = 0;
    fitsfile* f = nullptr;

    explicit FitsFile(const std::string& path) {
        fits_open_diskfile(&f, path.c_str(), READONLY, &status);
        int naxis = 0;
        long naxes[2] = {0, 0};
        int bitpix = 0;
        fits_get_img_param(f, 2, &bitpix, &naxis, naxes, &status);
        EXPECT_EQ(bitpix, SHORT_IMG);
        width = naxes[0];
        height = naxes[1];
        data.resize(static_cast<size_t>(width * height));
        fits_read_img(f, TSHORT, 1, width * height, nullptr, data.data(), nullptr, &status);
    }
    ~FitsFile() {
        int ignored = 0;
        if (f != nullptr) fits_close_file(f, &ignored);
    }
    std::string text(const char* key) {
        char value[FLEN_VALUE] = "";
        fits_read_key(f, TSTRING, key, value, nullptr, &status);
        return value;
    }
    double number(const char* key) {
        double v = 0;
        fits_read_key(f, TDOUBLE, key, &v, nullptr, &status);
        return v;
    }
    bool flag(const char* key) {
        int v = 0;
        fits_read_key(f, TLOGICAL, key, &v, nullptr, &status);
        return v != 0;
    }
};

struct PngFile {
    png_image png{};
    std::vector<uint8_t> grey;
    std::vector<uint16_t> linear;
    bool ok = false;
    explicit PngFile(const std::string& path) {
        png.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&png, path.c_str())) return;
        bool sixteen = (png.format & PNG_FORMAT_FLAG_LINEAR) != 0;
        png.format = sixteen ? PNG_FORMAT_LINEAR_Y : PNG_FORMAT_GRAY;
        if (sixteen) {
            linear.resize(PNG_IMAGE_SIZE(png) / 2);
            ok = png_image_finish_read(&png, nullptr, linear.data(), 0, nullptr) != 0;
        } else {
            grey.resize(PNG_IMAGE_SIZE(png));
            ok = png_image_finish_read(&png, nullptr, grey.data(), 0, nullptr) != 0;
        }
    }
};

// FITS from `kx29ctl save` on a record: what fitsverify, CFITSIO and an
// astronomer's reading of the header make of it, for the ways EXPTIME arises.
TEST(ClientFiles, FitsPassesFitsverifyAndReadsBackAsTheRecord) {
    struct Case {
        int channel;
        double exposure;
        int nadded;
        int command;
        double exptime;
    };
    const Case cases[] = {
        {1, 2.5, 4, 0, 10.0},            // long exposures summed
        {1, 0.041, 3, 0, 0.12},          // at the threshold: video frames
        {0, 5.0, 10, CMD_CCD, 0.4},      // no long-exposure camera: exposure ignored
        {1, 0.05, 1, CMD_CCD, 0.05},
    };
    HandMadeSegment seg;
    ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel * 100 + c.nadded);
        TVchan* r = seg.record(c.channel);
        seg.set_exposure(c.channel, c.exposure);
        r->nadded = c.nadded;
        r->addlev = 321;
        r->seqn = 77;
        r->command = c.command;
        r->frm_col0 = 10;
        r->frm_lin0 = 20;
        r->frm_width = 30;
        r->frm_height = 40;
        r->tstart = 1700000000;  // 2023-11-14T22:13:20 UTC
        r->image[0] = -32768;
        r->image[1] = 32767;
        std::string path = dir / "image.fits";
        auto res = run_ctl({"save", "-c", std::to_string(c.channel), "-o", path}, seg.key());
        ASSERT_EQ(res.status, 0) << res.err;

        std::string verdict = fitsverify(path);
        EXPECT_NE(verdict.find("0 warning(s) and 0 error(s)"), std::string::npos) << verdict;

        FitsFile f(path);
        ASSERT_EQ(f.status, 0);
        ASSERT_EQ(f.width, 768);
        ASSERT_EQ(f.height, r->img_height);
        EXPECT_TRUE(std::equal(f.data.begin(), f.data.end(), r->image));
        EXPECT_EQ(f.text("DATE-OBS"), "2023-11-14T22:13:20");
        EXPECT_NEAR(f.number("EXPTIME"), c.exptime, 1e-9);
        EXPECT_EQ(f.number("NCOMBINE"), c.nadded);
        EXPECT_EQ(f.number("CHANNEL"), c.channel);
        EXPECT_EQ(f.number("ADDLEV"), 321);
        EXPECT_EQ(f.number("SEQN"), 77);
        EXPECT_EQ(f.number("WINCOL0"), 10);
        EXPECT_EQ(f.number("WINLINES"), 40);
        EXPECT_EQ(f.number("REFLEV"), 60);
        EXPECT_EQ(f.flag("CCDCORR"), c.command == CMD_CCD);
        EXPECT_EQ(f.flag("TANDEM"), c.channel == 1);
        EXPECT_EQ(f.text("INSTRUME"), "KX29");
        EXPECT_EQ(f.status, 0);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"image.fits"});  // no temporary left
}

TEST(ClientFiles, PngIsStretchedFromTheWindowOr16BitOffset) {
    HandMadeSegment seg;
    ScratchDir dir;
    TVchan* r = seg.record(3);  // 768 x 512
    // Window 0,0 100x10: values 0..999 inside, far brighter and darker outside.
    for (int line = 0; line < 512; ++line)
        for (int col = 0; col < 768; ++col)
            r->image[line * 768 + col] = static_cast<short>(line < 10 && col < 100 ? line * 100 + col : line % 2 ? 30000 : -30000);
    r->frm_width = 100;
    r->frm_height = 10;
    ASSERT_EQ(run_ctl({"save", "-c", "3", "-o", dir / "a.png"}, seg.key()).status, 0);
    PngFile eight(dir / "a.png");
    ASSERT_TRUE(eight.ok);
    ASSERT_EQ(eight.png.width, 768u);
    ASSERT_EQ(eight.png.height, 512u);
    // The 1000 window pixels ranked by value: 0.5 % of the way up is rank 4
    // (value 4), 99.5 % is rank 995 (value 995). 500 maps to 255 x 496 / 991.
    EXPECT_EQ(eight.grey[0], 0);              // 0
    EXPECT_EQ(eight.grey[5 * 768 + 0], 128);  // 500
    EXPECT_EQ(eight.grey[9 * 768 + 99], 255);  // 999
    EXPECT_EQ(eight.grey[11 * 768], 255);   // 30000 clipped
    EXPECT_EQ(eight.grey[12 * 768], 0);     // -30000 clipped

    ASSERT_EQ(run_ctl({"save", "-c", "3", "--png16", "-o", dir / "b.png"}, seg.key()).status, 0);
    PngFile sixteen(dir / "b.png");
    ASSERT_TRUE(sixteen.ok);
    for (size_t i : {size_t{0}, size_t{5 * 768 + 7}, size_t{11 * 768}, size_t{12 * 768}, size_t{511 * 768 + 767}})
        EXPECT_EQ(sixteen.linear[i], static_cast<uint16_t>(r->image[i] + 32768)) << i;
}

TEST(ClientFiles, StretchLevelsFollowTheWindow) {
    kx29::ChannelImage img = ramp_image(200, 100);
    img.state.window = {0, 0, 200, 1};  // line 0: -20000 .. -19801
    kx29::StretchLevels l = kx29::stretch_levels(img);
    EXPECT_EQ(l.lo, -20000 + 0);   // rank floor(0.005 * 199) = 0
    EXPECT_EQ(l.hi, -20000 + 199);  // rank ceil(0.995 * 199) = 199
    img.state.window = {0, 50, 200, 50};  // lines 50..99: -15000 .. -9901
    l = kx29::stretch_levels(img);
    EXPECT_GE(l.lo, -15000);
    EXPECT_LE(l.hi, -9901);
    EXPECT_LT(l.lo + 4000, l.hi);
    // A flat image still gets a valid span, and a window beyond the image
    // falls back to the whole image.
    std::fill(img.pixels.begin(), img.pixels.end(), int16_t{7});
    img.state.window = {500, 500, 10, 10};
    l = kx29::stretch_levels(img);
    EXPECT_EQ(l.lo, 7);
    EXPECT_EQ(l.hi, 8);
    EXPECT_EQ(kx29::stretch_to_8bit(img)[0], 0);
}

TEST(ClientFiles, PgmAndRawHoldThePixels) {
    ScratchDir dir;
    kx29::ChannelImage img = ramp_image(300, 20);
    kx29::save_image(dir / "a.raw", img);
    std::string raw = kx29test::slurp(dir / "a.raw");
    ASSERT_EQ(raw.size(), 300u * 20 * 2);
    EXPECT_EQ(std::memcmp(raw.data(), img.pixels.data(), raw.size()), 0);

    kx29::save_image(dir / "b.pgm", img, {true});
    std::string pgm16 = kx29test::slurp(dir / "b.pgm");
    const std::string header16 = "P5\n300 20\n65535\n";
    ASSERT_EQ(pgm16.size(), header16.size() + 300 * 20 * 2);
    EXPECT_EQ(pgm16.substr(0, header16.size()), header16);
    // Pixel (5, 3): 5 + 300 - 20000 = -19695, + 32768 = 13073 = 0x3311, big-endian.
    size_t at = header16.size() + (3 * 300 + 5) * 2;
    EXPECT_EQ(static_cast<unsigned char>(pgm16[at]), 0x33);
    EXPECT_EQ(static_cast<unsigned char>(pgm16[at + 1]), 0x11);

    kx29::save_image(dir / "c.PGM", img);
    std::string pgm8 = kx29test::slurp(dir / "c.PGM");
    EXPECT_EQ(pgm8.size(), std::string("P5\n300 20\n255\n").size() + 300 * 20);
}

TEST(ClientFiles, FilesAreReplacedWholeOrNotAtAll) {
    HandMadeSegment seg;
    ScratchDir dir;
    // An existing file is replaced by the complete new one.
    kx29test::run_ctl({"save", "-c", "0", "-o", dir / "x.raw"}, seg.key());
    seg.record(0)->img_height = 10;
    ASSERT_EQ(run_ctl({"save", "-c", "0", "-o", dir / "x.raw"}, seg.key()).status, 0);
    EXPECT_EQ(fs::file_size(dir / "x.raw"), 768u * 10 * 2);

    struct Case {
        std::vector<std::string> args;
        int status;
        const char* error;
    };
    const Case cases[] = {
        {{"save", "-c", "0", "-o", dir / "x.jpg"}, 2, "file type"},
        {{"save", "-c", "0", "-o", dir / "none/x.fits"}, 1, "can't write"},
        {{"save", "-c", "0", "-o", dir / "y.png", "-o", dir / "y.tiff"}, 2, "file type"},
        {{"save", "-c", "4", "-o", dir / "z.png"}, 2, "channel 4"},
    };
    for (const Case& c : cases) {
        auto res = run_ctl(c.args, seg.key());
        EXPECT_EQ(res.status, c.status) << c.args.back() << res.err;
        EXPECT_NE(res.err.find(c.error), std::string::npos) << res.err;
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"x.raw"});
}

}  // namespace
