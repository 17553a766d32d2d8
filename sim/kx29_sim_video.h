// Synthetic video of the simulated board's four inputs: their scenes and cameras, and the digitiser.
#pragma once

#include <cstdint>

namespace kx29sim {

// Light falling on `input`'s camera at scene time `t` (in frame periods), in
// grey levels per frame period before the camera's flat field: FRAME_LINES x
// FRAME_COLS values, row-major. Input 0: grey bars; 1: a star field; 2: a ramp
// with a circling ball; 3: a chequerboard; nothing on a covered camera, a
// uniform panel on a flat-panel one (the board's options). The test cards are
// as bright as they are for video cameras, VIDEO_SPEED times fainter on the
// long-exposure camera.
void render_scene(int input, double t, float* signal);

// How the board turns light into pixels: black level, exposure (in frame
// periods), read noise (grey levels rms, drawn from `noise_key`) and the input
// look-up table.
struct Digitiser {
    int black;
    double gain;
    double noise;
    std::uint64_t noise_key;
    const unsigned char* ilut;
};

// Reads out the camera that render_scene last lit, `signal` being that light,
// into the frame memory `mem` (line pitch MEM_PITCH): its bias, dark current,
// flat field and noise on the black level (see kx29_sim_camera.h).
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
