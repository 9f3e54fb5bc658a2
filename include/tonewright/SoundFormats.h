#pragma once
// The one table of the sound file formats the library knows, by extension:
// which reader takes a file, which writer makes one, where its tags go,
// whether its encoder is lossy, the largest integer sample it stores and the
// size a plain file of it can count. The reader and writer factories, the tag
// layer (SoundTagFile) and the jobs all ask it, so that they agree.
//
// The factories keep their own rules for names the table does not know (the
// writer factory writes headerless floats for any other extension); the tag
// layer and the jobs refuse such names, with the table's words when it has
// them.
//
// Ogg audio named ".oga" is refused everywhere: no reader takes it, and
// whatever codec it holds, the library would neither read it nor tag it as
// the format its name claims. Ogg Vorbis files are named ".ogg".
//
// The table is constant: every function may be called from any thread.
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundIDTag.h"

class SoundReader;

namespace tonewright {

enum class ReaderKind { None, Sndfile, Mp3 };
// The writer class and, for libsndfile, its container.
enum class WriterKind { None, Wav, Flac, Ogg, Mp3 };
// Where the tags go: an ID3v2 chunk plus the RIFF INFO list (WAV), Vorbis
// comments in a FLAC stream or an Ogg Vorbis stream, an ID3v2 tag (MP3).
enum class TagKind { None, RiffAndId3, FlacComment, OggComment, Id3 };

// Room kept under the 32-bit sizes of a RIFF file for its header and tags: a
// WAV file of more sound data is written as RF64.
constexpr int64_t kWavDataLimit = int64_t(0xFFFFFFFFll) - 65536;

struct SoundFileFormat {
    const char* extension;  // lower case, without the dot
    const char* name;       // "WAV", "FLAC", "Ogg Vorbis", "MP3"
    ReaderKind reader;
    WriterKind writer;
    TagKind tags;
    // The encoder changes the waveform: such files have no bit depth, and a
    // written file must be decoded to know its peaks and loudness.
    bool lossy;
    int maxBits;          // largest integer sample stored; 0 for a lossy format
    bool floatSamples;    // 32- and 64-bit float samples stored as they are
    int64_t sizeLimit;    // bytes of sound a plain file can count; 0: no limit
    const char* refusal;  // not null: a known name that is refused, and why
};

// Every format of the table, refused names included.
TONEWRIGHT_API const std::vector<SoundFileFormat>& soundFileFormats();

// The entry of an extension (without the dot, any ASCII case); null when the
// table does not know it. A refused name has an entry: check `refusal`.
TONEWRIGHT_API const SoundFileFormat* formatOfExtension(const std::string& extension);
// The entry of a file name's extension, taken by the factories' rule
// (SoundTools::lowerExtension).
TONEWRIGHT_API const SoundFileFormat* formatOfName(const QString& fileName);
// The format a file's first bytes show (RIFF/RF64 WAVE, fLaC, OggS, an ID3v2
// tag or an MPEG audio frame), whatever its name says; null when the file
// cannot be read or shows none of them.
TONEWRIGHT_API const SoundFileFormat* sniffFormat(const QString& fileName);

// Whether a file of this extension is read, written, tagged; whether its
// encoder is lossy. False for unknown and refused names.
TONEWRIGHT_API bool isReadableExtension(const std::string& extension);
TONEWRIGHT_API bool isWritableExtension(const std::string& extension);
TONEWRIGHT_API bool isTaggableExtension(const std::string& extension);
TONEWRIGHT_API bool isLossy(const std::string& extension);
// "wav, flac, ogg, mp3": the extensions written, for messages.
TONEWRIGHT_API std::string writableExtensions();
// The refusal of a known name that is refused (".oga"), in words; empty for
// every other name.
TONEWRIGHT_API std::string refusalOf(const std::string& extension);

// The sample format to ask of a writer of this extension for a source of
// `source`: the source's where the format stores it, else the largest
// integer sample the format stores (FLAC: 24 bits). Lossy encoders take the
// floats whatever is asked.
TONEWRIGHT_API SoundTools::SoundFormat sampleFormatFor(const std::string& extension, SoundTools::SoundFormat source);

// "pcm8", "pcm16", "pcm24", "pcm32", "float" or "double": the name reports give
// a sample format.
TONEWRIGHT_API const char* sampleFormatName(SoundTools::SoundFormat format);

// Why a recording cannot be opened for reading, in words (without the file's
// name): "no such file", "a link to a missing file", the system's reason (a
// loop of links, a path too long), a folder, not a regular file, or
// "permission denied"; empty when it is a regular file the caller may read.
TONEWRIGHT_API std::string unreadableInput(const QString& name);

// Opens a recording with the reader its name calls for, ready to read; null
// when it cannot, the cause in words (without the file's name) then being the
// calling thread's last error (see SoundDebuggableClass): unreadableInput's
// (a pipe, a socket or a device is refused: the readers seek, and most jobs
// read a recording more than once), a name the library does not read, or what
// the reader found wrong with the content. The caller owns the
// reader. Any thread may call it.
TONEWRIGHT_API std::unique_ptr<SoundReader> openRecording(const QString& name);

// What the readers do with a recording of more than two channels, in words for
// a warning: "6 channels, mixed down to stereo (...)".
TONEWRIGHT_API std::string mixDownNote(unsigned channels);

}  // namespace tonewright
