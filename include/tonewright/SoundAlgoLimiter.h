#pragma once
// Peak limiters for stereo streams; one output frame per input frame, no delay.
//
// SoundAlgoLimiter looks ahead: it plans linear gain ramps so that peaks seen
// ahead land on a ceiling of 0.98 full scale, releases linearly back to its
// level (a make-up gain, set through SoundAlgoAmpliInterface), and repairs any
// sample that still exceeds 0.981 with a fade reaching back into the block.
// Non-finite input samples are treated as silence.
//
// SoundAlgoSimpleLimiter is a small look-ahead limiter without make-up gain
// that keeps peaks at 0.99 and never raises its gain again.
//
// Threading: SoundAlgoLimiter serialises process, setLevel and reset on its
// lock (a level change from a player thread takes effect between blocks).
// SoundAlgoSimpleLimiter runs on the processing thread only.
#include <QString>
#include <memory>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundAlgoAmpliInterface.h"
#include "tonewright/Sync.h"

class TONEWRIGHT_API SoundAlgoLimiter : public SoundAlgo, public SoundAlgoAmpliInterface {
    Q_OBJECT
public:
    static constexpr double kCeiling = 0.98;
    static constexpr double kClipTrigger = 0.981;

    // levelDb: make-up gain and the gain's upper bound. A look-ahead of zero or
    // less limits with the clip repair alone; a release of zero or less lasts
    // one sample. debugFile: a mono WAV trace of the gain, or null.
    SoundAlgoLimiter(double levelDb = 0.0, double lookAheadTime = 0.005, double releaseTime = 0.1,
                     const char* debugFile = nullptr);
    ~SoundAlgoLimiter() override;

    // The largest release rate, in dB: 10^(value/20) gain units per second.
    void SetSlopeMax(double value);
    // Has no effect: the debug file is given to the constructor.
    void SetDebugFile(const char*) {}

    SoundTools::Status process() override;
    unsigned getInOverlap(unsigned sr) const override;
    unsigned getDelay(unsigned) const override { return 0; }
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned frameNbProcessed) override;

    void setLevel(double levelDb) override;
    void reset() override;
    double getLevel(double seconds) override;
    void changeSong() override {}

    int getPositiveAttacks() const { return mPositiveAttacks; }
    int getClippings() const { return mClippings; }

protected:
    // The gain predicted A samples ahead.
    double GetForwardCoeff() const;

private:
    void resetUnlocked();
    void planRelease(double from);
    // The steps of process() for output frame i of a block (s its stream
    // position, g the gain applied to it); each returns the gain from there on.
    double repairClip(SoundTools::StereoFrame<double>* out, unsigned i, double peak, double g);
    unsigned idleRun(const SoundTools::StereoFrame<double>* in, SoundTools::StereoFrame<double>* out, unsigned i,
                     unsigned n, unsigned inFrames, double g) const;
    void planAttack(const SoundTools::StereoFrame<double>* in, unsigned i, unsigned inFrames, int64_t s, double g);
    double nextGain(double g);
    int32_t lookAheadFrames(unsigned sr) const;
    int32_t releaseFrames(unsigned sr) const;

    double mLookAheadTime;
    int32_t mLookAhead = 0;
    double mReleaseTime;
    int32_t mReleaseLength = 1;
    double mLevel;
    double mSlopeMax = 1000.0;
    double mSlopePerSample = 0.0;
    double mGain;
    double mReleaseStep = 0.0;
    int32_t mReleaseCount = 0;
    double mAttackStep = 0.0;
    int32_t mAttackCount = 0;
    int64_t mAttackEnd = 0;
    int mPositiveAttacks = 0;
    int mClippings = 0;
    QString mDebugFileName;
    std::unique_ptr<SoundWriter> mDebugWriter;
    std::shared_ptr<SoundBuffer> mDebugBuffer;
    SoundTools::ReadWriteLock mLock;
};

class TONEWRIGHT_API SoundAlgoSimpleLimiter : public SoundAlgo {
    Q_OBJECT
public:
    static constexpr double kCeiling = 0.99;

    explicit SoundAlgoSimpleLimiter(double lookAheadTime = 0.005);
    SoundTools::Status process() override;
    unsigned getInOverlap(unsigned sr) const override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;

private:
    double mLookAheadTime;
    int32_t mLookAhead = 0;
    double mGain = 1.0;
    double mTargetGain = 1.0;
    double mStep = 0.0;
    int32_t mCount = 0;
};
