#include "FuzzKit.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>
#include <cmath>
#include <memory>
#include <sstream>

#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriter.h"

namespace twfuzz {
namespace {

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

QTemporaryDir& scratch() {
    static QTemporaryDir dir(QDir::tempPath() + "/tw-fuzz-XXXXXX");
    return dir;
}

class CountingWriter : public SoundWriter {
public:
    explicit CountingWriter(unsigned rate) : SoundWriter(rate) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    long long count = 0;

protected:
    unsigned write(unsigned n, double* src) override {
        // Touch every value so that the sanitizer sees reads of uninitialised or
        // freed frames.
        volatile double sum = 0;
        for (unsigned i = 0; i < 2 * n; ++i) sum = sum + src[i];
        count += n;
        return n;
    }
};

}  // namespace

void quiet() {
    static bool done = false;
    if (done) return;
    done = true;
    qInstallMessageHandler(dropMessage);
    static std::ostringstream sink;
    SoundDebuggableClass::setOStream(&sink);
    SoundDebuggableClass::setVerbose(false);
    SoundDebuggableClass::setDebug(false);
}

QString scratchPath(const QString& name) { return scratch().filePath(name); }

QString writeScratch(const QString& name, const uint8_t* data, size_t size) {
    const QString path = scratchPath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(reinterpret_cast<const char*>(data), qint64(size));
        file.close();
    }
    return path;
}

ToneReader::ToneReader(unsigned frames, unsigned rate) : mFrames(frames), mRate(rate) {}

unsigned ToneReader::read(unsigned count, double* dest) {
    unsigned n = 0;
    for (; n < count && mPos < mFrames; ++n, ++mPos) {
        const double t = double(mPos) / mRate;
        const bool quiet = mPos > mFrames / 3 && mPos < 2 * mFrames / 3;
        const double a = quiet ? 0.001 : 0.6;
        dest[2 * n] = a * std::sin(2 * M_PI * 440.0 * t);
        dest[2 * n + 1] = a * std::sin(2 * M_PI * 1250.0 * t + 0.3);
    }
    return n;
}

long long runShortStream(SoundAlgo& algo, unsigned frames, unsigned rate) {
    // A run's cost grows with the frames an algorithm holds back (a window
    // of minutes is read, summed and flushed as minutes of frames), by design:
    // such a run is slow, not faulty, and the time-out would flag it.
    if (uint64_t(algo.getInOverlap(rate)) + algo.getDelay(rate) + algo.getSampleShift(rate) > kMaxRunOverlap) return -1;
    ToneReader reader(frames, rate);
    CountingWriter writer(rate);
    algo.processAll(reader, &writer);
    return writer.count;
}

}  // namespace twfuzz
