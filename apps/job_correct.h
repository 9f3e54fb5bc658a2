#pragma once
// The correct job's work on one recording, also run by the demo: the band
// levels (from the input's statistics file when it fits, else measured here),
// the nearest or a named reference curve, and the correction equaliser built
// from it, run into the output with the limiter after it.
#include <QJsonObject>
#include <QString>

#include "Analysis.h"

namespace cli {

struct CorrectSettings {
    QString reference;  // curve name; empty: the nearest
    double maxCorrection = 12.0;  // dB
    double thresholdDb = -40.0;   // noise threshold, when the analysis runs here
    unsigned bitRate = 192;
    double truePeakDb = -1.0;     // ceiling of the output's true peak, dBTP
    bool reanalyse = false;       // measure even when a statistics file fits
    bool dither = true;           // TPDF dither when the output has 16 bits or fewer
};

struct CorrectResult {
    QString input, output;
    QString savedAnalysis;  // the statistics file the band levels came from, if any
    ReferenceResult reference;
    int filters = 0;             // equaliser sections run
    double makeUpDb = 0.0;       // output gain given back after the cuts (a boost where nothing is cut)
    double maxCorrection = 0.0;  // dB, the limit of every band's change
    double rmsBefore = -INFINITY, rmsAfter = -INFINITY, peakAfter = -INFINITY;
};

// analysis: band levels to correct from, or null (statistics file, else a
// measuring pass here). False with the message printed; no partial output
// is left behind.
bool correctFile(const QString& input, const QString& output, const CorrectSettings& settings,
                 const Analysis* analysis, CorrectResult& out, int fileIndex = 0, int pass = 0, int passes = 0);

QString correctSummary(const CorrectResult& r);
QJsonObject correctToJson(const CorrectResult& r);

}  // namespace cli
