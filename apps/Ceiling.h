#pragma once
// The options of the jobs that write processed sound (level, eq, correct)
// for their output stage: the true-peak ceiling (--true-peak in dBTP) and the
// dither of 16-bit and 8-bit outputs (--no-dither). The stage itself is the
// library's (the jobs' settings truePeakDb and dither).
#include <QCommandLineOption>

#include "Cli.h"

namespace cli {

QCommandLineOption truePeakOption();
// Reads --true-peak; a ceiling above 0 dBTP (outputs could clip) or below
// -20 dBTP is a usage error (printed; false).
bool readTruePeak(const JobParser& p, double* ceilingDb);

// --no-dither: processed sound is dithered (TPDF, +-1 LSB) when it is rounded
// to 16 bits or fewer, unless the option is given. Jobs that copy samples as
// they are (split) never dither.
QCommandLineOption noDitherOption();

}  // namespace cli
