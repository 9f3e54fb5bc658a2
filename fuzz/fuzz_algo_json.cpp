// Bytes as a JSON text describing algorithms: the registry's createFromJSon (an
// object or an array), and the detector's, the level statistics' and the FFT
// statistics' own readers. Whatever is built is written back to JSON, queried,
// and run over a short stream; a detector's regions also drive the work that a
// loaded statistics file feeds: post-processing, the RMS amplifier and the
// multi-file writer.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <vector>

#include "FuzzKit.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundRefCounted.h"
#include "tonewright/SoundWriterMultiFile.h"

namespace {

constexpr unsigned kFrames = 3000;

void exerciseDetector(RMSStepDetector& d) {
    const int n = d.size();
    d.getSegmentsNumber();
    d.getCurrentMax();
    d.getSignalStart(0.5);
    d.getSignalEnd(0.5);
    if (n > 0) {
        d.getFullLength();
        d.getRegion(n - 1);
        RMSStepDetector::Region end;
        d.getSlopeRegion(d.getRegion(0).BeginSample, 0, end);
    }
    d.estimateNoise(10.0, 20.0);
    d.getNoiseFromSNR(20.0);
    QJsonObject back;
    d.writeToJSon(back);

    // A copy of the regions drives the second pass; the detector itself is then
    // post-processed and run.
    if (n > 0) {
        {
            auto amp = SoundRef<SoundAlgoRMSAmplifier>::make(-12.0, &d, 0.5);
            twfuzz::runShortStream(*amp, kFrames, 44100);
        }
        SoundWriterMultiFile writer(&d, 0.01, 44100, 2, 128, SoundTools::Pcm16);
        if (writer.open(twfuzz::scratchPath(QStringLiteral("seg.raw"))) == SoundTools::Ok) {
            // The writer is fed by hand: three blocks of a constant level.
            auto buffer = SoundBuffer::createNew(44100);
            buffer->alloc(1024, 2);
            buffer->setFrameNB(1024);
            for (unsigned i = 0; i < 2 * 1024; ++i) buffer->data()[i] = 0.25;
            for (int block = 0; block < 3; ++block) {
                buffer->setOrigin(block * 1024);
                buffer->setFrameNB(1024);
                if (writer.writeBuffer(buffer, 0) != SoundTools::Ok) break;
            }
            writer.close();
        }
    }
    d.split(10.0, 1.0, 20.0);
    d.mergeRegions();
    d.compressDynamic(0.5);
    d.backup();
    d.resetRegions();
    twfuzz::runShortStream(d, kFrames, 44100);
}

void exercise(SoundAlgo* algo) {
    if (!algo) return;
    SoundRef<SoundAlgo> owner = SoundRef<SoundAlgo>::adopt(algo);
    QJsonObject back;
    algo->writeToJSon(back);
    if (auto* d = dynamic_cast<RMSStepDetector*>(algo)) {
        exerciseDetector(*d);
        return;
    }
    if (auto* s = dynamic_cast<SoundAlgoStats*>(algo)) {
        SoundTools::StereoFrame<double> f;
        s->getRMS(f);
        s->getMax(f);
        s->getFullRMS();
    }
    twfuzz::runShortStream(*algo, kFrames, 44100);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::quiet();
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)));
    if (doc.isArray()) {
        for (SoundAlgo* algo : SoundAlgo::createFromJSon(doc.array())) exercise(algo);
        return 0;
    }
    if (!doc.isObject()) return 0;
    const QJsonObject o = doc.object();
    exercise(SoundAlgo::createFromJSon(o));
    exercise(RMSStepDetector::createFromJSon(o));
    exercise(SoundAlgoStats::createFromJSon(o));
    if (SoundAlgoFFTStats* fft = SoundAlgoFFTStats::createFromJSon(o)) {
        SoundRef<SoundAlgoFFTStats> owner = SoundRef<SoundAlgoFFTStats>::adopt(fft);
        fft->getFrequencies();
        fft->getStats();
        fft->getStats(std::vector<double>{250, 1000, 4000});
        QJsonObject back;
        fft->writeToJSon(back);
        twfuzz::runShortStream(*fft, kFrames, 44100);
    }
    return 0;
}
