#pragma once
// Descriptive tags of a recording, carried from a reader to a writer, and the
// sample formats a reader reports and a writer is asked for.
//
// Plain copyable values; no threading concerns.
#include <QByteArray>
#include <map>
#include <string>

#include "tonewright/Export.h"

namespace SoundTools {

enum SoundFormat : int {
    Pcm8 = 0,    // 8-bit integer (signed or unsigned)
    Pcm16 = 1,   // 16-bit integer; also the fallback for formats without a name here
    Pcm24 = 2,
    Pcm32 = 3,
    Float = 4,   // 32-bit float
    Double = 5   // 64-bit float
};

}  // namespace SoundTools

// Every text field is UTF-8, empty when absent.
struct SoundIDTag {
    std::string title;
    std::string artist;
    std::string album;
    std::string year;     // MP3 sources give a decimal number ("0" when absent)
    std::string comment;
    std::string track;    // the track number, as text
    std::string genre;
    QByteArray cover;     // bytes of an embedded picture (JPEG, PNG, ...), empty when none
    std::string coverMimeType;
    // The number of tracks of the album the recording belongs to, as text; empty
    // when unknown. Kept by the full tag layer (SoundTagFile) and the writers.
    std::string trackTotal;
    // Further fields by their upper-case name, e.g. "REPLAYGAIN_TRACK_GAIN": a
    // Vorbis comment of that name in FLAC and Ogg, a user text frame (TXXX) of
    // that description in the ID3v2 tags of MP3 and WAV files.
    std::map<std::string, std::string> extra;

    // True when at least one of the seven text fields is not empty.
    bool hasText() const {
        return !title.empty() || !artist.empty() || !album.empty() || !year.empty() || !comment.empty() ||
               !track.empty() || !genre.empty();
    }
    // True when no field at all is set, the cover and the extra fields included.
    bool isEmpty() const { return !hasText() && cover.isEmpty() && trackTotal.empty() && extra.empty(); }
};
