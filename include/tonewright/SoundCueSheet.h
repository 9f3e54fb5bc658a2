#pragma once
// A CUE sheet: the track list of a recording (or of a set of files), with track
// titles and performers and where each track starts, in CD frames of 1/75 s.
//
// parse() reads the commands REM, TITLE, PERFORMER, FILE, TRACK and INDEX and
// ignores the other standard ones (FLAGS, ISRC, PREGAP, POSTGAP, SONGWRITER,
// CATALOG, CDTEXTFILE). Text is UTF-8 (a byte order mark is skipped), or
// UTF-16 little or big endian with a byte order mark (as rippers write it);
// other encodings are refused naming them. A sheet has no escape for a quote
// nor for a control character: texts are kept as a sheet can hold them, a
// quote as an apostrophe, a control character as a space. toText() writes a
// sheet that parse() reads back to the same record.
//
// Plain value; no threading concerns.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "tonewright/Export.h"

class TONEWRIGHT_API SoundCueSheet {
public:
    static constexpr int kFramesPerSecond = 75;

    struct Track {
        int number = 0;        // 1 to 99, increasing through the sheet
        std::string title;     // UTF-8, empty when the sheet gives none
        std::string performer;
        std::string file;      // the FILE the track is in
        int64_t start = 0;     // INDEX 01, CD frames from the start of its file
    };

    std::string title;      // of the whole sheet (the album)
    std::string performer;
    std::vector<Track> tracks;

    // Replaces the record by the sheet in `text`. False, with a message giving
    // the line number and the cause in words, when the sheet is not usable: no
    // track, a time that is not minutes:seconds:frames (seconds below 60, frames
    // below 75), a track without INDEX 01, track numbers or start times that do
    // not increase within a file, an INDEX before the first TRACK.
    // Text longer than kMaxTextBytes is refused as not a sheet.
    bool parse(const QByteArray& text, QString* error);
    // parse() of the file at `path`, read up to kMaxTextBytes and refused when
    // it holds more (a device such as /dev/zero is never read to its end).
    // False, with the cause in words (the file's own error when it cannot be
    // opened), as for parse().
    bool readFile(const QString& path, QString* error);
    // A sheet of 99 tracks with titles and performers takes a few KiB.
    static constexpr int kMaxTextBytes = 1 << 20;

    // Quotes and control characters (line breaks) in the texts, which a sheet
    // cannot hold, are written as ' and spaces.
    QByteArray toText() const;

    // "mm:ss:ff" of a position in CD frames.
    static std::string formatTime(int64_t cdFrames);
    // Sample frames of a position in CD frames, and the CD frame a sample frame
    // falls in (rounded to the nearest).
    static int64_t toSampleFrames(int64_t cdFrames, unsigned sampleRate);
    static int64_t toCdFrames(int64_t sampleFrames, unsigned sampleRate);
};
