#pragma once
// SoundPlayerQt: the concrete player. It plays the player's streaming device
// through the platform audio output (Qt Multimedia, pull mode: the output reads
// the device as it needs PCM) and turns the output's notifications into the
// player's signals: playerLoaded (preload), playingStarted (the output became
// active), playingProgress every 0.5 s of output, and playingHasFinished (true
// when the stream played to its end, false when stopped or failed). An output
// that runs dry while the processing still goes on (an underrun) is not an end:
// it plays on, with a new playingStarted, once data comes again.
//
// Output format: the device's sample rate (44100 Hz without a device), 2
// channels, signed 16-bit little-endian PCM.
//
// Ownership: the player owns its audio output and, through SoundPlayer, the
// device; the output is stopped and destroyed before the device.
//
// Threading: build, drive (preload, start, stop) and destroy the player on one
// thread that runs a Qt event loop: the audio output lives there, pulls the
// device from that thread's timers and emits its state changes and progress
// there. playingHasFinished(true) for the end of the data may also come from the
// device's post-processing thread. Connect to the signals with queued
// connections to touch a user interface, and do not destroy the player from a
// slot connected directly to them.
#include <QString>
#include <atomic>
#include <memory>

#include "tonewright/Export.h"
#include "tonewright/SoundPlayer.h"

class QAudioOutput;

class TONEWRIGHT_API SoundPlayerQt : public SoundPlayer {
    Q_OBJECT
public:
    static constexpr int kNotifyIntervalMs = 500;

    SoundPlayerQt(std::shared_ptr<SoundReader> reader, SoundAlgo* algo, bool defaultEqualizer = true);
    ~SoundPlayerQt() override;

    // The platform output, for hosts that set its volume or watch its state
    // (not owned by the caller).
    QAudioOutput* getOutput() const { return mOutput.get(); }
    // Progress notifications since the last start().
    int getNotifyCount() const { return mNotifyCount.load(std::memory_order_relaxed); }
    // Seconds of the stream the output has played since start(): what it took
    // from the device less what still waits in its buffer (to a few ms).
    double getSecondsPlayed() const;
    // Why the default audio output cannot play a stream at this rate, in words;
    // empty when it can. start() refuses such a stream (playingHasFinished(false),
    // with the text in getError()) instead of handing it to the platform, whose
    // plugins fail in their own ways (a division by zero for a rate so low that
    // an output period holds no frame).
    static QString formatProblem(unsigned sampleRate);

public slots:
    void preload() override;
    // Starts the output; preloads first when the host has not.
    void start() override;
    void stop() override;
    void endOfData() override;

private slots:
    // state: a QAudio::State. Taken as int so that this header, which hosts
    // include without Qt Multimedia on their include path, does not need
    // <QAudio>; the output's stateChanged reaches it through a direct lambda.
    void audioStatusChanged(int state);
    void notified();
    // The device's threads have ended: an output that already ran dry has
    // played the stream to its end (the last idle report can come first).
    void devicesThreadsEnded();

private:
    bool deviceFailed() const;
    void finishPlayedToEnd();

    std::unique_ptr<QAudioOutput> mOutput;
    // The end of the data has been reported for this playback: the device
    // reports it on every read that meets it, the host hears of it once.
    std::atomic<bool> mEndReported{false};
};
