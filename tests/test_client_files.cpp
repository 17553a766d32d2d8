// Saving images: FITS checked by fitsverify and read back with CFITSIO (crop, pixel forms,
// header truth), PNG read back with libpng, PGM and raw bytes, the window's stretch levels,
// file names, and files synced and replaced whole or not at all, on any file system.
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
    ASSERT_TRUE(eight.ok && !eight.sixteen_bit && eight.width == 768 && eight.height == 512);
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
    EXPECT_TRUE(kx29t::read_file(dir / "b.raw") == std::string(reinterpret_cast<char*>(r->image), 768 * 512 * 2));
    // The 16-bit PGM: value + 32768, most significant byte first.
    std::string pgm16 = "P5\n768 512\n65535\n";
    for (int i = 0; i < 768 * 512; ++i) pgm16 += {char((r->image[i] + 32768) >> 8), char(r->image[i] + 32768)};
    EXPECT_TRUE(kx29t::read_file(dir / "b.PGM") == pgm16);

    // A flat window is drawn at its grey level on the scale of its frames' 0..255 (here one
    // frame, no ADDLEV), and a window that lies outside the image falls back to the whole image.
    kx29::Image img = kx29::make_image(attach(seg.key()).view(3).capture_image(), kx29::Crop::Full);
    std::fill(img.pixels.begin(), img.pixels.end(), int16_t{7});
    img.state.window = {500, 600, 10, 10};
    EXPECT_EQ(std::pair(kx29::stretch_levels(img).lo, kx29::stretch_levels(img).hi), std::pair(0, 255));
    // Frames saturated all over are white, never black: frames, ADDLEV, value, grey.
    const std::tuple<int, int, int, int> flat[] = {{1, 0, 255, 255}, {4, 100, 920, 255}, {4, 100, 412, 128}, {1, 0, 0, 0}};
    for (auto [frames, addlev, value, grey] : flat) {
        r->nadded = frames, r->addlev = addlev;
        std::fill(r->image, r->image + 768 * 512, static_cast<short>(value));
        ASSERT_EQ(run_ctl({"save", "-c", "3", "--overwrite", "-o", dir / "f.png"}, seg.key()).status, 0);
        auto png = read_png(dir / "f.png");
        EXPECT_TRUE(png.ok && std::count(png.pixels.begin(), png.pixels.end(), grey) == 100 * 10) << value;
    }
}

TEST(ClientFiles, FilesAreReplacedWholeOrNotAtAll) {
    HandMadeSegment seg;
    Scratch dir;
    ASSERT_EQ(run_ctl({"save", "-c", "0", "-o", dir / "x.raw"}, seg.key()).status, 0);
    seg.record(0)->img_height = seg.record(0)->frm_height = 10;
    auto kept = run_ctl({"save", "-c", "0", "-o", dir / "x.raw"}, seg.key());
    EXPECT_TRUE(kept.status == 2 && contains(kept.err, "exists")) << kept.err;  // never overwritten unasked
    EXPECT_EQ(std::filesystem::file_size(dir / "x.raw"), 768u * 512 * 2);
    ASSERT_EQ(run_ctl({"save", "-c", "0", "--overwrite", "-o", dir / "x.raw"}, seg.key()).status, 0);
    EXPECT_EQ(std::filesystem::file_size(dir / "x.raw"), 768u * 10 * 2);
    // Every name is checked before the first file is written.
    auto res = run_ctl({"save", "-c", "0", "-o", dir / "y.png", "-o", dir / "y.tiff"}, seg.key());
    EXPECT_TRUE(res.status == 2 && contains(res.err, "file type")) << res.err;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 1);  // x.raw only: no temporary is left
}

// File systems without hard links (FAT, exFAT, SMB) or without RENAME_NOREPLACE, acted out:
// errno of link(), of the rename, and of the nth sync.
struct Faults { int link, rename, sync, sync_at, syncs; } faults;
const kx29::detail::PlaceCalls sys = kx29::detail::place_calls;
int fail(int err) { return errno = err, -1; }

TEST(ClientFiles, AFileIsSyncedAndNeverReplacedUnaskedWhateverTheFileSystem) {
    Scratch dir;
    kx29::detail::place_calls = {
        [](const char* a, const char* b) { return faults.link ? fail(faults.link) : sys.link(a, b); },
        [](const char* a, const char* b) { return faults.rename ? fail(faults.rename) : sys.rename_noreplace(a, b); },
        [](int fd) { return ++faults.syncs == faults.sync_at ? fail(faults.sync) : sys.fsync(fd); }};
    kx29::Image img;
    img.region = {0, 0, 2, 1};
    auto save = [&](int16_t v) { img.pixels = {v, v}; return error_of([&] { kx29::save_image("f.raw", img); }); };
    const std::pair<Faults, const char*> ways[] = {
        {{0, 0, 0, 0, 0}, ""}, {{EPERM, 0, 0, 0, 0}, ""}, {{ENOTSUP, EINVAL, 0, 0, 0}, ""},
        {{0, 0, EIO, 1, 0}, "Input/output error"},  // the staged file
        {{EPERM, EINVAL, EIO, 2, 0}, "Input/output error"},  // the target written directly: removed
        {{0, 0, EINVAL, 2, 0}, ""}};  // a directory that cannot be synced
    for (const auto& [way, error] : ways) {
        SCOPED_TRACE(testing::Message() << way.link << " " << way.rename << " " << way.sync);
        faults = way;
        std::filesystem::remove("f.raw");
        EXPECT_TRUE(contains(save(1), *error ? error : "accepted"));
        EXPECT_TRUE(*error || contains(save(2), "file exists"));  // and the first file is kept
        EXPECT_EQ(kx29t::read_file("f.raw"), *error ? "" : std::string("\1\0\1\0", 4));
    }
    kx29::detail::place_calls = sys;
    // --overwrite replaces a link under the name, not what it points to; no temporary is left.
    std::filesystem::create_symlink("nowhere.raw", "g.raw");
    kx29::OutputNames({"g.raw"}, 1, true);
    kx29::save_image("g.raw", img, kx29::WriteOptions{{}, false, true});
    EXPECT_TRUE(!std::filesystem::is_symlink("g.raw") && !std::filesystem::exists("nowhere.raw"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 2);
}

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
    namespace fs = std::filesystem;
    kx29t::write_file("dir.fits/h.fits", "x");
    fs::create_hard_link("dir.fits/h.fits", "taken_0001.fits");
    fs::create_directory_symlink("dir.fits", "l");
    fs::create_symlink("nowhere", "gone.fits");
    fs::create_symlink("loop.fits", "loop.fits");
    // patterns, images, overwrite, the error
    const std::tuple<std::vector<std::string>, int, bool, const char*> refused[] = {
        {{"{x}.fits"}, 1, false, "bad name pattern"}, {{"a{n:0}.fits"}, 1, false, "bad name pattern"},
        {{"a.fits", "./a.fits"}, 1, false, "both be written"}, {{"s{n}.png", "s{n}.png"}, -1, false, "both be written"},
        {{"l/n.fits", "dir.fits/n.fits"}, 1, false, "both be written"},
        {{"taken_0001.fits", "dir.fits/h.fits"}, 1, true, "both be written"}, {{"dir.fits"}, 1, true, "is a directory"},
        {{"taken_{n:04}.fits"}, 3, false, "exists"}, {{"taken.fits"}, -1, false, "exists"},
        {{"gone.fits"}, 1, false, "exists"}, {{"loop.fits"}, 1, false, "exists"},
        {{"/nonexistent/dir/x.fits"}, 1, false, "no directory"}, {{"a.tiff"}, 1, false, "file type"}};
    for (const auto& [patterns, images, overwrite, error] : refused) {
        SCOPED_TRACE(error);
        std::string what = error_of([&] { kx29::OutputNames(patterns, images, overwrite); });
        EXPECT_TRUE(contains(what, error)) << what;
    }
}

}  // namespace
