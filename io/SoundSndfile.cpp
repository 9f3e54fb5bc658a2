#include "tonewright/SoundSndfile.h"

#include "core/SoundDither.h"
#include "core/SoundSimd.h"
#include "io/MetadataGuard.h"
#include "io/OutputFileWatch.h"
#include "tonewright/SoundTagFile.h"
#include "tonewright/SoundFormats.h"
#include "io/SoundTagFileComplete.h"

#include <QFile>
#include <sndfile.h>

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// libsndfile's string ids, in the order tags are read and written.
struct TagField {
    int id;
    std::string SoundIDTag::*field;
};
const TagField kTagFields[] = {
    {SF_STR_TITLE, &SoundIDTag::title},   {SF_STR_ALBUM, &SoundIDTag::album},
    {SF_STR_DATE, &SoundIDTag::year},     {SF_STR_ARTIST, &SoundIDTag::artist},
    {SF_STR_SOFTWARE, &SoundIDTag::comment},
};

QString openErrorText(const char* fallback) {
    const char* text = sf_strerror(nullptr);
    return (text && *text) ? QString::fromUtf8(text) : QString::fromUtf8(fallback);
}

// libsndfile opens a file whose data chunk claims more bytes than the file holds
// and silently shortens it; its log ("data : <claimed> (should be <present>)") is
// the only trace. Such a file has lost its end, which the caller must hear about
// rather than get a shorter recording.
bool looksTruncated(SNDFILE* handle) {
    char log[8192];
    const int n = sf_command(handle, SFC_GET_LOG_INFO, log, sizeof log);
    if (n <= 0) return false;
    const std::string text(log, size_t(std::min<int>(n, int(sizeof log))));
    size_t at = 0;
    while ((at = text.find("data : ", at)) != std::string::npos) {
        long long claimed = 0, present = 0;
        if (std::sscanf(text.c_str() + at, "data : %lld (should be %lld)", &claimed, &present) == 2 &&
            claimed > present)
            return true;
        at += 7;
    }
    return false;
}

// libsndfile appends its own name and version to the software string it writes;
// strip it so that a comment reads back as it was written.
std::string withoutLibrarySuffix(std::string text) {
    const size_t at = text.rfind(" (libsndfile-");
    if (at != std::string::npos && !text.empty() && text.back() == ')') text.erase(at);
    return text;
}

int writerFormatCode(SoundTools::SoundFormat format, SoundWriterSndfile::FileType type) {
    switch (type) {
        case SoundWriterSndfile::Wav:
            switch (format) {
                case SoundTools::Pcm8: return SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
                case SoundTools::Pcm24: return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
                case SoundTools::Pcm32: return SF_FORMAT_WAV | SF_FORMAT_PCM_32;
                case SoundTools::Float: return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
                case SoundTools::Double: return SF_FORMAT_WAV | SF_FORMAT_DOUBLE;
                default: return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
            }
        case SoundWriterSndfile::Flac:
            switch (format) {
                case SoundTools::Pcm24:
                case SoundTools::Pcm32:
                case SoundTools::Float:
                case SoundTools::Double: return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
                default: return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
            }
        case SoundWriterSndfile::Ogg: return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        default: return SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_CPU;
    }
}

constexpr unsigned kOggChunk = 44100;  // frames per Vorbis encoder call

// Doubles to integers of `bits` (16 or 8): scaled, the dither added when one
// is given, rounded to nearest and clipped to the word's range; NaN counts as
// 0. The results are 16-bit values: an 8-bit sample k is given as k * 256,
// which libsndfile stores exactly as k. One dither value is drawn per sample,
// NaN included, so the sequence follows the stream. The dither values are
// worked out side by side from the generator's counter, the same values that
// drawing them one at a time gives.
TW_KERNEL void ditherValues(uint64_t state, double* noise, size_t n) {
    constexpr uint64_t kStep = SoundTools::TpdfDither::kStep;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t z = state + 2 * uint64_t(i) * kStep;
        noise[i] = SoundTools::TpdfDither::uniformAt(z + kStep) + SoundTools::TpdfDither::uniformAt(z + 2 * kStep) - 1.0;
    }
}

// v is never NaN (x is cleared of it, the dither is finite), so clipping it to
// lo ... hi before rounding gives what "hi past hi, lo below lo" gives.
template <bool kDithered>
TW_INLINE void roundLoop(const double* in, const double* noise, short* out, size_t values, int bits) {
    const double scale = double(1 << (bits - 1)), hi = scale - 1.0, lo = -scale;
    const int step = 1 << (16 - bits);
    for (size_t i = 0; i < values; ++i) {
        const double x = in[i] * scale;
        const double v = (x == x ? x : 0.0) + (kDithered ? noise[i] : 0.0);
        out[i] = short(int(__builtin_rint(std::min(std::max(v, lo), hi))) * step);
    }
}
TW_KERNEL void roundDithered(const double* in, const double* noise, short* out, size_t values, int bits) {
    roundLoop<true>(in, noise, out, values, bits);
}
TW_KERNEL void roundPlain(const double* in, short* out, size_t values, int bits) {
    roundLoop<false>(in, nullptr, out, values, bits);
}

// `noise`: room for `values` dither values.
void roundToShorts(const double* in, short* out, size_t values, int bits, SoundTools::TpdfDither* dither,
                   double* noise) {
    if (!dither) return roundPlain(in, out, values, bits);
    ditherValues(dither->state(), noise, values);
    dither->skip(values);
    roundDithered(in, noise, out, values, bits);
}

}  // namespace

// ---------------------------------------------------------------- reader

SoundReaderSndfile::SoundReaderSndfile() : mInfo(std::make_unique<SF_INFO>()) {
    std::memset(mInfo.get(), 0, sizeof(SF_INFO));
    mInfo->samplerate = 44100;
    mInfo->channels = 2;
}

// Left and right weights of one channel in the mix down to stereo.
struct Weights {
    double l, r;
};
constexpr double kMinus3Db = 0.70710678118654752;

Weights weightsOf(int role) {
    switch (role) {
        case SF_CHANNEL_MAP_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER: return {1.0, 0.0};
        case SF_CHANNEL_MAP_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER: return {0.0, 1.0};
        case SF_CHANNEL_MAP_MONO:
        case SF_CHANNEL_MAP_CENTER:
        case SF_CHANNEL_MAP_FRONT_CENTER:
        case SF_CHANNEL_MAP_TOP_CENTER:
        case SF_CHANNEL_MAP_TOP_FRONT_CENTER: return {kMinus3Db, kMinus3Db};
        case SF_CHANNEL_MAP_REAR_LEFT:
        case SF_CHANNEL_MAP_SIDE_LEFT:
        case SF_CHANNEL_MAP_TOP_FRONT_LEFT:
        case SF_CHANNEL_MAP_TOP_REAR_LEFT: return {kMinus3Db, 0.0};
        case SF_CHANNEL_MAP_REAR_RIGHT:
        case SF_CHANNEL_MAP_SIDE_RIGHT:
        case SF_CHANNEL_MAP_TOP_FRONT_RIGHT:
        case SF_CHANNEL_MAP_TOP_REAR_RIGHT: return {0.0, kMinus3Db};
        case SF_CHANNEL_MAP_REAR_CENTER:
        case SF_CHANNEL_MAP_TOP_REAR_CENTER: return {0.5, 0.5};
        case SF_CHANNEL_MAP_LFE: return {0.0, 0.0};
        default: return {0.5, 0.5};  // a role without a side: half to each
    }
}

// The mix-down weights of a file of three to eight channels: by the layout the
// file declares, else by the usual WAV order for its channel count.
std::vector<double> downmixWeights(SNDFILE* handle, int channels) {
    std::vector<int> roles(size_t(channels), SF_CHANNEL_MAP_INVALID);
    const bool declared =
        sf_command(handle, SFC_GET_CHANNEL_MAP_INFO, roles.data(), int(roles.size() * sizeof(int))) == SF_TRUE;
    if (!declared || std::count(roles.begin(), roles.end(), int(SF_CHANNEL_MAP_INVALID)) > 0) {
        const int L = SF_CHANNEL_MAP_LEFT, R = SF_CHANNEL_MAP_RIGHT, C = SF_CHANNEL_MAP_CENTER,
                  LFE = SF_CHANNEL_MAP_LFE, Lb = SF_CHANNEL_MAP_REAR_LEFT, Rb = SF_CHANNEL_MAP_REAR_RIGHT,
                  Cb = SF_CHANNEL_MAP_REAR_CENTER, Ls = SF_CHANNEL_MAP_SIDE_LEFT, Rs = SF_CHANNEL_MAP_SIDE_RIGHT;
        static const std::vector<int> layouts[] = {
            {L, R, C}, {L, R, Lb, Rb}, {L, R, C, Lb, Rb}, {L, R, C, LFE, Lb, Rb}, {L, R, C, LFE, Cb, Ls, Rs},
            {L, R, C, LFE, Lb, Rb, Ls, Rs}};
        roles = layouts[channels - 3];
    }
    std::vector<double> w;
    for (int role : roles) {
        const Weights x = weightsOf(role);
        w.push_back(x.l);
        w.push_back(x.r);
    }
    return w;
}

// The file as libsndfile reads it when a block is skipped: the file's bytes
// with the patches that mark the block as padding. Reading only.
struct SoundReaderSndfile::FileView {
    QFile file;
    std::vector<MetadataGuard::Patch> patches;

    static FileView& of(void* user) { return *static_cast<FileView*>(user); }
    static sf_count_t length(void* user) { return of(user).file.size(); }
    static sf_count_t seek(sf_count_t offset, int whence, void* user) {
        QFile& f = of(user).file;
        const sf_count_t base = whence == SEEK_CUR ? f.pos() : whence == SEEK_END ? f.size() : 0;
        return f.seek(base + offset) ? f.pos() : -1;
    }
    static sf_count_t read(void* ptr, sf_count_t count, void* user) {
        FileView& v = of(user);
        const qint64 at = v.file.pos();
        const qint64 n = v.file.read(static_cast<char*>(ptr), count);
        if (n > 0) MetadataGuard::applyPatches(v.patches, at, static_cast<char*>(ptr), n);
        return n > 0 ? n : 0;
    }
    static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
    static sf_count_t tell(void* user) { return of(user).file.pos(); }
};

SoundReaderSndfile::~SoundReaderSndfile() { close(); }

SoundTools::Status SoundReaderSndfile::open(QString name) {
    resetAtEnd();
    close();
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    if (QFileInfo(name).isDir()) {
        setError("Is a directory, not a sound file", name.toUtf8().constData());
        return SoundTools::Error;
    }
    // A FLAC picture that claims more than its block holds makes libFLAC
    // refuse the whole stream: the sound is read past it.
    std::unique_ptr<FileView> view = std::make_unique<FileView>();
    view->file.setFileName(name);
    MetadataGuard::Skips skips;
    // (Not a pipe: what the walk reads would be lost to libsndfile.)
    if (view->file.open(QIODevice::ReadOnly) && !view->file.isSequential()) skips = MetadataGuard::flacSkips(view->file);
    SNDFILE* handle = nullptr;
    if (!skips.empty()) {
        view->patches = skips.patches;
        view->file.seek(0);
        static SF_VIRTUAL_IO io = {&FileView::length, &FileView::seek, &FileView::read, &FileView::write,
                                   &FileView::tell};
        handle = sf_open_virtual(&io, SFM_READ, &info, view.get());
    } else {
        view.reset();
        handle = sf_open(QFile::encodeName(name).constData(), SFM_READ, &info);
    }
    // libsndfile takes an Ogg Vorbis stream whose comment block is damaged for
    // an empty or unreadable one; the block is what to name.
    if (!handle || info.frames == 0) {
        QFile f(name);
        const QString damage =
            f.open(QIODevice::ReadOnly) && !f.isSequential() ? MetadataGuard::oggCommentProblem(f) : QString();
        if (!damage.isEmpty()) {
            if (handle) sf_close(handle);
            setError("Unable to open file for reading: its Vorbis comment block is damaged (" + damage + ")",
                     name.toUtf8().constData());
            return SoundTools::Error;
        }
    }
    if (!handle) {
        setError(openErrorText("Unable to open file for reading"), name.toUtf8().constData());
        return SoundTools::Error;
    }
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(handle);
        setError("Unable to open file for reading: no audio channels or no sample rate", name.toUtf8().constData());
        return SoundTools::Error;
    }
    if (unsigned(info.channels) > kMaxChannels) {
        sf_close(handle);
        setError(QString("Unable to open file for reading: %1 channels (files of up to %2 channels are read, "
                         "more than two mixed down to stereo)")
                     .arg(info.channels)
                     .arg(kMaxChannels),
                 name.toUtf8().constData());
        return SoundTools::Error;
    }
    const QString rateProblem = sampleRateProblem(info.samplerate);
    if (!rateProblem.isEmpty()) {
        sf_close(handle);
        setError("Unable to open file for reading: " + rateProblem, name.toUtf8().constData());
        return SoundTools::Error;
    }
    if (looksTruncated(handle)) {
        sf_close(handle);
        setError(QString("File is truncated: its header announces more audio than the file holds"),
                 name.toUtf8().constData());
        return SoundTools::Error;
    }
    mDownmix = info.channels > 2 ? downmixWeights(handle, info.channels) : std::vector<double>();
    if (!skips.empty()) warn(name + ": " + skips.text() + "; the sound is read without it", "SoundReaderSndfile::open");
    mView = std::move(view);
    mHandle = handle;
    *mInfo = info;
    mFileName = name;
    clearFailed();
    return SoundTools::Ok;
}

void SoundReaderSndfile::close() {
    if (!mHandle) return;
    sf_close(mHandle);
    mHandle = nullptr;
    mView.reset();
    mFileName.clear();
}

unsigned SoundReaderSndfile::getFrameNB() const {
    return mInfo->frames > 0 ? unsigned(std::min<sf_count_t>(mInfo->frames, 0xFFFFFFFFll)) : 0u;
}

int64_t SoundReaderSndfile::getFrameCount() const { return mInfo->frames > 0 ? int64_t(mInfo->frames) : 0; }

unsigned SoundReaderSndfile::getSampleRate() const { return unsigned(mInfo->samplerate); }

unsigned SoundReaderSndfile::getFileChannelNum() const { return mHandle ? unsigned(mInfo->channels) : 0u; }

void SoundReaderSndfile::rewind() {
    if (!mHandle) return;
    resetAtEnd();
    mOffset = getStartOffset();
    if (int64_t(mOffset) >= int64_t(getFrameNB())) mOffset = 0;
    sf_seek(mHandle, mOffset, SEEK_SET);
}

SoundTools::SoundFormat SoundReaderSndfile::getInputFormat() const {
    switch (mInfo->format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8: return SoundTools::Pcm8;
        case SF_FORMAT_PCM_24: return SoundTools::Pcm24;
        case SF_FORMAT_PCM_32: return SoundTools::Pcm32;
        case SF_FORMAT_FLOAT: return SoundTools::Float;
        case SF_FORMAT_DOUBLE: return SoundTools::Double;
        default: return SoundTools::Pcm16;
    }
}

bool SoundReaderSndfile::getTags(SoundIDTag& tag) {
    if (!mHandle) return false;
    bool found = false;
    for (const TagField& f : kTagFields) {
        const char* text = sf_get_string(mHandle, f.id);
        if (text && *text) {
            tag.*(f.field) = f.id == SF_STR_SOFTWARE ? withoutLibrarySuffix(text) : std::string(text);
            found = true;
        }
    }
    static const QRegularExpression trackPattern("(?<trackNumber>[0-9]+)(?:[\\.-_,;:\\s]+)(?:.*)");
    const QRegularExpressionMatch match = trackPattern.match(mFileName);
    if (match.hasMatch()) tag.track = match.captured("trackNumber").toStdString();
    return found;
}

// The frames a read gave (`got` of the `count` asked); a failure of the
// decoder, or a stream that ends before the length its header announced (the
// file lost its end after it was opened, or its last blocks do not decode),
// marks the reader failed with the cause. What was read is delivered all the
// same; the run must not look complete.
unsigned SoundReaderSndfile::checked(sf_count_t got, unsigned count) {
    const unsigned n = got > 0 ? unsigned(got) : 0u;
    if (sf_error(mHandle) > 0) {
        const char* text = sf_strerror(mHandle);
        if (text && *text) setError(QString("%1: %2").arg(mFileName, QString::fromUtf8(text)));
        markFailed();
    } else if (n < count && mInfo->frames > 0 && mInfo->frames < SF_COUNT_MAX / 2) {
        const sf_count_t at = sf_seek(mHandle, 0, SEEK_CUR);
        if (at >= 0 && at < mInfo->frames) {
            setError(QString("%1: the stream ends at frame %2 of the %3 its header announces (the file was cut "
                             "while being read, or is damaged)")
                         .arg(mFileName)
                         .arg(qint64(at))
                         .arg(qint64(mInfo->frames)));
            markFailed();
        }
    }
    return n;
}

unsigned SoundReaderSndfile::read(unsigned count, double* dest) {
    if (!mHandle || count == 0) return 0;
    const unsigned channels = unsigned(mInfo->channels);
    double* target = dest;
    if (channels != 2) {
        mScratch.resize(size_t(count) * channels);
        target = mScratch.data();
    }
    const unsigned n = checked(sf_readf_double(mHandle, target, count), count);
    if (channels == 1) {
        for (unsigned i = 0; i < n; ++i) dest[2 * i] = dest[2 * i + 1] = target[i];
    } else if (channels > 2) {
        const double* w = mDownmix.data();
        for (unsigned i = 0; i < n; ++i) {
            const double* x = target + size_t(i) * channels;
            double l = 0.0, r = 0.0;
            for (unsigned c = 0; c < channels; ++c) {
                l += w[2 * c] * x[c];
                r += w[2 * c + 1] * x[c];
            }
            dest[2 * i] = l;
            dest[2 * i + 1] = r;
        }
    }
    return n;
}

// Mono and stereo straight from the decoder in floats: its integers scaled by
// a power of two, or its own floats, round once, as through doubles. A mix
// down is worked in doubles.
unsigned SoundReaderSndfile::readFloats(unsigned count, float* dest) {
    if (!mHandle || count == 0) return 0;
    const unsigned channels = unsigned(mInfo->channels);
    if (channels > 2) return SoundReader::readFloats(count, dest);
    if (channels == 2) return checked(sf_readf_float(mHandle, dest, count), count);
    // Mono: read into the second half of dest, then widened from the front.
    float* mono = dest + count;
    const unsigned n = checked(sf_readf_float(mHandle, mono, count), count);
    for (unsigned i = 0; i < n; ++i) dest[2 * i] = dest[2 * i + 1] = mono[i];
    return n;
}

// ---------------------------------------------------------------- writer

SoundWriterSndfile::SoundWriterSndfile(unsigned sampleRate, unsigned channels, SoundTools::SoundFormat format,
                                       FileType type)
    : SoundWriter(sampleRate),
      mInfo(std::make_unique<SF_INFO>()),
      mChannels(channels),
      mDitherNoise(std::make_unique<SoundTools::TpdfDither>()),
      mWatch(std::make_unique<OutputFileWatch>()) {
    std::memset(mInfo.get(), 0, sizeof(SF_INFO));
    mInfo->samplerate = int(sampleRate);
    mInfo->channels = int(channels);
    mInfo->format = writerFormatCode(format, type);
}

SoundWriterSndfile::~SoundWriterSndfile() { close(); }

int SoundWriterSndfile::getFormatCode() const { return mInfo->format; }

unsigned SoundWriterSndfile::getChannelNum() const { return mChannels; }

namespace {
using tonewright::kWavDataLimit;  // the size a plain WAV file can count

int bytesPerSample(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8: return 1;
        case SF_FORMAT_PCM_24: return 3;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT: return 4;
        case SF_FORMAT_DOUBLE: return 8;
        default: return 2;
    }
}
}  // namespace

bool SoundWriterSndfile::needsRf64(int64_t frames, unsigned channels, SoundTools::SoundFormat format) {
    const int code = writerFormatCode(format, Wav);
    return frames > 0 && frames * int64_t(channels) * bytesPerSample(code) > kWavDataLimit;
}

SoundTools::Status SoundWriterSndfile::open(QString name) {
    close();
    SF_INFO info = *mInfo;
    const bool wav = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV;
    const int bytes = bytesPerSample(info.format);
    if (wav && mExpectedFrames > 0 && mExpectedFrames * int64_t(mChannels) * bytes > kWavDataLimit)
        info.format = SF_FORMAT_RF64 | (info.format & SF_FORMAT_SUBMASK);
    mSizeLimited = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV;
    mDataBytes = mWritebackBytes = 0;
    const QByteArray local = QFile::encodeName(name);
    SNDFILE* handle = sf_open(local.constData(), SFM_WRITE, &info);
    if (!handle) {
        setError(openErrorText("Unable to open file for writing"), name.toUtf8().constData());
        return SoundTools::Error;
    }
    mHandle = handle;
    mFileName = name;
    mDitherNoise->reset();
    mWatch->watch(local);
    sf_command(mHandle, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return SoundTools::Ok;
}

void SoundWriterSndfile::setTags(const SoundIDTag& tag) {
    if (!mHandle) return;
    mTags = tag;
    for (const TagField& f : kTagFields) sf_set_string(mHandle, f.id, (tag.*(f.field)).c_str());
}

unsigned SoundWriterSndfile::write(unsigned count, double* src) {
    if (!mHandle) return 0;
    if (mWatch->removed()) {
        setError(QString("%1: the file was removed while it was being written").arg(mFileName), "SoundWriterSndfile");
        markFailed();
        return 0;
    }
    const int64_t frameBytes = int64_t(mChannels) * bytesPerSample(mInfo->format);
    if (mSizeLimited && mDataBytes + int64_t(count) * frameBytes > kWavDataLimit) {
        setError(QString("%1: the recording outgrows the 4 GiB a WAV file can hold (give its length before "
                         "writing, and it is written as RF64)")
                     .arg(mFileName),
                 "SoundWriterSndfile");
        markFailed();
        return 0;
    }
    sf_count_t written = 0;
    errno = 0;
    if (mInfo->format == (SF_FORMAT_OGG | SF_FORMAT_VORBIS)) {
        for (unsigned done = 0; done < count;) {
            const unsigned chunk = std::min(kOggChunk, count - done);
            const sf_count_t n = sf_writef_double(mHandle, src + size_t(done) * mChannels, chunk);
            if (n > 0) written += n;
            if (n != sf_count_t(chunk)) break;
            done += chunk;
        }
    } else if ((mInfo->format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {
        written = writeShorts(count, src, 16);
    } else if ((mInfo->format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_U8) {
        written = writeShorts(count, src, 8);
    } else {
        written = sf_writef_double(mHandle, src, count);
    }
    const int systemError = errno;
    if (written > 0) mDataBytes += written * frameBytes;
    // Every few megabytes the disk is given what has been written so far.
    constexpr int64_t kWritebackBytes = int64_t(8) << 20;
    if (mDataBytes - mWritebackBytes >= kWritebackBytes) {
        mWatch->startWriteback();
        mWritebackBytes = mDataBytes;
    }
    if (sf_error(mHandle) != 0) {
        const char* text = sf_strerror(mHandle);
        if (text && *text)
            setError(QString("%1: %2").arg(mFileName, QString::fromUtf8(text)), "SoundWriterSndfile");
    }
    if (written < sf_count_t(count)) {
        // Some encoders report a failed file write as an unspecified error: the
        // system's cause (a full disk, the file size limit) is the one to say.
        if (systemError == ENOSPC || systemError == EFBIG || systemError == EIO || systemError == EDQUOT)
            setError(QString("%1: %2").arg(mFileName, QString::fromLocal8Bit(std::strerror(systemError))),
                     "SoundWriterSndfile");
        markFailed();
    }
    return written > 0 ? unsigned(written) : 0u;
}

// 16-bit output is the common case and libsndfile's generic double path costs
// more than the file write itself; convert here with the same rule (scale by
// 32768, round to nearest, clip to the 16-bit range) and hand over integers.
// Dithered 16-bit output and all 8-bit output are rounded here too (the
// library's own 8-bit conversion truncates, which biases by half a step), all
// by one kernel.
int64_t SoundWriterSndfile::writeShorts(unsigned count, const double* src, int bits) {
    constexpr unsigned kChunk = 4096;
    mShorts.resize(size_t(kChunk) * mChannels);
    mNoise.resize(size_t(kChunk) * mChannels);
    sf_count_t written = 0;
    for (unsigned done = 0; done < count;) {
        const unsigned frames = std::min(kChunk, count - done);
        const double* in = src + size_t(done) * mChannels;
        const size_t values = size_t(frames) * mChannels;
        short* out = mShorts.data();
        roundToShorts(in, out, values, bits, mDither ? mDitherNoise.get() : nullptr, mNoise.data());
        const sf_count_t n = sf_writef_short(mHandle, out, frames);
        if (n > 0) written += n;
        if (n != sf_count_t(frames)) break;
        done += frames;
    }
    return written;
}

void SoundWriterSndfile::close() {
    if (!mHandle) return;
    const int status = sf_close(mHandle);
    mHandle = nullptr;
    if (status != 0) {
        markFailed();
        setError(QString("%1: %2").arg(mFileName, QString::fromUtf8(sf_error_number(status))), "SoundWriterSndfile");
    } else if (mWatch->removed()) {
        markFailed();
        setError(QString("%1: the file was removed while it was being written").arg(mFileName), "SoundWriterSndfile");
    } else if (needsFullTags() && SoundTagFileComplete::complete(mFileName, mTags) != SoundTools::Ok) {
        markFailed();
    }
    mWatch->stop();
    mTags = SoundIDTag();
}

// libsndfile's string fields hold title, album, date, artist and comment; the
// track number, genre, cover and named fields are added through the tag layer
// once the file is complete.
bool SoundWriterSndfile::needsFullTags() const {
    const int major = mInfo->format & SF_FORMAT_TYPEMASK;
    if (major != SF_FORMAT_WAV && major != SF_FORMAT_FLAC && major != SF_FORMAT_OGG) return false;
    return !mTags.track.empty() || !mTags.trackTotal.empty() || !mTags.genre.empty() || !mTags.cover.isEmpty() ||
           !mTags.extra.empty();
}
