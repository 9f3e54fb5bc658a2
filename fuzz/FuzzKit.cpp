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

class SignalReader : public SoundReader {
public:
    SignalReader(unsigned frames, unsigned rate) : mFrames(frames), mRate(rate) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return mFrames; }
    unsigned getSampleRate() const override { return mRate; }
    void rewind() override { mPos = 0; }
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Double; }

protected:
    unsigned read(unsigned count, double* dest) override {
        unsigned n = 0;
        for (; n < count && mPos < mFrames; ++n, ++mPos) {
            // A tone with a step in level halfway, so detectors find regions.
            const double amp = mPos < mFrames / 2 ? 0.5 : 0.05;
            dest[2 * n] = amp * std::sin(0.031 * mPos);
            dest[2 * n + 1] = amp * std::sin(0.017 * mPos + 1.0);
        }
        return n;
    }

private:
    unsigned mFrames, mRate, mPos = 0;
};

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

long long runShortStream(SoundAlgo& algo, unsigned frames, unsigned rate) {
    SignalReader reader(frames, rate);
    CountingWriter writer(rate);
    algo.processAll(reader, &writer);
    return writer.count;
}

}  // namespace twfuzz
