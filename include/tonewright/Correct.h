#pragma once
// The correct job: a recording's spectral balance moved towards a reference
// curve of the library's catalog, the nearest or a named one. The band levels
// are measured first (or taken from the statistics file that analyse left
// beside the input, while it still describes it); the correction equaliser of
// cuts and a make-up gain is designed on the recording's mean spectrum so that
// each band changes by what the report says, within the limit asked; the
// limiter and the true-peak ceiling follow it.
//
// Threading: as every job (Jobs.h). The catalog is read once, by the first
// call that needs it, and only read afterwards.
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/Jobs.h"

namespace tonewright {

struct CorrectSettings {
    std::filesystem::path input;
    std::filesystem::path output;  // its extension names the format (wav, flac, ogg, mp3)
    std::string reference;         // a curve's name; empty: the nearest
    double maxCorrection = 12.0;   // limit of every band's change, make-up included, dB, 0 to 40
    double thresholdDb = -40.0;    // noise threshold of the measuring pass, dB below the loudest, -120 to 0
    unsigned bitRate = 192;        // kbit/s, 32 to 320, for MP3 output
    double truePeakDb = -1.0;      // ceiling of the output's true peak, dBTP, -20 to 0
    bool reanalyse = false;        // measure even when a statistics file holds the band levels
    bool dither = true;            // TPDF dither when the output has 16 bits or fewer
};

struct CorrectReport {
    std::filesystem::path input, output;
    std::filesystem::path statisticsFile;  // the statistics file the band levels came from; empty: measured here
    std::string reference;                 // the curve corrected towards
    double distance = 0;                   // dB, of the recording from the curve
    std::vector<double> frequencies;       // Hz, the curve's band edges
    std::vector<double> corrections;       // dB per band below the top edge, all cuts
    // dB per band, the band above the top edge included (0: it has no
    // reference level): what the equaliser does to each, make-up included.
    std::vector<double> changes;
    int sections = 0;                      // equaliser sections run
    double makeUpDb = 0.0;                 // the output gain given back after the cuts
    double maxCorrection = 0.0;            // dB, the limit of every band's change
    // dBFS, -inf for silence, as the chain runs (before a lossy encoder).
    double rmsBefore = -INFINITY, rmsAfter = -INFINITY, peakAfter = -INFINITY;
    std::vector<std::string> warnings;
};

// Corrects settings.input into settings.output. A reference that the catalog
// does not hold is a Setting error; a recording without a curve that applies
// (too narrow a band, silence) is an Input error.
TONEWRIGHT_API JobResult<CorrectReport> correct(const CorrectSettings& settings, const JobControl& control = {});

// What `correct --json` prints for one file: {"file", "output", "statisticsFile",
// "reference": {"name", "distance"}, "corrections", "sections", "makeUpGain",
// "changes", "maxCorrection", "before": {"rms"}, "after": {"rms", "peak"}}.
TONEWRIGHT_API std::string toJson(const CorrectReport& report);

// A reference curve of the catalog.
struct ReferenceCurve {
    std::string name;
    std::vector<double> frequencies;  // Hz
    std::vector<double> levels;       // dB, relative
};
// The curves of the library's default catalog; an error when it cannot be
// found or read.
TONEWRIGHT_API JobResult<std::vector<ReferenceCurve>> referenceCurves();
// The curves as `correct --list --json` prints them: [{"name", "frequencies", "levels"}...].
TONEWRIGHT_API std::string toJson(const std::vector<ReferenceCurve>& curves);

}  // namespace tonewright
