// A focus figure for an image: the half-flux radius and FWHM of the brightest star in the
// measurement window, or, where there is no star, how sharp the scene is.
#pragma once

#include "kx29/image.h"

#include <optional>

namespace kx29 {

// The brightest star of the window. Positions are in the image's pixels: x the
// column, y the line, the centre of pixel (0, 0) at 0.0; in the record's full
// image the star is at (img.region.col0 + x, img.region.lin0 + y). Levels are
// the image's sums (pixel + ADDLEV, all NCOMBINE frames together); peak and
// flux are above the background around the star. Both widths are those of the
// light before the pixels binned it (a pixel's own width is taken out), so a
// Gaussian star of sigma s has the FWHM 2.3548 s and the HFR 1.1774 s.
struct StarMeasure {
    double x = 0, y = 0;  // centroid
    double peak = 0;      // brightest pixel of the star, above the background
    double hfr = 0;       // radius holding half the star's light, pixels
    double fwhm = 0;      // of the Gaussian that matches the star best, pixels; 0 if none does
    double flux = 0;      // the star's light within its aperture
    double snr = 0;       // flux over the background's noise in the aperture (the star's own shot noise is not known)
    double background = 0;  // level around the star (an annulus outside the aperture)
    double aperture = 0;    // radius of the aperture measured, pixels
    // The star's top reached the level of every frame at grey 255 (or the sum's
    // 16-bit rail): its top is cut off, so its FWHM is too wide and says little;
    // its HFR still follows the focus. A star saturated in only some of the frames
    // is not seen here (Image::saturated() tells of the image as a whole).
    bool saturated = false;
};

struct FocusFigure {
    // nullopt when nothing in the window stands well above what is around it:
    // no local maximum 5 noise levels above the background whose 8 neighbours'
    // mean is 3 noise levels (and 5 % of its height) above each side of the
    // 7x7 pixels around it (a hot pixel or a cosmic ray's hit is no star, nor is
    // a bright patch or its edge). Maxima closer than 3 pixels to the window's
    // edge are not looked at. A wide star shows little of itself within 3
    // pixels: a star of FWHM w pixels needs a peak of about w^2 / 7 noise levels
    // (50 for a FWHM of 19 pixels).
    std::optional<StarMeasure> star;
    // Higher is sharper: the mean squared difference between neighbouring
    // pixels over the window's variance, so neither the level nor the contrast
    // of the scene changes it. 0 for a flat window; at most 8 (a checkerboard);
    // noise raises it, so compare frames of one scene and exposure.
    double sharpness = 0;
    double background = 0;  // median of the window, in the image's sums
    double noise = 0;       // of a pixel, from the median step between neighbours; at least 1 level
};

// The figure of the image's measurement window (the record's window within the
// region held; all of it when they do not meet). Pixels outside the window are
// left from earlier images and are never looked at. About 2 ms for a 768x576
// window on an ordinary PC, so it can follow every live frame.
FocusFigure measure_focus(const Image& img);

}  // namespace kx29
