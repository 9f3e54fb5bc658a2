#pragma once
// split: one file per piece of a recording, cut inside the gaps between the
// pieces (or at the tracks of a CUE sheet), each with the recording's tags,
// its own track number, total and title, and the cover; optionally a CUE
// sheet and an M3U playlist of the pieces beside them.
//
// One code path: planSplit finds the gaps and names the pieces, and split
// writes exactly that plan, so a dry run (the plan alone) says what a real
// run writes. Everything that can be refused is refused before the first
// piece is written, and a failure leaves no piece behind: the pieces are made
// in a temporary folder beside their place and moved there together.
//
// Threading: may be called from several threads at once on different inputs;
// see Jobs.h for the conventions of the jobs layer.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tonewright/Jobs.h"

namespace tonewright {

struct SplitSettings {
    std::filesystem::path input;
    // The name the pieces are numbered from ("dir/Side A.flac" gives
    // "dir/001-Side A.flac", ...) unless nameTemplate names them; its folder
    // is where the pieces go (made when missing) and its extension picks
    // their format (wav, flac, ogg, mp3). Numbered pieces of an earlier
    // split past this one's last are removed (replaced, as the others, with
    // JobControl::overwrite only), and a note says so.
    std::filesystem::path output;
    double minSilence = 0.4;     // seconds, 0.1 to 600; shorter silences are not gaps
    double thresholdDb = -40.0;  // dB, -120 to 0: a gap is this far below the recording's level, at least
    double cutAt = 0.5;          // where in each gap to cut: 0 its start, 1 its end
    bool keep = false;           // instead: keep this much silence around each piece, drop the rest
    double keepBefore = 0.5, keepAfter = 1.0;  // seconds, 0 to 3600
    double minLength = 2.0;      // seconds, 0 to 86400; shorter pieces are reported, or merged
    bool mergeShort = false;     // merge short pieces into a neighbour
    unsigned bitRate = 192;      // kbit/s, 32 to 320, for MP3 pieces
    bool dryRun = false;         // split() stops at the plan
    // Names of the pieces, as "{n:02} - {title}" (fields n, total, title,
    // artist, album, genre, date, name: the input's base name); the
    // extension is added. Empty: numbered from `output`.
    std::string nameTemplate;
    // A CUE sheet beside the pieces: the album's (its recording, a track at
    // each piece with its title and performer; the cuts moved to whole CD
    // frames of 1/75 s), which fromCue reads back to the same pieces; and an
    // M3U playlist of the pieces.
    bool cue = false, m3u = false;
    std::filesystem::path fromCue;  // cut at the tracks of this CUE sheet instead of at gaps
};

struct SplitGap {
    int64_t begin = 0, frames = 0;  // frames of the input
    double levelDb = -100;          // RMS level of the gap, dBFS
};

struct SplitPiece {
    std::string file;               // where it is (or would be) written
    int number = 0;                 // its track number, from 1
    int64_t begin = 0, frames = 0;  // frames of the input
    double levelDb = 0;             // RMS level, dBFS
    bool isShort = false;           // shorter than the minimum length (kept, reported)
    int merged = 0;                 // short pieces merged into this one
    std::string title, artist;      // as tagged
};

// The plan of a split, and once written its report: what `split --json`
// prints, field for field.
struct SplitReport {
    std::string input;
    unsigned rate = 0;               // Hz
    int64_t frames = 0;              // of the input
    bool dryRun = false;             // the pieces were planned, not written
    std::string cutsFrom;            // "gaps", or the CUE sheet's file name
    // The recording's level, its noise floor and the level below which it is
    // silence (dBFS); cuts at gaps only.
    double levelDb = -100, floorDb = -100, ceilingDb = -100;
    std::vector<SplitGap> gaps;
    std::vector<SplitPiece> pieces;
    std::vector<std::string> notes;  // what the user should know: no gap, short pieces, ...
    std::string cueFile, m3uFile;    // written (or to be written) beside the pieces
};

// Finds the gaps and the pieces' levels (one pass over the input) and names
// the pieces, checking every name; writes nothing.
TONEWRIGHT_API JobResult<SplitReport> planSplit(const SplitSettings& settings, const JobControl& control = {});

// The plan, then (unless settings.dryRun) the pieces in one more pass and
// the lists beside them. A list that cannot be written is a warning: the
// pieces are there.
TONEWRIGHT_API JobResult<SplitReport> split(const SplitSettings& settings, const JobControl& control = {});

// The report as the JSON object `split --json` prints, compact.
TONEWRIGHT_API std::string toJson(const SplitReport& report);

}  // namespace tonewright
