"""Measurements of a recording: loudness, gaps, regions, band levels and the
nearest reference curve.

Every function takes a ``source``: a file name (str or path; the file's own
rate is used) or an array of shape ``(channels, frames)`` with its
``samplerate``. The library reads a mono source as two equal channels, so
its loudness reads 3 dB above a meter that takes it as one channel.
Positions are frames from the first frame; levels are dB full scale (dBFS,
LUFS for loudness). The functions release the GIL while they measure and may
run in several threads at once.
"""

import dataclasses
import json
import os
from typing import List, Optional, Tuple

import numpy as np

from . import _tonewright as _tw

__all__ = ["Loudness", "loudness", "Gap", "Gaps", "gaps", "Region", "Regions", "regions", "Band", "ReferenceCurve",
           "BandLevels", "bands", "references"]


def _source(source):
    if isinstance(source, np.ndarray):
        return source
    try:
        return os.fspath(source)
    except TypeError:
        raise ValueError(f"source must be a file name or an array, not {type(source).__name__}") from None


def _check(name, value, lo, hi):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not (lo <= value <= hi):
        raise ValueError(f"{name} must be a number from {lo} to {hi}, not {value!r}")
    return float(value)


# ---------------------------------------------------------------- loudness

@dataclasses.dataclass(frozen=True)
class Loudness:
    """Loudness as the broadcast and music field measures it (K-weighted, gated)."""

    integrated: float
    """Integrated loudness, LUFS (-inf for silence or less than 0.4 s)."""
    range: float
    """Loudness range, LU."""
    max_momentary: float
    """The loudest 400 ms, LUFS."""
    max_short_term: float
    """The loudest 3 s, LUFS."""
    sample_peak: Tuple[float, float]
    """Largest sample per channel (left, right), dBFS."""
    true_peak: Tuple[float, float]
    """Largest inter-sample peak per channel (left, right), dBTP."""
    momentary: np.ndarray
    """Momentary loudness every ``step`` seconds, value i for the 400 ms ending at (i + 1) * step, LUFS."""
    short_term: np.ndarray
    """Short-term loudness at the same instants, for the 3 s ending there, LUFS."""
    step: float
    """Seconds between two values of the series."""
    frames: int
    """Frames measured."""
    samplerate: int
    """Hz."""


def loudness(source, samplerate=None, step=0.1, true_peak_rate=0):
    """The loudness of a recording (see ``Loudness``).

    step: seconds between the values of the momentary and short-term series
        (a multiple of 0.1, default 0.1).
    true_peak_rate: the true peak is found on a grid of at least this rate
        (Hz); 0, the default, oversamples 4 times below 96 kHz and twice
        below 192 kHz.
    """
    _check("step", step, 0.1, 3600.0)
    rate = int(_check("true_peak_rate", true_peak_rate, 0, 16 * 768000))
    d = _tw.loudness(_source(source), samplerate, float(step), rate)
    return Loudness(d["integrated"], d["range"], d["max_momentary"], d["max_short_term"], tuple(d["sample_peak"]),
                    tuple(d["true_peak"]), d["momentary"], d["short_term"], d["step"], d["frames"], d["samplerate"])


# ---------------------------------------------------------------- gaps

@dataclasses.dataclass(frozen=True)
class Gap:
    """A silence between two pieces."""

    start: int
    """First silent frame."""
    frames: int
    """Length in frames."""
    level: float
    """Its mean-square level, dBFS."""


@dataclasses.dataclass(frozen=True)
class Gaps:
    """The silences between the pieces of a recording (not before the first
    sound nor after the last), with what they were judged by."""

    gaps: List[Gap]
    sound_start: int
    """First frame of sound (-1 when all is silent)."""
    sound_end: int
    """The frame after the last sound (-1 when all is silent)."""
    level: float
    """The recording's level: its loudest 0.4 s, dBFS."""
    floor: float
    """The noise floor found, dBFS."""
    ceiling: float
    """The loudest level still taken as silence, dBFS."""
    frames: int
    samplerate: int


def gaps(source, samplerate=None, min_silence=0.4, threshold=-40.0, floor_margin=10.0, max_floor=-60.0):
    """The silences between the pieces of a recording: digital silence and
    faint noise at the recording's floor alike, never a quiet passage above it.

    min_silence: the shortest gap, seconds (default 0.4).
    threshold: dB under the recording's level that silence stays (default -40).
    floor_margin: dB above the noise floor still silent (default 10).
    max_floor: the highest noise floor believed, dBFS (default -60).
    Gap edges fall on 10 ms steps.
    """
    d = _tw.gaps(_source(source), samplerate, _check("min_silence", min_silence, 0.01, 3600.0),
                 _check("threshold", threshold, -200.0, 0.0), _check("floor_margin", floor_margin, 0.0, 100.0),
                 _check("max_floor", max_floor, -200.0, 0.0))
    return Gaps([Gap(*g) for g in d["gaps"]], d["sound_start"], d["sound_end"], d["level"], d["floor"],
                d["ceiling"], d["frames"], d["samplerate"])


# ---------------------------------------------------------------- regions

@dataclasses.dataclass(frozen=True)
class Region:
    """A stretch of steady loudness."""

    start: int
    """First frame."""
    frames: int
    """Length in frames."""
    left: float
    """RMS level of the left channel, dBFS."""
    right: float
    """RMS level of the right channel, dBFS."""
    noise: bool
    """True when the region is noise (far below the loudest region)."""

    @property
    def level(self):
        """The louder channel's RMS level, dBFS."""
        return max(self.left, self.right)


@dataclasses.dataclass(frozen=True)
class Regions:
    """The regions of steady loudness of a recording, in order, covering it."""

    regions: List[Region]
    frames: int
    samplerate: int
    description: dict = dataclasses.field(repr=False)
    """The library's description of the detector with its regions (what
    ``RMSAmplifier(regions=...)`` follows)."""


def regions(source, samplerate=None, threshold=-40.0, window=0.2, min_slope=1.0):
    """The regions of steady loudness of a recording.

    threshold: regions this many dB under the loudest one are noise (default -40).
    window: the RMS window, seconds (default 0.2).
    min_slope: the shortest slow rise or fall followed, seconds (default 1).
    """
    d = _tw.regions(_source(source), samplerate, _check("threshold", threshold, -200.0, 0.0),
                    _check("window", window, 0.001, 60.0), _check("min_slope", min_slope, 0.0, 3600.0))
    return Regions([Region(*r) for r in d["regions"]], d["frames"], d["samplerate"], json.loads(d["description"]))


# ---------------------------------------------------------------- band levels

@dataclasses.dataclass(frozen=True)
class Band:
    """The levels of one frequency band."""

    low: float
    """Lower edge, Hz."""
    high: float
    """Upper edge, Hz (half the sample rate for the top band)."""
    rms: float
    """RMS level of both channels, dBFS."""
    rms_left: float
    rms_right: float
    peak_left: float
    """Largest sample of the band's signal, dBFS."""
    peak_right: float


@dataclasses.dataclass(frozen=True)
class ReferenceCurve:
    """A reference curve of a catalog: relative levels (dB) of the bands ending
    at its frequencies, and, from ``bands()``, how far the recording is from it."""

    name: str
    frequencies: np.ndarray
    levels: np.ndarray
    version: str
    distance: Optional[float] = None
    """Root of the summed squared differences from the recording's relative levels, dB."""
    corrections: Optional[np.ndarray] = None
    """Cuts per band (dB, all <= 0) that move the recording towards the curve."""


@dataclasses.dataclass(frozen=True)
class BandLevels:
    """Band levels of a recording and the nearest reference curve."""

    bands: List[Band]
    relative: np.ndarray
    """Level of each band relative to the loudest (dB; from the mean spectrum when measured)."""
    reference: Optional[ReferenceCurve]
    """The nearest curve of the catalog (None when not asked or none fits)."""
    samplerate: int


_SPLITTERS = {"firstorder": 0, "biquad": 1, "crossover": 2}


def bands(source, samplerate=None, frequencies=None, splitter="crossover", spectrum=True, reference=True,
          catalog=None, max_correction=12.0):
    """The level of every frequency band and the nearest reference curve.

    frequencies: ascending band edges in Hz (default 250, 500, 1000, 2000,
        3000, 4000, 6000, 8000, 10000: ten bands).
    splitter: how the bands are split: "crossover" (fourth-order, the
        default), "biquad" or "firstorder".
    spectrum: also measure the mean spectrum, which the relative levels then
        come from (the reference curves are made for it; default True).
    reference: find the nearest curve of ``catalog`` (a JSON file; default
        the library's own catalog) with the corrections towards it, each
        limited to ``max_correction`` dB.
    """
    edges = [] if frequencies is None else [float(f) for f in frequencies]
    if any(not (0 < f < 384000) for f in edges) or any(b <= a for a, b in zip(edges, edges[1:])):
        raise ValueError(f"frequencies must ascend between 0 and 384000 Hz, not {frequencies!r}")
    if splitter not in _SPLITTERS:
        raise ValueError(f"splitter must be one of {', '.join(_SPLITTERS)}, not {splitter!r}")
    d = _tw.bands(_source(source), samplerate, edges, _SPLITTERS[splitter], bool(spectrum), bool(reference),
                  None if catalog is None else os.fspath(catalog), _check("max_correction", max_correction, 0, 60))
    ref = d["reference"]
    match = None if ref is None else ReferenceCurve(ref["name"], ref["frequencies"], ref["levels"], ref["version"],
                                                    ref["distance"], ref["corrections"])
    return BandLevels([Band(*b) for b in d["bands"]], d["relative"], match, d["samplerate"])


def references(catalog=None):
    """The curves of a reference catalog (a JSON file; default the library's own)."""
    return [ReferenceCurve(c["name"], c["frequencies"], c["levels"], c["version"])
            for c in _tw.references(None if catalog is None else os.fspath(catalog))]
