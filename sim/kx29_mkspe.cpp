// kx29-mkspe FILE SIZE SUM: writes an FPGA configuration image of SIZE bytes
// whose bytes, taken as signed chars, add up to SUM, so that the daemon can be
// run on the simulated board, whose FPGA accepts any image.
#include "kx29_version.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr long MAX_SIZE = 4096;  // the daemon holds at most 4096 bytes per image

void usage() {
    std::fprintf(stderr, "usage: kx29-mkspe FILE SIZE SUM   (SIZE 0..%ld bytes, SUM their signed-char sum)\n",
                 MAX_SIZE);
}

bool parse_long(const char* text, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end) return false;
    *out = v;
    return true;
}

// The same arguments always give the same file.
std::uint64_t next_random(std::uint64_t* state) {
    std::uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

long signed_sum(const std::vector<signed char>& bytes) {
    long s = 0;
    for (signed char c : bytes) s += c;
    return s;
}

// Pseudo-random bytes, then the missing difference spread over all of them.
// Every pass moves the sum at least one step while some byte has room, so a
// reachable sum is always met.
std::vector<signed char> make_image(long size, long sum) {
    std::uint64_t state = static_cast<std::uint64_t>(size) * 0x100000001ull ^ static_cast<std::uint64_t>(sum);
    std::vector<signed char> bytes(static_cast<std::size_t>(size));
    for (auto& c : bytes) c = static_cast<signed char>(next_random(&state) & 0xFF);
    long d = sum - signed_sum(bytes);
    while (d != 0) {
        long left = size;
        for (std::size_t i = 0; i < bytes.size() && d != 0; ++i, --left) {
            long want = d / left;
            if (want == 0) want = d > 0 ? 1 : -1;
            long v = std::clamp(bytes[i] + want, -128L, 127L);
            d -= v - bytes[i];
            bytes[i] = static_cast<signed char>(v);
        }
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kx29-mkspe %s\n", KX29_VERSION);
        return 0;
    }
    long size = 0, sum = 0;
    if (argc != 4 || !parse_long(argv[2], &size) || !parse_long(argv[3], &sum)) {
        usage();
        return 2;
    }
    if (size < 0 || size > MAX_SIZE) {
        std::fprintf(stderr, "kx29-mkspe: size %ld out of range 0..%ld\n", size, MAX_SIZE);
        return 2;
    }
    if (sum < -128 * size || sum > 127 * size) {
        std::fprintf(stderr, "kx29-mkspe: no %ld bytes add up to %ld (possible sums %ld..%ld)\n", size, sum,
                     -128 * size, 127 * size);
        return 2;
    }
    std::vector<signed char> bytes = make_image(size, sum);
    std::FILE* f = std::fopen(argv[1], "wb");
    bool written = f && (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    if (f && std::fclose(f) != 0) written = false;
    if (!written) {
        std::fprintf(stderr, "kx29-mkspe: can't write %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    return 0;
}
