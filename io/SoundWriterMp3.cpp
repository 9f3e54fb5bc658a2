#include <QFile>
#include <QLibrary>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "io/OutputFileWatch.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundTagFile.h"

// LAME is a run-time dependency only: these are the few entry points the writer
// binds by name, with the signatures of the library's C interface (3.9x-3.100).
namespace {

using lame_t = lame_global_struct*;

struct LameApi {
    lame_t (*init)() = nullptr;
    int (*set_brate)(lame_t, int) = nullptr;
    int (*set_num_channels)(lame_t, int) = nullptr;
    int (*set_in_samplerate)(lame_t, int) = nullptr;
    int (*set_mode)(lame_t, int) = nullptr;  // 0 stereo, 1 joint stereo, 3 mono
    int (*set_quality)(lame_t, int) = nullptr;
    int (*init_params)(lame_t) = nullptr;
    int (*close)(lame_t) = nullptr;
    int (*encode_flush)(lame_t, unsigned char*, int) = nullptr;
    void (*mp3_tags_fid)(lame_t, FILE*) = nullptr;
    int (*encode_buffer)(lame_t, const short*, const short*, int, unsigned char*, int) = nullptr;
    int (*get_num_channels)(const lame_global_struct*) = nullptr;
    void (*id3tag_init)(lame_t) = nullptr;
    void (*id3tag_add_v2)(lame_t) = nullptr;
    int (*id3tag_set_albumart)(lame_t, const char*, size_t) = nullptr;
    void (*id3tag_set_title)(lame_t, const char*) = nullptr;
    void (*id3tag_set_artist)(lame_t, const char*) = nullptr;
    void (*id3tag_set_album)(lame_t, const char*) = nullptr;
    void (*id3tag_set_year)(lame_t, const char*) = nullptr;
    void (*id3tag_set_comment)(lame_t, const char*) = nullptr;
    int (*id3tag_set_track)(lame_t, const char*) = nullptr;
    int (*id3tag_set_genre)(lame_t, const char*) = nullptr;
    void (*set_write_id3tag_automatic)(lame_t, int) = nullptr;
    // Optional: only reported to hosts, never needed for encoding.
    const char* (*get_lame_version)() = nullptr;
};

LameApi gLame;
std::atomic<int> gLameState{0};  // 0 not tried, 1 loaded and complete, -1 unavailable
std::once_flag gLameOnce;

// 1 when the name resolved: an int, so that a chain of binds joined with &
// tries every name (a logical and would stop at the first missing one).
template <typename F>
int bind(QLibrary& library, const char* name, F& pointer) {
    pointer = reinterpret_cast<F>(library.resolve(name));
    return pointer != nullptr ? 1 : 0;
}

void loadLame() {
    // The names the encoder carries on Windows first; on Linux it is libmp3lame.so.0.
    std::unique_ptr<QLibrary> library;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt == 0) library = std::make_unique<QLibrary>(QStringLiteral("libmp3lame-0"));
        if (attempt == 1) library = std::make_unique<QLibrary>(QStringLiteral("lame_enc"));
        if (attempt == 2) library = std::make_unique<QLibrary>(QStringLiteral("mp3lame"), 0);
        if (library->load()) break;
    }
    bool complete = library->isLoaded();
    if (complete) {
        QLibrary& l = *library;
        // Every name must resolve, even those the writer does not call, so that a
        // partial or foreign library is not half used.
        complete = (bind(l, "lame_init", gLame.init) & bind(l, "lame_set_brate", gLame.set_brate) &
                   bind(l, "lame_set_num_channels", gLame.set_num_channels) &
                   bind(l, "lame_set_in_samplerate", gLame.set_in_samplerate) &
                   bind(l, "lame_set_mode", gLame.set_mode) & bind(l, "lame_set_quality", gLame.set_quality) &
                   bind(l, "lame_init_params", gLame.init_params) & bind(l, "lame_close", gLame.close) &
                   bind(l, "lame_encode_flush", gLame.encode_flush) &
                   bind(l, "lame_mp3_tags_fid", gLame.mp3_tags_fid) &
                   bind(l, "lame_encode_buffer", gLame.encode_buffer) &
                   bind(l, "lame_get_num_channels", gLame.get_num_channels) &
                   bind(l, "id3tag_init", gLame.id3tag_init) & bind(l, "id3tag_add_v2", gLame.id3tag_add_v2) &
                   bind(l, "id3tag_set_albumart", gLame.id3tag_set_albumart) &
                   bind(l, "id3tag_set_title", gLame.id3tag_set_title) &
                   bind(l, "id3tag_set_artist", gLame.id3tag_set_artist) &
                   bind(l, "id3tag_set_album", gLame.id3tag_set_album) &
                   bind(l, "id3tag_set_year", gLame.id3tag_set_year) &
                   bind(l, "id3tag_set_comment", gLame.id3tag_set_comment) &
                   bind(l, "id3tag_set_track", gLame.id3tag_set_track) &
                   bind(l, "id3tag_set_genre", gLame.id3tag_set_genre) &
                   bind(l, "lame_set_write_id3tag_automatic", gLame.set_write_id3tag_automatic)) != 0;
        bind(l, "get_lame_version", gLame.get_lame_version);
    }
    // Destroying the QLibrary object leaves the library loaded.
    gLameState = complete ? 1 : -1;
}

// LAME's advice for a worst-case output buffer is 1.25 bytes per sample plus
// 7200; this keeps twice that per frame.
size_t mp3BufferBytes(unsigned frames) { return size_t(double(frames) * 2.5 + 7200.0); }
constexpr size_t kFlushBytes = 7200;

unsigned decimal(const std::string& s) {
    bool ok = false;
    const unsigned v = QString::fromStdString(s).toUInt(&ok, 10);
    return ok ? v : 0u;
}

}  // namespace

bool SoundWriterMp3::Init() {
    std::call_once(gLameOnce, loadLame);
    return gLameState == 1;
}

bool SoundWriterMp3::IsInit() { return gLameState == 1; }

const char* SoundWriterMp3::lameVersion() {
    if (!Init()) return nullptr;
    return gLame.get_lame_version ? gLame.get_lame_version() : "unknown";
}

SoundWriterMp3::SoundWriterMp3(unsigned sampleRate, unsigned channels, unsigned bitRate)
    : SoundWriter(sampleRate), mWatch(std::make_unique<OutputFileWatch>()) {
    if (!Init()) return;
    mLame = gLame.init();
    if (!mLame) return;
    gLame.id3tag_init(mLame);
    gLame.set_brate(mLame, int(bitRate));
    gLame.set_num_channels(mLame, int(channels));
    gLame.set_in_samplerate(mLame, int(sampleRate));
    gLame.set_mode(mLame, channels == 1 ? 3 : 1);  // joint stereo; a mono encoder needs the mono mode
    gLame.set_quality(mLame, 5);
}

SoundWriterMp3::~SoundWriterMp3() {
    close();
    if (mLame) gLame.close(mLame);  // a writer never opened still owns its encoder
}

short SoundWriterMp3::toPcm16(double sample) {
    // 95 % of full scale leaves the encoder a little headroom. Values beyond the
    // 16-bit range are saturated: keeping only the low 16 bits would turn a small
    // overshoot into a full-scale jump of the opposite sign.
    const double v = std::trunc(sample * 31129.6);
    if (std::isnan(v)) return 0;
    if (v >= 32767.0) return 32767;
    if (v <= -32768.0) return -32768;
    return short(v);
}

void SoundWriterMp3::setTags(const SoundIDTag& tag) { mTags = tag; }

unsigned SoundWriterMp3::getChannelNum() const { return mLame ? unsigned(gLame.get_num_channels(mLame)) : 0u; }

SoundTools::Status SoundWriterMp3::open(QString name) {
    const QByteArray utf8Name = name.toUtf8();
    if (mClosed) {
        setError(QStringLiteral("An MP3 writer is opened once; this one was closed"), utf8Name.constData());
        return SoundTools::Error;
    }
    if (!mLame) {
        setError(QStringLiteral("This version doesn't support mp3 encoding"), utf8Name.constData());
        return SoundTools::Error;
    }
    if (mFile) {
        setError(QStringLiteral("MP3 writer is already open on ") + mFileName, utf8Name.constData());
        return SoundTools::Error;
    }
    // The encoder's parameters are checked before the file is created, so that a
    // refused rate or bit rate leaves nothing behind.
    if (!mParamsReady) {
        if (gLame.init_params(mLame) < 0) {
            setError(QStringLiteral("The MP3 encoder refuses %1 Hz, %2 channel(s) at this bit rate")
                         .arg(getSampleRate())
                         .arg(gLame.get_num_channels(mLame)),
                     utf8Name.constData());
            return SoundTools::Error;
        }
        mParamsReady = true;
    }
    // Read-write: at close the encoder goes back to the first frame to fill in
    // the stream's info header.
    const QByteArray local = QFile::encodeName(name);
    errno = 0;
    mFile = std::fopen(local.constData(), "w+b");
    if (!mFile) {
        const int e = errno;
        setError(QStringLiteral("Unable to open file for writing: ") +
                     QString::fromLocal8Bit(e ? std::strerror(e) : "unknown error"),
                 utf8Name.constData());
        return SoundTools::Error;
    }
    // Unbuffered: each encoded block goes to the file when it is written, so a
    // failing write is seen by the write() that lost the bytes, not by a later
    // one (which would count frames whose bytes sat lost in a stdio buffer).
    std::setvbuf(mFile, nullptr, _IONBF, 0);
    mFileName = name;
    mEncodedName = local;
    mWatch->watch(local);
    return SoundTools::Ok;
}

bool SoundWriterMp3::writeBytes(const unsigned char* data, size_t size, const char* context) {
    if (std::fwrite(data, 1, size, mFile) == size) return true;
    const int e = errno;
    setError(QStringLiteral("Output write error on %1: %2").arg(mFileName, QString::fromLocal8Bit(std::strerror(e))),
             context);
    markFailed();
    return false;
}

unsigned SoundWriterMp3::write(unsigned count, double* src) {
    if (!mFile || !mLame || count == 0) return 0;
    if (mWatch->removed()) {
        setError(QStringLiteral("%1: the file was removed while it was being written").arg(mFileName),
                 "SoundWriterMp3::write");
        markFailed();
        return 0;
    }
    if (mLeft.size() < count) {
        mLeft.resize(count);
        mRight.resize(count);
    }
    const size_t needed = mp3BufferBytes(count);
    if (mMp3Buffer.size() < needed) mMp3Buffer.resize(needed);
    const unsigned channels = getChannelNum();
    if (channels == 1) {
        for (unsigned i = 0; i < count; ++i) mLeft[i] = mRight[i] = toPcm16(src[i]);
    } else {
        for (unsigned i = 0; i < count; ++i) {
            mLeft[i] = toPcm16(src[2 * i]);
            mRight[i] = toPcm16(src[2 * i + 1]);
        }
    }
    const int n = gLame.encode_buffer(mLame, mLeft.data(), mRight.data(), int(count), mMp3Buffer.data(),
                                      int(mMp3Buffer.size()));
    if (n > 0 && !writeBytes(mMp3Buffer.data(), size_t(n), "SoundWriterMp3::write")) return 0;
    if (n == -1) {
        setError(QStringLiteral("Buffer too small"), "SoundWriterMp3::write");
        markFailed();
        return 0;
    }
    if (n < 0) {
        setError(QStringLiteral("MP3 encoder error %1 on %2").arg(n).arg(mFileName), "SoundWriterMp3::write");
        markFailed();
        return 0;
    }
    return count;
}

void SoundWriterMp3::close() {
    if (!mFile || !mLame) return;
    if (mMp3Buffer.size() < kFlushBytes) mMp3Buffer.resize(kFlushBytes);
    const int n = gLame.encode_flush(mLame, mMp3Buffer.data(), int(mMp3Buffer.size()));
    bool ok = !hasFailed();
    if (n > 0) ok = writeBytes(mMp3Buffer.data(), size_t(n), "SoundWriterMp3::close") && ok;
    // The first frame of the stream is an info header the encoder reserved; with
    // the frame count and the encoder delay filled in, decoders give back exactly
    // the frames that were written instead of a leading frame of silence and the
    // encoder's padding.
    if (ok) {
        std::fflush(mFile);
        gLame.mp3_tags_fid(mLame, mFile);
    }
    if (std::fflush(mFile) != 0 || std::ferror(mFile)) {
        if (ok) {
            setError(QStringLiteral("Output write error on %1: %2")
                         .arg(mFileName, QString::fromLocal8Bit(std::strerror(errno))),
                     "SoundWriterMp3::close");
            markFailed();
        }
        ok = false;
    }
    if (std::fclose(mFile) != 0 && ok) {
        setError(QStringLiteral("Unable to close %1: %2").arg(mFileName, QString::fromLocal8Bit(std::strerror(errno))),
                 "SoundWriterMp3::close");
        markFailed();
        ok = false;
    }
    mFile = nullptr;
    if (ok && mWatch->removed()) {
        setError(QStringLiteral("%1: the file was removed while it was being written").arg(mFileName),
                 "SoundWriterMp3::close");
        markFailed();
        ok = false;
    }
    mWatch->stop();
    gLame.close(mLame);
    mLame = nullptr;
    mClosed = true;
    // A file that is incomplete is not worth tagging (and may not be a file at all).
    if (ok) writeTags();
}

void SoundWriterMp3::writeTags() {
    if (mTags.isEmpty()) return;
    // Track and year go in as numbers: text that is not one (or is 0) is left out.
    SoundIDTag tags = mTags;
    tags.track = decimal(mTags.track) > 0 ? std::to_string(decimal(mTags.track)) : std::string();
    tags.year = decimal(mTags.year) > 0 ? std::to_string(decimal(mTags.year)) : std::string();
    if (tags.track.empty()) tags.trackTotal.clear();
    if (SoundTagFile::write(mFileName, tags) != SoundTools::Ok) {
        setError(QStringLiteral("Unable to write the tags of ") + mFileName, "SoundWriterMp3::close");
        markFailed();
    }
}
