#!/usr/bin/env python3
"""Writes share/reference-curves.json, the default reference catalog of tonewright.

Each curve describes a recording whose power spectral density follows a constant
tilt of s dB per octave (power per Hz proportional to f ** (s / 3.0103)) from
20 Hz up to half the sample rate, and nothing below 20 Hz. Its levels are what
the standard analysis (SoundAlgoStatAnalysis with its default settings) reads
on such a recording: the power of each band between the band edges

    0 | 250 | 500 | 1000 | 2000 | 3000 | 4000 | 6000 | 8000 | 10000 | fs/2  (Hz)

in dB relative to the loudest of the ten bands, at fs = 44100 Hz. The curve
lists the first nine bands, level i belonging to the band that ends at
frequency i; the band above 10 kHz only takes part in finding the loudest band.
The band powers are integrated exactly; the analysis's own band filters and FFT
windows read smooth spectra like these within a few tenths of a dB.

Curves (name: tilt in dB per octave):
    Flat 0 dB/oct       0     white: equal power per hertz
    Bright -1.5 dB/oct  -1.5  halfway between white and pink
    Pink -3 dB/oct      -3    pink: equal power per octave
    Warm -4.5 dB/oct    -4.5  halfway between pink and brown
    Dark -6 dB/oct      -6    brown: power per hertz falls with the square of the frequency

Run it from anywhere after changing the curves; the JSON file is committed:

    python3 scripts/make-reference-curves.py
"""
import json
import math
import os
import re

SAMPLE_RATE = 44100.0
LOWEST = 20.0  # Hz; no power below
EDGES = [250.0, 500.0, 1000.0, 2000.0, 3000.0, 4000.0, 6000.0, 8000.0, 10000.0]
VERSION = "1"  # the statistics version SoundStatFile writes

CURVES = [
    ("Flat 0 dB/oct", 0.0,
     "White spectrum: equal power per hertz, so each band's power grows with its width in hertz. "
     "Far brighter than most music."),
    ("Bright -1.5 dB/oct", -1.5,
     "Power per hertz falling 1.5 dB per octave, halfway between white and pink: a bright balance."),
    ("Pink -3 dB/oct", -3.0,
     "Pink spectrum: power per hertz falling 3 dB per octave, equal power in every octave."),
    ("Warm -4.5 dB/oct", -4.5,
     "Power per hertz falling 4.5 dB per octave, halfway between pink and brown: a warm balance."),
    ("Dark -6 dB/oct", -6.0,
     "Brown spectrum: power per hertz falling 6 dB per octave. A dull, muffled balance."),
]


def band_power(lo, hi, tilt):
    """Integral of (f/1000) ** a over [lo, hi] Hz (clipped to the spectrum), a = tilt / 3.0103."""
    lo = max(lo, LOWEST)
    hi = min(hi, SAMPLE_RATE / 2.0)
    if hi <= lo:
        return 0.0
    a = tilt / (10.0 * math.log10(2.0))
    if abs(a + 1.0) < 1e-12:
        return 1000.0 * math.log(hi / lo)
    return 1000.0 * ((hi / 1000.0) ** (a + 1.0) - (lo / 1000.0) ** (a + 1.0)) / (a + 1.0)


def relative_levels(tilt):
    bounds = [0.0] + EDGES + [SAMPLE_RATE / 2.0]
    powers = [band_power(bounds[i], bounds[i + 1], tilt) for i in range(len(bounds) - 1)]
    levels = [10.0 * math.log10(p) for p in powers]
    loudest = max(levels)
    return [round(level - loudest, 2) + 0.0 for level in levels[: len(EDGES)]]


def main():
    catalog = []
    for name, tilt, description in CURVES:
        catalog.append({
            "Class": "SoundStatReference",
            "Name": name,
            "Description": description,
            "TiltDbPerOctave": tilt,
            "Version": VERSION,
            "Frequency": EDGES,
            "RelativeLevel": relative_levels(tilt),
        })
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "share", "reference-curves.json")
    text = json.dumps(catalog, indent=4)
    # Number arrays on one line each, so that a curve reads at a glance.
    text = re.sub(r"\[\s*([-0-9.,\s]+?)\s*\]", lambda m: "[" + ", ".join(m.group(1).split()).replace(",,", ",") + "]", text)
    with open(out, "w", encoding="utf-8") as f:
        f.write(text + "\n")
    print("wrote", os.path.normpath(out))


if __name__ == "__main__":
    main()
