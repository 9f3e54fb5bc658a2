"""tonewright: music recordings as NumPy arrays, through the tonewright library.

- Files: ``AudioFile`` (reading, with tags and cover), ``read`` and ``write``
  (WAV, FLAC, Ogg Vorbis, MP3; written atomically).
- Processing: algorithm objects (``Gain``, ``Biquads``, ``Butterworth``,
  ``Crossover``, ``FirFilter``, ``FFTFilter``, ``Limiter``,
  ``TruePeakLimiter``, ``NoiseGate``, ``BassBoost``, ``RMSAmplifier``,
  ``PlayerEqualizer``, ...) in a ``Chain``, run over arrays whole or in
  pieces; chains load and save as the library's JSON descriptions.
- Measurements: ``loudness``, ``gaps``, ``regions``, ``bands`` (with the
  nearest reference curve), ``references``.

Arrays of samples have the shape ``(channels, frames)``, one row for mono and
two (left, right) for stereo, float32 or float64 at full scale 1.0. Levels
are in dB, times in seconds, frequencies in Hz. Wrong arrays and settings
raise ``ValueError``; file problems ``OSError`` (``FileNotFoundError`` for a
missing file) naming the file. Calls that read, write or process audio
release the GIL; an object used by two threads at once raises
``RuntimeError``.

    import tonewright as tw
    audio, rate = tw.read("in.flac")
    chain = tw.Chain([tw.PlayerEqualizer(preset="Rock"), tw.Limiter()])
    tw.write("out.flac", chain(audio, rate), rate, bits=24)
"""

from .algorithms import (AWeighting, Algorithm, BassBoost, Biquads, Branches, Butterworth, Crossover, Delay,
                         FFTFilter, FFTMultibandAmplifier, FirFilter, Gain, Limiter, Mix, MixSquares,
                         MultibandAmplifier, NoiseGate, PlayerEqualizer, RMSAmplifier, SimpleLimiter, Subtract,
                         TruePeakLimiter)
from .chain import Chain
from .files import AudioFile, read, write
from .measure import (Band, BandLevels, Gap, Gaps, Loudness, ReferenceCurve, Region, Regions, bands, gaps, loudness,
                      references, regions)

__all__ = [
    "AudioFile", "read", "write",
    "Chain", "Algorithm", "Gain", "Mix", "MixSquares", "Subtract", "Delay", "Biquads", "Butterworth", "AWeighting",
    "Crossover", "FirFilter", "FFTFilter", "Limiter", "SimpleLimiter", "TruePeakLimiter", "NoiseGate", "BassBoost",
    "RMSAmplifier", "MultibandAmplifier", "FFTMultibandAmplifier", "PlayerEqualizer", "Branches",
    "loudness", "Loudness", "gaps", "Gaps", "Gap", "regions", "Regions", "Region", "bands", "BandLevels", "Band",
    "references", "ReferenceCurve",
]
