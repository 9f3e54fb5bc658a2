#include "tonewright/SoundStatSource.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <memory>

#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundReader.h"

namespace {

// A sample as a 24-bit integer, stored little-endian in the hash input; NaN
// and values past 256 times full scale get fixed codes.
void addSample(QCryptographicHash& hash, double v) {
    int32_t q;
    if (std::isnan(v))
        q = INT32_MIN;
    else
        q = int32_t(std::lround(std::max(-255.0, std::min(255.0, v)) * 8388608.0));
    const char bytes[4] = {char(q & 0xff), char((q >> 8) & 0xff), char((q >> 16) & 0xff), char((q >> 24) & 0xff)};
    hash.addData(bytes, 4);
}

void addCount(QCryptographicHash& hash, int64_t n) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = char((uint64_t(n) >> (8 * i)) & 0xff);
    hash.addData(bytes, 8);
}

bool isInteger(const QJsonValue& v, double low, double high) {
    if (!v.isDouble()) return false;
    const double d = v.toDouble();
    return d >= low && d <= high && std::floor(d) == d;
}

}  // namespace

bool SoundStatSource::measure(const QString& path, SoundReader& reader, SoundStatSource& out, QString* error) {
    const QFileInfo info(path);
    const unsigned rate = reader.getSampleRate();
    const int64_t frames = reader.getFrameNB();
    if (!info.isFile() || rate == 0) {
        if (error) *error = path + ": not a readable recording";
        return false;
    }
    // Whole blocks spread from the first frame to the last; a short recording
    // is read in one go.
    const int64_t total = int64_t(kBlocks) * kBlockFrames;
    const int blocks = frames > total ? kBlocks : 1;
    const unsigned length = frames > total ? kBlockFrames : unsigned(frames);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    addCount(hash, frames);
    addCount(hash, rate);
    for (int i = 0; i < blocks && length > 0; ++i) {
        const int64_t at = blocks == 1 ? 0 : (frames - length) * i / (blocks - 1);
        reader.setStartPoint(double(at) / rate);
        reader.rewind();
        std::shared_ptr<SoundBuffer> buffer = SoundBuffer::createNew(rate);
        buffer->alloc(length, 2);
        const unsigned got = reader.stereoRead(buffer, 0);
        if (reader.hasFailed()) {
            if (error) *error = reader.getError();
            reader.setStartPoint(0.0);
            reader.rewind();
            return false;
        }
        addCount(hash, reader.getOffset() - int64_t(got));
        addCount(hash, got);
        const double* samples = buffer->getRelFrame(0);
        for (unsigned k = 0; k < 2 * got; ++k) addSample(hash, samples[k]);
    }
    reader.setStartPoint(0.0);
    reader.rewind();
    out.frames = frames;
    out.sampleRate = rate;
    out.fileSize = info.size();
    out.modified = info.lastModified().toMSecsSinceEpoch();
    out.fingerprint = QString::fromLatin1(hash.result().toHex());
    return true;
}

bool SoundStatSource::measure(const QString& path, SoundStatSource& out, QString* error) {
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
    if (!reader) {
        if (error) *error = path + ": not a sound file name this library reads";
        return false;
    }
    if (reader->open(path) != SoundTools::Ok) {
        if (error) *error = reader->getError();
        return false;
    }
    return measure(path, *reader, out, error);
}

QString SoundStatSource::differenceFrom(const SoundStatSource& actual) const {
    if (sampleRate != actual.sampleRate)
        return QString("it was made from a recording at %1 Hz, this one is at %2 Hz").arg(sampleRate).arg(actual.sampleRate);
    if (frames != actual.frames)
        return QString("it was made from a recording of %1 frames, this one has %2").arg(frames).arg(actual.frames);
    if (fileSize != actual.fileSize)
        return QString("it was made from a file of %1 bytes, this one has %2").arg(fileSize).arg(actual.fileSize);
    if (fingerprint != actual.fingerprint)
        return QString("the recording's samples are not those it was made from (another recording of the same "
                       "length, or this one changed)");
    return QString();
}

void SoundStatSource::writeToJSon(QJsonObject& object) const {
    object.insert("Frames", double(frames));
    object.insert("SampleRate", double(sampleRate));
    object.insert("FileSize", double(fileSize));
    object.insert("Modified", double(modified));
    object.insert("Fingerprint", fingerprint);
}

bool SoundStatSource::readFromJSon(const QJsonObject& object, SoundStatSource& out, QString* cause) {
    // Integers a double holds exactly.
    constexpr double kMaxInteger = 9007199254740992.0;
    auto fail = [cause](const char* key, const char* what) {
        if (cause) *cause = QString("\"%1\" %2").arg(key, what);
        return false;
    };
    const QJsonValue frames = object.value("Frames"), rate = object.value("SampleRate"),
                     size = object.value("FileSize"), modified = object.value("Modified"),
                     fingerprint = object.value("Fingerprint");
    if (!isInteger(frames, 0, kMaxInteger)) return fail("Frames", "is not a frame count");
    if (!isInteger(rate, double(SoundReader::kMinSampleRate), double(SoundReader::kMaxSampleRate)))
        return fail("SampleRate", "is not a sample rate this library reads");
    if (!isInteger(size, 0, kMaxInteger)) return fail("FileSize", "is not a size in bytes");
    if (!isInteger(modified, -kMaxInteger, kMaxInteger)) return fail("Modified", "is not a time");
    const QString hex = fingerprint.toString();
    const bool isHex = fingerprint.isString() && hex.size() == 40 &&
                       std::all_of(hex.begin(), hex.end(), [](QChar c) {
                           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                       });
    if (!isHex) return fail("Fingerprint", "is not 40 hexadecimal digits");
    out.frames = int64_t(frames.toDouble());
    out.sampleRate = unsigned(rate.toDouble());
    out.fileSize = int64_t(size.toDouble());
    out.modified = int64_t(modified.toDouble());
    out.fingerprint = hex;
    return true;
}
