// Saving images: FITS checked by fitsverify and read back with CFITSIO, PNG read back with
// libpng, PGM and raw bytes, the window's stretch levels, and the atomic replacement of files.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "kx29/image_file.h"

namespace {

using kx29test::contains;
using kx29test::HandMadeSegment;
using kx29test::run_ctl;
using kx29test::Scratch;

// FITS from `kx29ctl save` on a record, for the ways EXPTIME arises.
TEST(ClientFiles, FitsPassesFitsverifyAndReadsBackAsTheRecord) {
    HandMadeSegment seg;
    Scratch dir;
    const std::string path = dir / "image.fits";
    // Long exposures summed; at the threshold: video frames; no long-exposure camera: exposure ignored.
    for (auto [channel, exposure, nadded, exptime] :
         {std::tuple{1, 2.5, 4, 10.0}, std::tuple{1, 0.041, 3, 0.12}, std::tuple{0, 5.0, 10, 0.4}}) {
        SCOPED_TRACE(exposure);
        TVchan* r = seg.record(channel);
        seg.set_exposure(channel, exposure);
        r->nadded = nadded;
        r->addlev = 321;
        r->tstart = 1700000000;
        r->image[0] = -32768;
        r->image[1] = 32767;
        auto res = run_ctl({"save", "-c", std::to_string(channel), "-o", path}, seg.key());
        ASSERT_EQ(res.status, 0) << res.err;
        std::string verdict = kx29test::command_output(KX29_FITSVERIFY " " + path);
        EXPECT_TRUE(contains(verdict, "0 warning(s) and 0 error(s)")) << verdict;

        auto f = kx29test::read_fits(path);
        ASSERT_EQ(f.status, 0);
        ASSERT_EQ(f.width, 768);
        ASSERT_EQ(f.height, r->img_height);
        EXPECT_TRUE(std::equal(f.pixels.begin(), f.pixels.end(), r->image));
        EXPECT_EQ(f.keys["BITPIX"], "16");
        EXPECT_EQ(f.keys.count("CHECKSUM") + f.keys.count("DATASUM"), 2u);  // which fitsverify checked
        EXPECT_EQ(f.keys["DATE-OBS"], "'2023-11-14T22:13:20'");
        EXPECT_NEAR(std::stod(f.keys["EXPTIME"]), exptime, 1e-9);
        EXPECT_EQ(std::stoi(f.keys["NCOMBINE"]), nadded);
        EXPECT_EQ(std::stoi(f.keys["ADDLEV"]), 321);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"image.fits"});  // no temporary left
}

TEST(ClientFiles, PngIsStretchedFromTheWindowOr16BitOffset) {
    HandMadeSegment seg;
    Scratch dir;
    TVchan* r = seg.record(3);  // 768 x 512
    // Window 0,0 100x10: values 0..999 inside, far brighter and darker outside.
    for (int line = 0; line < 512; ++line)
        for (int col = 0; col < 768; ++col)
            r->image[line * 768 + col] =
                static_cast<short>(line < 10 && col < 100 ? line * 100 + col : line % 2 ? 30000 : -30000);
    r->frm_width = 100;
    r->frm_height = 10;
    ASSERT_EQ(run_ctl({"save", "-c", "3", "-o", dir / "a.png"}, seg.key()).status, 0);
    auto eight = kx29test::read_png(dir / "a.png");
    ASSERT_TRUE(eight.ok && !eight.sixteen_bit);
    ASSERT_EQ(std::pair(eight.width, eight.height), std::pair(768u, 512u));
    // The 1000 window pixels ranked by value: 0.5 % of the way up is rank 4
    // (value 4), 99.5 % is rank 995 (value 995). 500 maps to 255 x 496 / 991.
    EXPECT_EQ(eight.pixels[0], 0);               // 0
    EXPECT_EQ(eight.pixels[5 * 768 + 0], 128);   // 500
    EXPECT_EQ(eight.pixels[9 * 768 + 99], 255);  // 999
    EXPECT_EQ(eight.pixels[11 * 768], 255);      // 30000 clipped
    EXPECT_EQ(eight.pixels[12 * 768], 0);        // -30000 clipped

    ASSERT_EQ(run_ctl({"save", "-c", "3", "--png16", "-o", dir / "b.png"}, seg.key()).status, 0);
    auto sixteen = kx29test::read_png(dir / "b.png");
    ASSERT_TRUE(sixteen.ok && sixteen.sixteen_bit);
    for (size_t i : {size_t{0}, size_t{5 * 768 + 7}, size_t{11 * 768}, size_t{12 * 768}, size_t{511 * 768 + 767}})
        EXPECT_EQ(sixteen.pixels[i], static_cast<uint16_t>(r->image[i] + 32768)) << i;
}

TEST(ClientFiles, PgmAndRawHoldThePixels) {
    Scratch dir;
    kx29::ChannelImage img;  // 300 x 20, pixel (col, line) = col + 300 * line - 20000
    img.state.img_width = 300;
    img.state.img_height = 20;
    for (int i = 0; i < 300 * 20; ++i) img.pixels.push_back(static_cast<int16_t>(i - 20000));
    kx29::save_image(dir / "a.raw", img);
    std::string raw = kx29test::slurp(dir / "a.raw");
    ASSERT_EQ(raw.size(), 300u * 20 * 2);
    EXPECT_EQ(std::memcmp(raw.data(), img.pixels.data(), raw.size()), 0);

    kx29::save_image(dir / "b.PGM", img, {true});
    std::string pgm = kx29test::slurp(dir / "b.PGM");
    const std::string header = "P5\n300 20\n65535\n";
    ASSERT_EQ(pgm.size(), header.size() + 300 * 20 * 2);
    EXPECT_EQ(pgm.substr(0, header.size()), header);
    // Pixel (5, 3): 5 + 900 - 20000 = -19095, + 32768 = 13673 = 0x3569, big-endian.
    size_t at = header.size() + (3 * 300 + 5) * 2;
    EXPECT_EQ(static_cast<unsigned char>(pgm[at]) * 256 + static_cast<unsigned char>(pgm[at + 1]), 0x3569);

    // A flat image still gets a span to stretch over, and a window that lies
    // outside the image falls back to the whole image.
    std::fill(img.pixels.begin(), img.pixels.end(), int16_t{7});
    img.state.window = {500, 500, 10, 10};
    kx29::StretchLevels l = kx29::stretch_levels(img);
    EXPECT_EQ(std::pair(l.lo, l.hi), std::pair(7, 8));
}

TEST(ClientFiles, FilesAreReplacedWholeOrNotAtAll) {
    HandMadeSegment seg;
    Scratch dir;
    ASSERT_EQ(run_ctl({"save", "-c", "0", "-o", dir / "x.raw"}, seg.key()).status, 0);
    seg.record(0)->img_height = 10;
    ASSERT_EQ(run_ctl({"save", "-c", "0", "-o", dir / "x.raw"}, seg.key()).status, 0);
    EXPECT_EQ(std::filesystem::file_size(dir / "x.raw"), 768u * 10 * 2);
    // Every name is checked before the first file is written.
    auto res = run_ctl({"save", "-c", "0", "-o", dir / "y.png", "-o", dir / "y.tiff"}, seg.key());
    EXPECT_EQ(res.status, 2);
    EXPECT_TRUE(contains(res.err, "file type")) << res.err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"x.raw"});  // and no temporary is left
}

}  // namespace
