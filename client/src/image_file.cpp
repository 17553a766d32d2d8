// Choosing the file type, writing atomically and durably, the 8-bit stretch, the PGM and raw
// encoders and the names of a series' files.
#include "kx29/image_file.h"
#include "image_encoders.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kx29 {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void write_failed(const std::string& path, const std::string& why) {
    throw Error(ErrorKind::Failed, "can't write " + path + ": " + why);
}

[[noreturn]] void usage(const std::string& text) { throw Error(ErrorKind::Usage, text); }

bool one_of(int err, std::initializer_list<int> errs) {
    return std::find(errs.begin(), errs.end(), err) != errs.end();
}

// All of bytes to fd, then synced: a file reported saved is on the disk. 0 or an errno.
int write_synced(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<size_t>(n);
    }
    return detail::place_calls.fsync(fd) == 0 ? 0 : errno;
}

// Creates path, which must not exist as any entry, and writes bytes to it; a failed
// write is removed. 0 or an errno.
int create_written(const std::string& path, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    int err = write_synced(fd, bytes);
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) ::unlink(path.c_str());
    return err;
}

int rename_noreplace(const char* from, const char* to) {
#if defined(RENAME_NOREPLACE)
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
#elif defined(SYS_renameat2)
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1 /* RENAME_NOREPLACE */));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// A private directory beside the target holds the file while it is written,
// and the finished file is renamed (or, where nothing may be overwritten,
// linked) into place within one file system. The file is synced before it is
// put in place and the directory after, so a saved file survives a power cut
// or a drive pulled out.
class StagedFile {
public:
    explicit StagedFile(const std::string& target) : target_(target) {
        fs::path parent = fs::path(target).parent_path();
        parent_ = (parent.empty() ? fs::path(".") : parent).string();
        std::string pattern = parent_ + "/.kx29ctl-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) write_failed(target, std::strerror(errno));
        dir_ = pattern;
        file_ = dir_ + "/" + fs::path(target).filename().string();
    }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile() {
        ::unlink(file_.c_str());
        ::rmdir(dir_.c_str());
    }
    void write(const std::string& bytes) {
        if (int err = create_written(file_, bytes)) write_failed(target_, std::strerror(err));
    }
    void commit(const std::string& bytes, bool overwrite) {
        int err = 0;
        if (overwrite) {
            // rename() replaces the entry: a symbolic link under the name, not its target.
            if (std::rename(file_.c_str(), target_.c_str()) != 0) err = errno;
        } else {
            err = place_new(bytes);
        }
        if (err == EEXIST) write_failed(target_, "the file exists (use --overwrite to replace it)");
        if (err != 0) write_failed(target_, std::strerror(err));
        sync_directory();
    }

private:
    // Puts the file under the target's name unless that name exists (as any entry,
    // a dangling link too), so no other writer's file is replaced: by link(); where
    // the file system has no hard links (FAT, exFAT, many SMB shares), by a rename
    // that refuses to replace; and where that is missing too, by creating the target
    // exclusively and writing it again, the one way a partial file can be seen under
    // the name while it is written. 0 or an errno.
    int place_new(const std::string& bytes) {
        const detail::PlaceCalls& calls = detail::place_calls;
        if (calls.link(file_.c_str(), target_.c_str()) == 0) return 0;
        if (!one_of(errno, {EPERM, ENOTSUP, EOPNOTSUPP, EMLINK, ENOSYS})) return errno;
        if (calls.rename_noreplace(file_.c_str(), target_.c_str()) == 0) return 0;
        if (!one_of(errno, {EINVAL, ENOSYS, ENOTSUP, EOPNOTSUPP})) return errno;
        return create_written(target_, bytes);
    }
    void sync_directory() {
        int fd = ::open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) write_failed(target_, std::strerror(errno));
        int err = detail::place_calls.fsync(fd) == 0 ? 0 : errno;
        ::close(fd);
        // EINVAL: the file system cannot sync a directory (some shared folders); the file is synced.
        if (err != 0 && err != EINVAL) write_failed(target_, std::strerror(err));
    }

    std::string target_, parent_, dir_, file_;
};

std::string lower_extension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
}

uint16_t swap16(uint16_t v) { return static_cast<uint16_t>(v >> 8 | v << 8); }

uint16_t to_big_endian(uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) return swap16(v);
    return v;
}

void append(std::string& out, const void* data, size_t bytes) {
    out.append(static_cast<const char*>(data), bytes);
}

std::string encode_pgm(const Image& img, bool sixteen_bit) {
    std::string out = "P5\n" + std::to_string(img.width()) + " " + std::to_string(img.height()) + "\n" +
                      (sixteen_bit ? "65535" : "255") + "\n";
    if (sixteen_bit) {
        std::vector<uint16_t> data = offset_to_16bit(img);
        for (auto& v : data) v = to_big_endian(v);  // 16-bit PGM samples are most significant byte first
        append(out, data.data(), data.size() * 2);
    } else {
        std::vector<uint8_t> data = stretch_to_8bit(img);
        append(out, data.data(), data.size());
    }
    return out;
}

std::string encode_raw(const Image& img) {
    // The record's elements are little-endian signed 16-bit values.
    std::vector<int16_t> data = img.pixels;
    if constexpr (std::endian::native != std::endian::little)
        for (auto& v : data) v = static_cast<int16_t>(swap16(static_cast<uint16_t>(v)));
    std::string out;
    append(out, data.data(), data.size() * sizeof(int16_t));
    return out;
}

// The record's window within the region the image holds; all of it when they do not meet.
Window window_in_region(const Image& img) {
    const Window& r = img.region;
    const Window w = clamped_window(img.state);
    int c0 = std::max(w.col0, r.col0), l0 = std::max(w.lin0, r.lin0);
    int c1 = std::min(w.col0 + w.width, r.col0 + r.width), l1 = std::min(w.lin0 + w.height, r.lin0 + r.height);
    if (c1 <= c0 || l1 <= l0) return {0, 0, r.width, r.height};
    return {c0 - r.col0, l0 - r.lin0, c1 - c0, l1 - l0};
}

int pattern_width(int images) {
    if (images < 0) return 4;
    return std::max(3, static_cast<int>(std::to_string(images).size()));
}

bool has_number_field(const std::string& pattern) { return pattern.find("{n") != std::string::npos; }

// The file a name is written to: absolute and normalised, with the links among its
// directories resolved. The last part stays as named: a save puts its file in that
// entry and never follows a link there.
std::string resolved_name(const std::string& name) {
    fs::path path = fs::absolute(name);
    std::error_code ec;
    fs::path dir = fs::weakly_canonical(path.parent_path(), ec);
    return ((ec ? path.parent_path().lexically_normal() : dir) / path.filename()).string();
}

}  // namespace

detail::PlaceCalls detail::place_calls = {::link, rename_noreplace, ::fsync};

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
    usage("can't tell the file type of '" + path + "' (use .fits, .fit, .png, .pgm or .raw)");
}

const char* mime_type(FileType t) {
    switch (t) {
    case FileType::Fits: return "application/fits";
    case FileType::Png: return "image/png";
    case FileType::Pgm: return "image/x-portable-graymap";
    case FileType::Raw: return "application/octet-stream";
    }
    return "application/octet-stream";
}

std::string encode_image(FileType type, const Image& img, const WriteOptions& opt) {
    switch (type) {
    case FileType::Fits: return encode_fits(img, opt.header);
    case FileType::Png: return encode_png(img, opt.sixteen_bit);
    case FileType::Pgm: return encode_pgm(img, opt.sixteen_bit);
    case FileType::Raw: return encode_raw(img);
    }
    return {};
}

void save_image(const std::string& path, const Image& img, const WriteOptions& opt) {
    FileType type = require_file_type(path);
    std::string bytes;
    try {
        bytes = encode_image(type, img, opt);
    } catch (const Error& e) {
        write_failed(path, e.what());
    }
    write_file(path, bytes, opt.overwrite);
}

void write_file(const std::string& path, const std::string& bytes, bool overwrite) {
    StagedFile staged(path);
    staged.write(bytes);
    staged.commit(bytes, overwrite);
}

StretchLevels stretch_levels(const Image& img) {
    const Window w = window_in_region(img);
    auto rows = [&](auto&& visit) {
        for (int line = w.lin0; line < w.lin0 + w.height; ++line) {
            const int16_t* row = img.pixels.data() + static_cast<size_t>(line) * img.width();
            for (int col = w.col0; col < w.col0 + w.width; ++col) visit(row[col]);
        }
    };
    // A histogram over the values present only: sums of video frames span a
    // few thousand levels, not the 65536 an int16 could hold.
    int min = 32767, max = -32768;
    rows([&](int16_t v) {
        min = std::min<int>(min, v);
        max = std::max<int>(max, v);
    });
    std::vector<int> hist(static_cast<size_t>(max - min) + 1, 0);
    rows([&](int16_t v) { ++hist[static_cast<size_t>(v - min)]; });
    long n = static_cast<long>(w.width) * w.height;
    // Pixels ranked 0..n-1 by value: the levels are those of ranks 0.5 % and
    // 99.5 % of the way up.
    long lo_rank = static_cast<long>(std::floor(0.005 * static_cast<double>(n - 1)));
    long hi_rank = static_cast<long>(std::ceil(0.995 * static_cast<double>(n - 1)));
    StretchLevels levels{0, 0};
    long seen = 0;
    bool lo_found = false;
    for (size_t i = 0; i < hist.size(); ++i) {
        seen += hist[i];
        if (!lo_found && seen > lo_rank) {
            levels.lo = static_cast<int>(i) + min;
            lo_found = true;
        }
        if (seen > hi_rank) {
            levels.hi = static_cast<int>(i) + min;
            break;
        }
    }
    if (levels.hi > levels.lo) return levels;
    // A flat window (a frame saturated all over, a lens cap) has no span of its own: it
    // is shown on the scale of the grey levels its frames can hold, 0 to 255 in each of
    // the NCOMBINE frames, so a window at 255 is white and one at 0 is black.
    const long long frames = std::max(1, img.state.nadded), addlev = img.state.addlev;
    auto in_int = [](long long v) { return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX)); };
    levels = {in_int(-addlev), in_int(255 * frames - addlev)};
    if (levels.hi <= levels.lo) levels.hi = levels.lo + 1;
    return levels;
}

std::vector<uint8_t> stretch_to_8bit(const Image& img) { return stretch_to_8bit(img, stretch_levels(img)); }

std::vector<uint8_t> stretch_to_8bit(const Image& img, const StretchLevels& l) {
    // One division per level between lo and hi that a pixel can hold, not one per pixel.
    const long long span = static_cast<long long>(l.hi) - l.lo;
    const int first = std::max(l.lo, INT16_MIN), last = std::min(l.hi, INT16_MAX);
    std::vector<uint8_t> lut(last >= first ? static_cast<size_t>(last - first) + 1 : 0);
    for (int v = first; v <= last && span > 0; ++v)
        lut[static_cast<size_t>(v - first)] = static_cast<uint8_t>(((v - l.lo) * 255LL + span / 2) / span);
    std::vector<uint8_t> out(img.pixels.size());
    std::transform(img.pixels.begin(), img.pixels.end(), out.begin(), [&](int16_t v) -> uint8_t {
        if (v <= l.lo) return 0;
        if (v >= l.hi) return 255;
        return lut[static_cast<size_t>(v - first)];
    });
    return out;
}

std::vector<uint16_t> offset_to_16bit(const Image& img) {
    std::vector<uint16_t> out(img.pixels.size());
    std::transform(img.pixels.begin(), img.pixels.end(), out.begin(),
                   [](int16_t v) { return static_cast<uint16_t>(v + 32768); });
    return out;
}

std::string expand_name(const std::string& pattern, int n) {
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        if (pattern[i] != '{') {
            out += pattern[i++];
            continue;
        }
        size_t close = pattern.find('}', i);
        const std::string field = close == std::string::npos ? pattern.substr(i) : pattern.substr(i, close - i + 1);
        int width = 0;
        if (field == "{n}") {
            width = 0;
        } else if (field.size() == 6 && field.compare(0, 4, "{n:0") == 0 && field[4] >= '1' && field[4] <= '9' &&
                   field[5] == '}') {
            width = field[4] - '0';
        } else {
            usage("bad name pattern '" + pattern + "': use {n} or {n:0W} with W 1..9");
        }
        char number[32];
        std::snprintf(number, sizeof number, "%0*d", width, n);
        out += number;
        i += field.size();
    }
    return out;
}

OutputNames::OutputNames(const std::vector<std::string>& patterns, int images, bool overwrite) {
    for (std::string p : patterns) {
        require_file_type(p);
        if (images != 1 && !has_number_field(p)) {
            fs::path path(p);
            p = (path.parent_path() / path.stem()).string() + "_{n:0" + std::to_string(pattern_width(images)) + "}" +
                path.extension().string();
        }
        expand_name(p, 1);  // the pattern is valid
        fs::path dir = fs::path(p).parent_path();
        if (dir.empty()) dir = ".";
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) usage("can't write " + p + ": no directory " + dir.string());
        if (::access(dir.c_str(), W_OK | X_OK) != 0)
            usage("can't write " + p + ": directory " + dir.string() + " is not writable");
        patterns_.push_back(p);
    }
    // Every name of a finite series (the first of an endless one), checked against the others and the disk.
    // An entry is looked at, not followed: a dangling or looping link is an entry that
    // exists, and two names of one existing file (hard links) are one output.
    const int checked = images > 0 ? images : 1;
    std::set<std::string> names;
    std::set<std::pair<dev_t, ino_t>> files;
    for (int n = 1; n <= checked; ++n) {
        for (const auto& name : paths(n)) {
            struct stat entry {};
            const bool exists = ::lstat(name.c_str(), &entry) == 0;
            const bool again = !names.insert(resolved_name(name)).second;
            if (again || (exists && !files.insert({entry.st_dev, entry.st_ino}).second))
                usage("two images or outputs would both be written to " + name + " (use {n} in the name)");
            if (exists && S_ISDIR(entry.st_mode)) usage("can't write " + name + ": it is a directory");
            if (!overwrite && exists) usage(name + " exists (use --overwrite to replace it)");
        }
    }
}

std::vector<std::string> OutputNames::paths(int n) const {
    std::vector<std::string> out;
    for (const auto& p : patterns_) out.push_back(expand_name(p, n));
    return out;
}


}  // namespace kx29
