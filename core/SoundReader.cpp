#include "tonewright/SoundReader.h"

#include <QMessageLogger>
#include <QDebug>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundFileName.h"
#include "tonewright/SoundFormats.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundSndfile.h"

SoundReader::~SoundReader() = default;

bool SoundReader::getTags(SoundIDTag&) { return false; }

unsigned SoundReader::stereoRead(std::shared_ptr<SoundBuffer> buffer, unsigned margin) {
    unsigned kept = buffer->keepMargin(margin);
    // A previous fill shorter than the margin (a stream shorter than an
    // algorithm's look-ahead) is all history: keepMargin leaves it in place
    // and reports nothing kept, and reading over it would lose those frames.
    // They lead the array and end at mOffset, like any kept margin.
    if (kept == 0 && margin > 0 && buffer->getFrameNB() > 0 && margin >= buffer->getFrameNB())
        kept = buffer->getFrameNB();
    buffer->setOrigin(mOffset - int(kept));
    const int64_t want = int64_t(buffer->getFrameNBAllocated()) - kept;
    if (want <= 0) {
        if (buffer->getFrameNBAllocated() != 0)
            QMessageLogger().critical() << "Buffer size smaller than margin !" << buffer->getFrameNBAllocated()
                                        << " vs " << kept;
        return 0;
    }
    const unsigned n = read(unsigned(want), buffer->getRelFrame(int(kept)));
    mOffset += int(n);
    buffer->setFrameNB(kept + n);
    // At the end of the stream, pad with zeros so that each call still yields
    // `kept` fresh frames for overlapping algorithms to flush. Only a read that
    // gives nothing pads: a short read may come from a live source (the
    // in-memory pipe between a finished recording and the next one handed over)
    // that delivers again at the next call, and zeros put in after its frames
    // would be heard as a gap. At a real end the next call reads nothing and
    // pads then, at the very same stream positions. On a first fill the kept
    // frames are the lead-in of a delay, which may well outnumber a full read of
    // a small block.
    if (n == 0 && kept > 0 && want > 0) {
        buffer->appendMargin(kept - n);
        mOffset += int(kept - n);
    }
    if (int64_t(n) < want) mAtEnd = true;
    return n;
}

unsigned SoundReader::stereoReadFloats(unsigned count, float* dest) {
    if (count == 0) return 0;
    const unsigned n = readFloats(count, dest);
    mOffset += int(n);
    if (n < count) mAtEnd = true;
    return n;
}

unsigned SoundReader::readFloats(unsigned count, float* dest) {
    constexpr unsigned kChunk = 1024;  // frames: 16 kB of doubles on the stack
    double frames[2 * kChunk];
    unsigned done = 0;
    while (done < count) {
        const unsigned want = std::min(kChunk, count - done);
        const unsigned n = read(want, frames);
        for (unsigned i = 0; i < 2 * n; ++i) dest[2 * size_t(done) + i] = float(frames[i]);
        done += n;
        if (n < want) break;
    }
    return done;
}

int SoundReader::getStartOffset() { return int(std::floor(double(getSampleRate()) * mStartPoint + 0.5)); }

double SoundReader::getLength() {
    const unsigned rate = getSampleRate();
    return rate == 0 ? 0.0 : double(getFrameCount()) / double(rate);
}

QString SoundReader::sampleRateProblem(long long rate) {
    if (rate >= kMinSampleRate && rate <= kMaxSampleRate) return QString();
    return QStringLiteral("unsupported sample rate of %1 Hz (rates from %2 Hz to %3 Hz can be read)")
        .arg(rate)
        .arg(kMinSampleRate)
        .arg(kMaxSampleRate);
}

std::string SoundReader::getLengthString() {
    const double length = getLength();
    const double h = std::floor(length / 3600.0);
    const double rest = length - 3600.0 * h;
    const double m = std::floor(rest / 60.0);
    const double s = rest - 60.0 * m;
    char text[64];
    std::snprintf(text, sizeof text, "%02.0f:%02.0f:%06.3f", h, m, s);
    return text;
}

SoundReader* SoundReader::getFromFilename(QString name) {
    if (name.isEmpty()) return nullptr;
    const std::string ext = SoundTools::lowerExtension(name);
    if (ext.empty()) return nullptr;
    // The format table names the reader; names it does not know have none.
    const tonewright::SoundFileFormat* format = tonewright::formatOfExtension(ext);
    if (!format) return nullptr;
    switch (format->reader) {
        case tonewright::ReaderKind::Mp3: return std::make_unique<SoundReaderMp3>().release();
        case tonewright::ReaderKind::Sndfile: return std::make_unique<SoundReaderSndfile>().release();
        case tonewright::ReaderKind::None: break;
    }
    return nullptr;
}

bool SoundReader::isRecognized(QString name) {
    const std::string ext = SoundTools::lowerExtension(name);
    return !ext.empty() && tonewright::isReadableExtension(ext);
}
