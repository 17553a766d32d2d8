// Parsing and checking of the settings a client writes into a record.
#include "kx29/settings.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <cmath>
#include <fstream>
#include <sstream>

namespace kx29 {

namespace {

[[noreturn]] void usage(const std::string& text) { throw Error(ErrorKind::Usage, text); }

bool parse_int(std::string_view text, long& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

}  // namespace

WindowRequest parse_window(const std::string& text) {
    if (text == "full") return {true, {}};
    long v[4];
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        size_t comma = text.find(',', pos);
        bool last = i == 3;
        if ((comma == std::string::npos) != last) usage("window '" + text + "' is not X,Y,W,H or full");
        std::string_view part(text.data() + pos, (last ? text.size() : comma) - pos);
        if (!parse_int(part, v[i]) || v[i] < INT32_MIN || v[i] > INT32_MAX)
            usage("window '" + text + "' is not X,Y,W,H or full");
        pos = comma + 1;
    }
    return {false, {static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]), static_cast<int>(v[3])}};
}

int effective_format(int next_form) { return next_form <= 0 ? 1 : next_form > 2 ? 2 : next_form; }

bool format_changes(const ChannelState& s, std::optional<int> requested_format) {
    return effective_format(requested_format.value_or(s.next_form)) != s.form;
}

void check_channel(int channel) {
    if (channel < 0 || channel >= KX29_CHANNELS) usage("channel " + std::to_string(channel) + " is not 0..3");
}

void check_format(int format) {
    if (format != 1 && format != 2) usage("format " + std::to_string(format) + " is not 1 or 2");
}

void check_ref_lev(int level) {
    if (level < 0 || level > 63) usage("reference level " + std::to_string(level) + " is not 0..63");
}

void check_bias(int bias) {
    if (bias < 0 || bias > 255) usage("bias " + std::to_string(bias) + " is not 0..255");
}

void check_exposure(double seconds, const ChannelState& s) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kMaxExposure)
        usage("exposure must be a number of seconds from 0 to " + std::to_string(static_cast<int>(kMaxExposure)));
    if (s.tandem == 0)
        usage("channel " + std::to_string(s.num) + " has no long-exposure camera; an exposure applies only there");
}

void check_geometry(const ChannelState& s) {
    if (!geometry_fits(s))
        throw Error(ErrorKind::Environment, "channel " + std::to_string(s.num) + " reports an image of " +
                                                std::to_string(s.img_width) + "x" + std::to_string(s.img_height) +
                                                ", outside the record's 768x576");
}

std::optional<Window> resolve_window(const WindowRequest& req, const ChannelState& s, bool format_changing) {
    if (format_changing) {
        if (!req.full)
            usage("the window is reset to the whole image when the format changes; switch the format first "
                  "(kx29ctl set --format) and then give the window");
        return std::nullopt;
    }
    check_geometry(s);
    if (req.full) return Window{0, 0, s.img_width, s.img_height};
    const Window& w = req.window;
    long right = static_cast<long>(w.col0) + w.width;
    long bottom = static_cast<long>(w.lin0) + w.height;
    if (w.col0 < 0 || w.lin0 < 0 || w.width < 1 || w.height < 1 || right > s.img_width || bottom > s.img_height)
        usage("window " + std::to_string(w.col0) + "," + std::to_string(w.lin0) + "," + std::to_string(w.width) +
              "," + std::to_string(w.height) + " is not inside the " + std::to_string(s.img_width) + "x" +
              std::to_string(s.img_height) + " image of format " + std::to_string(s.form));
    return w;
}

std::array<int, KX29_MAX_COLS> parse_flat_profile(std::istream& in, const std::string& source) {
    std::array<int, KX29_MAX_COLS> values{};
    int count = 0;
    std::string line;
    for (int line_no = 1; std::getline(in, line); ++line_no) {
        line = line.substr(0, line.find('#'));
        for (char& c : line)
            if (c == ',' || c == '\t' || c == '\r') c = ' ';
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            long v;
            if (!parse_int(word, v) || v < INT32_MIN || v > INT32_MAX)
                usage(source + ":" + std::to_string(line_no) + ": '" + word + "' is not an integer");
            if (count == KX29_MAX_COLS)
                usage(source + ":" + std::to_string(line_no) + ": more than 768 values");
            values[count++] = static_cast<int>(v);
        }
    }
    if (count != KX29_MAX_COLS)
        usage(source + ": " + std::to_string(count) + " values, a flat profile has one per column (768)");
    return values;
}

std::array<int, KX29_MAX_COLS> read_flat_profile(const std::string& path) {
    std::ifstream in(path);
    if (!in) usage("can't read the flat profile " + path);
    return parse_flat_profile(in, path);
}

}  // namespace kx29
