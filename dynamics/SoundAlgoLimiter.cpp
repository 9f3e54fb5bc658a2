#include "tonewright/SoundAlgoLimiter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <limits>
#include <ostream>

#include "core/SoundSimd.h"
#include "tonewright/SoundUnits.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundSndfile.h"

using Frame = SoundTools::StereoFrame<double>;

namespace {
// Non-finite samples count as silence: one bad sample must not turn the gain,
// and with it every following block, into NaN.
inline double orSilence(double x) { return std::isfinite(x) ? x : 0.0; }
inline double peakOf(const Frame& f) { return std::max(std::fabs(orSilence(f.l)), std::fabs(orSilence(f.r))); }

// Whether any of the n samples x, non-finite ones as 0, has |x * g| > limit.
// Eight samples side by side, lane for lane the scalar arithmetic: the sign
// bit cleared for |.|, a lane that is not finite (its magnitude not at most
// the largest double) cleared to +0.
TW_KERNEL bool anyOver(const double* x, size_t n, double g, double limit) {
    size_t i = 0;
    bool over = false;
#if defined(__GNUC__)
    typedef double V __attribute__((vector_size(64)));
    typedef int64_t Bits __attribute__((vector_size(64)));
    constexpr size_t W = sizeof(V) / sizeof(double);
    const Bits magnitude = ~(Bits)(-0.0 - V{});
    const V largest = std::numeric_limits<double>::max() - V{}, gain = g - V{}, bound = limit - V{};
    Bits lanes = Bits{};
    for (; i + W <= n; i += W) {
        V v;
        std::memcpy(&v, x + i, sizeof v);
        const Bits finite = (V)((Bits)v & magnitude) <= largest;  // all ones where finite
        const V sample = (V)((Bits)v & finite);
        lanes |= (V)((Bits)(sample * gain) & magnitude) > bound;
    }
    for (size_t k = 0; k < W; ++k) over |= lanes[k] != 0;
#endif
    for (; i < n; ++i) over |= std::fabs((__builtin_isfinite(x[i]) ? x[i] : 0.0) * g) > limit;
    return over;
}
// y = x * g, non-finite samples as 0.
TW_KERNEL void scaleFinite(const double* x, double* y, size_t n, double g) {
    for (size_t i = 0; i < n; ++i) y[i] = (__builtin_isfinite(x[i]) ? x[i] : 0.0) * g;
}

}  // namespace

constexpr double SoundAlgoLimiter::kCeiling;
constexpr double SoundAlgoLimiter::kClipTrigger;
constexpr double SoundAlgoSimpleLimiter::kCeiling;

// ================================================================ look-ahead limiter

SoundAlgoLimiter::SoundAlgoLimiter(double levelDb, double lookAheadTime, double releaseTime, const char* debugFile)
    : mLookAheadTime(lookAheadTime),
      mReleaseTime(releaseTime),
      mLevel(SoundTools::gainOfDb(levelDb)),
      mGain(mLevel),
      mDebugFileName(debugFile ? QString::fromLocal8Bit(debugFile) : QString()) {}

SoundAlgoLimiter::~SoundAlgoLimiter() = default;

void SoundAlgoLimiter::SetSlopeMax(double value) {
    SoundTools::WriteLocker locker(mLock);
    mSlopeMax = SoundTools::gainOfDb(value);
    mSlopePerSample = mSampleRate ? mSlopeMax / mSampleRate : 0.0;
}

int32_t SoundAlgoLimiter::lookAheadFrames(unsigned sr) const { return SoundTools::framesOf(mLookAheadTime, sr); }

// A release needs at least one sample to divide its distance by.
int32_t SoundAlgoLimiter::releaseFrames(unsigned sr) const { return std::max(1, SoundTools::framesOf(mReleaseTime, sr)); }

unsigned SoundAlgoLimiter::getInOverlap(unsigned sr) const {
    return unsigned(lookAheadFrames(sr)) + unsigned(releaseFrames(sr));
}

void SoundAlgoLimiter::setLevel(double levelDb) {
    SoundTools::WriteLocker locker(mLock);
    mLevel = mGain = SoundTools::gainOfDb(levelDb);
}

void SoundAlgoLimiter::reset() {
    SoundTools::WriteLocker locker(mLock);
    resetUnlocked();
}

void SoundAlgoLimiter::resetUnlocked() {
    mGain = mLevel;
    mReleaseStep = 0;
    mReleaseCount = 0;
    mAttackStep = 0;
    mAttackCount = 0;
    mAttackEnd = 0;
    mPositiveAttacks = mClippings = 0;
}

double SoundAlgoLimiter::getLevel(double) {
    SoundTools::ReadLocker locker(mLock);
    return SoundTools::dbOfGain(mLevel);
}

double SoundAlgoLimiter::GetForwardCoeff() const {
    const int32_t A = mLookAhead;
    if (mAttackCount != 0) {
        const double e = mGain + mAttackCount * mAttackStep;
        if (mAttackCount >= A) return e;
        return e + (A - mAttackCount) * std::min(mSlopePerSample, (mLevel - e) / mReleaseLength);
    }
    if (mReleaseCount != 0 && mReleaseCount >= A) return mGain + A * mReleaseStep;
    return mLevel;
}

void SoundAlgoLimiter::planRelease(double from) {
    const double distance = mLevel - from;
    mReleaseStep = std::min(distance / mReleaseLength, mSlopePerSample);
    if (mReleaseStep <= 0) {
        mReleaseCount = 1;
    } else {
        const double count = distance / mReleaseStep;
        mReleaseCount = count < 2147483647.0 ? int32_t(count) : INT32_MAX;
    }
}

SoundTools::Status SoundAlgoLimiter::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    // Under the lock, base included: a player thread may change the level meanwhile.
    SoundTools::WriteLocker locker(mLock);
    {
        mSampleRate = ctx.sampleRate;
        mLookAhead = lookAheadFrames(ctx.sampleRate);
        mReleaseLength = releaseFrames(ctx.sampleRate);
        mSlopePerSample = ctx.sampleRate ? mSlopeMax / ctx.sampleRate : 0.0;
        mDebugBuffer.reset();
        resetUnlocked();
        if (!mDebugFileName.isEmpty()) {
            mDebugWriter =
                std::make_unique<SoundWriterSndfile>(ctx.sampleRate, 1, SoundTools::Float, SoundWriterSndfile::Wav);
            if (mDebugWriter->open(mDebugFileName) != SoundTools::Ok) mDebugWriter.reset();
            mDebugFileName.clear();
        }
        if (mDebugWriter) {
            mDebugBuffer = SoundBuffer::createNew(ctx.sampleRate);
            mDebugBuffer->alloc(std::max(ctx.bufferSize, 1u), 1);
        }
    }
    return SoundAlgo::initProcess(ctx, prev, next);
}

void SoundAlgoLimiter::endProcess(int status, unsigned frameNbProcessed) {
    if (mDebugWriter) {
        mDebugWriter->close();
        mDebugWriter.reset();
    }
    mDebugBuffer.reset();
    if (isDebug() && status == 0) {
        std::ostream& os = getOStream();
        const std::ios::fmtflags flags = os.flags();
        const std::streamsize precision = os.precision();
        os << std::fixed << std::setprecision(2);
        if (mPositiveAttacks) os << "SoundAlgoAmplify : " << mPositiveAttacks << " positives attacks" << std::endl;
        if (mClippings) os << "SoundAlgoAmplify : " << mClippings << " clippings filtered" << std::endl;
        os.flags(flags);
        os.precision(precision);
    }
    SoundAlgo::endProcess(status, frameNbProcessed);
}

SoundTools::Status SoundAlgoLimiter::process() {
    SoundTools::WriteLocker locker(mLock);
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const int32_t s0 = getInOrigin();
    const unsigned inFrames = getInFrameNb();
    const Frame* in = mInBuffers[0]->getStereoFrame(s0);
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    double* trace = nullptr;
    if (mDebugBuffer) {
        mDebugBuffer->setFrameNB(n);
        mDebugBuffer->setOrigin(s0);
        trace = mDebugBuffer->data();
    }
    double g = mGain;
    for (unsigned i = 0; i < n; ++i) {
        // Nothing held or released: runs of frames that neither pass the clip
        // trigger nor see a peak ahead that needs an attack leave the state
        // as it is, and the loop below would only scale them by g.
        if (!trace && mAttackCount == 0 && mReleaseCount == 0) {
            i = idleRun(in, out, i, n, inFrames, g);
            if (i == n) break;
        }
        const int64_t s = int64_t(s0) + i;
        out[i] = Frame(orSilence(in[i].l) * g, orSilence(in[i].r) * g);
        const double p = std::max(std::fabs(out[i].l), std::fabs(out[i].r));
        if (p > kClipTrigger) g = repairClip(out, i, p, g);
        if (mLookAhead > 0 && mAttackEnd < s + mLookAhead && i + unsigned(mLookAhead) < inFrames)
            planAttack(in, i, inFrames, s, g);
        g = nextGain(g);
        mGain = g;
        if (trace) trace[i] = mLevel > 0 ? (g - mLevel) / mLevel : 0.0;
    }
    if (mDebugWriter && mDebugBuffer) {
        mDebugBuffer->setStartOffset(s0);
        mDebugWriter->writeBuffer(mDebugBuffer, 0);
    }
    return SoundTools::Ok;
}

// Frames from i on that the full loop would only scale by g, scaled: the
// first frame it would treat otherwise (or n). Whether a frame is such depends
// on that frame alone while nothing is held, so runs are checked whole, side
// by side, and a run that holds such a frame is then searched for it.
unsigned SoundAlgoLimiter::idleRun(const Frame* in, Frame* out, unsigned i, unsigned n, unsigned inFrames,
                                   double g) const {
    static_assert(sizeof(Frame) == 2 * sizeof(double), "frames are interleaved doubles");
    constexpr unsigned kRun = 64;
    const unsigned A = unsigned(std::max(0, mLookAhead));
    const double level = mLevel;
    // The frames of [k, k + m) whose peak ahead the loop would look at.
    const auto ahead = [&](unsigned k, unsigned m) {
        return A > 0 && k + A < inFrames ? std::min(m, inFrames - (k + A)) : 0u;
    };
    // The magnitude of the scaled frame against the clip trigger, the peak
    // ahead (scaled by the level, as the attack's check takes it) against the
    // ceiling: max(level * a, level * b) is level * max(a, b).
    while (i < n) {
        const unsigned m = std::min(kRun, n - i), seen = ahead(i, m);
        unsigned end = i + m;
        if (anyOver(&in[i].l, 2 * size_t(m), g, kClipTrigger) ||
            (seen > 0 && anyOver(&in[i + A].l, 2 * size_t(seen), level, kCeiling))) {
            end = i;
            while (!anyOver(&in[end].l, 2, g, kClipTrigger) &&
                   !(ahead(end, 1) > 0 && anyOver(&in[end + A].l, 2, level, kCeiling)))
                ++end;
        }
        scaleFinite(&in[i].l, &out[i].l, 2 * size_t(end - i), g);
        if (end < i + m) return end;
        i = end;
    }
    return i;
}

double SoundAlgoLimiter::repairClip(Frame* out, unsigned i, double peak, double g) {
    const double c = kCeiling / peak;
    const unsigned A = unsigned(mLookAhead);
    const unsigned j0 = i > A ? i - A : 0u;
    g *= c;
    // Fade the outputs j0..i of this block from 1 down to c. A sample that
    // starts the block (or a look-ahead of zero) has nothing to fade from:
    // it takes the factor c alone, so that it too lands on the ceiling.
    if (j0 < i) {
        const double span = double(i - j0);
        for (unsigned j = j0; j <= i; ++j) {
            const double f = 1.0 + double(j - j0) * (1.0 - c) / -span;
            out[j].l *= f;
            out[j].r *= f;
        }
    } else {
        out[i].l *= c;
        out[i].r *= c;
    }
    mGain = g;
    planRelease(g);
    ++mClippings;
    mAttackCount = 0;
    return g;
}

void SoundAlgoLimiter::planAttack(const Frame* in, unsigned i, unsigned inFrames, int64_t s, double g) {
    const int32_t A = mLookAhead;
    const double q = peakOf(in[i + unsigned(A)]);
    mGain = g;
    const double f = GetForwardCoeff();
    if (!(f * q > kCeiling)) return;
    // Look past the look-ahead for a later peak that needs a steeper
    // descent, as far as the release length: every block carries that
    // much, so the plan does not depend on where the block ends.
    int64_t k = A;
    double qk = q;
    const unsigned scanEnd = std::min(inFrames, i + unsigned(A) + unsigned(mReleaseLength) + 1);
    for (unsigned j = i + unsigned(A) + 1; j < scanEnd; ++j) {
        const double next = peakOf(in[j]);
        if (next / double(k + 1) < qk / double(k)) break;
        ++k;
        qk = next;
    }
    const double d = (kCeiling / qk - g) / double(k);
    if (mAttackCount == 0 || d < mAttackStep || mAttackEnd < s) {
        mAttackStep = d;
        mAttackEnd = s + k;
    }
    mAttackCount = int32_t(k);
    if (d > 0) ++mPositiveAttacks;
}

double SoundAlgoLimiter::nextGain(double g) {
    if (mAttackCount == 0) {
        if (mReleaseCount != 0) {
            --mReleaseCount;
            g += mReleaseStep;
            if (g > mLevel) {
                g = mLevel;
                mReleaseCount = 0;
            }
        }
        return g;
    }
    g += mAttackStep;
    --mAttackCount;
    if (g > mLevel) {
        g = mLevel;
        mAttackCount = 0;
        planRelease(g);
    } else if (mAttackCount == 0) {
        planRelease(g);
    }
    return g;
}

// ================================================================ simple limiter

SoundAlgoSimpleLimiter::SoundAlgoSimpleLimiter(double lookAheadTime) : mLookAheadTime(lookAheadTime) {}

unsigned SoundAlgoSimpleLimiter::getInOverlap(unsigned sr) const { return unsigned(SoundTools::framesOf(mLookAheadTime, sr)); }

SoundTools::Status SoundAlgoSimpleLimiter::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    mLookAhead = SoundTools::framesOf(mLookAheadTime, ctx.sampleRate);
    mGain = mTargetGain = 1.0;
    mStep = 0;
    mCount = 0;
    return SoundAlgo::initProcess(ctx, prev, next);
}

SoundTools::Status SoundAlgoSimpleLimiter::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const int32_t s0 = getInOrigin();
    const unsigned inFrames = getInFrameNb();
    const Frame* in = mInBuffers[0]->getStereoFrame(s0);
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    const unsigned L = unsigned(mLookAhead);
    for (unsigned i = 0; i < n; ++i) {
        const double p = i + L < inFrames ? peakOf(in[i + L]) : 0.0;
        if (p * mTargetGain > 1.0) {
            mTargetGain = kCeiling / p;
            int32_t steps = mCount;
            if (steps == 0) steps = mCount = mLookAhead;
            // Without look-ahead the new gain applies at once.
            if (steps < 1) steps = 1;
            mStep = (mTargetGain - mGain) / steps;
            mGain += mStep;
        }
        Frame o(orSilence(in[i].l) * mGain, orSilence(in[i].r) * mGain);
        const double peak = std::max(std::fabs(o.l), std::fabs(o.r));
        if (peak > 1.0) {
            mGain = mTargetGain = kCeiling / peakOf(in[i]);
            o = Frame(orSilence(in[i].l) * mGain, orSilence(in[i].r) * mGain);
            mCount = 0;
        } else if (mCount != 0) {
            --mCount;
            mGain += mStep;
        }
        out[i] = o;
    }
    return SoundTools::Ok;
}
