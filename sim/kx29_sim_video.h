// Synthetic video of the simulated board's four inputs and its digitiser.
#pragma once

#include <cstdint>

namespace kx29sim {

// Light arriving from `input` at scene time `t` (in frame periods), in grey
// levels above black for one normal frame exposure: FRAME_LINES x FRAME_COLS
// values, row-major. Input 0: grey bars; 1: a star field; 2: a ramp with a
// circling ball; 3: a chequerboard.
void render_scene(int input, double t, float* signal);

// How the board turns light into pixels: black level, exposure gain, noise
// (grey levels rms, drawn from `noise_key`) and the input look-up table.
struct Digitiser {
    int black;
    double gain;
    double noise;
    std::uint64_t noise_key;
    const unsigned char* ilut;
};

// Digitises `signal` into the frame memory `mem` (line pitch MEM_PITCH).
void digitise(const float* signal, const Digitiser& d, unsigned char* mem);

// Instead of a digitised picture, a frame that names itself (the `oracle`
// option): on every line column c holds 100 where c % 8 == 0 (a sum of n frames
// holds 100 n there), 10 + input where c % 8 == 1, and 40 + hex digit
// c % 8 - 2 of `number`, least significant first, in the other six.
void write_oracle(int input, long number, unsigned char* mem);

// A 64-bit mixing function (splitmix64's finaliser): the board's noise source.
inline std::uint64_t mix64(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace kx29sim
