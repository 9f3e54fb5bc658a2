#pragma once
// The level job: a recording levelled region by region. The regions of steady
// loudness are found first (or taken from the statistics file that analyse
// left beside the input, while it still describes it); then the RMS amplifier
// brings every region that is not noise to one level, the limiter and the
// true-peak ceiling hold the peaks, and the output is measured as written
// (decoded, for a lossy format). Passes follow until the output has the
// loudness asked for and keeps the ceiling.
//
// An album is levelled as one: all its tracks are measured first, then each
// gets the one gain that brings the album to the target loudness, so that the
// differences between the tracks stay.
//
// Threading: as every job (Jobs.h). A LevelAlbum is only read by the calls
// that level its tracks, which may run side by side on several threads.
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/Jobs.h"

namespace tonewright {

struct LevelSettings {
    std::filesystem::path input;
    std::filesystem::path output;  // its extension names the format (wav, flac, ogg, mp3)
    // The target: an integrated loudness (LUFS, -70 to 0; the regions are
    // brought to the RMS that gives the recording that loudness) when
    // loudnessTarget, else the RMS each region is brought to (dB, -60 to 0).
    bool loudnessTarget = false;
    double targetLufs = -14.0;
    double targetDb = -14.0;
    double maxGainDb = 12.0;      // largest gain a region gets, dB, 0 to 40
    double thresholdDb = -40.0;   // noise threshold of the regions, dB below the loudest, -120 to 0
    unsigned bitRate = 192;       // kbit/s, 32 to 320, for MP3 output
    double truePeakDb = -1.0;     // ceiling of the output's true peak, dBTP, -20 to 0
    bool reanalyse = false;       // find the regions even when a statistics file holds them
    bool dither = true;           // TPDF dither when the output has 16 bits or fewer
};

// A stretch of sound (a run of regions that are not noise) and its RMS, the
// louder channel, before and after.
struct LevelStretch {
    int64_t begin = 0, frames = 0;  // frames of the input
    double before = -INFINITY;      // dB
    double after = -INFINITY;       // dB
};

struct LevelReport {
    std::filesystem::path input, output;
    std::filesystem::path statisticsFile;  // the statistics file the regions came from; empty: found here
    unsigned rate = 0;                     // Hz
    double target = 0;                     // LUFS when loudnessTarget, else dB RMS
    bool loudnessTarget = false;
    bool album = false;                    // one gain for the album
    bool silent = false;                   // no loudness: left as it was, no gain
    int regions = 0;
    // The RMS the regions were brought to (dB; for a loudness target the one
    // that gives it), or the album's one gain (dB), as the last pass ran.
    double regionTarget = -INFINITY;
    // dBFS, -inf for silence: RMS of both channels together, peak of the
    // louder, as the chain runs (before a lossy encoder).
    double rmsBefore = -INFINITY, peakBefore = -INFINITY;
    double rmsAfter = -INFINITY, peakAfter = -INFINITY;
    // Integrated loudness (LUFS) of the input (measured only for a loudness
    // target) and of the output as written; true peak of the output (dBTP).
    double loudnessBefore = -INFINITY;
    bool loudnessBeforeMeasured = false;
    double loudnessAfter = -INFINITY;
    double truePeakAfter = -INFINITY;
    std::vector<LevelStretch> stretches;
    std::vector<std::string> warnings;
};

// Levels settings.input into settings.output.
TONEWRIGHT_API JobResult<LevelReport> level(const LevelSettings& settings, const JobControl& control = {});

// What `level --json` prints for one file: {"file", "output", "target",
// "targetUnit", "album", "silent", "regionTarget", "statisticsFile", "regions",
// "before": {"rms", "peak", "loudness"}, "after": {"rms", "peak", "loudness",
// "truePeak"}, "stretches": [{"start", "length", "before", "after"}...]}.
TONEWRIGHT_API std::string toJson(const LevelReport& report);

namespace detail {
struct AlbumTracks;
}

// An album measured for levelling: each track's regions and loudness, the
// album's loudness and the one gain that brings it to the target.
struct LevelAlbum {
    std::vector<std::filesystem::path> inputs;
    double target = -14.0;        // LUFS
    double loudness = -INFINITY;  // LUFS, the tracks gated together
    double gainDb = 0.0;          // the gain of every track (0 for a silent album)
    std::shared_ptr<const detail::AlbumTracks> tracks;
};

// Measures the tracks of an album, one after the other, for a loudness
// target (settings.loudnessTarget must be set; its target and noise threshold
// are the album's, its input and output are not used). Progress counts one
// pass per track.
TONEWRIGHT_API JobResult<LevelAlbum> measureAlbum(const std::vector<std::filesystem::path>& inputs,
                                                  const LevelSettings& settings, const JobControl& control = {});

// Levels one track of a measured album, settings.input (one of album.inputs)
// into settings.output, by the album's gain; the target and threshold are the
// album's. The tracks of one album may be levelled side by side on several
// threads.
TONEWRIGHT_API JobResult<LevelReport> levelAlbumTrack(const LevelSettings& settings, const LevelAlbum& album,
                                                      const JobControl& control = {});

// The two together: the album of `files` (input, output) measured, then each
// track levelled in turn. Stops at the first track that fails.
TONEWRIGHT_API JobResult<std::vector<LevelReport>> levelAlbum(
    const LevelSettings& settings, const std::vector<std::pair<std::filesystem::path, std::filesystem::path>>& files,
    const JobControl& control = {});

}  // namespace tonewright
