#pragma once
// tag: ReplayGain 2.0 tags written into recordings in place, from their
// integrated loudness (ITU-R BS.1770) and true peak; the sound itself is not
// touched, nor any other tag.
//
//   REPLAYGAIN_TRACK_GAIN  the gain that brings the recording to -18 LUFS, "-6.52 dB"
//   REPLAYGAIN_TRACK_PEAK  the true peak as a ratio of full scale, "0.988547"
//   REPLAYGAIN_ALBUM_GAIN, REPLAYGAIN_ALBUM_PEAK  the same for the inputs
//                          measured together as one album (album mode)
//
// FLAC and Ogg get Vorbis comments, MP3 and WAV ID3v2 user text frames. Each
// file is tagged through a copy beside it whose tags are read back; the copy
// then replaces the file with the file's owner, group, mode and extended
// attributes, or, when it cannot be given them or the file has other names
// (hard links), its bytes are written into the file itself (room reserved
// first), so that everything but the tags stays. A file marked read-only is
// refused, and so is one that cannot be measured (silent, or shorter than one
// 400 ms gating block) or is fainter than -60 LUFS (noise or near silence: a
// gain would only raise the noise). A gain above +24 dB is capped there, with
// a warning.
//
// Threading: may be called from several threads at once on different files;
// see Jobs.h for the conventions of the jobs layer.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tonewright/Jobs.h"

namespace tonewright {

struct TagSettings {
    std::vector<std::filesystem::path> inputs;  // the recordings to tag
    // Also the album gain and peak: every input is measured before any is
    // tagged, and one that is refused or cannot be read stops the job with
    // every file as it was.
    bool album = false;
};

// A ReplayGain figure: its value and its text in the tag.
struct ReplayGainFigures {
    double loudness = 0;  // integrated loudness, LUFS
    double truePeak = 0;  // dBTP
    double gain = 0;      // dB: -18 LUFS less the loudness
    double peak = 0;      // the true peak as a ratio of full scale
    std::string gainText;  // the gain as the tag holds it: "-6.52 dB"
    std::string peakText;  // the peak as the tag holds it: "0.988547"
};

// One input: what `tag --json` prints for it (the figures rounded, dB to
// 0.01 and the peak to 6 decimals), or why it was not tagged.
struct TagFileReport {
    std::string file;
    bool tagged = false;
    JobError error;  // when not tagged: nothing was written to the file
    ReplayGainFigures track;
    std::optional<ReplayGainFigures> album;  // in album mode
};

struct TagReport {
    std::vector<TagFileReport> files;        // in input order
    std::optional<ReplayGainFigures> album;  // in album mode, when the album has a loudness
};

// The JobResult holds an error only when nothing was tagged because of it: a
// bad setting, or in album mode an input that is refused or cannot be
// measured. Otherwise each file's report says whether it was tagged.
// Progress: one pass per input (its measurement).
TONEWRIGHT_API JobResult<TagReport> tag(const TagSettings& settings, const JobControl& control = {});

// One tagged file's report as the JSON object `tag --json` prints, compact.
TONEWRIGHT_API std::string toJson(const TagFileReport& report);

}  // namespace tonewright
