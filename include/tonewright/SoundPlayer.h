#pragma once
// SoundPlayer: the abstract player a host drives. It owns the streaming device
// (SoundAlgoDevice) that runs the host's processing chain, and a live equaliser:
// peaking bands followed by a bass-boost band, the last band in use being an
// anti-clip filter whose gain falls by itself when the output would clip. The
// equaliser is one SoundAlgoFilter that always runs first in the device's
// post-processing chain; band, preset and gain changes replace filters in it
// while it plays. The player also forwards level settings to a noise gate and an
// amplifier that the host places in the post-processing chain. SoundPlayerQt
// binds the player to the platform audio output.
//
// Bands: with N equaliser bands, indices 0 .. N-1 address them and index N the
// bass-boost band. Levels in dB, frequencies in Hz, widths in octaves.
//
// Ownership: the player owns its device and holds a reference on the equaliser
// (the device holds another through the post-processing chain). The reader is
// shared with the host. Gate and amplifier are not owned: the host puts them in
// the post-processing chain, which owns them.
//
// Threading: construction, setPostProcessingChain and destruction belong to the
// host's thread. The equaliser operations, setGateLevel and setAmpLevel may be
// called from any thread, also while the device's threads play: they are
// serialised on the player's own lock, and each change reaches the running
// equaliser in one step, between two blocks. Signals are emitted on the threads
// named by SoundPlayerQt; receivers that touch a user interface connect with
// queued connections.
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundAlgoAmpliInterface.h"
#include "tonewright/SoundAlgoDevice.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoNoiseGate.h"
#include "tonewright/SoundFilterBuilders.h"
#include "tonewright/SoundReader.h"
#include "tonewright/Sync.h"

class TONEWRIGHT_API SoundPlayer : public QObject {
    Q_OBJECT
public:
    struct Preset {
        QString name;
        // Gain (dB) of each equaliser band, in band order.
        std::vector<double> levels;
    };

    // reader: the source (null: a player without device, which can only hold an
    // equaliser); algo: the processing chain, null for none (the device takes its
    // own reference); defaultEqualizer: build the nine-band equaliser, its
    // bass-boost band and its presets.
    SoundPlayer(std::shared_ptr<SoundReader> reader, SoundAlgo* algo, bool defaultEqualizer);
    ~SoundPlayer() override;
    SoundPlayer(const SoundPlayer&) = delete;
    SoundPlayer& operator=(const SoundPlayer&) = delete;

    // Null for a player built without a reader.
    SoundAlgoDevice* getDevice() const { return mDevice.get(); }
    // The device's current reader (null without a device).
    SoundReader* getReader() const;
    bool isStopped() const { return mStopped.load(std::memory_order_acquire); }

    // Nine peaking bands (60 Hz .. 15 kHz, 1.9 octaves) after any band already
    // present, the bass-boost band last, the default presets; rebuilds the filters.
    void buildDefaultEqualizer();
    // The bands as given (shared with the caller; null entries are skipped) and a
    // new bass-boost band after them. Nothing is rebuilt until switchEq,
    // switchBassBoost or setEqPreset.
    void setEqualizer(const std::vector<std::shared_ptr<SoundTools::BiquadEqBuilder>>& bands);
    void setEqualizerPresets(const std::vector<Preset>& presets);
    // The equaliser algorithm (for hosts that watch its filters; not owned).
    SoundAlgoFilter* getEqFilter() const { return mEqFilter; }

    // Installs the post-processing chain, run by the device on its own thread
    // with the equaliser in front; takes over the caller's reference of chain.
    // Null: the equaliser alone (the chain a new player starts with). Before
    // playback only: a playing device refuses it (and drops the reference).
    void setPostProcessingChain(SoundAlgo* chain);
    void setNoiseGate(SoundAlgoNoiseGate* gate);
    // Gate threshold in dB; under the device's algorithm lock.
    void setGateLevel(double levelDb);
    void setAmplifier(SoundAlgoAmpliInterface* amplifier);
    // Amplifier level in dB; under the device's algorithm lock.
    void setAmpLevel(double levelDb);

public slots:
    // Starts the device (the processing begins) and emits playerLoaded().
    virtual void preload() = 0;
    // Starts the output.
    virtual void start() = 0;
    // Stops the output and the device.
    virtual void stop() = 0;

    virtual void switchEq(bool on);
    // Band i's level (dB). Lowering a band brings the output gain back to 1.0;
    // raising one keeps the reduction the anti-clip filter has made.
    virtual void setEqLevel(unsigned i, double levelDb);
    virtual void setEqFreq(unsigned i, double freq);
    virtual void setEqWidth(unsigned i, double octaves);
    // Equaliser bands, the bass-boost band not counted.
    virtual unsigned getEqBandNumber();
    // The span of a band level in each direction (dB).
    virtual double getEqBandRange();
    // 0.0 for an index out of range.
    virtual double getEqBandFreq(unsigned i);
    virtual double getEqBandLevel(unsigned i);
    virtual bool hasEqualizer() const;
    virtual bool hasBassBoost() const;
    virtual void switchBassBoost(bool on);
    virtual QStringList getEqPresets() const;
    // Output gain (linear) of the anti-clip filter.
    virtual void setEqGain(double gain);
    // The anti-clip filter's current gain (its own reductions included).
    virtual double getEqGain() const;
    virtual void setEqPreset(unsigned p);

    // The device reported the end of the data.
    virtual void endOfData() = 0;

signals:
    void playingStarting();
    void playerLoaded();
    void playingStarted();
    // ok: the stream played to its end; false when stopped or failed.
    void playingHasFinished(bool ok);
    // Seconds of output since start().
    void playingProgress(double seconds);

protected:
    // Builder i's filter at the device's rate: the anti-clip filter for
    // lastFilterRank(), a plain biquad otherwise. Caller holds mMutex.
    std::shared_ptr<SoundTools::Filter> buildFilter(unsigned i);
    // Replaces the equaliser's filter list with the bands switched on.
    void rebuildFilter();
    // Rebuilds band i's filter in the running equaliser when the band is in use.
    void replaceFilter(unsigned i, bool resetGain);
    // The band that carries the anti-clip filter: the bass-boost band when it is
    // on, else the last equaliser band; negative without bands.
    int lastFilterRank() const;
    unsigned sampleRate() const;

    std::atomic<int32_t> mNotifyCount{0};
    std::unique_ptr<SoundAlgoDevice> mDevice;
    std::atomic<bool> mStopped{true};
    bool mEqOn = false;
    bool mBassBoostOn = false;
    double mEqGain = 1.0;
    std::vector<Preset> mPresets;
    SoundAlgoAmpliInterface* mAmplifier = nullptr;
    SoundAlgoNoiseGate* mNoiseGate = nullptr;
    SoundAlgoFilter* mEqFilter = nullptr;
    std::vector<std::shared_ptr<SoundTools::BiquadEqBuilder>> mEqBuilders;
    // Guards the fields above that the equaliser operations change.
    mutable SoundTools::Mutex mMutex{SoundTools::Mutex::Recursive};

private:
    // First band in the filter list, and one past the last.
    unsigned firstFilterBand() const;
    unsigned endFilterBand() const;
    void appendBassBoostBand();
};
