#include "tonewright/SoundPlayerQt.h"

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QAudioOutput>
#include <QCoreApplication>
#include <algorithm>
#include <cstdint>
#include <ostream>

#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundReader.h"

namespace {
void reportOpenError() {
    SoundDebuggableClass::getOStream()
        << QCoreApplication::translate("SoundPlayerQt", "Error opening audio device").toStdString() << std::endl;
}

// How far the output reads ahead of what is heard (ms): equaliser, gate and
// amplifier changes are heard this much later, and a processing hiccup shorter
// than this is not heard at all.
constexpr int kOutputBufferMs = 250;

QAudioFormat outputFormat(unsigned rate) {
    QAudioFormat format;
    format.setSampleRate(int(rate));
    format.setChannelCount(2);
    format.setSampleSize(16);
    format.setCodec("audio/pcm");
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);
    return format;
}
}  // namespace

QString SoundPlayerQt::formatProblem(unsigned sampleRate) {
    // Below the readers' lowest rate an output period of a few milliseconds
    // holds no frame at all.
    if (sampleRate < SoundReader::kMinSampleRate || sampleRate > unsigned(INT32_MAX / 4))
        return QStringLiteral("the audio output cannot play %1 Hz (the player plays %2 Hz and above)")
            .arg(sampleRate)
            .arg(SoundReader::kMinSampleRate);
    const QAudioDeviceInfo device = QAudioDeviceInfo::defaultOutputDevice();
    if (device.isNull()) return QStringLiteral("there is no audio output");
    if (!device.isFormatSupported(outputFormat(sampleRate)))
        return QStringLiteral("the audio output (%1) cannot play 16-bit stereo at %2 Hz")
            .arg(device.deviceName())
            .arg(sampleRate);
    return QString();
}

constexpr int SoundPlayerQt::kNotifyIntervalMs;

SoundPlayerQt::SoundPlayerQt(std::shared_ptr<SoundReader> reader, SoundAlgo* algo, bool defaultEqualizer)
    : SoundPlayer(std::move(reader), algo, defaultEqualizer) {
    const int rate = int(sampleRate());
    mOutput = std::make_unique<QAudioOutput>(outputFormat(sampleRate()));
    mOutput->setNotifyInterval(kNotifyIntervalMs);
    mOutput->setBufferSize(rate * 4 * kOutputBufferMs / 1000);
    if (mDevice)
        connect(mDevice.get(), &QIODevice::readChannelFinished, this, &SoundPlayerQt::endOfData,
                Qt::DirectConnection);
    connect(
        mOutput.get(), &QAudioOutput::stateChanged, this, [this](QAudio::State s) { audioStatusChanged(int(s)); },
        Qt::DirectConnection);
    connect(mOutput.get(), &QAudioOutput::notify, this, &SoundPlayerQt::notified, Qt::DirectConnection);
    // Queued: the report comes from a device thread, the output is read on this
    // object's thread.
    if (mDevice)
        connect(mDevice.get(), &SoundAlgoDevice::threadsEnded, this, &SoundPlayerQt::devicesThreadsEnded,
                Qt::QueuedConnection);
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

double SoundPlayerQt::getSecondsPlayed() const {
    const double bytesPerSecond = 4.0 * double(sampleRate());
    const double buffered = double(std::max(0, mOutput->bufferSize() - mOutput->bytesFree())) / bytesPerSecond;
    return std::max(0.0, double(mOutput->processedUSecs()) / 1e6 - buffered);
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
    const QString problem = formatProblem(sampleRate());
    if (!problem.isEmpty()) {
        SoundDebuggableClass::setError(problem, "SoundPlayerQt::start");
        if (mDevice) mDevice->stop();
        mStopped.store(true, std::memory_order_release);
        emit playingHasFinished(false);
        return;
    }
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
            if (QAudio::State(state) == QAudio::IdleState) {
                finishPlayedToEnd();
                break;
            }
            mStopped.store(true, std::memory_order_release);
            emit playingHasFinished(false);
            break;
        default:
            break;
    }
}

void SoundPlayerQt::finishPlayedToEnd() {
    mStopped.store(true, std::memory_order_release);
    emit playingHasFinished(!deviceFailed());
}

void SoundPlayerQt::devicesThreadsEnded() {
    // A stop() has already reported; a later playback runs its threads again.
    if (isStopped() || !mDevice || mDevice->isRunning()) return;
    if (mOutput->state() == QAudio::IdleState) finishPlayedToEnd();
}

void SoundPlayerQt::notified() {
    const int count = mNotifyCount.fetch_add(1, std::memory_order_relaxed) + 1;
    emit playingProgress(double(mOutput->notifyInterval()) * count / 1000.0);
}
