// The cameras on the simulated board's inputs: their fixed patterns, the star
// field, and the read-out that turns light into 8-bit pixels.
#pragma once

#include "kx29_sim.h"
#include "kx29_sim_video.h"

namespace kx29sim {

constexpr double FRAME_S = static_cast<double>(FRAME_NS) / 1e9;

// The fixed patterns of `input`'s camera under `model`: the same on every
// board, computed at the first call and kept while `model` stays the same.
const CameraPatterns& patterns(int input, const CameraModel& model);

// Sky and stars of `model` into `light`, `per_frame` times their light per
// second, the stars moved `drift` pixels to the right (wrapping round).
void star_field(const CameraModel& model, double per_frame, double drift, float* light);

// Reads the camera out: `light` (grey levels per frame period, before the flat
// field) integrated for d.gain frame periods with the dark current, shot noise
// through model.gain and d.noise of read noise (no noise at all when it is 0),
// on the bias and the black level, clipped to 0..255 and through the input
// look-up table into the frame memory `mem` (line pitch MEM_PITCH).
void read_out(const CameraPatterns& p, const CameraModel& model, const float* light, const Digitiser& d,
              unsigned char* mem);

// Roughly normal with unit rms: the sum of the four 16-bit quarters of `h`.
inline float unit_noise(std::uint64_t h) {
    const auto sum = static_cast<float>((h & 0xFFFF) + ((h >> 16) & 0xFFFF) + ((h >> 32) & 0xFFFF) + (h >> 48));
    return (sum - 131070.0f) * (1.0f / 37837.2f);
}

}  // namespace kx29sim
