#pragma once
// Private to the library: the analysis of one recording, shared by the analyse,
// split, level, correct and demo jobs. One pass over the file through
// SoundAlgoStatAnalysis, whose branches are
//  - a multiband tree with a SoundAlgoStats per band (the nine default band
//    edges give ten bands),
//  - an RMSStepDetector (regions, noise, slopes),
//  - an FFT with SoundAlgoFFTStats (mean spectrum, summed into the same bands),
//  - SoundAlgoLoudness (integrated loudness, range, true peak, short-term),
// and a LevelMeter (whole-band levels and the envelope). Jobs that need only
// the regions (and perhaps the loudness) leave the other branches out.
//
// The results keep references on the statistics algorithms and the detector so
// that they can be stored in a statistics file or drive a second pass.
//
// Threading: analyseFile runs on the calling thread and builds its own graph;
// the results belong to that caller.
#include <QString>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoStats.h"

namespace tonewright {
namespace detail {

class JobContext;

struct AnalysisSettings {
    bool bands = true;     // per-band statistics (multiband tree)
    bool fft = true;       // FFT statistics
    bool envelope = true;  // whole-band levels and envelope
    bool loudness = true;  // loudness, range, true peak
    double noiseThresholdDb = -40.0;
    double rmsTime = 0.2;
    double minSlopeTime = 1.0;
    double envelopeStep = 0.05;  // seconds
    unsigned fftSize = 8192;
    std::vector<double> frequencies = defaultFrequencies();
    SoundAlgoComposite::SplitterType splitter = SoundAlgoComposite::CrossoverSplit;
    // The measuring branches run one after the other (they may run side by
    // side and measure the same; the library's tests hold it): hosts process
    // files side by side instead (one per core), and the per-block fork and
    // join of parallel branches costs more than it gains as soon as the cores
    // are busy (three times the processor time on a loaded machine).
    bool parallelBranches = false;

    // 250 Hz to 10 kHz, the band edges reference curves are given at.
    static std::vector<double> defaultFrequencies();
};

struct BandResult {
    double low = 0, high = 0;  // Hz
    double rmsDb = -INFINITY;  // both channels together
    double peakDb = -INFINITY;
    double relativeDb = 0;     // rmsDb less the loudest band's
    double fftRelativeDb = 0;  // the same band from the mean spectrum
};

struct RegionResult {
    int64_t begin = 0, frames = 0;
    double levelDb = -INFINITY;  // the louder channel
    double leftDb = -INFINITY, rightDb = -INFINITY;
    bool noise = false;
};

// A stretch of sound: a run of non-noise regions, which the multi-file writer
// makes one file of when it lasts long enough.
struct Stretch {
    int64_t begin = 0, frames = 0;
    double levelDb = -INFINITY;  // weighted RMS of its regions, the louder channel
};

// The nearest (or a named) reference curve and the correction towards it
// (Statistics.h); empty when none was looked for or found.
struct ReferenceResult {
    QString name;
    double distance = 0;               // dB
    std::vector<double> frequencies;   // Hz
    std::vector<double> levels;        // dB, relative
    std::vector<double> corrections;   // dB per band below the top frequency, all cuts
    double makeUpDb = 0;               // the correction equaliser's output gain
    std::vector<double> changes;       // dB per band, top band included: what the equaliser does to each
    std::vector<double> responseFreqs; // the correction equaliser's response, Hz
    std::vector<double> responseDb;
    bool isEmpty() const { return name.isEmpty() && levels.empty(); }
};

// Loudness figures (settings.loudness): LUFS, LU, dBTP; -inf for silence.
struct LoudnessResult {
    bool measured = false;
    bool tooShort = false;  // shorter than one 400 ms gating block
    double integrated = -INFINITY, range = 0;
    double maxMomentary = -INFINITY, maxShortTerm = -INFINITY;
    double truePeak = -INFINITY, truePeakLeft = -INFINITY, truePeakRight = -INFINITY;
    double samplePeak = -INFINITY;
    std::vector<double> shortTerm;  // LUFS, one value per shortTermStep seconds
    double shortTermStep = 0;
};

struct Analysis {
    QString file;
    unsigned rate = 0;
    int64_t frames = 0;
    QString length;  // hh:mm:ss.sss

    // Whole band (settings.envelope, or measured beside the region detection:
    // `levels` tells).
    bool levels = false;
    double rmsDb = -INFINITY, leftRmsDb = -INFINITY, rightRmsDb = -INFINITY;
    double peakDb = -INFINITY, leftPeakDb = -INFINITY, rightPeakDb = -INFINITY;
    std::vector<double> envelopeDb;
    double envelopeStep = 0;

    std::vector<double> frequencies;  // band edges
    std::vector<BandResult> bands;    // settings.bands
    bool hasFft = false;

    std::vector<RegionResult> regions;  // without the detector's end marker
    std::vector<std::pair<int64_t, int64_t>> slopes;
    std::vector<Stretch> stretches;
    int64_t signalStart = -1, signalEnd = -1;  // frames; -1 when all is noise

    LoudnessResult loudness;

    ReferenceResult reference;
    QString statisticsFile;  // where the statistics were saved (or read from), when they were

    // The algorithms behind the figures, kept for a statistics file and later passes.
    SoundRef<RMSStepDetector> detector;
    std::vector<SoundRef<SoundAlgoStats>> bandStats;
    SoundRef<SoundAlgoFFTStats> fftStats;
    SoundRef<SoundAlgoLoudness> loudnessAlgo;
};

// Fills a.loudness from a finished (or stored) measurement.
void readLoudness(const SoundAlgoLoudness& l, Analysis& a);

// Album figures over several analyses gated together (those measured in this
// run; stored ones carry no gating blocks and give -inf).
struct AlbumLoudness {
    double integrated = -INFINITY, range = 0, truePeak = -INFINITY;
    int tracks = 0;
};
AlbumLoudness albumLoudness(const std::vector<const Analysis*>& tracks);

// Runs the analysis pass as ctx's current pass. False after ctx.fail(kind,
// path, "cannot <doing>", cause) or a cancellation; `doing` defaults to
// "analyse", or "find the regions" when the settings ask for no band levels.
bool analyseFile(JobContext& ctx, const QString& path, const AnalysisSettings& settings, Analysis& out,
                 const QString& doing = QString());

// Fills out.bands (and hasFft) from out.bandStats, out.fftStats, out.frequencies and out.rate.
void fillBandLevels(Analysis& out);

// Fills regions, slopes, stretches and the signal bounds from a finished detector.
void readRegions(RMSStepDetector& detector, int64_t frames, Analysis& out);

// Stretches of sound at least minSeconds long: the files a split writes.
std::vector<Stretch> longStretches(const Analysis& a, double minSeconds);

}  // namespace detail
}  // namespace tonewright
