#pragma once
// Private to the library: bounds on the metadata of sound files, found by
// walking the container's block headers before a decoder or the tag layer
// reads the blocks themselves. A tag block that is larger than any tag needs
// (a 200 MB RIFF LIST chunk) or that claims more than it holds (a FLAC
// picture of 2 GB in a block of 50 bytes) is skipped, and what was skipped is
// said in words: the readers see the file through a view in which the block
// is renamed or marked as padding. The file itself is never changed.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

class QIODevice;

namespace MetadataGuard {

// The most the tag layer reads of one block: RIFF LIST chunks (INFO text,
// labels) and other text, and tags that may carry a cover picture (an ID3v2
// tag, in an MP3 file or a WAV chunk).
constexpr int64_t kMaxTextBlockBytes = int64_t(1) << 20;
constexpr int64_t kMaxTagBytes = int64_t(64) << 20;
// A FLAC metadata block counts its length in 24 bits; an Ogg file carries the
// same picture block (base64 in a comment), and its readers parse it as such.
constexpr int64_t kMaxPictureBlockBytes = 0xFFFFFF;

// Bytes of the file that a reader is shown otherwise.
struct Patch {
    int64_t offset = 0;
    QByteArray bytes;
};

// What a walk found: the patches that hide the blocks to skip, and one line
// per skipped block saying what it was.
struct Skips {
    std::vector<Patch> patches;
    QStringList reasons;
    bool empty() const { return patches.empty(); }
    QString text() const;
};

// RIFF/RF64 WAVE: LIST chunks over kMaxTextBlockBytes and ID3 chunks over
// kMaxTagBytes, renamed "JUNK" (a chunk every reader passes over).
Skips riffSkips(QIODevice& file);
// FLAC: picture blocks whose fields run past the block, marked as padding.
Skips flacSkips(QIODevice& file);
// MP3: an ID3v2 tag at the start larger than kMaxTagBytes, hidden (the
// decoder skips the tag by its own length; only the tag layer is shown none).
Skips mp3Skips(QIODevice& file);
// The skips of the tag layer for a file of that extension ("wav", "mp3"; none
// for others: the tag layer checks FLAC pictures and Ogg comments itself).
Skips skipsOf(const QString& fileName);

// Ogg Vorbis: why the comment header is damaged ("comment 1 claims 4294967280
// bytes where 6100 remain"), empty when it is sound or not Vorbis.
QString oggCommentProblem(QIODevice& file);

// Sizes for messages in binary units: "200 MiB", "2.0 GiB", "50 bytes".
QString sizeText(int64_t bytes);

// The bytes [offset, offset + n) of a read at `offset` with the patches applied.
void applyPatches(const std::vector<Patch>& patches, int64_t offset, char* data, int64_t n);

}  // namespace MetadataGuard
