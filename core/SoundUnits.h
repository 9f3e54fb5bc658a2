#pragma once
// Private to the library (not installed): the conversions every algorithm makes
// from the units of its parameters, levels in dB and durations in seconds.
#include <cmath>
#include <cstdint>

namespace SoundTools {

// The longest duration, in frames, that a duration in seconds becomes: 2^24 - 1
// (6 min 20 s at 44.1 kHz, 87 s at 192 kHz). Windows, look-aheads, releases,
// ramps, fades and delays are carried as overlap with every block, in memory;
// a longer one is taken as this one, so that no description or argument can
// make a block's buffers overflow a frame count or exhaust memory.
constexpr int32_t kMaxDurationFrames = (int32_t(1) << 24) - 1;

// floor(rate x seconds + 0.5), within 0 ... kMaxDurationFrames; not-a-number
// and negative durations give 0.
inline int32_t framesOf(double seconds, double rate) {
    const double n = std::floor(rate * seconds + 0.5);
    if (!(n > 0)) return 0;
    return n < double(kMaxDurationFrames) ? int32_t(n) : kMaxDurationFrames;
}

// Whether a duration read from a description stays within the longest
// duration at `rate`: a finite number of seconds, not negative, that becomes
// at most kMaxDurationFrames frames. A description asking for more describes
// no algorithm the library runs and is refused when it is read (an argument
// given in code is taken as the longest instead, see framesOf).
inline bool withinMaxDuration(double seconds, double rate) {
    return seconds >= 0.0 && std::isfinite(seconds) && std::floor(rate * seconds + 0.5) <= double(kMaxDurationFrames);
}

// Amplitude factor of a level in dB: 10^(dB/20).
inline double gainOfDb(double db) { return std::pow(10.0, db / 20.0); }

// Level in dB of an amplitude factor; -100 dB for 1e-20 and below (silence)
// and for not-a-number.
inline double dbOfGain(double gain) { return gain > 1e-20 ? 20.0 * std::log10(gain) : -100.0; }

}  // namespace SoundTools
