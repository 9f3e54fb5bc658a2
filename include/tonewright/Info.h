#pragma once
// info: what a sound file holds — its format and sample format, rate,
// channels, length, tags and cover picture. Reads the file's header and tags
// only, never its sound.
//
// Threading: may be called from several threads at once on different files;
// see Jobs.h for the conventions of the jobs layer.
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tonewright/Jobs.h"

namespace tonewright {

struct InfoSettings {
    std::filesystem::path input;
};

// What `tonewright info --json` prints for the file, field for field.
struct InfoReport {
    std::string file;          // the input as given
    // The container the file's first bytes show ("wav", "flac", "ogg",
    // "mp3"), or its name's extension when they show none: the extension
    // only chooses the reader, which may find other data than the name says.
    std::string format;
    // "pcm8", "pcm16", "pcm24", "pcm32", "float", "double"; for the lossy
    // formats, which have no bit depth, the codec: "mp3", "vorbis", "opus".
    std::string sampleFormat;
    bool lossy = false;        // the format's encoder changes the waveform
    unsigned sampleRate = 0;   // Hz
    unsigned channels = 0;     // of the file (more than two are mixed down when read)
    bool mixedDownToStereo = false;
    int64_t frames = 0;
    double seconds = 0;        // to the millisecond
    std::string length;        // hh:mm:ss.sss
    // The tags present, by key ("title", "artist", "album", "year", "track",
    // "genre", "tracks", "comment"), in that order.
    std::vector<std::pair<std::string, std::string>> tags;
    bool cover = false;
    std::string coverMimeType;  // when there is a cover
    int64_t coverBytes = 0;     // when there is a cover
};

TONEWRIGHT_API JobResult<InfoReport> info(const InfoSettings& settings, const JobControl& control = {});

// The report as the JSON object `info --json` prints, compact.
TONEWRIGHT_API std::string toJson(const InfoReport& report);

}  // namespace tonewright
