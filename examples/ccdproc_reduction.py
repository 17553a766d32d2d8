#!/usr/bin/env python3
"""Reduces a night's kx29ctl files as an astronomer would, with ccdproc.

Usage: ccdproc_reduction.py DIR
DIR holds bias_*.fits, dark_*.fits, flat_*.fits and light_*.fits as
`kx29ctl acquire -o` writes them (default files: BZERO gives the true sums).
Prints each master's statistics and those of the reduced lights.
"""
import glob
import sys

import numpy as np
from astropy import units as u
import ccdproc


def load(directory, kind):
    return [ccdproc.CCDData.read(p, unit="adu") for p in sorted(glob.glob(f"{directory}/{kind}_*.fits"))]


def stats(name, data):
    data = np.asarray(getattr(data, "data", data), dtype=float)
    finite = np.isfinite(data)
    print(f"{name:14s} mean {np.nanmean(data):10.3f}  std {np.nanstd(data):8.3f}  "
          f"min {np.nanmin(data):10.3f}  max {np.nanmax(data):10.3f}  finite {finite.mean() * 100:.1f} %")
    return finite.all()


def main(directory):
    bias = ccdproc.combine(load(directory, "bias"), method="median")
    darks = [ccdproc.subtract_bias(d, bias) for d in load(directory, "dark")]
    dark = ccdproc.combine(darks, method="median")
    flats = [ccdproc.subtract_dark(ccdproc.subtract_bias(f, bias), dark, exposure_time="EXPTIME",
                                   exposure_unit=u.second, scale=True) for f in load(directory, "flat")]
    flat = ccdproc.combine(flats, method="median", scale=lambda a: 1 / np.median(a))
    ok = all([stats("master bias", bias), stats("master dark", dark), stats("master flat", flat)])
    for i, light in enumerate(load(directory, "light"), 1):
        reduced = ccdproc.ccd_process(light, master_bias=bias, dark_frame=dark, master_flat=flat,
                                      exposure_key="EXPTIME", exposure_unit=u.second, dark_scale=True)
        ok = stats(f"light {i}", reduced) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
