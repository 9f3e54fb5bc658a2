"""The library's processing algorithms, as values a ``Chain`` runs.

Each algorithm object holds the library's description of it (the JSON object
``Chain.to_json`` writes): the class name and its settings. The settings are
checked by the library when the object is made (``ValueError`` naming the
setting when one is missing, not a finite number or out of range), and the
library builds a fresh algorithm from the description at the start of every
pass, so one object may sit in several chains.

Units: levels and gains in dB, times in seconds, frequencies in Hz, widths in
octaves. Filter types are "lowpass", "highpass", "bandpass", "bandstop",
"lowshelf", "peaking" and "highshelf" (each class says which it takes).
"""

import copy
import json
import math
import numbers

from . import _tonewright as _tw

__all__ = [
    "Algorithm", "Gain", "Mix", "MixSquares", "Subtract", "Delay", "Biquads", "Butterworth", "AWeighting",
    "Crossover", "FirFilter", "FFTFilter", "Limiter", "SimpleLimiter", "TruePeakLimiter", "NoiseGate",
    "BassBoost", "RMSAmplifier", "MultibandAmplifier", "FFTMultibandAmplifier", "PlayerEqualizer", "Branches",
]

_TYPES = {"lowpass": "LowPass", "bandpass": "BandPass", "bandstop": "BandStop", "highpass": "HighPass",
          "lowshelf": "LowShelf", "peaking": "BandEq", "highshelf": "HighShelf"}


def _type(value, allowed):
    if value not in allowed:
        raise ValueError(f"filter type must be one of {', '.join(allowed)}, not {value!r}")
    return _TYPES[value]


def _number(name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    return float(value)


def _numbers(name, values):
    try:
        return [_number(name, v) for v in values]
    except TypeError:
        raise ValueError(f"{name} must be a list of numbers, not {values!r}") from None


def _regions(regions):
    """The detector description behind a ``Regions`` result, or None."""
    if regions is None:
        return None
    description = getattr(regions, "description", None)
    if not isinstance(description, dict):
        raise ValueError(f"regions must be what tw.regions() returns, not {type(regions).__name__}")
    return description


def _described(item):
    if isinstance(item, Algorithm):
        return item._description
    describe = getattr(item, "description", None)  # a Chain
    if callable(describe):
        return describe()
    raise ValueError(f"a chain holds algorithms (tw.Gain, tw.Biquads, ...), not {type(item).__name__}")


class Algorithm:
    """Any of the library's algorithms, from its description (a dict with
    "Class" and the class's keys; ``SoundAlgoDescription.h`` lists them).
    The named classes below make the descriptions for you; ``Chain.from_json``
    gives objects of this class."""

    __slots__ = ("_description", "_call")

    def __init__(self, description):
        if not isinstance(description, dict):
            raise ValueError(f"a description is a dict, not {type(description).__name__}")
        self._set(copy.deepcopy(description), None)

    def _set(self, description, call):
        try:
            text = json.dumps(description, allow_nan=False)
        except (TypeError, ValueError) as e:
            raise ValueError(f"{call or 'Algorithm'}: settings must be finite numbers and texts ({e})") from None
        try:
            _tw.check_descriptions(text)
        except ValueError as e:
            raise ValueError(f"{call or 'Algorithm'}: {e}") from None
        self._description = description
        self._call = call

    @property
    def description(self):
        """The library's description of this algorithm (a copy)."""
        return copy.deepcopy(self._description)

    def __eq__(self, other):
        return isinstance(other, Algorithm) and self._description == other._description

    def __hash__(self):
        return hash(json.dumps(self._description, sort_keys=True))

    def __repr__(self):
        return self._call or f"Algorithm({self._description!r})"


def _make(obj, call, cls, **keys):
    description = {"Class": cls}
    description.update({k: v for k, v in keys.items() if v is not None})
    obj._set(description, call)


class Gain(Algorithm):
    """A fixed gain of ``db`` dB (-200 .. 200)."""

    __slots__ = ()

    def __init__(self, db):
        _make(self, f"Gain({db!r})", "SoundAlgoScale", Gain=_number("db", db))


class Mix(Algorithm):
    """Adds its inputs, input i scaled by ``weights[i]`` (2 to 64 inputs, one
    weight each, default two inputs of weight 1). Follows an algorithm of as
    many outputs, such as a ``Crossover``."""

    __slots__ = ()

    def __init__(self, weights=(1.0, 1.0)):
        w = _numbers("weights", weights)
        _make(self, f"Mix({list(w)!r})", "SoundAlgoAdd", Inputs=len(w), Weights=w)


class MixSquares(Algorithm):
    """The root of the summed squares of its weighted inputs, per channel
    (2 to 64 inputs, default two of weight 1)."""

    __slots__ = ()

    def __init__(self, weights=(1.0, 1.0)):
        w = _numbers("weights", weights)
        _make(self, f"MixSquares({list(w)!r})", "SoundAlgoAddSqr", Inputs=len(w), Weights=w)


class Subtract(Algorithm):
    """Input 0 less every other input (2 to 64 inputs, default 2)."""

    __slots__ = ()

    def __init__(self, inputs=2):
        _make(self, f"Subtract({inputs!r})", "SoundAlgoSub", Inputs=_number("inputs", inputs))


class Delay(Algorithm):
    """Delays the stream by ``seconds`` (0 .. 60): the output starts with that
    much silence and is that much longer. With ``as_overlap`` the frames keep
    their places and the last ``seconds`` of each block are held back instead."""

    __slots__ = ()

    def __init__(self, seconds, as_overlap=False):
        _make(self, f"Delay({seconds!r}, as_overlap={bool(as_overlap)})", "SoundAlgoDelay",
              Seconds=_number("seconds", seconds), AsOverlap=bool(as_overlap))


class Biquads(Algorithm):
    """A cascade of second-order equaliser bands.

    bands: a list of ``(type, frequency, width, gain)``: type "lowpass",
        "bandpass", "highpass", "lowshelf", "peaking" or "highshelf";
        frequency in Hz; width in octaves (0.01 .. 10; the shelf slope for
        shelves); gain in dB (-60 .. 60, for peaking bands and shelves).
    output_gain: dB applied after the bands (default 0).

    A corner at or above half the sample rate passes the stream unchanged.
    """

    __slots__ = ()

    def __init__(self, bands, output_gain=0.0):
        described = []
        for band in bands:
            try:
                kind, freq, width, gain = band
            except (TypeError, ValueError):
                raise ValueError(f"a band is (type, frequency, width, gain), not {band!r}") from None
            described.append({"Type": _type(kind, ("lowpass", "bandpass", "highpass", "lowshelf", "peaking",
                                                   "highshelf")),
                              "Frequency": _number("frequency", freq), "Width": _number("width", width),
                              "Gain": _number("gain", gain)})
        _make(self, f"Biquads({[tuple(b) for b in bands]!r}, output_gain={output_gain!r})",
              "SoundAlgoFilterBiquad", Bands=described, OutputGain=_number("output_gain", output_gain))


class Butterworth(Algorithm):
    """A Butterworth low-pass or high-pass (``type`` "lowpass" or "highpass")
    at ``frequency`` Hz, of ``order`` 1, 4 (default) or 6."""

    __slots__ = ()

    def __init__(self, type, frequency, order=4):
        _make(self, f"Butterworth({type!r}, {frequency!r}, order={order!r})", "SoundAlgoFilter",
              Filters=[{"Design": "Butterworth", "Order": _number("order", order),
                        "Type": _type(type, ("lowpass", "highpass")), "Frequency": _number("frequency", frequency)}])


class AWeighting(Algorithm):
    """The A-frequency weighting of sound-level measurement (0 dB at 1 kHz)."""

    __slots__ = ()

    def __init__(self):
        _make(self, "AWeighting()", "SoundAlgoFilter", Filters=[{"Design": "AWeighting"}])


class Crossover(Algorithm):
    """A two-way fourth-order Butterworth crossover at ``frequency`` Hz with two
    outputs, the low band then the high band: follow it with a ``Mix`` of two
    weights (or anything else of two inputs)."""

    __slots__ = ()

    def __init__(self, frequency):
        _make(self, f"Crossover({frequency!r})", "SoundAlgoFilterCrossover",
              Frequency=_number("frequency", frequency))


class FirFilter(Algorithm):
    """A linear-phase FIR filter (equiripple design for the stream's rate).

    type: "lowpass", "highpass", "bandpass" or "bandstop".
    low: the corner of a low-pass or high-pass, the lower edge of a band (Hz,
        50 or more: the filter's length grows with the rate over the corner,
        its design time with the square of the length).
    high: the upper edge of a band (Hz); not given for low- and high-pass.
    output_gain: dB (default 0).

    The output is the full convolution: ``taps - 1`` frames longer than the
    input (``Chain.delay``), the signal ``(taps - 1) / 2`` frames late.
    """

    __slots__ = ()

    def __init__(self, type, low, high=None, output_gain=0.0):
        _make(self, f"FirFilter({type!r}, {low!r}, {high!r}, output_gain={output_gain!r})", "SoundAlgoEqFIR",
              Type=_type(type, ("lowpass", "highpass", "bandpass", "bandstop")), Low=_number("low", low),
              High=None if high is None else _number("high", high), OutputGain=_number("output_gain", output_gain))


class FFTFilter(Algorithm):
    """A linear-phase filter applied in the frequency domain (overlap-add of
    ``size``-point transforms, a power of two from 256 to 65536, default 8192).
    type, low and high as ``FirFilter``; 447 taps (fewer for small transforms),
    the output 446 frames longer than the input."""

    __slots__ = ()

    def __init__(self, type, low, high=None, size=8192):
        _make(self, f"FFTFilter({type!r}, {low!r}, {high!r}, size={size!r})", "SoundAlgoEqFFT",
              Type=_type(type, ("lowpass", "highpass", "bandpass", "bandstop")), Low=_number("low", low),
              High=None if high is None else _number("high", high), Size=_number("size", size))


class Limiter(Algorithm):
    """A look-ahead peak limiter holding samples at 0.98 of full scale.

    level: make-up gain in dB (-60 .. 60, default 0).
    look_ahead: seconds (0 .. 1, default 0.005).
    release: seconds (0 .. 60, default 0.1).
    """

    __slots__ = ()

    def __init__(self, level=0.0, look_ahead=0.005, release=0.1):
        _make(self, f"Limiter({level!r}, {look_ahead!r}, {release!r})", "SoundAlgoLimiter",
              Level=_number("level", level), LookAhead=_number("look_ahead", look_ahead),
              Release=_number("release", release))


class SimpleLimiter(Algorithm):
    """A small look-ahead limiter (peaks at 0.99, no make-up gain, never
    raises its gain again); ``look_ahead`` in seconds (default 0.005)."""

    __slots__ = ()

    def __init__(self, look_ahead=0.005):
        _make(self, f"SimpleLimiter({look_ahead!r})", "SoundAlgoSimpleLimiter",
              LookAhead=_number("look_ahead", look_ahead))


class TruePeakLimiter(Algorithm):
    """Holds the true (inter-sample) peak at or below ``ceiling`` dBTP
    (-60 .. 0, default -1); ``look_ahead`` (default 0.0015) and ``release``
    (default 0.05) in seconds. Meant as the last stage after a ``Limiter``."""

    __slots__ = ()

    def __init__(self, ceiling=-1.0, look_ahead=0.0015, release=0.05):
        _make(self, f"TruePeakLimiter({ceiling!r}, {look_ahead!r}, {release!r})", "SoundAlgoTruePeakLimiter",
              Ceiling=_number("ceiling", ceiling), LookAhead=_number("look_ahead", look_ahead),
              Release=_number("release", release))


class NoiseGate(Algorithm):
    """Mutes the stream while its RMS over a look-ahead window stays below
    ``threshold`` dB full scale (-200 .. 0, default -30); ``fade`` (default
    0.01) and ``window`` (default 0.3) in seconds."""

    __slots__ = ()

    def __init__(self, threshold=-30.0, fade=0.01, window=0.3):
        _make(self, f"NoiseGate({threshold!r}, {fade!r}, {window!r})", "SoundAlgoNoiseGate",
              Threshold=_number("threshold", threshold), Fade=_number("fade", fade), Window=_number("window", window))


class BassBoost(Algorithm):
    """Adds synthesised bass: ``gain`` dB (0 .. 24, default 6) below
    ``frequency`` Hz (default 100), harmonics up to ``upper_frequency`` Hz
    (default 300), ``factor`` the ramp's slope (default 0.004)."""

    __slots__ = ()

    def __init__(self, gain=6.0, frequency=100.0, upper_frequency=300.0, factor=0.004):
        _make(self, f"BassBoost({gain!r}, {frequency!r}, {upper_frequency!r}, {factor!r})", "SoundAlgoBassBoost",
              Gain=_number("gain", gain), Frequency=_number("frequency", frequency),
              UpperFrequency=_number("upper_frequency", upper_frequency), Factor=_number("factor", factor))


class RMSAmplifier(Algorithm):
    """Levels the stream region by region towards ``target`` dB RMS (-60 .. 0).

    regions: the result of ``tw.regions()`` on the same recording (the
        amplifier follows its regions); None makes it a fixed gain of the target.
    max_ramp: the longest gain ramp, seconds (default 3).
    smoothing: pulls region levels towards the loudest by 1/smoothing (0: off).
    below_target: how far under the target a region may stay, dB (default 10).
    max_gain: the largest gain, dB (default 12).
    """

    __slots__ = ()

    def __init__(self, target, regions=None, max_ramp=3.0, smoothing=0, below_target=10.0, max_gain=12.0):
        _make(self, f"RMSAmplifier({target!r}, ...)", "SoundAlgoRMSAmplifier", Target=_number("target", target),
              Detector=_regions(regions), MaxRampTime=_number("max_ramp", max_ramp),
              Smoothing=_number("smoothing", smoothing), BelowTarget=_number("below_target", below_target),
              MaxGain=_number("max_gain", max_gain))


class MultibandAmplifier(Algorithm):
    """Levels each frequency band with its own amplifier (split by IIR filters
    at the ascending ``frequencies``, Hz), limits each band and the sum.
    level: target dB (default -14); regions: as ``RMSAmplifier``; look_ahead,
    release, ramp: seconds; splitter: "crossover" (default), "biquad" or
    "firstorder"; offsets: dB per band."""

    __slots__ = ()

    def __init__(self, frequencies, level=-14.0, regions=None, look_ahead=0.005, release=0.1, ramp=3.0,
                 splitter="crossover", smoothing=0, below_target=10.0, offsets=None):
        splitters = {"firstorder": "FirstOrder", "biquad": "Biquad", "crossover": "Crossover"}
        if splitter not in splitters:
            raise ValueError(f"splitter must be one of {', '.join(splitters)}, not {splitter!r}")
        _make(self, f"MultibandAmplifier({list(frequencies)!r}, {level!r}, ...)",
              "SoundAlgoFilterMultibandAmplifier", Frequencies=_numbers("frequencies", frequencies),
              Level=_number("level", level), Detector=_regions(regions), LookAhead=_number("look_ahead", look_ahead),
              Release=_number("release", release), RampTime=_number("ramp", ramp), Splitter=splitters[splitter],
              Smoothing=_number("smoothing", smoothing), BelowTarget=_number("below_target", below_target),
              Offsets=None if offsets is None else _numbers("offsets", offsets))


class FFTMultibandAmplifier(Algorithm):
    """As ``MultibandAmplifier``, the bands split in the frequency domain
    (``size``-point transforms, default 8192); its output is 446 frames longer
    than its input, like an ``FFTFilter``."""

    __slots__ = ()

    def __init__(self, frequencies, level=-14.0, regions=None, look_ahead=0.005, release=0.1, size=8192):
        _make(self, f"FFTMultibandAmplifier({list(frequencies)!r}, {level!r}, ...)",
              "SoundAlgoFFTMultibandAmplifier", Frequencies=_numbers("frequencies", frequencies),
              Level=_number("level", level), Detector=_regions(regions), LookAhead=_number("look_ahead", look_ahead),
              Release=_number("release", release), Size=_number("size", size))


class PlayerEqualizer(Algorithm):
    """The player's equaliser run offline: nine peaking bands (1.9 octaves
    wide, at ``PlayerEqualizer.frequencies()``) and a bass-boost band.

    preset: a name of ``PlayerEqualizer.presets()`` (default none: all bands 0 dB).
    gains: nine band gains in dB (-24 .. 24), used instead of the preset's.
    bass_boost: the bass-boost band's gain in dB (0, the default, leaves it out;
        True gives the player's 8 dB).
    output_gain: dB (default 0).
    """

    __slots__ = ()

    def __init__(self, preset=None, gains=None, bass_boost=0.0, output_gain=0.0):
        if bass_boost is True:
            bass_boost = _tw.equalizer_layout()["bass_boost_gain"]
        _make(self, f"PlayerEqualizer(preset={preset!r}, gains={gains!r}, bass_boost={bass_boost!r})",
              "SoundPlayerEqualizer", Preset=preset, Gains=None if gains is None else _numbers("gains", gains),
              BassBoost=_number("bass_boost", bass_boost), OutputGain=_number("output_gain", output_gain))

    @staticmethod
    def presets():
        """The presets: a dict of name -> the nine band gains (dB)."""
        return _tw.equalizer_layout()["presets"]

    @staticmethod
    def frequencies():
        """The centre frequencies of the nine bands (Hz)."""
        return _tw.equalizer_layout()["frequencies"]


class Branches(Algorithm):
    """Branches side by side, each a list of algorithms (or a ``Chain``) run
    one after the other. With ``shared_inputs`` (the default) every branch
    reads the same input; the branches' outputs come one after the other, so
    follow them with a ``Mix`` of one weight per branch. Branches of
    different delays are lined up by the library. ``parallel`` runs them on
    worker threads (default True)."""

    __slots__ = ()

    def __init__(self, *branches, shared_inputs=True, parallel=True):
        described = []
        for branch in branches:
            members = branch if isinstance(branch, (list, tuple)) else [branch]
            described.append([_described(m) for m in members])
        _make(self, f"Branches(<{len(described)} branches>)", "SoundAlgoComposite", Branches=described,
              SharedInputs=bool(shared_inputs), ParallelBranches=bool(parallel))
