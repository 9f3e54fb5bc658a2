// The format table; see SoundFormats.h.
#include "tonewright/SoundFormats.h"

#include <QFile>
#include <QFileInfo>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "core/ThreadError.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundReader.h"

#include "tonewright/SoundFileName.h"

namespace tonewright {

namespace {

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

}  // namespace

const std::vector<SoundFileFormat>& soundFileFormats() {
    // clang-format off
    static const std::vector<SoundFileFormat> table = {
        // ext    name          reader               writer            tags                 lossy  bits  float  size limit      refusal
        {"wav",  "WAV",        ReaderKind::Sndfile, WriterKind::Wav,  TagKind::RiffAndId3, false, 32,   true,  kWavDataLimit, nullptr},
        {"flac", "FLAC",       ReaderKind::Sndfile, WriterKind::Flac, TagKind::FlacComment, false, 24,  false, 0,             nullptr},
        {"ogg",  "Ogg Vorbis", ReaderKind::Sndfile, WriterKind::Ogg,  TagKind::OggComment, true,  0,    false, 0,             nullptr},
        {"mp3",  "MP3",        ReaderKind::Mp3,     WriterKind::Mp3,  TagKind::Id3,        true,  0,    false, 0,             nullptr},
        {"oga",  "Ogg audio",  ReaderKind::None,    WriterKind::None, TagKind::None,       false, 0,    false, 0,
         "Ogg audio named .oga is neither read, written nor tagged here (an Ogg Vorbis file is named .ogg)"},
    };
    // clang-format on
    return table;
}

const SoundFileFormat* formatOfExtension(const std::string& extension) {
    const std::string e = lower(extension);
    for (const SoundFileFormat& f : soundFileFormats())
        if (e == f.extension) return &f;
    return nullptr;
}

const SoundFileFormat* formatOfName(const QString& fileName) {
    return formatOfExtension(SoundTools::lowerExtension(fileName));
}

const SoundFileFormat* sniffFormat(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) return nullptr;
    const QByteArray head = file.read(12);
    const char* ext = nullptr;
    if ((head.startsWith("RIFF") || head.startsWith("RF64")) && head.mid(8, 4) == "WAVE")
        ext = "wav";
    else if (head.startsWith("fLaC"))
        ext = "flac";
    else if (head.startsWith("OggS"))
        ext = "ogg";
    else if (head.startsWith("ID3") || (head.size() > 1 && uchar(head[0]) == 0xFF && (uchar(head[1]) & 0xE0) == 0xE0))
        ext = "mp3";
    return ext ? formatOfExtension(ext) : nullptr;
}

bool isReadableExtension(const std::string& extension) {
    const SoundFileFormat* f = formatOfExtension(extension);
    return f && f->reader != ReaderKind::None;
}

bool isWritableExtension(const std::string& extension) {
    const SoundFileFormat* f = formatOfExtension(extension);
    return f && f->writer != WriterKind::None;
}

bool isTaggableExtension(const std::string& extension) {
    const SoundFileFormat* f = formatOfExtension(extension);
    return f && f->tags != TagKind::None;
}

bool isLossy(const std::string& extension) {
    const SoundFileFormat* f = formatOfExtension(extension);
    return f && f->writer != WriterKind::None && f->lossy;
}

std::string writableExtensions() {
    std::string list;
    for (const SoundFileFormat& f : soundFileFormats()) {
        if (f.writer == WriterKind::None) continue;
        if (!list.empty()) list += ", ";
        list += f.extension;
    }
    return list;
}

std::string refusalOf(const std::string& extension) {
    const SoundFileFormat* f = formatOfExtension(extension);
    return f && f->refusal ? std::string(f->refusal) : std::string();
}

SoundTools::SoundFormat sampleFormatFor(const std::string& extension, SoundTools::SoundFormat source) {
    const SoundFileFormat* f = formatOfExtension(extension);
    if (!f || f->lossy || f->maxBits == 0) return source;
    int bits = 0;
    switch (source) {
        case SoundTools::Pcm8: bits = 8; break;
        case SoundTools::Pcm16: bits = 16; break;
        case SoundTools::Pcm24: bits = 24; break;
        case SoundTools::Pcm32: bits = 32; break;
        case SoundTools::Float:
        case SoundTools::Double: bits = f->floatSamples ? 0 : 64; break;
    }
    if (bits <= f->maxBits) return source;
    switch (f->maxBits) {
        case 8: return SoundTools::Pcm8;
        case 16: return SoundTools::Pcm16;
        case 24: return SoundTools::Pcm24;
        default: return SoundTools::Pcm32;
    }
}

const char* sampleFormatName(SoundTools::SoundFormat format) {
    switch (format) {
        case SoundTools::Pcm8: return "pcm8";
        case SoundTools::Pcm16: return "pcm16";
        case SoundTools::Pcm24: return "pcm24";
        case SoundTools::Pcm32: return "pcm32";
        case SoundTools::Float: return "float";
        case SoundTools::Double: return "double";
    }
    return "unknown";
}

std::string unreadableInput(const QString& name) {
    const QByteArray local = QFile::encodeName(name);
    struct stat st;
    if (local.isEmpty()) return "no such file";
    if (::stat(local.constData(), &st) != 0) {
        const int error = errno;
        struct stat link;
        if (error == ENOENT && ::lstat(local.constData(), &link) == 0) return "a link to a missing file";
        if (error == ENOENT || error == ENOTDIR) return "no such file";
        std::string text = std::strerror(error);
        if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
        return text;
    }
    if (S_ISDIR(st.st_mode)) return "is a folder, not a sound file";
    // Opening a FIFO would wait for a writer, and its sound could be read once only.
    if (!S_ISREG(st.st_mode)) return "not a regular file (a pipe or a device): save the recording to a file first";
    if (::access(local.constData(), R_OK) != 0) return "permission denied";
    return std::string();
}

std::unique_ptr<SoundReader> openRecording(const QString& name) {
    SoundTools::detail::clearThreadError();
    auto refuse = [](const QString& why) {
        SoundDebuggableClass::setError(why);
        return std::unique_ptr<SoundReader>();
    };
    const std::string problem = unreadableInput(name);
    if (!problem.empty()) return refuse(QString::fromStdString(problem));
    const QFileInfo info(name);
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(name));
    if (!reader) {
        const std::string refusal = refusalOf(info.suffix().toStdString());
        return refuse(refusal.empty() ? QString("not a sound file name this library reads (wav, flac, ogg, mp3)")
                                      : QString::fromStdString(refusal));
    }
    if (reader->open(name) != SoundTools::Ok) {
        // libsndfile's words for a header without a rate or channels.
        if (SoundTools::detail::threadError().contains("SF_INFO struct incomplete"))
            return refuse("the header gives no sample rate or no channel count");
        return nullptr;
    }
    if (reader->getSampleRate() == 0) return refuse("the file gives no sample rate");
    return reader;
}

std::string mixDownNote(unsigned channels) {
    return std::to_string(channels) +
           " channels, mixed down to stereo (centre and surrounds at -3 dB, low-frequency channel left out)";
}

}  // namespace tonewright
