#pragma once
// Multiband amplifiers: split a stereo stream into frequency bands, level each
// band with its own SoundAlgoRMSAmplifier driven by one shared RMSStepDetector,
// limit each band with a SoundAlgoLimiter, recombine the bands and limit the sum.
//
//  - SoundAlgoFilterMultibandAmplifier splits with IIR splitters or crossovers
//    through a multiband tree (SoundAlgoComposite::buildMultibandTree); every band
//    but the highest has its own limiter, and the sum passes a limiter at -0.3 dB.
//  - SoundAlgoFFTMultibandAmplifier splits in the frequency domain: one direct
//    transform, then one branch per band (SoundAlgoFFTFilter, inverse transform,
//    amplifier and limiter), then optionally a sum and a limiter at 0 dB. Every
//    band but the lowest starts 150 Hz above its split frequency. Its delay is
//    that of its band filters, taps - 1 (446 frames with a transform of 1024 or
//    more), at level 0 as at any other: like a SoundAlgoEqFFT it outputs the
//    full convolution, the filters' tail included, rather than a stream cut to
//    the input's length with the filtered signal's last (taps - 1) / 2 frames
//    lost.
//
// Both present themselves as one SoundAlgoAmpliInterface: a player sets one
// level for all bands and reads the lowest band's gain.
//
// The detector's regions give the level of the whole stream, so every band
// asks for the same gain (the target level over the region's level), moved by
// the band's level offset; the per-band limiters keep a band that the gain
// would push past full scale in check.
//
// Ownership: the algorithms of the bands belong to the composite that holds
// them; the amplifier and limiter lists only point at them. Each band's
// amplifier holds a reference on the detector (the caller keeps its own).
//
// Threading: build, then run, on one thread. setLevel, reset, getLevel and
// SetBalanceFromRMS may be called from another thread while the amplifier runs;
// they reach each band's amplifier under that amplifier's level lock, so a
// change lands between two blocks of each band.
#include <QString>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoAmpliInterface.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"

class TONEWRIGHT_API SoundAlgoMultibandAmplifier : public SoundAlgoComposite, public SoundAlgoAmpliInterface {
    Q_OBJECT
public:
    // Record an algorithm of a band (they are not added to the composite).
    void pushAmplifier(SoundAlgoRMSAmplifier* amplifier);
    void pushLimiter(SoundAlgoLimiter* limiter);

    // setLevel and reset on every band amplifier; limiters are left alone.
    void setLevel(double levelDb) override;
    void reset() override;
    // The lowest band's gain in dB at that time; 0.0 without amplifiers.
    double getLevel(double seconds) override;
    void changeSong() override {}

    // Channel levels in dB (left, right), passed to every band amplifier.
    void SetBalanceFromRMS(SoundTools::StereoFrame<double> levelsDb);
    // Names "<base>.channel_<i>" for limiter i; limiters take their debug file at
    // construction only, so this changes nothing.
    void SetDebugFile(QString base);

    // The band amplifiers in band order, and the recorded limiters in creation
    // order (pointers owned by the composite).
    const std::vector<SoundAlgoRMSAmplifier*>& getAmplifiers() const { return mAmplifiers; }
    const std::vector<SoundAlgoLimiter*>& getLimiters() const { return mLimiters; }

protected:
    // id: the composite's id (null for none).
    SoundAlgoMultibandAmplifier(const char* id, bool sharedInputs);

    std::vector<SoundAlgoRMSAmplifier*> mAmplifiers;
    std::vector<SoundAlgoLimiter*> mLimiters;
};

// Puts an amplifier, and for every band but the highest a limiter, in each band
// of a multiband tree.
class TONEWRIGHT_API FrequencyRMSAmplifierBuilder : public SoundAlgoComposite::FrequencyAlgoBuilder {
public:
    // offsets: per-band level offsets in dB (missing ones count as 0); level in
    // dB; times in seconds; margin: how far below the target a region may stay
    // (dB); splitCount: the number of split frequencies (bands - 1).
    FrequencyRMSAmplifierBuilder(std::vector<double> offsets, double levelDb, double lookAheadTime,
                                 double releaseTime, double rampTime, double belowTargetDb,
                                 RMSStepDetector* detector, int smoothing, size_t splitCount,
                                 SoundAlgoMultibandAmplifier* owner);

    void buildAlgo(SoundAlgoComposite* target, int band, const QString& label) override;

private:
    std::vector<double> mOffsets;
    double mLevel;
    double mLookAheadTime;
    double mReleaseTime;
    double mRampTime;
    double mBelowTarget;
    RMSStepDetector* mDetector;  // not owned: the amplifiers take their references
    int mSmoothing;
    size_t mSplitCount;
    SoundAlgoMultibandAmplifier* mOwner;
};

class TONEWRIGHT_API SoundAlgoFilterMultibandAmplifier : public SoundAlgoMultibandAmplifier {
    Q_OBJECT
public:
    // freqs: ascending split frequencies (Hz); none leaves the amplifier empty.
    // levelDb: target level of every band; lookAheadTime, releaseTime: band and
    // final limiters (s); rampTime: the amplifiers' longest ramp (s); splitter:
    // how each edge splits; smoothing and belowTargetDb: as SoundAlgoRMSAmplifier;
    // offsets: per-band level offsets (dB), may be empty.
    SoundAlgoFilterMultibandAmplifier(const std::vector<double>& freqs, double levelDb, double lookAheadTime,
                                      double releaseTime, double rampTime, RMSStepDetector* detector,
                                      SoundAlgoComposite::SplitterType splitter, int smoothing = 0,
                                      double belowTargetDb = 10.0,
                                      const std::vector<double>& offsets = std::vector<double>());
};

class TONEWRIGHT_API SoundAlgoFFTMultibandAmplifier : public SoundAlgoMultibandAmplifier {
    Q_OBJECT
public:
    // freqs: ascending split frequencies (Hz); none leaves the amplifier empty.
    // levelDb: target level of every band; 0 builds the band filters alone (no
    // amplifier, no limiter). lookAheadTime, releaseTime: the limiters' times (s);
    // the release time is also the amplifiers' ramp time. fftSize: the transform
    // length. recombine: add the bands into one stereo output; without it the
    // amplifier has one output per band, lowest first.
    SoundAlgoFFTMultibandAmplifier(const std::vector<double>& freqs, double levelDb, double lookAheadTime,
                                   double releaseTime, RMSStepDetector* detector, unsigned fftSize = 8192,
                                   bool recombine = true);
};
