#include "tonewright/SoundPlayerQt.h"

#include <QAudioFormat>
#include <QAudioOutput>
#include <QCoreApplication>
#include <ostream>

#include "tonewright/SoundDebuggableClass.h"

namespace {
void reportOpenError() {
    SoundDebuggableClass::getOStream()
        << QCoreApplication::translate("SoundPlayerQt", "Error opening audio device").toStdString() << std::endl;
}

// How far the output reads ahead of what is heard (ms): equaliser, gate and
// amplifier changes are heard this much later, and a processing hiccup shorter
// than this is not heard at all.
constexpr int kOutputBufferMs = 250;
}  // namespace

constexpr int SoundPlayerQt::kNotifyIntervalMs;

SoundPlayerQt::SoundPlayerQt(std::shared_ptr<SoundReader> reader, SoundAlgo* algo, bool defaultEqualizer)
    : SoundPlayer(std::move(reader), algo, defaultEqualizer) {
    const int rate = int(sampleRate());
    QAudioFormat format;
    format.setSampleRate(rate);
    format.setChannelCount(2);
    format.setSampleSize(16);
    format.setCodec("audio/pcm");
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);
    mOutput = std::make_unique<QAudioOutput>(format);
    mOutput->setNotifyInterval(kNotifyIntervalMs);
    mOutput->setBufferSize(rate * 4 * kOutputBufferMs / 1000);
    if (mDevice)
        connect(mDevice.get(), &QIODevice::readChannelFinished, this, &SoundPlayerQt::endOfData,
                Qt::DirectConnection);
    connect(
        mOutput.get(), &QAudioOutput::stateChanged, this, [this](QAudio::State s) { audioStatusChanged(int(s)); },
        Qt::DirectConnection);
    connect(mOutput.get(), &QAudioOutput::notify, this, &SoundPlayerQt::notified, Qt::DirectConnection);
}

SoundPlayerQt::~SoundPlayerQt() {
    // The output must stop pulling before the device goes; no signal of this
    // teardown reaches the host.
    mOutput->disconnect(this);
    if (mDevice) mDevice->disconnect(this);
    mOutput->stop();
    mOutput.reset();
    if (mDevice) mDevice->stop();
}

bool SoundPlayerQt::deviceFailed() const { return mDevice && mDevice->getStatus() == SoundTools::Error; }

void SoundPlayerQt::preload() {
    if (!mDevice) {
        SoundDebuggableClass::setError("no reader to play", "SoundPlayerQt::preload");
        return;
    }
    mDevice->start();
    emit playerLoaded();
}

void SoundPlayerQt::start() {
    mStopped.store(false, std::memory_order_release);
    mNotifyCount.store(0, std::memory_order_relaxed);
    mEndReported.store(false, std::memory_order_release);
    if (mDevice && !mDevice->isOpen()) preload();
    if (!mDevice || !mDevice->isOpen()) {
        reportOpenError();
        mStopped.store(true, std::memory_order_release);
        emit playingHasFinished(false);
        return;
    }
    mOutput->start(mDevice.get());
    if (mOutput->error() != QAudio::NoError) {
        reportOpenError();
        mDevice->stop();
        mStopped.store(true, std::memory_order_release);
        emit playingHasFinished(false);
    }
}

void SoundPlayerQt::stop() {
    // Idempotent: a second stop calls nothing. An output that ran dry (idle) is
    // stopped too, and a device whose data ended is closed.
    if (mOutput->state() != QAudio::StoppedState) mOutput->stop();
    if (mDevice && (mDevice->isOpen() || mDevice->isRunning())) mDevice->stop();
    mStopped.store(true, std::memory_order_release);
}

void SoundPlayerQt::endOfData() {
    if (mEndReported.exchange(true, std::memory_order_acq_rel)) return;
    // A failed chain ends the data too, but the stream did not play to its end.
    emit playingHasFinished(!deviceFailed());
}

void SoundPlayerQt::audioStatusChanged(int state) {
    switch (QAudio::State(state)) {
        case QAudio::ActiveState:
            emit playingStarted();
            break;
        case QAudio::IdleState:
            // Run dry while the chains still produce: the processing fell behind
            // (a starved machine), and the output goes on once data comes. Only
            // an output that ran dry after the device's threads ended has played
            // the stream to its end.
            if (mDevice && mDevice->isRunning()) break;
            [[fallthrough]];
        case QAudio::SuspendedState:
        case QAudio::StoppedState:
            mStopped.store(true, std::memory_order_release);
            emit playingHasFinished(QAudio::State(state) == QAudio::IdleState && !deviceFailed());
            break;
        default:
            break;
    }
}

void SoundPlayerQt::notified() {
    const int count = mNotifyCount.fetch_add(1, std::memory_order_relaxed) + 1;
    emit playingProgress(double(mOutput->notifyInterval()) * count / 1000.0);
}
