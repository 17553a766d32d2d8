// For tests and tools: decodes an image summed from the simulated board's `oracle` frames: how many
// frames, of which input and which of its frames went into it, and that every
// line holds the same ones. Each group of eight columns (0..7 modulo 8) of a
// line holds, for a sum of n frames, 100 n, then (10 + input) n, then
// 40 n + digit d of the sum of the frame numbers (hex, least significant first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kx29sim {

// A decoded image: `frames` frames of `input`, numbered first..last among that
// input's frames; or not ok, with the problem.
struct OracleImage {
    bool ok = false; std::string problem; int frames = 0; int input = -1; long first = 0; long last = 0;
};

namespace oracle_detail {

using std::to_string;

// What one group of eight columns holds: `frames` frames of `input` whose
// numbers add up to `numbers`.
struct Group { long frames = 0, input = -1, numbers = 0; };

// The sums s[0..7] of one group; an empty string, or what does not decode.
inline std::string decode_group(const long* s, Group* g) {
    const long n = s[0] / 100, inputs = s[1] - 10 * n;
    if (s[0] < 0 || s[0] % 100) return "count marker " + to_string(s[0]) + " is not 100 per frame";
    if (n ? inputs < 0 || inputs % n || inputs / n > 3 : inputs != 0)
        return "input marker " + to_string(s[1]) + " does not fit " + to_string(n) + " frames";
    long numbers = 0;
    for (int d = 5; d >= 0; --d) {
        const long digit = s[2 + d] - 40 * n;
        if (digit < 0 || digit > 15 * n) return "digit " + to_string(d) + " sums to " + to_string(s[2 + d]);
        numbers = numbers * 16 + digit;
    }
    *g = {n, n ? inputs / n : -1, numbers};
    return "";
}

// How `g` differs from line 0's first group `ref`; empty when it does not.
inline std::string difference(const Group& g, const Group& ref) {
    if (g.frames != ref.frames)
        return " holds " + to_string(g.frames) + " frames, line 0 holds " + to_string(ref.frames);
    if (g.input != ref.input) return " is of input " + to_string(g.input) + ", line 0 of input " + to_string(ref.input);
    if (g.numbers != ref.numbers)
        return "'s frame numbers add up to " + to_string(g.numbers) + ", line 0's to " + to_string(ref.numbers);
    return "";
}

}  // namespace oracle_detail

// pixels: the image as the record holds it (sum of frames minus sub-levels),
// `width` x `height` row-major, its first column being absolute column `col0`
// of the frame; addlev: the record's addlev, added back to every pixel to give
// the true sum.
inline OracleImage decode_oracle(const std::int16_t* pixels, int width, int height, int col0, int addlev) {
    using namespace oracle_detail;
    const int j0 = ((-col0) % 8 + 8) % 8;  // the first image column at a multiple of 8
    if (height < 1) return {false, "no lines"};
    if (j0 + 8 > width)
        return {false, "columns " + to_string(col0) + ".." + to_string(col0 + width - 1) +
                           " hold no whole group of columns 0..7 modulo 8"};
    Group ref;
    for (int l = 0; l < height; ++l)
        for (int j = j0; j + 8 <= width; j += 8) {
            long s[8];
            for (int k = 0; k < 8; ++k) s[k] = pixels[static_cast<std::size_t>(l) * width + j + k] + addlev;
            Group g;
            std::string problem = decode_group(s, &g);
            if (!problem.empty()) problem = ": " + problem;
            else if (l == 0 && j == j0) ref = g;
            else problem = difference(g, ref);
            if (!problem.empty()) return {false, "line " + to_string(l) + " column " + to_string(col0 + j) + problem};
        }
    // Frames k0..k0+n-1 add up to n k0 + n (n - 1) / 2.
    const long n = ref.frames, rest = ref.numbers - n * (n - 1) / 2;
    if (n && (rest < n || rest % n))
        return {false, "frame numbers adding up to " + to_string(ref.numbers) + " are not " + to_string(n) +
                           " consecutive frames"};
    const long first = n ? rest / n : 0;
    return {true, "", static_cast<int>(n), static_cast<int>(ref.input), first, n ? first + n - 1 : 0};
}

}  // namespace kx29sim
