#pragma once
// Walks the frame headers of an MP3 file from its first audio frame to its
// end, to tell why a file holds fewer frames than its info header announces:
// it ends inside a frame (the file was cut), or a frame header is missing
// where the previous frame ends (damaged data in the middle). Internal to the
// MP3 reader; used only on that failure path, so it maps the file whole.
#include <QString>
#include <cstdint>

namespace SoundMp3Frames {

struct Walk {
    enum Outcome {
        Complete,   // whole frames up to the end (or the trailing tags)
        Truncated,  // the last frame runs past the end of the file
        Damaged,    // no frame header where a frame should begin
        Unknown     // no frame found, free-format stream, or the file cannot be read
    };
    Outcome outcome = Unknown;
    int64_t frames = 0;  // whole frames walked before the end or the damage
    int64_t at = 0;      // byte offset of the damage, or of the cut frame's start
};

Walk walk(const QString& path);

}  // namespace SoundMp3Frames
