// Helpers shared by the reliability and end-to-end tests of the simulated daemon.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon_harness.h"
#include "test_util.h"

namespace kx29rel {

using kx29t::read_file;

// KX29_SOAK=1: the long versions.
inline bool soak() {
    const char* s = getenv("KX29_SOAK");
    return s != nullptr && strcmp(s, "1") == 0;
}

inline int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

inline std::string tail(const std::string& text, size_t n = 1500) {
    return text.size() > n ? "..." + text.substr(text.size() - n) : text;
}

// A field of a record, compared byte for byte (a NaN equals itself).
struct Field {
    const char* name;
    size_t offset, size;
};
#define KX29_FIELD(f) kx29rel::Field{#f, offsetof(TVchan, f), sizeof(TVchan::f)}

// Client settings the daemon never writes (nadd only after a failed capture).
inline const std::vector<Field> CLIENT_FIELDS = {KX29_FIELD(exposure), KX29_FIELD(next_form), KX29_FIELD(ref_lev),
                                                 KX29_FIELD(bias), KX29_FIELD(nadd)};

// The names of `fields` that differ between two states of a record, or "".
inline std::string changed(const TVchan& before, const TVchan& now, const std::vector<Field>& fields) {
    std::string names;
    for (const Field& f : fields)
        if (memcmp(reinterpret_cast<const char*>(&before) + f.offset, reinterpret_cast<const char*>(&now) + f.offset,
                   f.size) != 0)
            names += std::string(names.empty() ? "" : ", ") + f.name;
    return names;
}

// Copies of all four records.
inline std::vector<TVchan> snapshot(const kx29harness::Daemon& d) {
    return std::vector<TVchan>(d.record(0), d.record(0) + KX29_CHANNELS);
}

}  // namespace kx29rel
