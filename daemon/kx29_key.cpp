// The key of the shared segment: "KX29", or four characters from KX29_KEY.
#include "kx29.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

bool kx29_key_from_text(const char* text, ShmKey* key) {
    if (text == nullptr || std::strlen(text) != 4) return false;
    for (int i = 0; i < 4; ++i)
        if (!std::isprint(static_cast<unsigned char>(text[i]))) return false;
    std::memcpy(key->name, text, 4);
    key->name[4] = '\0';
    const auto* b = reinterpret_cast<const unsigned char*>(text);
    // The four bytes as a little-endian int, whatever the host's byte order.
    key->code = static_cast<int>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                 static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
    return true;
}

bool kx29_key_from_env(ShmKey* key) {
    const char* env = std::getenv("KX29_KEY");
    return kx29_key_from_text(env != nullptr ? env : "KX29", key);
}
