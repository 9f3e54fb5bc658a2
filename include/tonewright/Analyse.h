#pragma once
// The analyse job: measures a recording in one pass (loudness, loudness range
// and true peak, levels per frequency band, regions of steady loudness with the
// noise marked, signal start and end, the mean spectrum), finds the nearest
// reference curve and the correction towards it, and saves the measurements in
// a statistics file beside the input ("<input base>.ssf") for later jobs.
//
// Album figures: albumLoudness() gates the measurements of several reports
// together (one loudness for the set, not the mean of its tracks).
//
// Ownership: reports are plain values; the loudness state a report shares for
// album figures is released with the last copy of the report.
// Threading: see Jobs.h; several files may be analysed at once on several
// threads. albumLoudness() reads finished reports only.
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/Jobs.h"

namespace tonewright {

struct AnalyseSettings {
    std::filesystem::path input;
    // Regions quieter than this, in dB below the loudest region, are noise
    // (-120 to 0).
    double thresholdDb = -40.0;
    bool bands = true;     // levels per frequency band (a filter per band)
    bool spectrum = true;  // the mean spectrum, summed into the same bands
    bool level = true;     // whole-band RMS and peak, and the level envelope
    bool loudness = true;  // integrated loudness, range, true peak, short-term series
    double envelopeStep = 0.05;  // seconds per envelope value (0.001 to 10)
    // Look for a reference curve (needs bands): the nearest of the default
    // catalog, or the one named.
    bool reference = true;
    std::string referenceName;
    double maxCorrection = 12.0;  // dB, the largest change per band of the correction (0 to 40)
    // The correction equaliser's response at this many frequencies from 20 Hz
    // to just below half the sample rate (0: none; at most 10000), for a picture.
    int responsePoints = 0;
    // Write the statistics file beside the input. An existing one is replaced
    // only when JobControl::overwrite is set (otherwise it is kept and the
    // report says so).
    bool save = true;
    // A statistics file that cannot be written is a warning instead of an error.
    bool saveIsOptional = false;
    // Take the measurements from the input's statistics file when it still
    // describes the input (same recording, not older than it, made with this
    // threshold, holding what is asked) instead of measuring; a file passed
    // over is a warning. A reused file gives no whole-band level or envelope.
    bool reuse = false;
};

struct AnalyseBand {
    double lowHz = 0, highHz = 0;
    double rmsDb = -INFINITY;   // both channels together; -inf for silence
    double peakDb = -INFINITY;
    double relativeDb = 0;      // rmsDb less the loudest band's
    double spectrumRelativeDb = 0;  // the same band from the mean spectrum (hasSpectrum)
};

// A region of steady loudness, as the region detector found it.
struct AnalyseRegion {
    int64_t begin = 0, frames = 0;
    double levelDb = -INFINITY;  // RMS of the louder channel
    double leftDb = -INFINITY, rightDb = -INFINITY;
    bool noise = false;
};

// A stretch of sound: a run of regions that are not noise.
struct AnalyseStretch {
    int64_t begin = 0, frames = 0;
    double levelDb = -INFINITY;  // RMS of the louder channel
};

struct AnalyseSlope {
    int64_t begin = 0, end = 0;  // frames
};

// Loudness figures: LUFS, LU, dBTP, dBFS; -inf for silence.
struct LoudnessFigures {
    bool measured = false;
    bool tooShort = false;  // shorter than one 400 ms gating block: no integrated loudness
    double integrated = -INFINITY, range = 0;
    double maxMomentary = -INFINITY, maxShortTerm = -INFINITY;
    double truePeak = -INFINITY, truePeakLeft = -INFINITY, truePeakRight = -INFINITY;
    double samplePeak = -INFINITY;
    // Short-term loudness every shortTermStep seconds, value i for the 3 s
    // ending at (i + 1) steps (-inf before any sound).
    std::vector<double> shortTerm;
    double shortTermStep = 0;
};

// The reference curve found and the correction towards it.
struct ReferenceMatch {
    std::string name;
    double distanceDb = 0;
    std::vector<double> frequencies;  // Hz, the curve's (band edges)
    std::vector<double> levels;       // dB relative, one per band below the top edge
    std::vector<double> corrections;  // dB per band below the top edge, all cuts
    double makeUpDb = 0;              // the correction equaliser's output gain
    std::vector<double> changes;      // dB per band (top band included): what the correction does to it
    // The correction equaliser's response (AnalyseSettings::responsePoints).
    std::vector<double> responseFrequencies;  // Hz
    std::vector<double> responseDb;
};

// The measuring state of a loudness measurement, shared by copies of a report
// for album figures; opaque.
class LoudnessGating;

struct AnalyseReport {
    std::filesystem::path file;
    unsigned sampleRate = 0;
    int64_t frames = 0;
    std::string length;  // hh:mm:ss.sss

    // Whole band (AnalyseSettings::level): dB, -inf for silence.
    bool levelMeasured = false;
    double rmsDb = -INFINITY, rmsLeftDb = -INFINITY, rmsRightDb = -INFINITY;
    double peakDb = -INFINITY, peakLeftDb = -INFINITY, peakRightDb = -INFINITY;
    std::vector<double> envelopeDb;  // RMS of the louder channel per envelopeStep seconds
    double envelopeStep = 0;

    LoudnessFigures loudness;

    std::vector<double> frequencies;  // band edges, Hz
    std::vector<AnalyseBand> bands;   // one more than the edges (AnalyseSettings::bands)
    bool hasSpectrum = false;

    std::vector<AnalyseRegion> regions;
    std::vector<AnalyseSlope> slopes;
    std::vector<AnalyseStretch> stretches;
    int64_t signalStart = -1, signalEnd = -1;  // frames; -1 when everything is noise

    std::optional<ReferenceMatch> reference;
    std::string referenceProblem;  // why no curve applies (also a warning), when none was found

    // The statistics file written, or read when reused; empty when none.
    std::filesystem::path statisticsFile;
    bool statisticsReused = false;
    bool statisticsKept = false;  // one was there already and was not replaced
    // Why the statistics file asked for could not be written (with
    // AnalyseSettings::saveIsOptional; a warning as well); empty otherwise.
    std::string statisticsError;

    std::vector<std::string> warnings;

    std::shared_ptr<const LoudnessGating> gating;  // for albumLoudness(); null when not measured here
};

// Loudness figures of several recordings taken together as one album.
struct AlbumLoudness {
    int tracks = 0;                 // reports that carried a measurement
    double integrated = -INFINITY;  // LUFS, the tracks' blocks gated together
    double range = 0;               // LU
    double truePeak = -INFINITY;    // dBTP, the largest of the tracks
};

TONEWRIGHT_API JobResult<AnalyseReport> analyse(const AnalyseSettings& settings, const JobControl& control = {});

// Reports whose loudness was measured in this process count (a reused
// statistics file carries no gating blocks).
TONEWRIGHT_API AlbumLoudness albumLoudness(const std::vector<const AnalyseReport*>& tracks);

// Empty when the default reference catalog is installed and readable;
// otherwise why not (every analysis would then find no curve).
TONEWRIGHT_API std::string referenceCatalogProblem();

// The JSON objects the command-line tool prints (compact text).
TONEWRIGHT_API std::string toJson(const AnalyseReport& report);
TONEWRIGHT_API std::string toJson(const AlbumLoudness& album);

}  // namespace tonewright
