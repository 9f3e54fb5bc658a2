#pragma once
// The level job's work on one recording, also run by the demo: two passes, the
// regions first, then the RMS amplifier and the limiter into the output file.
#include <QJsonObject>
#include <QString>
#include <cmath>
#include <cstdint>
#include <vector>

#include "Analysis.h"

namespace cli {

struct LevelSettings {
    double targetDb = -14.0;   // RMS each region is brought to (loudnessTarget off)
    // Level to an integrated loudness instead (LUFS): the regions are brought
    // to the RMS that gives the recording that loudness.
    bool loudnessTarget = false;
    double targetLufs = -14.0;
    // Album levelling: one gain for every track (albumGainDb, from the album's
    // loudness), so the differences between the tracks stay; NaN: per track.
    double albumGainDb = NAN;
    double maxGainDb = 12.0;   // largest gain a region gets
    double thresholdDb = -40.0;  // noise threshold of the region pass
    unsigned bitRate = 192;    // kbit/s, for MP3 output
    double truePeakDb = -1.0;  // ceiling of the output's true peak, dBTP
    bool reanalyse = false;    // ignore the regions of a statistics file
    bool dither = true;        // TPDF dither when the output has 16 bits or fewer
};

struct LevelResult {
    QString input, output;
    QString savedAnalysis;  // the statistics file the regions came from, if any
    unsigned rate = 0;
    double targetDb = 0;
    int regions = 0;
    double rmsBefore = -INFINITY, peakBefore = -INFINITY;
    double rmsAfter = -INFINITY, peakAfter = -INFINITY;
    double lufsBefore = -INFINITY, lufsAfter = -INFINITY;  // integrated loudness
    bool lufsBeforeMeasured = false;  // an RMS target measures no loudness before
    double truePeakAfter = -INFINITY;                      // dBTP
    double regionTargetDb = -INFINITY;  // the RMS the regions were brought to (loudness target)
    bool silent = false;                // no loudness: left as it was, no gain
    bool loudnessTarget = false;        // targetDb is in LUFS
    bool album = false;                 // one gain for the album
    std::vector<Stretch> stretches;    // of the input
    std::vector<double> stretchAfter;  // their RMS in the output, dB
};

// analysis: the regions to level by, or null to take them from the input's
// statistics file (when it fits) or else run the region pass here.
// Progress: file `fileIndex`, its passes from `pass` on out of `passes` (0:
// those of this job alone). False with the message printed when the job failed
// for this file; no partial output is left behind.
bool levelFile(const QString& input, const QString& output, const LevelSettings& settings, const Analysis* analysis,
               LevelResult& out, int fileIndex = 0, int pass = 0, int passes = 0);

QString levelSummary(const LevelResult& r);
QJsonObject levelToJson(const LevelResult& r);

}  // namespace cli
