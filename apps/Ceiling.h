#pragma once
// The output stage of the jobs that write processed sound (level, eq,
// correct): the true-peak ceiling (--true-peak in dBTP, held by
// SoundAlgoTruePeakLimiter after the sample-peak limiter) and the dither of
// 16-bit and 8-bit outputs (--no-dither).
//
// Lossy encoders (MP3, Ogg Vorbis) change the waveform: the decoded file peaks
// higher than what was encoded. The ceiling is lowered for them by a margin
// measured on loud music with the encoders' default settings (MP3 at 128 to
// 320 kbit/s, Vorbis at its default quality), so the decoded output stays at
// or below the ceiling asked for.
#include <QCommandLineOption>
#include <QString>

#include "Cli.h"
#include "tonewright/SoundAlgoTruePeakLimiter.h"

namespace cli {

constexpr double kDefaultTruePeak = -1.0;  // dBTP

QCommandLineOption truePeakOption();
// Reads --true-peak; a ceiling above 0 dBTP (outputs could clip) or below
// -20 dBTP is a usage error (printed; false).
bool readTruePeak(const JobParser& p, double* ceilingDb);
// How much lower the limiter aims for an output with this extension, dB.
double lossyMarginDb(const QString& extension);
// The limiter stage for an output file name.
SoundRef<SoundAlgoTruePeakLimiter> truePeakStage(double ceilingDb, const QString& output);

// --no-dither: processed sound is dithered (TPDF, +-1 LSB) when it is rounded
// to 16 bits or fewer, unless the option is given. Jobs that copy samples as
// they are (split) never dither.
QCommandLineOption noDitherOption();

}  // namespace cli
