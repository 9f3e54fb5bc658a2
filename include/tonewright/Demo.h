#pragma once
// A recording to try the jobs on, made from nothing: 44 s of 16-bit stereo at
// 44.1 kHz, three pieces of different loudness and spectral balance separated
// by gaps, the last one fading out:
//   0-1 s silence | 1-11 s warm and moderate (about -17 dB, bass-heavy)
//   | 11-15 s silence | 15-25 s quiet and bright (about -35 dB, high partials
//   and hiss) | 25-29 s faint room noise | 29-43 s loud and full (about -15 dB,
//   fading out over its last 5 s) | 43-44 s silence
// The gaps last long enough for the region detector to keep them apart from
// the pieces (a boundary of 5 dB or more needs 2 s on either side). The samples
// are the same on every run; the file carries a title, artist and album tag.
//
// Threading: see Jobs.h.
#include <cstdint>
#include <filesystem>

#include "tonewright/Export.h"
#include "tonewright/Jobs.h"

namespace tonewright {

struct DemoRecordingReport {
    std::filesystem::path file;
    unsigned sampleRate = 0;
    int64_t frames = 0;
};

// Writes the recording to `output` (any format the writers take, by its
// extension), atomically; an existing file is replaced only when
// control.overwrite is set.
TONEWRIGHT_API JobResult<DemoRecordingReport> makeDemoRecording(const std::filesystem::path& output,
                                                                const JobControl& control = {});

}  // namespace tonewright
