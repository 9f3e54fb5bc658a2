#pragma once
// Private to the library: what follows the measurements of an analysis: the
// statistics file beside the input ("<input base>.ssf"), its reuse by later
// jobs, and the reference curves of the default catalog with the correction
// equaliser built from them.
//
// A saved analysis is reused only when it still describes the input: its record
// of the recording (length, rate, file size and a fingerprint of the samples)
// matches, the file is not older than the input unless the input is untouched
// since it was described, and its regions were found with the noise threshold
// asked for. Files without such a record (older ones) are held to the rate and
// length alone. Otherwise the job says why and measures again.
//
// Threading: the default catalog is read once, by the first caller (under a
// once-flag), and only read afterwards (its methods are const). Everything else
// works on the calling job's own objects.
#include <QString>

#include "jobs/Analysis.h"
#include "jobs/Correction.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatReference.h"

namespace tonewright {
namespace detail {

class JobContext;

// Largest correction per band the correction equaliser applies, dB.
constexpr double kDefaultMaxCorrection = 12.0;

// The library's default catalog; empty (with the cause in *error) when it
// cannot be found or read.
const SoundStatReferenceCatalog& referenceCatalog(QString* error = nullptr);

// A statistics file of the analysis: band edges, band and FFT statistics and
// the detector (the file holds references of its own).
SoundStatFile statFileOf(const Analysis& a);

enum class SaveOutcome { Written, Kept, Failed, Shared };
// Writes "<input base>.ssf" beside the input and sets a.statisticsFile. An
// existing file is replaced only when ctx may overwrite (Kept otherwise).
// Failed with the cause in lastError(). Shared, with nothing written, when an
// earlier input of the run (ctx.inputs(), in order) is another recording of the
// same base name in the same folder: its statistics take the name.
SaveOutcome saveStatistics(const JobContext& ctx, Analysis& a);

// Loads the saved analysis of `input` into out: regions (readRegions), the
// band statistics and levels, and the FFT statistics, as far as the file holds
// them. needBands: the caller needs band levels (a file without them is of no
// use). False with the reason in *why when there is no usable file. ctx, when
// given, hears of a recording that is mixed down.
bool loadSavedAnalysis(JobContext* ctx, const QString& input, double thresholdDb, bool needBands, Analysis& out,
                       QString* why);

// The analysis a job works from, in `own`: the saved one when it still
// describes the input (and `reanalyse` is off), else a fresh pass with `fresh`
// (band levels wanted when fresh.bands) as ctx's current pass; a statistics
// file passed over is a warning. *savedFile names the statistics file used, if
// any. False after ctx.fail().
bool savedOrFreshAnalysis(JobContext& ctx, const QString& input, const AnalysisSettings& fresh, bool reanalyse,
                          Analysis& own, QString* savedFile);
// Settings of a pass that finds only the regions.
AnalysisSettings regionsOnly(double noiseThresholdDb);

// Fills a.reference with the named curve, or the nearest one when name is
// empty, its distance, and the response of the correction equaliser at
// `plotPoints` frequencies (none when 0). False with the cause in *error when
// the catalog has no such curve (or none of the analysis's band layout).
bool findReference(Analysis& a, const QString& name, double maxCorrection, int plotPoints, QString* error);

// The correction towards the curve in a.reference (findReference first),
// designed on the recording's mean spectrum (Correction.h).
CorrectionDesign correctionDesign(const Analysis& a, double maxCorrection);
// Its equaliser; null with the cause in lastError().
SoundRef<SoundAlgoFilter> correctionFilter(const Analysis& a, double maxCorrection);

}  // namespace detail
}  // namespace tonewright
