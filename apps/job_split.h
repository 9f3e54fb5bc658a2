#pragma once
// The split job's work on one recording, also run by the demo: the gaps between
// its pieces (or the tracks of a CUE sheet), where to cut, and one file per
// piece with the album's tags, its own track number and title, and the cover.
//
// One code path: splitFile plans the pieces (splitPlan) and a dry run stops
// there, so what it prints is exactly what a real run writes.
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cmath>
#include <cstdint>
#include <vector>

namespace cli {

struct SplitSettings {
    double minSilence = 0.4;      // seconds; shorter silences are not gaps
    double thresholdDb = -40.0;   // a gap is this far below the recording's level, at least
    double cutAt = 0.5;           // where in each gap to cut: 0 its start, 1 its end
    bool keep = false;            // instead: keep this much silence around each piece, drop the rest
    double keepBefore = 0.5, keepAfter = 1.0;  // seconds
    double minLength = 2.0;       // seconds; shorter pieces are reported, or merged
    bool mergeShort = false;      // merge short pieces into a neighbour
    unsigned bitRate = 192;       // kbit/s, for MP3 pieces
    bool dryRun = false;
    QString nameTemplate;         // "{n:02} - {title}"; empty: numbered from the output name
    bool cue = false, m3u = false;  // a CUE sheet / playlist beside the pieces
    QString fromCue;              // cut at the tracks of this CUE sheet instead of at gaps
};

struct SplitGap {
    int64_t begin = 0, frames = 0;
    double levelDb = -100;
};

struct SplitPiece {
    QString file;
    int number = 0;
    int64_t begin = 0, frames = 0;  // frames of the input
    double levelDb = -INFINITY;
    bool isShort = false;           // shorter than the minimum length (kept, reported)
    int merged = 0;                 // short pieces merged into this one
    QString title, artist;
};

struct SplitResult {
    QString input;
    unsigned rate = 0;
    int64_t frames = 0;
    bool dryRun = false;
    QString cutsFrom;               // "gaps" or the CUE sheet's name
    double levelDb = -100, floorDb = -100, ceilingDb = -100;
    std::vector<SplitGap> gaps;
    std::vector<SplitPiece> pieces;
    QStringList notes;              // what the user should know: no gap, short pieces, ...
    QString cueFile, m3uFile;       // written (or to be written) beside the pieces
};

// outputTemplate: the name pieces are numbered from ("dir/Side A.flac" gives
// "dir/001-Side A.flac", ...) unless settings.nameTemplate names them; its
// folder is where pieces go and its extension picks the format. Progress: file
// `fileIndex`, passes from `pass` on out of `passes` (0: those of this job
// alone). False with the message printed when the job failed for this file;
// everything is checked before the first piece is written, and no piece is
// left behind by a failure.
bool splitFile(const QString& input, const QString& outputTemplate, const SplitSettings& settings, SplitResult& out,
               int fileIndex = 0, int pass = 0, int passes = 0);

QString splitSummary(const SplitResult& r);
QJsonObject splitToJson(const SplitResult& r);

}  // namespace cli
