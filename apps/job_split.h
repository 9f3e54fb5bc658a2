#pragma once
// The split job's work on one recording, also run by the demo: one numbered
// file per stretch of sound, cut by the multi-file writer at the regions of an
// analysis.
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <vector>

#include "Analysis.h"

namespace cli {

struct SplitSettings {
    double minLength = 2.0;           // seconds; shorter stretches are left out
    double thresholdDb = -40.0;       // noise threshold of the region pass
    unsigned bitRate = 192;           // kbit/s, for MP3 pieces
    bool dryRun = false;
    bool reanalyse = false;           // ignore the regions of a statistics file
};

struct SplitPiece {
    QString file;
    int64_t begin = 0, frames = 0;  // where the piece's sound starts in the input, and its length
    double levelDb = -INFINITY;
};

struct SplitResult {
    QString input;
    unsigned rate = 0;
    bool dryRun = false;
    QString savedAnalysis;  // the statistics file the regions came from, if any
    std::vector<SplitPiece> pieces;
};

// outputTemplate: the name pieces are numbered from ("dir/Side A.flac" gives
// "dir/001-Side A.flac", ...); its extension picks the format. analysis: the
// regions to cut at, or null to take them from the input's statistics file
// (when it fits) or else run the region pass here. Progress: file
// `fileIndex`, its passes from `pass` on out of `passes` (0: those of this job
// alone). False with the message printed when the job failed for this file;
// no piece is left behind.
bool splitFile(const QString& input, const QString& outputTemplate, const SplitSettings& settings,
               const Analysis* analysis, SplitResult& out, int fileIndex = 0, int pass = 0, int passes = 0);

QString splitSummary(const SplitResult& r);
QJsonObject splitToJson(const SplitResult& r);

}  // namespace cli
