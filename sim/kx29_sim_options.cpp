// Options of the simulated board (KX29_SIM): hardware faults to inject, the
// cameras on its inputs and the few settings a demonstration or a test needs.
#include "kx29_sim.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace kx29sim {

namespace {

constexpr const char* KNOWN =
    "novideo=N[+N...], noboard, busy, seed=N, base=0xNNN, notroot, camera=N, still, noise=S, realtime, oracle, "
    "covered=N[+N...], flatpanel=N[+N...], bias=B, pattern=P, dark=D, hot=N, gain=G, sky=S, stars=F, fwhm=PX, "
    "vignetting=V, dust=N";

// A whole-string number in C notation (decimal, 0x hex, 0 octal) within [lo, hi].
bool parse_number(std::string_view text, unsigned long lo, unsigned long hi, unsigned long* out) {
    std::string s(text);
    if (s.empty() || s[0] == '-' || s[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parse_inputs(std::string_view list, unsigned* mask) {
    while (true) {
        std::size_t plus = list.find('+');
        unsigned long n;
        if (!parse_number(list.substr(0, plus), 0, INPUTS - 1, &n)) return false;
        *mask |= 1u << n;
        if (plus == std::string_view::npos) return true;
        list.remove_prefix(plus + 1);
    }
}

bool parse_real(std::string_view text, double lo, double hi, double* out) {
    std::string s(text);
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

bool parse_count(std::string_view text, int hi, int* out) {
    unsigned long n;
    if (!parse_number(text, 0, static_cast<unsigned long>(hi), &n)) return false;
    *out = static_cast<int>(n);
    return true;
}

// The camera options: name, the smallest and the largest value, where it goes.
struct RealOption {
    const char* name;
    double lo, hi;
    double CameraModel::*field;
};
constexpr RealOption REAL_OPTIONS[] = {
    {"bias", 0, 128, &CameraModel::bias},   {"pattern", 0, 16, &CameraModel::pattern},
    {"dark", 0, 1e3, &CameraModel::dark},   {"gain", 0.01, 1e4, &CameraModel::gain},
    {"sky", 0, 1e6, &CameraModel::sky},     {"stars", 0, 1e8, &CameraModel::stars},
    {"fwhm", 0.5, 50, &CameraModel::fwhm},  {"vignetting", 0, 0.9, &CameraModel::vignetting},
};

bool takes_value(std::string_view name) {
    for (const char* n : {"novideo", "seed", "base", "camera", "noise", "covered", "flatpanel", "hot", "dust"})
        if (name == n) return true;
    for (const RealOption& r : REAL_OPTIONS)
        if (name == r.name) return true;
    return false;
}

// One item "name" or "name=value"; false when the value does not fit the name.
bool apply_item(std::string_view name, std::string_view value, bool has_value, Options* opt, bool* known) {
    *known = true;
    unsigned long n;
    if (!has_value) {
        if (name == "noboard") return opt->noboard = true;
        if (name == "busy") return opt->busy = true;
        if (name == "notroot") return opt->notroot = true;
        if (name == "still") return opt->still = true;
        if (name == "realtime") return opt->realtime = true;
        if (name == "oracle") return opt->oracle = true;
        *known = takes_value(name);
        return false;
    }
    if (name == "novideo") return parse_inputs(value, &opt->novideo);
    if (name == "covered") return parse_inputs(value, &opt->covered);
    if (name == "flatpanel") return parse_inputs(value, &opt->flatpanel);
    if (name == "hot") return parse_count(value, 100000, &opt->cameras.hot);
    if (name == "dust") return parse_count(value, 1000, &opt->cameras.dust);
    for (const RealOption& r : REAL_OPTIONS)
        if (name == r.name) return parse_real(value, r.lo, r.hi, &(opt->cameras.*r.field));
    if (name == "seed") {
        if (!parse_number(value, 0, ~0ul, &n)) return false;
        opt->seed = n;
        return opt->seeded = true;
    }
    if (name == "base") {
        // The whole 32-port window has to fit in the 16-bit I/O space.
        if (!parse_number(value, 0, 0xFFFF - 31, &n)) return false;
        opt->base = static_cast<unsigned short>(n);
        return true;
    }
    if (name == "camera") {
        if (!parse_number(value, 0, INPUTS - 1, &n)) return false;
        opt->camera_input = static_cast<int>(n);
        return true;
    }
    if (name == "noise") return parse_real(value, 0.0, 64.0, &opt->noise);
    *known = name == "noboard" || name == "busy" || name == "notroot" || name == "still" || name == "realtime" ||
             name == "oracle";
    return false;
}

}  // namespace

bool parse_options(const char* text, Options* opt, std::string* error) {
    Options o;
    std::string_view rest = text ? text : "";
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (item.empty()) continue;
        std::size_t eq = item.find('=');
        bool has_value = eq != std::string_view::npos;
        std::string_view name = item.substr(0, eq);
        std::string_view value = has_value ? item.substr(eq + 1) : std::string_view();
        bool known = false;
        if (!apply_item(name, value, has_value, &o, &known)) {
            if (error)
                *error = std::string("KX29_SIM: ") + (known ? "bad value in option '" : "unknown option '") +
                         std::string(item) + "' (options: " + KNOWN + ")";
            return false;
        }
    }
    *opt = o;
    return true;
}

}  // namespace kx29sim
