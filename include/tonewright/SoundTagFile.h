#pragma once
// The full descriptive tags of a finished sound file, read and written in place:
// title, artist, album, genre, date, comment, track number and total, cover
// picture and any further named fields (SoundIDTag::extra).
//
// Where the tags go, by the file's extension:
//   flac, ogg  Vorbis comments (TRACKNUMBER and TRACKTOTAL apart, the cover as a
//              picture block / METADATA_BLOCK_PICTURE);
//   mp3        an ID3v2.4 tag (TRCK "N/T", APIC, TXXX for the extra fields);
//   wav        an ID3v2.4 chunk as for MP3, plus the RIFF INFO list for the
//              fields INFO can hold (INAM, IART, IPRD, IGNR, ICRD, ICMT, IPRT).
// The format table (SoundFormats.h) tells the kind; names it refuses (".oga")
// are refused here too, with its words.
//
// The sound itself is never touched. Stateless; the functions may be called from
// any thread, one call per file at a time.
#include <QString>
#include <map>
#include <string>

#include "tonewright/Export.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundIDTag.h"
#include "tonewright/SoundTools.h"

class TONEWRIGHT_API SoundTagFile : public SoundDebuggableClass {
public:
    // True for the extensions (any case) whose files carry tags here.
    static bool isTaggable(const QString& fileName);

    // Fills `tag` from the file, replacing every field. A file without tags
    // gives an empty record and Ok; a file that cannot be read as its extension
    // says gives Error, with a message naming the file (getError). A block
    // larger than any tag needs (a WAV LIST chunk over 1 MiB, an ID3v2 tag or
    // chunk over 64 MiB) is not read: the rest of the tags are, and a warning
    // names what was skipped.
    static SoundTools::Status read(const QString& fileName, SoundIDTag& tag);

    // Replaces the file's tags by the record: empty fields are removed from the
    // file, extra fields are written as they stand (keys in upper case). A
    // cover larger than the container holds (a picture block of 16 MiB in FLAC
    // and Ogg, an ID3v2 tag of 256 MiB) is left out with a warning rather than
    // written into a file no reader opens. Error, with a message naming the
    // file, when the file cannot be opened or saved, is of a kind that carries
    // no tags, or holds a block read() skips (the file is left as it was).
    static SoundTools::Status write(const QString& fileName, const SoundIDTag& tag);

    // Sets the named fields (keys in upper case, stored as the extra fields of
    // write() are) and leaves every other tag and picture as it was; an empty
    // value removes the field. An existing ID3v2 tag keeps its version (2.3 or
    // 2.4), and other tags of an MP3 file (ID3v1, APE) are not touched. Error,
    // with a message naming the file, as for write().
    static SoundTools::Status setFields(const QString& fileName, const std::map<std::string, std::string>& fields);

    // The track number a file name gives: the leading number of the name itself
    // (folders are not looked at) when a separator follows it: "07 - Song.wav",
    // "07-song.flac", "07_song.ogg", "07. Song.mp3" give "7". Empty otherwise
    // (no leading digits, or digits that run into the name such as "1999.wav"
    // or "24bit.wav").
    static std::string trackFromFileName(const QString& fileName);
};
