// Choosing the file type, writing atomically, the 8-bit stretch and the PGM and raw writers.
#include "kx29/image_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace kx29 {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void write_failed(const std::string& path, const std::string& why) {
    throw Error(ErrorKind::Failed, "can't write " + path + ": " + why);
}

// A private directory beside the target holds the file while it is written,
// so that writers which create files by name (CFITSIO) get a name nobody
// else can take, and the finished file is renamed within one file system.
class StagedFile {
public:
    explicit StagedFile(const std::string& target) : target_(target) {
        fs::path parent = fs::path(target).parent_path();
        std::string pattern = (parent.empty() ? fs::path(".") : parent).string() + "/.kx29ctl-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) write_failed(target, std::strerror(errno));
        dir_ = pattern;
        file_ = dir_ + "/" + fs::path(target).filename().string();
    }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile() {
        if (!committed_) ::unlink(file_.c_str());
        ::rmdir(dir_.c_str());
    }
    const std::string& path() const { return file_; }
    void commit() {
        if (std::rename(file_.c_str(), target_.c_str()) != 0) write_failed(target_, std::strerror(errno));
        committed_ = true;
    }

private:
    std::string target_, dir_, file_;
    bool committed_ = false;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_for_writing(const std::string& path) {
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) write_failed(path, std::strerror(errno));
    return f;
}

void write_all(std::FILE* f, const void* data, size_t bytes, const std::string& path) {
    if (std::fwrite(data, 1, bytes, f) != bytes) write_failed(path, std::strerror(errno));
}

void close_checked(File f, const std::string& path) {
    if (std::fclose(f.release()) != 0) write_failed(path, std::strerror(errno));
}

std::string lower_extension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
}

// The record's window as clamped to the image; the whole image when nothing of it is left.
Window clamped_window(const ChannelState& s) {
    int c0 = std::clamp(s.window.col0, 0, s.img_width);
    int l0 = std::clamp(s.window.lin0, 0, s.img_height);
    int c1 = static_cast<int>(std::clamp(static_cast<long>(s.window.col0) + s.window.width, 0L, long{s.img_width}));
    int l1 = static_cast<int>(std::clamp(static_cast<long>(s.window.lin0) + s.window.height, 0L, long{s.img_height}));
    if (c1 <= c0 || l1 <= l0) return {0, 0, s.img_width, s.img_height};
    return {c0, l0, c1 - c0, l1 - l0};
}

uint16_t swap16(uint16_t v) { return static_cast<uint16_t>(v >> 8 | v << 8); }

uint16_t to_big_endian(uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) return swap16(v);
    return v;
}

}  // namespace

std::optional<FileType> file_type_for(const std::string& path) {
    std::string ext = lower_extension(path);
    if (ext == ".fits" || ext == ".fit") return FileType::Fits;
    if (ext == ".png") return FileType::Png;
    if (ext == ".pgm") return FileType::Pgm;
    if (ext == ".raw") return FileType::Raw;
    return std::nullopt;
}

FileType require_file_type(const std::string& path) {
    if (auto type = file_type_for(path)) return *type;
    throw Error(ErrorKind::Usage, "can't tell the file type of '" + path + "' (use .fits, .fit, .png, .pgm or .raw)");
}

void save_image(const std::string& path, const ChannelImage& img, const SaveOptions& opt) {
    FileType type = require_file_type(path);
    StagedFile staged(path);
    switch (type) {
    case FileType::Fits: write_fits(staged.path(), img); break;
    case FileType::Png: write_png(staged.path(), img, opt.sixteen_bit); break;
    case FileType::Pgm: write_pgm(staged.path(), img, opt.sixteen_bit); break;
    case FileType::Raw: write_raw(staged.path(), img); break;
    }
    staged.commit();
}

StretchLevels stretch_levels(const ChannelImage& img) {
    const ChannelState& s = img.state;
    Window w = clamped_window(s);
    std::vector<int> hist(65536, 0);
    for (int line = w.lin0; line < w.lin0 + w.height; ++line) {
        const int16_t* row = img.pixels.data() + static_cast<size_t>(line) * s.img_width;
        for (int col = w.col0; col < w.col0 + w.width; ++col) ++hist[row[col] + 32768];
    }
    long n = static_cast<long>(w.width) * w.height;
    // Pixels ranked 0..n-1 by value: the levels are those of ranks 0.5 % and
    // 99.5 % of the way up.
    long lo_rank = static_cast<long>(std::floor(0.005 * static_cast<double>(n - 1)));
    long hi_rank = static_cast<long>(std::ceil(0.995 * static_cast<double>(n - 1)));
    StretchLevels levels{0, 0};
    long seen = 0;
    bool lo_found = false;
    for (int v = 0; v < 65536; ++v) {
        seen += hist[v];
        if (!lo_found && seen > lo_rank) {
            levels.lo = v - 32768;
            lo_found = true;
        }
        if (seen > hi_rank) {
            levels.hi = v - 32768;
            break;
        }
    }
    if (levels.hi <= levels.lo) levels.hi = levels.lo + 1;
    return levels;
}

std::vector<uint8_t> stretch_to_8bit(const ChannelImage& img) {
    StretchLevels l = stretch_levels(img);
    const long span = static_cast<long>(l.hi) - l.lo;
    std::vector<uint8_t> out(img.pixels.size());
    std::transform(img.pixels.begin(), img.pixels.end(), out.begin(), [&](int16_t v) {
        long scaled = ((static_cast<long>(v) - l.lo) * 255 + span / 2) / span;
        return static_cast<uint8_t>(std::clamp(scaled, 0L, 255L));
    });
    return out;
}

std::vector<uint16_t> offset_to_16bit(const ChannelImage& img) {
    std::vector<uint16_t> out(img.pixels.size());
    std::transform(img.pixels.begin(), img.pixels.end(), out.begin(),
                   [](int16_t v) { return static_cast<uint16_t>(v + 32768); });
    return out;
}

void write_pgm(const std::string& path, const ChannelImage& img, bool sixteen_bit) {
    File f = open_for_writing(path);
    const ChannelState& s = img.state;
    std::string header = "P5\n" + std::to_string(s.img_width) + " " + std::to_string(s.img_height) + "\n" +
                         (sixteen_bit ? "65535" : "255") + "\n";
    write_all(f.get(), header.data(), header.size(), path);
    if (sixteen_bit) {
        std::vector<uint16_t> data = offset_to_16bit(img);
        for (auto& v : data) v = to_big_endian(v);  // 16-bit PGM samples are most significant byte first
        write_all(f.get(), data.data(), data.size() * 2, path);
    } else {
        std::vector<uint8_t> data = stretch_to_8bit(img);
        write_all(f.get(), data.data(), data.size(), path);
    }
    close_checked(std::move(f), path);
}

void write_raw(const std::string& path, const ChannelImage& img) {
    File f = open_for_writing(path);
    // The record's elements are little-endian signed 16-bit values.
    std::vector<int16_t> data = img.pixels;
    if constexpr (std::endian::native != std::endian::little)
        for (auto& v : data) v = static_cast<int16_t>(swap16(static_cast<uint16_t>(v)));
    write_all(f.get(), data.data(), data.size() * sizeof(int16_t), path);
    close_checked(std::move(f), path);
}

std::string numbered_name(const std::string& pattern, int n) {
    std::string out = pattern;
    const std::string number = std::to_string(n);
    for (size_t pos = out.find("{n}"); pos != std::string::npos; pos = out.find("{n}", pos + number.size()))
        out.replace(pos, 3, number);
    return out;
}

std::string fits_utc_date(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

double exposure_time(const ChannelState& s) { return frame_exposure(s) * std::max(0, s.nadded); }

}  // namespace kx29
