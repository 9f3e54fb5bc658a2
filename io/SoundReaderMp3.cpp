#include <QFile>
#include <mpg123.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "io/MetadataGuard.h"
#include "io/Mp3FrameWalk.h"
#include "io/TagLibView.h"
#include "tonewright/SoundMp3.h"

namespace {

constexpr double kSampleScale = 3.0517578125e-05;  // 1 / 32768
// Frames a seek decodes ahead of its target (startDecoder says why).
constexpr long kSeekPreframes = 26;

QString mpg123Text(int code) {
    const char* text = mpg123_plain_strerror(code);
    return QString::fromUtf8(text && *text ? text : "unknown decoder error");
}

std::string toUtf8(const TagLib::String& s) { return s.to8Bit(true); }

constexpr size_t kInputBuffer = 64 * 1024;

// The decoder's input: a stdio stream the reader owns (it is closed by the
// reader, after the decoder lets go of it).
mpg123_ssize_t readInput(void* handle, void* buffer, size_t bytes) {
    FILE* f = static_cast<FILE*>(handle);
    const size_t got = std::fread(buffer, 1, bytes, f);
    if (got < bytes && std::ferror(f)) return -1;
    return mpg123_ssize_t(got);
}

off_t seekInput(void* handle, off_t offset, int whence) {
    FILE* f = static_cast<FILE*>(handle);
    if (fseeko(f, offset, whence) != 0) return -1;
    return ftello(f);
}

}  // namespace

SoundReaderMp3::SoundReaderMp3() { init(); }

SoundReaderMp3::~SoundReaderMp3() { close(); }

void SoundReaderMp3::init() {
    // Since mpg123 1.27 this does nothing and is safe from any thread; older
    // versions need it once before the first handle.
    mpg123_init();
}

void SoundReaderMp3::DecoderRelease::operator()(mpg123_handle* handle) const {
    mpg123_close(handle);
    mpg123_delete(handle);
}

void SoundReaderMp3::FileRelease::operator()(FILE* file) const { std::fclose(file); }

SoundTools::Status SoundReaderMp3::open(QString name) {
    resetAtEnd();
    close();
    // Nothing of a previous file survives a failed open.
    mSampleRate = 0;
    mFileChannels = 0;
    mTags = SoundIDTag();
    const QByteArray utf8 = name.toUtf8();
    InputFile input;
    QByteArray opened;
    if (openInput(name, utf8, input, opened) != SoundTools::Ok) return SoundTools::Error;
    Decoder decoder;
    if (startDecoder(input.get(), utf8, decoder) != SoundTools::Ok) return SoundTools::Error;
    long rate = 0;
    if (readFormat(decoder.get(), utf8, rate) != SoundTools::Ok) return SoundTools::Error;
    mInput = std::move(input);
    mHandle = std::move(decoder);
    mSampleRate = unsigned(rate);
    mFileName = name;
    if (checkComplete(utf8) != SoundTools::Ok) {
        close();
        return SoundTools::Error;
    }
    mpg123_format_none(mHandle.get());
    mpg123_format(mHandle.get(), long(mSampleRate), MPG123_STEREO, MPG123_ENC_SIGNED_16);
    // The decoder widens mono to stereo; the first frame's header tells what the file holds.
    mpg123_frameinfo info{};
    mFileChannels = mpg123_info(mHandle.get(), &info) == MPG123_OK && info.mode == MPG123_M_MONO ? 1u : 2u;
    readTags(opened);
    clearFailed();
    return SoundTools::Ok;
}

SoundTools::Status SoundReaderMp3::openInput(const QString& name, const QByteArray& utf8, InputFile& input,
                                             QByteArray& opened) {
    // The file system's form of the name first, then UTF-8 for names that the
    // local encoding cannot express.
    opened = QFile::encodeName(name);
    errno = 0;
    input.reset(std::fopen(opened.constData(), "rb"));
    int openErrno = errno;
    if (!input && opened != utf8) {
        opened = utf8;
        errno = 0;
        input.reset(std::fopen(opened.constData(), "rb"));
        openErrno = errno;
    }
    if (!input) {
        setError(QStringLiteral("Unable to open MP3 file for reading: ") +
                     QString::fromLocal8Bit(std::strerror(openErrno ? openErrno : EIO)),
                 utf8.constData());
        return SoundTools::Error;
    }
    // The decoder reads a frame header and a frame body at a time; through a
    // large stdio buffer that costs a system call per 64 KiB instead of two per
    // frame, a fifth of the decoding time.
    std::setvbuf(input.get(), nullptr, _IOFBF, kInputBuffer);
    return SoundTools::Ok;
}

SoundTools::Status SoundReaderMp3::startDecoder(FILE* input, const QByteArray& utf8, Decoder& decoder) {
    int error = MPG123_OK;
    decoder.reset(mpg123_new(nullptr, &error));
    if (!decoder) {
        setError(QStringLiteral("Unable to create an MP3 decoder: ") + mpg123Text(error), utf8.constData());
        return SoundTools::Error;
    }
    // Mono files come out as two equal channels. The decoder stays silent on
    // standard error (problems reach the host through setError), and ID3v2 tags
    // are skipped by the decoder: TagLib reads them.
    mpg123_param(decoder.get(), MPG123_ADD_FLAGS, MPG123_FORCE_STEREO | MPG123_QUIET | MPG123_SKIP_ID3V2, 0.0);
    // A seek decodes this many frames ahead of its target, unheard, so that the
    // first frame played has its whole bit reservoir and the overlap of the
    // frame before it. The reservoir reaches back 511 bytes (255 at the lower
    // rates); quiet passages of a variable-rate file are coded in the smallest
    // frames, whose audio data can be as little as 11 bytes: 24 frames of them, the
    // one before the target for its overlap, and one to spare.
    mpg123_param(decoder.get(), MPG123_PREFRAMES, kSeekPreframes, 0.0);
    int result = mpg123_replace_reader_handle(decoder.get(), readInput, seekInput, nullptr);
    if (result == MPG123_OK) result = mpg123_open_handle(decoder.get(), input);
    if (result != MPG123_OK) {
        setError(QStringLiteral("Unable to open MP3 file for reading: ") + mpg123Text(mpg123_errcode(decoder.get())),
                 utf8.constData());
        return SoundTools::Error;
    }
    return SoundTools::Ok;
}

SoundTools::Status SoundReaderMp3::readFormat(mpg123_handle* decoder, const QByteArray& utf8, long& rate) {
    int channels = 0;
    int encoding = 0;
    const int result = mpg123_getformat(decoder, &rate, &channels, &encoding);
    if (result != MPG123_OK || rate <= 0) {
        // Random bytes, an empty file, or a tag with no audio after it.
        const int code = result == MPG123_OK || result == MPG123_ERR ? mpg123_errcode(decoder) : result;
        QString message = QStringLiteral("Not an MP3 file: no audio frame found");
        if (code != MPG123_DONE && code != MPG123_OK) message += QStringLiteral(" (") + mpg123Text(code) + ")";
        setError(message, utf8.constData());
        return SoundTools::Error;
    }
    if (encoding != MPG123_ENC_SIGNED_16) {
        setError(QStringLiteral("Only 16 bits mp3 supported"), utf8.constData());
        return SoundTools::Error;
    }
    return SoundTools::Ok;
}

SoundTools::Status SoundReaderMp3::checkComplete(const QByteArray& utf8) {
    // An info header written by the encoder (it carries the encoder delay) counts
    // the stream's frames; the scan then walks every frame header for the exact
    // length and a seek index. Fewer frames than announced means the file lost
    // its end, which the caller must hear about rather than get a shorter
    // recording (and the decoder stops trimming the encoder delay, shifting it).
    long encoderDelay = -1;
    const bool hasInfoHeader =
        mpg123_getstate(mHandle.get(), MPG123_ENC_DELAY, &encoderDelay, nullptr) == MPG123_OK && encoderDelay >= 0;
    const off_t announced = mpg123_framelength(mHandle.get());
    mpg123_scan(mHandle.get());
    const off_t present = mpg123_framelength(mHandle.get());
    if (hasInfoHeader && announced > 0 && present >= 0 && present < announced) {
        // Why frames are missing tells the user what to do: a file cut short
        // is copied again, a damaged one is replaced.
        const QString counts = QStringLiteral("its header announces %1 MP3 frames, %2 can be found")
                                   .arg(qint64(announced))
                                   .arg(qint64(present));
        const SoundMp3Frames::Walk walk = SoundMp3Frames::walk(mFileName);
        QString message;
        switch (walk.outcome) {
            case SoundMp3Frames::Walk::Truncated:
                message = QStringLiteral("File is truncated: it ends inside MP3 frame %1 (%2)").arg(walk.frames + 1).arg(counts);
                break;
            case SoundMp3Frames::Walk::Damaged:
                message = QStringLiteral("File is damaged: the MP3 data is broken at byte %1, after frame %2 (%3)")
                              .arg(walk.at)
                              .arg(walk.frames)
                              .arg(counts);
                break;
            case SoundMp3Frames::Walk::Complete:
                message = QStringLiteral("File is truncated: it ends after MP3 frame %1, but %2").arg(walk.frames).arg(counts);
                break;
            case SoundMp3Frames::Walk::Unknown:
                message = QStringLiteral("File is truncated or damaged: ") + counts;
                break;
        }
        setError(message, utf8.constData());
        return SoundTools::Error;
    }
    return SoundTools::Ok;
}

void SoundReaderMp3::readTags(const QByteArray& encodedName) {
    // An ID3v2 tag larger than any tag needs is not read (TagLib would hold
    // it, and every text of it, in memory).
    MetadataGuard::Skips skips;
    {
        QFile f(QFile::decodeName(encodedName));
        if (f.open(QIODevice::ReadOnly) && !f.isSequential()) skips = MetadataGuard::mp3Skips(f);
    }
    if (!skips.empty())
        warn(QFile::decodeName(encodedName) + ": " + skips.text() + "; read without it", "SoundReaderMp3::open");
    TagLibView view(encodedName, skips.patches);
    TagLib::MPEG::File file(&view, TagLib::ID3v2::FrameFactory::instance(), false);
    if (!file.isOpen()) return;
    if (const TagLib::Tag* tag = file.tag()) {
        mTags.album = toUtf8(tag->album());
        mTags.artist = toUtf8(tag->artist());
        mTags.comment = toUtf8(tag->comment());
        mTags.genre = toUtf8(tag->genre());
        mTags.title = toUtf8(tag->title());
        mTags.track = std::to_string(tag->track());
        mTags.year = std::to_string(tag->year());
    }
    if (file.hasID3v2Tag()) {
        const TagLib::ID3v2::FrameList& pictures = file.ID3v2Tag()->frameListMap()["APIC"];
        if (!pictures.isEmpty()) {
            if (const auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(pictures.front())) {
                mTags.coverMimeType = toUtf8(picture->mimeType());
                const TagLib::ByteVector bytes = picture->picture();
                mTags.cover = QByteArray(bytes.data(), int(bytes.size()));
            }
        }
    }
}

void SoundReaderMp3::close() {
    // The decoder lets go of the file before the file is closed.
    mHandle.reset();
    mInput.reset();
}

unsigned SoundReaderMp3::getFrameNB() const {
    if (!mHandle) return 0;
    const off_t length = mpg123_length(mHandle.get());
    if (length <= 0) return 0;
    return length > off_t(0xFFFFFFFFll) ? 0xFFFFFFFFu : unsigned(length);
}

int64_t SoundReaderMp3::getFrameCount() const {
    const off_t length = mHandle ? mpg123_length(mHandle.get()) : 0;
    return length > 0 ? int64_t(length) : 0;
}

unsigned SoundReaderMp3::getSampleRate() const { return mSampleRate; }

unsigned SoundReaderMp3::getFileChannelNum() const { return mHandle ? mFileChannels : 0u; }

void SoundReaderMp3::rewind() {
    if (!mHandle) return;
    resetAtEnd();
    mOffset = getStartOffset();
    if (int64_t(mOffset) > int64_t(getFrameNB())) mOffset = int32_t(getFrameNB());
    mpg123_seek(mHandle.get(), off_t(mOffset), SEEK_SET);
}

bool SoundReaderMp3::getTags(SoundIDTag& tag) {
    tag = mTags;
    return mTags.hasText();
}

unsigned SoundReaderMp3::read(unsigned count, double* dest) {
    if (!mHandle || count == 0) return 0;
    if (mSamples.size() < size_t(count) * 2) mSamples.resize(size_t(count) * 2);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(mSamples.data());
    const size_t want = size_t(count) * 4;
    size_t got = 0;
    // mpg123_read stops early on a format notice (the first read after the
    // output format was fixed at open gives one); keep going until the block is
    // full, the stream ends or the decoder gives up.
    while (got < want) {
        size_t done = 0;
        const int result = mpg123_read(mHandle.get(), bytes + got, want - got, &done);
        got += done;
        if (result == MPG123_NEW_FORMAT) continue;
        if (result == MPG123_OK) {
            if (done == 0) break;
            continue;
        }
        if (result != MPG123_DONE) {
            // A damaged stream: deliver what was decoded, the short read ends the
            // stream for the caller, and the cause is recorded.
            setError(QStringLiteral("MP3 decoding stopped: ") + mpg123Text(mpg123_errcode(mHandle.get())),
                     mFileName.toUtf8().constData());
            markFailed();
        }
        break;
    }
    const unsigned frames = unsigned(got / 4);
    if (frames < count && !hasFailed()) {
        // The length was counted frame by frame at open; a stream that ends
        // before it lost its end after it was opened (cut while being read),
        // or holds frames that scan but do not decode.
        const off_t at = mpg123_tell(mHandle.get());
        const off_t length = mpg123_length(mHandle.get());
        if (at >= 0 && length > 0 && at < length) {
            setError(QStringLiteral("the stream ends at frame %1 of the %2 counted when the file was opened (the "
                                    "file was cut while being read, or is damaged)")
                         .arg(qint64(at))
                         .arg(qint64(length)),
                     mFileName.toUtf8().constData());
            markFailed();
        }
    }
    const short* s = mSamples.data();
    for (size_t i = 0, n = size_t(frames) * 2; i < n; ++i) dest[i] = double(s[i]) * kSampleScale;
    return frames;
}
