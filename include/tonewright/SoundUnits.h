#pragma once
// The conversions between the units of levels and durations that the library,
// its jobs and its hosts make: amplitude and power ratios to dB and back, and
// durations in seconds to frames with the one cap on durations.
//
// Silence has no level in dB: every conversion to dB takes the level it gives
// silence as a parameter. The algorithms use kSilenceDb (-100 dB, the floor of
// their figures and of the reports' rounded numbers); a host that wants to
// tell silence apart passes -INFINITY.
//
// Header-only and stateless: callable from any thread.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace SoundTools {

// The level the algorithms give silence, dB.
constexpr double kSilenceDb = -100.0;

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

// Seconds of a frame count at a rate; 0 at rate 0.
inline double secondsOf(int64_t frames, double rate) { return rate > 0 ? double(frames) / rate : 0.0; }

// Amplitude factor of a level in dB: 10^(dB/20).
inline double gainOfDb(double db) { return std::pow(10.0, db / 20.0); }

// Level in dB of an amplitude factor. Factors of 1e-20 and below (-400 dB,
// silence to every format) and not-a-number give `silenceDb`.
inline double dbOfGain(double gain, double silenceDb = kSilenceDb) {
    return gain > 1e-20 ? 20.0 * std::log10(gain) : silenceDb;
}

// Power (mean-square) factor of a level in dB: 10^(dB/10).
inline double powerOfDb(double db) { return std::pow(10.0, db / 10.0); }

// Level in dB of a power (mean-square) factor; 1e-40 and below and
// not-a-number give `silenceDb`.
inline double dbOfPower(double power, double silenceDb = kSilenceDb) {
    return power > 1e-40 ? 10.0 * std::log10(power) : silenceDb;
}

// hh:mm:ss.sss, as region lists, reports and the command-line tool show a
// time: rounded to the millisecond before it is split, so that 10799.9996 s
// reads 03:00:00.000, never 02:59:60.000. Negative or not finite: 0.
inline std::string timeText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    const long long ms = std::llround(seconds * 1000.0);
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                  ms % 1000);
    return text;
}

// A frame count at a sample rate as hh:mm:ss.sss (a rate of 0 reads as 0 s).
inline std::string timeText(long long frames, unsigned rate) {
    return timeText(rate ? double(frames) / double(rate) : 0.0);
}

}  // namespace SoundTools
