#pragma once
// SoundAlgoRMSAmplifier: levels a stereo stream region by region. For each
// region an RMSStepDetector found, it computes the gain that brings the
// region's RMS (louder channel) to a target level, bounded by a maximum gain and
// a floor, and moves the applied gain there along a linear ramp: over the
// detector's slope when the level changes gradually, otherwise over 1 s for a
// change of 1 dB or less up to maxRampTime for 5 dB or more. Noise regions are
// left at unity gain.
//
// The gain is planned at region changes only, never at block starts: a ramp
// runs its planned length and ends on the region's gain, a noise region is at
// unity from its first sample, and the output does not depend on the block
// size. setLevel moves the floor with the target.
//
// Units: levels and gains in dB at the interface, linear inside; times in
// seconds.
//
// Ownership: holds one reference on the detector (which may be null: the
// amplifier is then a fixed gain of the target level).
//
// Threading: process() runs on the processing thread and holds the level lock
// for each block; setLevel, reset, getLevel and setBalanceFromRMS may be called
// from any thread and take effect between blocks. Region reads go through the
// detector's own lock.
#include "tonewright/Export.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundAlgoAmpliInterface.h"
#include "tonewright/Sync.h"

class TONEWRIGHT_API SoundAlgoRMSAmplifier : public SoundAlgo, public SoundAlgoAmpliInterface {
    Q_OBJECT
public:
    // smoothing k >= 1 pulls region levels towards the loudest by 1/k (0: off);
    // the floor is targetDb - belowTargetDb.
    SoundAlgoRMSAmplifier(double targetDb, RMSStepDetector* detector, double maxRampTime = 3.0, int smoothing = 0,
                          double belowTargetDb = 10.0, double maxGainDb = 12.0);
    ~SoundAlgoRMSAmplifier() override;

    SoundTools::Status process() override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;

    void setLevel(double levelDb) override;
    void reset() override;
    // The region gain (dB) at that time, from the detector's saved list; before
    // the first run, times are counted at the detector's sample rate.
    double getLevel(double seconds) override;
    void changeSong() override {}

    // Channel levels in dB (left, right): the quieter channel is raised to the louder.
    void setBalanceFromRMS(SoundTools::StereoFrame<double> levelsDb);

    // The gain applied to the last sample processed (linear).
    double getCurrentCoeff() const { return mCoeff; }

protected:
    double computeCoeffFromRegion(const RMSStepDetector::Region& region) const;
    void setMaxLevel();
    void initCurrentCoeff();
    void initCoeffFromRegionManager(int32_t s0);
    void setCoeff(int32_t s);
    void recomputeCoeffFromRegion(int32_t s);

private:
    void resetUnlocked();

    double mTargetCoeff = 1.0;
    double mMaxGain;
    double mMinLevel;
    double mMaxRampTime;
    double mTargetLevel;
    double mBalance0 = 1.0, mBalance1 = 1.0;
    double mCoeff = 1.0;
    SoundRef<RMSStepDetector> mDetector;
    int32_t mNextRegion = 0;
    int32_t mLevelIndex = 0;
    RMSStepDetector::Region mCurrentRegion;
    double mRampStep = 0.0;
    int32_t mRampCount = 0;
    bool mStarted = false;
    SoundTools::ReadWriteLock mLevelLock;
    int32_t mSmoothing;
    double mMaxLevel = 0.0;
    bool mFollowingSlope = false;
    double mBelowTargetDb;
};
