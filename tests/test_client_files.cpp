// Saving images: FITS checked by fitsverify and read back with CFITSIO (crop, pixel forms,
// header truth), PNG read back with libpng, PGM and raw bytes, the window's stretch levels,
// file names, and files replaced whole or not at all.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "kx29/image_file.h"

namespace {

using namespace kx29test;

TEST(ClientFiles, PngIsStretchedFromTheWindowOr16BitOffsetAsPgm) {
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
    ASSERT_EQ(run_ctl({"save", "-c", "3", "--full", "-o", dir / "a.png", "-o", dir / "a.pgm"}, seg.key()).status, 0);
    auto eight = read_png(dir / "a.png");
    ASSERT_TRUE(eight.ok && !eight.sixteen_bit);
    ASSERT_EQ(std::pair(eight.width, eight.height), std::pair(768u, 512u));
    // The 1000 window pixels ranked by value: 0.5 % of the way up is rank 4 (value 4), 99.5 % is rank 995
    // (value 995). So 0 -> 0, 500 -> 255 x 496 / 991 = 128, 700 -> 255 x 696 / 991 = 179 rounded,
    // 999 -> 255, and outside the window 30000 and -30000 are clipped.
    const std::pair<int, int> grey[] = {{0, 0}, {5 * 768, 128}, {7 * 768, 179}, {9 * 768 + 99, 255}, {11 * 768, 255},
                                        {12 * 768, 0}};
    for (auto [at, level] : grey) EXPECT_EQ(eight.pixels[at], level) << at;
    // The 8-bit PGM holds the same grey levels; the PNG ends with its closing chunk.
    const std::string pgm8 = kx29t::read_file(dir / "a.pgm"), png = kx29t::read_file(dir / "a.png");
    EXPECT_TRUE(pgm8 == "P5\n768 512\n255\n" + std::string(eight.pixels.begin(), eight.pixels.end()));
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");

    // The same image in 16 bits, as PNG and PGM (the extension in any case), and raw.
    auto res = run_ctl({"save", "-c", "3", "--full", "--png16", "-o", dir / "b.png", "-o", dir / "b.PGM", "-o",
                        dir / "b.raw"}, seg.key());
    ASSERT_EQ(res.status, 0) << res.err;
    auto sixteen = read_png(dir / "b.png");
    ASSERT_TRUE(sixteen.ok && sixteen.sixteen_bit);
    for (size_t i : {size_t{0}, size_t{5 * 768 + 7}, size_t{11 * 768}, size_t{12 * 768}, size_t{511 * 768 + 767}})
        EXPECT_EQ(sixteen.pixels[i], static_cast<uint16_t>(r->image[i] + 32768)) << i;
    std::string raw = kx29t::read_file(dir / "b.raw");
    ASSERT_EQ(raw.size(), 768u * 512 * 2);
    EXPECT_EQ(std::memcmp(raw.data(), r->image, raw.size()), 0);
    std::string pgm = kx29t::read_file(dir / "b.PGM");
    const std::string header = "P5\n768 512\n65535\n";
    ASSERT_EQ(pgm.size(), header.size() + 768 * 512 * 2);
    EXPECT_EQ(pgm.substr(0, header.size()), header);
    // Pixel (0, 12): -30000 + 32768 = 2768 = 0x0ad0, big-endian.
    size_t at = header.size() + 12 * 768 * 2;
    EXPECT_EQ(static_cast<unsigned char>(pgm[at]) * 256 + static_cast<unsigned char>(pgm[at + 1]), 0x0ad0);

    // A flat image still gets a span to stretch over, and a window that lies
    // outside the image falls back to the whole image.
    kx29::Image img = kx29::make_image(attach(seg.key()).view(3).capture_image(), kx29::Crop::Full);
    std::fill(img.pixels.begin(), img.pixels.end(), int16_t{7});
    img.state.window = {500, 600, 10, 10};
    kx29::StretchLevels l = kx29::stretch_levels(img);
    EXPECT_EQ(std::pair(l.lo, l.hi), std::pair(7, 8));
}

TEST(ClientFiles, FilesAreReplacedWholeOrNotAtAll) {
    HandMadeSegment seg;
    Scratch dir;
    ASSERT_EQ(run_ctl({"save", "-c", "0", "-o", dir / "x.raw"}, seg.key()).status, 0);
    seg.record(0)->img_height = seg.record(0)->frm_height = 10;
    auto kept = run_ctl({"save", "-c", "0", "-o", dir / "x.raw"}, seg.key());
    EXPECT_EQ(kept.status, 2);  // never overwritten unasked
    EXPECT_TRUE(contains(kept.err, "exists")) << kept.err;
    EXPECT_EQ(std::filesystem::file_size(dir / "x.raw"), 768u * 512 * 2);
    ASSERT_EQ(run_ctl({"save", "-c", "0", "--overwrite", "-o", dir / "x.raw"}, seg.key()).status, 0);
    EXPECT_EQ(std::filesystem::file_size(dir / "x.raw"), 768u * 10 * 2);
    // Every name is checked before the first file is written.
    auto res = run_ctl({"save", "-c", "0", "-o", dir / "y.png", "-o", dir / "y.tiff"}, seg.key());
    EXPECT_EQ(res.status, 2);
    EXPECT_TRUE(contains(res.err, "file type")) << res.err;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 1);  // x.raw only: no temporary is left
}

// What a header says must be what the pixels hold: the crop and its offsets,
// the pixel forms, the tallies after an abort, saturation, the observer's keys.
TEST(ClientFiles, SeriesNamesAreNumberedAndChecked) {
    Scratch dir;  // the current directory
    const std::tuple<const char*, int, const char*, const char*> series[] = {
        {"a{n}.fits", 20, "a1.fits", "a12.fits"}, {"a{n:04}.fits", 20, "a0001.fits", "a0012.fits"},
        {"same.fits", 20, "same_001.fits", "same_012.fits"}, {"s.png", -1, "s_0001.png", "s_0012.png"},
        {"one.fits", 1, "one.fits", "one.fits"}};  // pattern, images, names of images 1 and 12
    for (auto [pattern, images, first, twelfth] : series) {
        kx29::OutputNames o({pattern}, images, false);
        EXPECT_EQ(o.paths(1).at(0), first);
        EXPECT_EQ(o.paths(12).at(0), twelfth);
    }
    kx29t::write_file("taken_002.fits", "x");
    const std::tuple<std::vector<std::string>, int, const char*> refused[] = {
        {{"{x}.fits"}, 1, "bad name pattern"}, {{"a{n:0}.fits"}, 1, "bad name pattern"},
        {{"a.fits", "a.fits"}, 1, "both be written"}, {{"s{n}.png", "s{n}.png"}, -1, "both be written"},
        {{"taken.fits"}, 3, "exists"}, {{"/nonexistent/dir/x.fits"}, 1, "no directory"}, {{"a.tiff"}, 1, "file type"}};
    for (const auto& [patterns, images, error] : refused) {
        SCOPED_TRACE(error);
        std::string what = error_of([&] { kx29::OutputNames(patterns, images, false); });
        EXPECT_TRUE(contains(what, error)) << what;
    }
}

}  // namespace
