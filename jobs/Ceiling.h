#pragma once
// Private to the library: the output stage of the jobs that write processed
// sound (level, eq, correct): the true-peak ceiling, held by
// SoundAlgoTruePeakLimiter after the sample-peak limiter, and the passes that
// make a lossy output keep it.
//
// Lossy encoders (MP3, Ogg Vorbis) change the waveform: the decoded file peaks
// higher than what was encoded. The ceiling is lowered for them by a margin
// measured on loud music with the encoders' default settings (MP3 at 128 to
// 320 kbit/s, Vorbis at its default quality), so the decoded output stays at
// or below the ceiling asked for.
//
// Threading: plain functions; measureWritten and passesWithinCeiling run
// their passes on the calling thread.
#include <QString>
#include <cmath>
#include <functional>
#include <optional>

#include "tonewright/Jobs.h"
#include "tonewright/SoundAlgoTruePeakLimiter.h"
#include "tonewright/SoundRefCounted.h"

namespace tonewright {
namespace detail {

// The ceilings a job accepts, dBTP: above 0 an output could clip when played,
// below -20 it is no peak limit.
constexpr double kLowestCeilingDb = -20.0;
constexpr double kHighestCeilingDb = 0.0;
inline bool isCeiling(double db) { return db >= kLowestCeilingDb && db <= kHighestCeilingDb; }

// The settings every job that writes processed sound shares: the true-peak
// ceiling (dBTP) and the MP3 bit rate (kbit/s). The error naming the first
// that is out of range, or none.
std::optional<JobError> checkOutputSettings(double truePeakDb, unsigned bitRate);

// How much lower the limiter aims for an output with this extension, dB.
double lossyMarginDb(const QString& extension);
// The limiter stage for an output file name; `lowerDb` more below the ceiling
// (a correction after the written file peaked too high).
SoundRef<SoundAlgoTruePeakLimiter> truePeakStage(double ceilingDb, const QString& output, double lowerDb = 0.0);

// Whether an output with this extension goes through a lossy encoder, whose
// decoded result differs from what the chain produced (loudness and peaks).
bool isLossy(const QString& extension);

// A written file as a player decodes it: its integrated loudness (LUFS) and
// true peak (dBTP, on a grid of at least kCheckRate). False, with the cause in
// lastError(), when it cannot be read back (a pipe or a device cannot).
struct WrittenFigures {
    double integrated = -INFINITY;
    double truePeak = -INFINITY;
};
bool measureWritten(const QString& path, WrittenFigures* figures);

// Independent meters resample to 192 kHz whatever the rate, a finer grid than
// the usual 4x on rates below 48 kHz: the jobs check their outputs on that grid.
constexpr unsigned kCheckRate = 192000;
// Interpolators differ a little even on the same grid: a written lossy file
// counts as within its ceiling when the check measures it this much lower, dB.
constexpr double kWrittenPeakGuardDb = 0.1;
// How much lower (dB) the next pass's limiter must aim so that a file written
// with true peak `writtenDb` meets `ceilingDb`; 0 when it already does.
double ceilingCorrectionDb(double writtenDb, double ceilingDb);

// Runs the passes of a job whose output goes through the true-peak stage:
// `pass(lowerDb, trimDb)` writes one attempt (its limiter aimed lowerDb lower,
// its output scaled by trimDb, at most 0) to `written()`. A lossless output is
// done after one pass. A lossy one is decoded and measured; when the encoder
// took it above the ceiling, a second pass lowers the limiter by the excess,
// and a third, if still needed, scales the output down by what remains, which
// holds the ceiling whatever the encoder does. False when a pass failed (the
// pass has recorded why).
bool passesWithinCeiling(const QString& output, double ceilingDb,
                         const std::function<bool(double lowerDb, double trimDb)>& pass,
                         const std::function<QString()>& written);

}  // namespace detail
}  // namespace tonewright
