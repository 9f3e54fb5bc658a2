#include "tonewright/SoundAlgoRMSAmplifier.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <ostream>

#include "tonewright/SoundUnits.h"

#ifdef _OPENMP
#include <omp.h>
#endif

using Frame = SoundTools::StereoFrame<double>;

namespace {
int threadNumber() {
#ifdef _OPENMP
    return omp_get_thread_num();
#else
    return 0;
#endif
}

bool sameRegion(const RMSStepDetector::Region& a, const RMSStepDetector::Region& b) { return a == b; }
}  // namespace

SoundAlgoRMSAmplifier::SoundAlgoRMSAmplifier(double targetDb, RMSStepDetector* detector, double maxRampTime,
                                             int smoothing, double belowTargetDb, double maxGainDb)
    : mMaxGain(SoundTools::gainOfDb(maxGainDb)),
      mMinLevel(SoundTools::gainOfDb(targetDb - belowTargetDb)),
      mMaxRampTime(maxRampTime),
      mTargetLevel(SoundTools::gainOfDb(targetDb)),
      mDetector(SoundRef<RMSStepDetector>::share(detector)),
      mSmoothing(smoothing),
      mBelowTargetDb(belowTargetDb) {}

SoundAlgoRMSAmplifier::~SoundAlgoRMSAmplifier() = default;

// ================================================================ level interface

void SoundAlgoRMSAmplifier::setLevel(double levelDb) {
    SoundTools::WriteLocker locker(mLevelLock);
    mTargetLevel = SoundTools::gainOfDb(levelDb);
    // The floor keeps its distance below the target: a floor left where the
    // constructor put it would lie above a target lowered far enough, and would
    // then raise every region above the level asked for.
    mMinLevel = SoundTools::gainOfDb(levelDb - mBelowTargetDb);
    resetUnlocked();
    initCurrentCoeff();
}

void SoundAlgoRMSAmplifier::reset() {
    SoundTools::WriteLocker locker(mLevelLock);
    resetUnlocked();
}

void SoundAlgoRMSAmplifier::resetUnlocked() {
    mTargetCoeff = mCoeff = 1.0;
    mBalance0 = mBalance1 = 1.0;
    mStarted = false;
    mLevelIndex = 0;
    mNextRegion = 0;
    mRampCount = 0;
    mMaxLevel = 0;
    mFollowingSlope = false;
}

double SoundAlgoRMSAmplifier::getLevel(double seconds) {
    SoundTools::WriteLocker locker(mLevelLock);
    if (!mDetector) return SoundTools::dbOfGain(mTargetLevel);
    const int size = mDetector->size(true);
    if (size == 0) return 0.0;
    mLevelIndex = std::max(0, std::min(mLevelIndex, size - 1));
    // Before the amplifier has run it has no rate of its own; the regions are
    // counted at the detector's (a host that loads a statistics file asks for
    // levels before playing). Rate 0 would put every time on the first region.
    const unsigned rate = mSampleRate != 0 ? mSampleRate : mDetector->getSampleRate();
    const double pos = std::floor(double(rate) * seconds + 0.5);
    const int64_t s = std::isfinite(pos) ? int64_t(std::max(-1e15, std::min(1e15, pos))) : 0;
    RMSStepDetector::Region use = mDetector->getRegion(mLevelIndex, true);
    // A player that seeks back asks for an earlier time: start the walk over.
    if (s < use.BeginSample && mLevelIndex > 0) {
        mLevelIndex = 0;
        use = mDetector->getRegion(0, true);
    }
    while (mLevelIndex + 1 < size && int64_t(use.BeginSample) + use.SampleNb - 1 < s) {
        const RMSStepDetector::Region next = mDetector->getRegion(mLevelIndex + 1, true);
        ++mLevelIndex;
        if (next.BeginSample >= s) break;  // the index moves on, the earlier region answers
        use = next;
    }
    if (use.IsNoise) return 0.0;
    return SoundTools::dbOfGain(computeCoeffFromRegion(use));
}

void SoundAlgoRMSAmplifier::setBalanceFromRMS(SoundTools::StereoFrame<double> levelsDb) {
    SoundTools::WriteLocker locker(mLevelLock);
    const double m = std::max(levelsDb.l, levelsDb.r);
    mBalance0 = SoundTools::gainOfDb(m) / SoundTools::gainOfDb(levelsDb.l);
    mBalance1 = SoundTools::gainOfDb(m) / SoundTools::gainOfDb(levelsDb.r);
    if (!std::isfinite(mBalance0)) mBalance0 = 1.0;
    if (!std::isfinite(mBalance1)) mBalance1 = 1.0;
}

// ================================================================ gains

double SoundAlgoRMSAmplifier::computeCoeffFromRegion(const RMSStepDetector::Region& region) const {
    if (region.IsNoise) return 1.0;
    const double a = std::max(mBalance0 * std::sqrt(std::max(0.0, region.RMSSqrValue0)),
                              mBalance1 * std::sqrt(std::max(0.0, region.RMSSqrValue1)));
    // A region whose level is not a number gets no gain rather than a wild one.
    if (!std::isfinite(a)) return 1.0;
    const double l = mSmoothing > 0 ? a + (mMaxLevel - a) / mSmoothing : a;
    double g = mTargetLevel / l;
    if (mMinLevel > a * g) g = mMinLevel / a;
    return std::min(mMaxGain, g);
}

void SoundAlgoRMSAmplifier::setMaxLevel() {
    mMaxLevel = mDetector ? mDetector->getCurrentMax() : 0.0;
    mMaxLevel = std::max(mMaxLevel, std::pow(10.0, -1.25));
}

void SoundAlgoRMSAmplifier::initCurrentCoeff() {
    double c = 1.0;
    if (!mDetector)
        c = mTargetLevel;
    else if (mDetector->size() > 0 && !mCurrentRegion.IsNoise)
        c = computeCoeffFromRegion(mCurrentRegion);
    mTargetCoeff = mCoeff = c;
    if (isDebug()) {
        std::ostream& os = getOStream();
        const std::ios::fmtflags flags = os.flags();
        const std::streamsize precision = os.precision();
        os << std::fixed << std::setprecision(2) << "Amplification set to " << SoundTools::dbOfGain(mBalance0 * c) << " "
           << SoundTools::dbOfGain(mBalance1 * c) << std::endl;
        os.flags(flags);
        os.precision(precision);
    }
}

void SoundAlgoRMSAmplifier::initCoeffFromRegionManager(int32_t s0) {
    if (!mStarted) {
        const int size = mDetector ? mDetector->size() : 0;
        if (size > 0) {
            mCurrentRegion = mDetector->getRegion(0);
            mNextRegion = 1;
            while (int64_t(mCurrentRegion.BeginSample) + mCurrentRegion.SampleNb - 1 < s0 && mNextRegion < size)
                mCurrentRegion = mDetector->getRegion(mNextRegion++);
            setMaxLevel();
            initCurrentCoeff();
            mStarted = true;
        } else {
            mTargetCoeff = mCoeff = mTargetLevel;
        }
        return;
    }
    // A real-time list grows while playing: the current region is read again.
    // Only a change of the region itself re-plans the gain. Re-planning at every
    // block start would begin a fresh ramp from wherever the gain has got to:
    // each ramp would stretch and end short of the region's gain, by an amount
    // set by the block size. Offline, where regions are
    // final, a ramp therefore runs the length it was planned for and lands on
    // the region's gain, and the output is the same whatever the block size.
    if (mNextRegion - 1 < 0 || mNextRegion - 1 >= mDetector->size()) return;
    const RMSStepDetector::Region fresh = mDetector->getRegion(mNextRegion - 1);
    if (sameRegion(fresh, mCurrentRegion)) return;
    mCurrentRegion = fresh;
    if (mFollowingSlope) return;
    if (mCurrentRegion.IsNoise || computeCoeffFromRegion(mCurrentRegion) != mTargetCoeff)
        recomputeCoeffFromRegion(s0);
}

void SoundAlgoRMSAmplifier::recomputeCoeffFromRegion(int32_t s) {
    if (mCurrentRegion.IsNoise) {
        mCoeff = mTargetCoeff = 1.0;
        mRampCount = 0;
        mRampStep = 0;
        return;
    }
    RMSStepDetector::Region end;
    const SoundRMSSlopeDetector::Region* slope =
        mDetector ? mDetector->getSlopeRegion(s, unsigned(std::max(mNextRegion - 1, 0)), end) : nullptr;
    if (slope) {
        mTargetCoeff = computeCoeffFromRegion(end);
        const int64_t n = int64_t(slope->end) - s;
        mRampStep = n > 0 ? (mTargetCoeff - mCoeff) / double(n) : 0.0;
        if (mRampStep == 0 || n <= 0) {
            mRampCount = 0;
        } else {
            mRampCount = int32_t(std::min<int64_t>(n, INT32_MAX));
            mFollowingSlope = true;
        }
        return;
    }
    mTargetCoeff = computeCoeffFromRegion(mCurrentRegion);
    double q = mTargetCoeff / mCoeff;
    if (q == 0) {
        mRampStep = 0;
        mRampCount = 0;
        return;
    }
    if (q < 1) q = 1 / q;
    double t = (q - std::pow(10.0, 0.05)) / (std::pow(10.0, 0.25) - std::pow(10.0, 0.05));
    t = std::isfinite(t) ? std::max(0.0, std::min(1.0, t)) : 1.0;
    const double T = 1.0 + t * (mMaxRampTime - 1.0);
    const int32_t count = SoundTools::framesOf(T, mSampleRate);
    // A ramp time of zero or less (a non-positive maximum ramp time) switches
    // the gain at once.
    if (count < 1) {
        mCoeff = mTargetCoeff;
        mRampStep = 0;
        mRampCount = 0;
        return;
    }
    mRampCount = count;
    mRampStep = (mTargetCoeff - mCoeff) / mRampCount;
    if (mRampStep == 0) mRampCount = 0;
}

void SoundAlgoRMSAmplifier::setCoeff(int32_t s) {
    if (mDetector && !mFollowingSlope && mCurrentRegion.SampleNb > 0 &&
        int64_t(mCurrentRegion.BeginSample) + mCurrentRegion.SampleNb - 1 < s && mNextRegion < mDetector->size()) {
        mCurrentRegion = mDetector->getRegion(mNextRegion++);
        setMaxLevel();
        if (mCurrentRegion.IsNoise) {
            // Noise is left at unity gain from its first sample on, wherever the
            // block boundaries fall. Holding the gain the last ramp reached until
            // the next block would amplify up to a block of the noise, more or
            // less of it depending on the block size, and start the next
            // region's ramp from that gain rather than from unity.
            mCoeff = mTargetCoeff = 1.0;
            mRampCount = 0;
        } else {
            recomputeCoeffFromRegion(s);
        }
        if (isDebug()) {
            mDetector->outputRegion(mCurrentRegion);
            std::ostream& os = getOStream();
            const std::ios::fmtflags flags = os.flags();
            const std::streamsize precision = os.precision();
            os << std::fixed << std::setprecision(2) << "[Thread " << threadNumber() << "] "
               << SoundTools::timeText(s, mSampleRate) << " : Amplification set to " << SoundTools::dbOfGain(mBalance0 * mTargetCoeff)
               << " " << SoundTools::dbOfGain(mBalance1 * mTargetCoeff) << std::endl;
            os.flags(flags);
            os.precision(precision);
        }
        return;
    }
    if (mRampCount != 0) {
        --mRampCount;
        mCoeff += mRampStep;
        if (mRampCount == 0) {
            mCoeff = mTargetCoeff;  // land exactly, without the rounding of the steps
            mFollowingSlope = false;
        }
    }
}

// ================================================================ processing

SoundTools::Status SoundAlgoRMSAmplifier::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    // Under the level lock: a player thread may be asking for levels meanwhile.
    SoundTools::WriteLocker locker(mLevelLock);
    mSampleRate = ctx.sampleRate;
    resetUnlocked();
    return SoundAlgo::initProcess(ctx, prev, next);
}

SoundTools::Status SoundAlgoRMSAmplifier::process() {
    SoundTools::WriteLocker locker(mLevelLock);
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const int32_t s0 = getInOrigin();
    const Frame* in = mInBuffers[0]->getStereoFrame(s0);
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    initCoeffFromRegionManager(s0);
    const double b0 = mBalance0, b1 = mBalance1;
    for (unsigned i = 0; i < n;) {
        // Between region changes and outside ramps the gain is constant: run
        // those stretches without the per-sample bookkeeping.
        const int32_t s = s0 + int32_t(i);
        setCoeff(s);
        const double c = mCoeff;
        out[i].l = b0 * in[i].l * c;
        out[i].r = b1 * in[i].r * c;
        ++i;
        if (mRampCount != 0) continue;
        int64_t steady = int64_t(n) - i;
        if (mDetector && mCurrentRegion.SampleNb > 0 && !mFollowingSlope && mNextRegion < mDetector->size())
            steady = std::min<int64_t>(steady, int64_t(mCurrentRegion.BeginSample) + mCurrentRegion.SampleNb - 1 -
                                                   (int64_t(s0) + i) + 1);
        for (int64_t k = 0; k < steady; ++k, ++i) {
            out[i].l = b0 * in[i].l * c;
            out[i].r = b1 * in[i].r * c;
        }
    }
    return SoundTools::Ok;
}
