// Case of ASCII text: FITS keywords and the names users type for kinds of image.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>

namespace kx29 {

inline std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

inline std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace kx29
