#include "tonewright/RMSStepDetector.h"

#include <QJsonArray>
#include <algorithm>
#include <climits>
#include <cmath>
#include <iomanip>
#include <ostream>

#include "tonewright/SoundUnits.h"
#include "tonewright/SoundReader.h"

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

// Square of a sample; a sample that is not a number counts as silence, so that
// it cannot make the level of the region being accumulated NaN for good.
inline double sq(double x) { return std::isfinite(x) ? x * x : 0.0; }

// sq() of a frame's two samples side by side (x - x is 0 for a finite x only).
typedef double Pair __attribute__((vector_size(16)));
inline Pair squares(const SoundTools::StereoFrame<double>& f) {
    const Pair x = {f.l, f.r}, zero = {0.0, 0.0};
    return x - x == zero ? x * x : zero;
}

// Ratio between two levels as the step rules see it.
double levelRatio(double x, double y) {
    if (x == y) return 1.0;
    if (x == 0.0 || y == 0.0) return 1e5;
    return std::max(x, y) / std::min(x, y);
}

// Weighted (by MeanSmpl) combination of b into a: levels and weight only.
void absorbLevels(RMSStepDetector::Region& a, const RMSStepDetector::Region& b) {
    const double wa = a.MeanSmpl, wb = b.MeanSmpl;
    const double w = wa + wb;
    if (w > 0) {
        a.RMSSqrValue0 = (a.RMSSqrValue0 * wa + b.RMSSqrValue0 * wb) / w;
        a.RMSSqrValue1 = (a.RMSSqrValue1 * wa + b.RMSSqrValue1 * wb) / w;
    }
    a.MeanSmpl += b.MeanSmpl;
}

int32_t clampToInt32(int64_t v) {
    return int32_t(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, v)));
}

// A JSON number as an int32 sample count: truncated, clamped, NaN read as 0.
int32_t jsonInt32(double v) {
    if (!(v == v)) return 0;
    return int32_t(std::max(double(INT32_MIN), std::min(double(INT32_MAX), std::trunc(v))));
}

// Registers the JSON builder when the library loads.
class RMSStepDetectorJSonBuilder : public SoundAlgo::SoundAlgoJSonBuilder {
public:
    RMSStepDetectorJSonBuilder() { SoundAlgo::declareBuilder(this); }
    SoundAlgo* build(QJsonObject& object) override { return RMSStepDetector::createFromJSon(object); }
    QString getClassName() override { return QStringLiteral("RMSStepDetector"); }
};
RMSStepDetectorJSonBuilder gRMSStepDetectorBuilder;

}  // namespace

// ================================================================ construction

RMSStepDetector::RMSStepDetector() : RMSStepDetector(-40.0, 0.2, 1.0, RegionRMS, false) {}

RMSStepDetector::RMSStepDetector(double noiseThresholdDb, double rmsTime, double minSlopeTime, OutputMode mode,
                                 bool realTimeMode)
    : mStepRatio(std::pow(10.0, 0.1)),
      mNoiseLevel(SoundTools::gainOfDb(noiseThresholdDb)),
      mRmsTime(rmsTime),
      mOutputMode(mode),
      mRealTimeMode(realTimeMode),
      mSlope(minSlopeTime) {
    mRegions.reserve(200);
    mStepRules = {{10.0, std::pow(10.0, 0.1), 0}, {5.0, std::pow(10.0, 0.2), 0}, {2.0, std::pow(10.0, 0.5), 0}};
    updateRuleSamples();
}

RMSStepDetector::~RMSStepDetector() = default;

int32_t RMSStepDetector::ruleSamples(double seconds) const {
    // A detector that has not run (built by hand or from JSON without a rate)
    // counts durations at 44.1 kHz.
    const unsigned rate = mSampleRate ? mSampleRate : 44100;
    return SoundTools::framesOf(seconds, rate);
}

void RMSStepDetector::updateRuleSamples() {
    for (StepRule& rule : mStepRules) rule.minSamples = ruleSamples(rule.minTime);
}

unsigned RMSStepDetector::getInOverlap(unsigned sr) const {
    // A window shorter than one sample would divide by zero: one sample is the least.
    return unsigned(std::max(1, SoundTools::framesOf(mRmsTime, sr)));
}

double RMSStepDetector::getNoiseThreshold() const { return mNoiseLevel <= 1e-20 ? -100.0 : SoundTools::dbOfGain(mNoiseLevel); }

// ================================================================ lifecycle

void RMSStepDetector::reset() {
    Held locked(mLock);
    mWindowLength = int32_t(getInOverlap(mSampleRate));
    mRegionSum0 = mRegionSum1 = 0;
    mRegionCount = 0;
    mRegionBegin = 0;
    mLastAnalysed = -1;
    mCurrentMax = 0;
    mFadeOutStart = 0;
    mRegions.clear();
    mSlope.reset();
    mNextTick = -1;
    mSumNext = -1;
    mSum0 = mSum1 = 0;
    mTick0 = mTick1 = 0;
    mLeading = true;
    mProvisional = false;
}

SoundTools::Status RMSStepDetector::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    mSampleRate = ctx.sampleRate;
    reset();
    {
        Held locked(mLock);
        mSlope.init(ctx.sampleRate);
    }
    mStreamStart = ctx.startOffset;
    mFramesToProcess = ctx.frameNbToProcess;
    const int64_t end = int64_t(ctx.startOffset) + ctx.frameNbToProcess;
    mFadeOutStart = clampToInt32(end - SoundTools::framesOf(10.0, ctx.sampleRate));
    // Samples past the stream's end are the zero frames fed to flush the window,
    // not sound: they are not analysed. An unknown length analyses everything.
    mStreamEnd = ctx.frameNbToProcess > 0 ? end : int64_t(INT32_MAX);
    updateRuleSamples();
    return SoundAlgo::initProcess(ctx, prev, next);
}

void RMSStepDetector::endProcess(int status, unsigned frameNbProcessed) {
    dropProvisional();
    // The loop counts the zero frames it feeds at the end to flush the window; the
    // end marker belongs at the end of the stream itself.
    unsigned frames = frameNbProcessed;
    if (mFramesToProcess > 0) frames = std::min(frames, mFramesToProcess);
    const int32_t endPosition = clampToInt32(int64_t(mStreamStart) + frames);
    if (mRegionCount > 1) pushRegion();
    mRegionBegin = endPosition;
    mRegionSum0 = mRegionSum1 = 0;
    mRegionCount = 1;
    mFadeOutStart = 0;
    flush(true);
    {
        Held locked(mLock);
        mBackup = mRegions;
    }
    SoundAlgo::endProcess(status, frameNbProcessed);
}

// ================================================================ analysis

SoundTools::Status RMSStepDetector::process() {
    dropProvisional();
    const int32_t s0 = getInOrigin();
    const unsigned n = getOutFrameNb();
    const unsigned inFrames = getInFrameNb();
    const Frame* in = mInBuffers[0]->getStereoFrame(s0);
    Frame* out = n > 0 ? mOutBuffers[0]->getStereoFrame(getOutOrigin()) : nullptr;
    const unsigned N = unsigned(mWindowLength);
    for (unsigned i = 0; i < n; ++i) {
        // Between ticks, within a region, nothing but the sums changes: such
        // frames go through a loop of their own, the state in locals.
        if (mOutputMode == NoOutput && !mLeading && mRegionCount > 0 && mNextTick >= 0 &&
            int64_t(s0) + i > mLastAnalysed && int64_t(s0) + i == mSumNext) {
            i = steadyRun(in, s0, i, n, inFrames);
            if (i == n) break;
        }
        const int64_t s = int64_t(s0) + i;
        if (s > mLastAnalysed && s >= 0 && s < mStreamEnd && i + N <= inFrames) analyse(in, int32_t(s), i);
        switch (mOutputMode) {
            case RegionRMS:
                if (mRegionCount < 1)
                    out[i] = Frame(0.0, 0.0);
                else
                    out[i] = Frame(std::sqrt(mRegionSum0 / mRegionCount), std::sqrt(mRegionSum1 / mRegionCount));
                break;
            case WindowMeanSquare: out[i] = Frame(mTick0, mTick1); break;
            case PassThrough: out[i] = in[i]; break;
            case NoOutput: break;
        }
    }
    if (mRealTimeMode) flush(false);
    return SoundTools::Ok;
}

// Frames i, i + 1, ... as analyse() takes a frame that is not a tick, not in
// leading silence, with the sums carried from the frame before and no step to
// a new region; the first frame that is otherwise (or n) is returned, the
// state as analyse() would have left it before that frame.
unsigned RMSStepDetector::steadyRun(const Frame* in, int32_t s0, unsigned i, unsigned n, unsigned inFrames) {
    const unsigned N = unsigned(mWindowLength);
    const double ratio = mStepRatio;
    const int64_t tick = mNextTick, end = mStreamEnd;
    // Divisions are the cost of this loop. The two channels go side by side,
    // each lane the operations analyse() does on its channel, so one division
    // instruction gives both window means; and max(r0 / count, r1 / count) is
    // max(r0, r1) / count to the bit (a correctly rounded division by the same
    // positive number keeps the order), so the region's mean takes one more.
    const Pair zero = {0.0, 0.0}, window = {double(N), double(N)};
    Pair sum = {mSum0, mSum1}, region = {mRegionSum0, mRegionSum1};
    int32_t count = mRegionCount;
    const unsigned first = i;
    for (; i < n; ++i) {
        const int64_t s = int64_t(s0) + i;
        if (s == tick || s < 0 || s >= end || i + N > inFrames) break;
        const Pair t = sum + squares(in[i + N - 1]);
        const Pair m = (zero < t ? t : zero) / window;
        const double A = std::max(region[0], region[1]) / count, c = std::max(m[0], m[1]);
        if (c > A * ratio || A > c * ratio) break;
        sum = t - squares(in[i]);
        region += m;
        ++count;
    }
    if (i > first) {
        mSum0 = sum[0];
        mSum1 = sum[1];
        mRegionSum0 = region[0];
        mRegionSum1 = region[1];
        mRegionCount = count;
        mLastAnalysed += int32_t(i - first);
        mSumNext = int64_t(s0) + i;
    }
    return i;
}

void RMSStepDetector::analyse(const Frame* in, int32_t s, unsigned i) {
    const unsigned N = unsigned(mWindowLength);
    if (mNextTick < 0) {
        mNextTick = s;
        mRegionBegin = s;
    }
    // The sums are rebuilt from scratch at every tick and carried across blocks
    // in between, so rounding never accumulates and never depends on where a
    // block starts.
    if (s == mNextTick || s != mSumNext) {
        double a = 0, b = 0;
        for (unsigned k = 0; k < N; ++k) {
            a += sq(in[i + k].l);
            b += sq(in[i + k].r);
        }
        mSum0 = a;
        mSum1 = b;
    } else {
        const Frame& f = in[i + N - 1];
        mSum0 += sq(f.l);
        mSum1 += sq(f.r);
    }
    const double m0 = std::max(0.0, mSum0) / N;
    const double m1 = std::max(0.0, mSum1) / N;
    if (s == mNextTick) {
        {
            Held locked(mLock);
            mSlope.feed(m0, m1, s);
        }
        mTick0 = m0;
        mTick1 = m1;
        mNextTick = int64_t(s) + N;
    }
    mSum0 -= sq(in[i].l);
    mSum1 -= sq(in[i].r);
    mSumNext = int64_t(s) + 1;

    // Leading digital silence belongs to no region, however many blocks it spans.
    if (mLeading) {
        if (m0 == 0.0 && m1 == 0.0) {
            mLastAnalysed = s;
            mRegionBegin = s + 1;
            return;
        }
        mLeading = false;
    }

    const double a0 = mRegionCount ? mRegionSum0 / mRegionCount : 0.0;
    const double a1 = mRegionCount ? mRegionSum1 / mRegionCount : 0.0;
    const double A = std::max(a0, a1);
    const double c = std::max(m0, m1);
    if (c > A * mStepRatio || A > c * mStepRatio) {
        const PushResult result = pushRegion();
        if (result == RegionAppended) {
            mRegionSum0 = m0;
            mRegionSum1 = m1;
            mRegionCount = 1;
            mRegionBegin = clampToInt32(int64_t(s) + N / 2);
            return;
        }
        if (result == MergedIntoPrevious) {
            mRegionSum0 = m0;
            mRegionSum1 = m1;
            mRegionCount = 1;
            mRegionBegin = s;
            mLastAnalysed = s;
            return;
        }
    }
    mRegionSum0 += m0;
    mRegionSum1 += m1;
    ++mRegionCount;
    ++mLastAnalysed;
}

bool RMSStepDetector::canChangeRegion(int32_t length, const Region& candidate, const Region& previous) const {
    const double r = levelRatio(candidate.level(), previous.level());
    for (const StepRule& rule : mStepRules) {
        if (rule.minRatio > r) return false;
        if (length >= rule.minSamples) return true;
    }
    return false;
}

RMSStepDetector::PushResult RMSStepDetector::pushRegion() {
    Held locked(mLock);
    return pushRegion(locked);
}

RMSStepDetector::PushResult RMSStepDetector::pushRegion(const Held&) {
    if (mRegionCount == 0) return NothingPushed;
    Region cand;
    cand.BeginSample = mRegionBegin;
    cand.SampleNb = cand.MeanSmpl = mRegionCount;
    cand.RMSSqrValue0 = mRegionSum0 / mRegionCount;
    cand.RMSSqrValue1 = mRegionSum1 / mRegionCount;
    if (mRegions.empty()) {
        mRegions.push_back(cand);
        mCurrentMax = std::max(mCurrentMax, cand.level());
        return RegionAppended;
    }
    {
        const Region& P = mRegions.back();
        if (mFadeOutStart != 0 && cand.BeginSample > mFadeOutStart &&
            (P.RMSSqrValue0 > cand.RMSSqrValue0 || P.RMSSqrValue1 > cand.RMSSqrValue1))
            return NothingPushed;
    }
    // A region shorter than the shortest step rule can never keep a boundary of
    // its own. Such short regions are the transitions the window blurs on each
    // side of a step. Merging a long stretch that follows into one of them would
    // smear the transition's level over the stretch: a few tenths of a second of
    // music fading out would lift three seconds of silence that follows it to
    // some 20 dB below the music, and the silence would never read as noise. So
    // when the candidate lasted longer than such a short region, the short
    // region goes to whichever neighbour it is closer to in level, and the
    // candidate is weighed again against what precedes it.
    const int32_t shortest = mStepRules.back().minSamples;
    for (;;) {
        Region& P = mRegions.back();
        const int32_t L = clampToInt32(int64_t(cand.BeginSample) - P.BeginSample);
        if (canChangeRegion(L, cand, P)) {
            P.SampleNb = L;
            mCurrentMax = std::max(mCurrentMax, cand.level());
            mRegions.push_back(cand);
            return RegionAppended;
        }
        if (L >= 0 && L < shortest && cand.SampleNb > L) {
            const bool hasBefore = mRegions.size() > 1;
            const double toCandidate = levelRatio(P.level(), cand.level());
            if (hasBefore && levelRatio(P.level(), mRegions[mRegions.size() - 2].level()) <= toCandidate) {
                Region& Q = mRegions[mRegions.size() - 2];
                absorbLevels(Q, P);
                Q.SampleNb = clampToInt32(int64_t(P.BeginSample) + P.SampleNb - Q.BeginSample);
                mCurrentMax = std::max(mCurrentMax, Q.level());
                mRegions.pop_back();
                continue;
            }
            const int64_t candEnd = int64_t(cand.BeginSample) + cand.SampleNb;
            absorbLevels(cand, P);
            cand.BeginSample = P.BeginSample;
            cand.SampleNb = clampToInt32(candEnd - cand.BeginSample);
            mRegions.pop_back();
            if (mRegions.empty()) {
                mRegions.push_back(cand);
                mCurrentMax = std::max(mCurrentMax, cand.level());
                return RegionAppended;
            }
            continue;
        }
        // Not long enough for the size of the step: the candidate joins P.
        absorbLevels(P, cand);
        P.SampleNb = clampToInt32(int64_t(P.SampleNb) + cand.SampleNb);
        mRegionBegin = mLastAnalysed;
        mRegionSum0 = mRegionSum1 = 0;
        mRegionCount = 0;
        mCurrentMax = std::max(mCurrentMax, P.level());
        return MergedIntoPrevious;
    }
}

void RMSStepDetector::dropProvisional() {
    if (!mProvisional) return;
    Held locked(mLock);
    if (!mRegions.empty()) mRegions.pop_back();
    mProvisional = false;
}

void RMSStepDetector::flush(bool final) {
    Held locked(mLock);
    if (final) {
        if (pushRegion(locked) == RegionAppended) {
            mRegionSum0 = mRegionSum1 = 0;
            mRegionCount = 0;
        }
    } else if (mRegionCount > 0) {
        // While playing, readers see the regions found so far followed by the
        // region being accumulated. It is withdrawn again before the next block,
        // so the analysis itself is the offline one and both modes end with the
        // same list.
        Region acc;
        // A step found less than half a window after a region opened restarts the
        // accumulation before that region's start; published, it would break
        // the order of the list (the analysis merges it anyway).
        acc.BeginSample = mRegions.empty() ? mRegionBegin : std::max(mRegionBegin, mRegions.back().BeginSample);
        acc.SampleNb = acc.MeanSmpl = mRegionCount;
        acc.RMSSqrValue0 = mRegionSum0 / mRegionCount;
        acc.RMSSqrValue1 = mRegionSum1 / mRegionCount;
        mRegions.push_back(acc);
        mProvisional = true;
    }
    if (isDebug()) printList(nullptr, mRegions);
    markNoise(locked, getNoiseThreshold(), 0, int(mRegions.size()));
}

// ================================================================ noise marking

void RMSStepDetector::applyNoise(double thresholdDb) {
    Held locked(mLock);
    markNoise(locked, thresholdDb, 0, int(mRegions.size()));
}

bool RMSStepDetector::applyNoise(double thresholdDb, int first, int end) {
    Held locked(mLock);
    return markNoise(locked, thresholdDb, first, end);
}

bool RMSStepDetector::markNoise(const Held&, double thresholdDb, int first, int end) {
    mNoiseLevel = SoundTools::gainOfDb(thresholdDb);
    double t = mNoiseLevel * mNoiseLevel;
    first = std::max(first, 0);
    end = std::min(end, int(mRegions.size()));
    if (first >= end) return false;
    if (!mRealTimeMode) {
        double loudestWeak = mRegions[size_t(first)].RMSSqrValue0;
        loudestWeak = std::min(loudestWeak, mRegions[size_t(first)].RMSSqrValue1);
        for (int i = first + 1; i < end; ++i) {
            const Region& r = mRegions[size_t(i)];
            loudestWeak = std::max(loudestWeak, std::min(r.RMSSqrValue0, r.RMSSqrValue1));
        }
        t *= loudestWeak;
    }
    bool changed = false;
    for (int i = first; i < end; ++i) {
        Region& r = mRegions[size_t(i)];
        const double m = r.level();
        if (m <= t && !r.IsNoise) {
            r.IsNoise = true;
            changed = true;
        } else if (m > t && r.IsNoise) {
            r.IsNoise = false;
            changed = true;
        }
    }
    if (changed && isDebug()) printList("Apply Noise", mRegions);
    return changed;
}

// ================================================================ queries

int RMSStepDetector::size(bool fromBackup) const {
    SoundTools::ReadLocker locked(mLock);
    return int(fromBackup && !mBackup.empty() ? mBackup.size() : mRegions.size());
}

RMSStepDetector::Region RMSStepDetector::getRegion(int index, bool fromBackup) const {
    SoundTools::ReadLocker locked(mLock);
    const std::vector<Region>& list = fromBackup && !mBackup.empty() ? mBackup : mRegions;
    // An index past the list (a caller racing a real-time list that shrank) gives
    // an empty region rather than reading out of bounds.
    if (index < 0 || size_t(index) >= list.size()) return Region();
    return list[size_t(index)];
}

std::vector<RMSStepDetector::Region> RMSStepDetector::getRegions(bool fromBackup) const {
    SoundTools::ReadLocker locked(mLock);
    return fromBackup && !mBackup.empty() ? mBackup : mRegions;
}

int RMSStepDetector::getSegmentsNumber() const {
    int runs = 0;
    bool inRun = false;
    for (const Region& r : mRegions) {
        if (!r.IsNoise && !inRun) ++runs;
        inRun = !r.IsNoise;
    }
    return runs;
}

unsigned RMSStepDetector::getFullLength() const {
    return mRegions.empty() ? 0u : unsigned(std::max(0, mRegions.back().BeginSample));
}

double RMSStepDetector::getCurrentMax() const { return std::sqrt(mCurrentMax); }

int RMSStepDetector::getSignalStart(double seconds) const {
    for (const Region& r : mRegions) {
        if (r.IsNoise) continue;
        const int64_t margin = SoundTools::framesOf(seconds, mSampleRate);
        return int(std::max<int64_t>(0, std::min<int64_t>(INT32_MAX, int64_t(r.BeginSample) - margin)));
    }
    return INT32_MAX;
}

int RMSStepDetector::getSignalEnd(double seconds) const {
    for (auto it = mRegions.rbegin(); it != mRegions.rend(); ++it) {
        if (it->IsNoise) continue;
        const int64_t margin = SoundTools::framesOf(seconds, mSampleRate);
        return clampToInt32(int64_t(it->BeginSample) + it->SampleNb - 1 + margin);
    }
    return 0;
}

int RMSStepDetector::_size(int first, int second) const {
    return mRegions[size_t(second)].BeginSample - mRegions[size_t(first)].BeginSample;
}

const SoundRMSSlopeDetector::Region* RMSStepDetector::getSlopeRegion(int sample, unsigned firstRegion,
                                                                     Region& endRegion) {
    // The lookup moves the slope detector's cursor: a write.
    Held locked(mLock);
    const SoundRMSSlopeDetector::Region* found = mSlope.find(sample);
    if (!found) return nullptr;
    const SoundRMSSlopeDetector::Region slope = *found;
    for (size_t i = firstRegion; i < mRegions.size(); ++i) {
        const Region& r = mRegions[i];
        const int64_t last = int64_t(r.BeginSample) + r.SampleNb - 1;
        if (r.BeginSample <= slope.begin && slope.begin <= last) continue;
        if (r.BeginSample > slope.end) return nullptr;
        if (last >= slope.end) {
            endRegion = r;
            return found;
        }
    }
    return nullptr;
}

void RMSStepDetector::restoreSlopes(std::vector<SoundRMSSlopeDetector::Region> slopes) {
    Held locked(mLock);
    mSlope.restore(std::move(slopes));
}

std::vector<SoundRMSSlopeDetector::Region> RMSStepDetector::getSlopes() const {
    SoundTools::ReadLocker locked(mLock);
    std::vector<SoundRMSSlopeDetector::Region> slopes = mSlope.getSlopes();
    if (mSlope.getState() == SoundRMSSlopeDetector::Rising || mSlope.getState() == SoundRMSSlopeDetector::Falling)
        if (mSlope.getLastSample() > mSlope.getAnchorSample())
            slopes.push_back({mSlope.getAnchorSample(), mSlope.getLastSample()});
    return slopes;
}

// ================================================================ list management

void RMSStepDetector::backup() {
    if (mRegionCount > 1) pushRegion();
    Held locked(mLock);
    mBackup = mRegions;
}

void RMSStepDetector::clearBackup() {
    Held locked(mLock);
    mBackup.clear();
}

void RMSStepDetector::resetRegions() {
    Held locked(mLock);
    mRegions = mBackup;
    mProvisional = false;
}

// ================================================================ debug output

void RMSStepDetector::outputRegion(const Region& region) const {
    std::ostream& os = getOStream();
    const unsigned rate = mSampleRate ? mSampleRate : 44100;
    const std::ios::fmtflags flags = os.flags();
    const std::streamsize precision = os.precision();
    os << std::fixed << std::setprecision(2) << "[Thread " << threadNumber() << "]" << " ";
    if (region.IsNoise) os << "[";
    os << SoundTools::timeText(region.BeginSample, rate) << " (" << SoundTools::timeText(region.SampleNb, rate)
       << ") : " << SoundTools::dbOfGain(std::sqrt(std::max(0.0, region.RMSSqrValue0))) << " "
       << SoundTools::dbOfGain(std::sqrt(std::max(0.0, region.RMSSqrValue1)));
    if (region.IsNoise) os << "]";
    os << std::endl;
    os.flags(flags);
    os.precision(precision);
}

void RMSStepDetector::printRegions(const char* title) const {
    SoundTools::ReadLocker locked(mLock);
    printList(title, mRegions);
}

void RMSStepDetector::printList(const char* title, const std::vector<Region>& list) const {
    std::ostream& os = getOStream();
    const std::ios::fmtflags flags = os.flags();
    const std::streamsize precision = os.precision();
    os << std::fixed << std::setprecision(2);
    if (title) os << title << " ";
    os << list.size() << " regions" << std::endl;
    os << "Noise level :" << getNoiseThreshold() << " dB" << std::endl;
    os.flags(flags);
    os.precision(precision);
    if (list.size() <= 200)
        for (const Region& r : list) outputRegion(r);
}

// ================================================================ JSON

RMSStepDetector* RMSStepDetector::createFromJSon(QJsonObject object) {
    const QJsonValue cls = object.value("Class");
    if (!cls.isString() || cls.toString() != QLatin1String("RMSStepDetector")) return nullptr;
    const QJsonValue threshold = object.value("NoiseThreshold"), rmsTime = object.value("RMSTime"),
                     slope = object.value("MinSlopeTime"), mode = object.value("OutputMode"),
                     realTime = object.value("RealTimeMode");
    if (!threshold.isDouble() || !rmsTime.isDouble() || !slope.isDouble() || !mode.isDouble() || !realTime.isBool())
        return nullptr;
    // Durations are checked at the rate the description was made at (at the
    // lowest rate a file may have when it gives none): past the longest
    // duration the window would be held as overlap with every block.
    const QJsonValue rate = object.value("SampleRate");
    const double r = rate.toDouble(0.0);
    const double at = r >= double(SoundReader::kMinSampleRate) && r <= double(SoundReader::kMaxSampleRate)
                          ? r
                          : double(SoundReader::kMinSampleRate);
    for (const auto& d : {std::make_pair("RMSTime", rmsTime.toDouble()), std::make_pair("MinSlopeTime", slope.toDouble())})
        if (!SoundTools::withinMaxDuration(d.second, at)) {
            setError(QString("\"%1\" of %2 s is %3 (%4 frames, %5 s at %6 Hz)")
                         .arg(d.first)
                         .arg(d.second)
                         .arg(d.second >= 0.0 ? "past the longest duration" : "not a duration within the longest")
                         .arg(SoundTools::kMaxDurationFrames)
                         .arg(double(SoundTools::kMaxDurationFrames) / at, 0, 'f', 1)
                         .arg(at),
                     "RMSStepDetector::createFromJSon");
            return nullptr;
        }
    const int modeValue = mode.toInt(-1);
    // An output mode outside the four known ones writes nothing rather than
    // reading an undefined enumerator.
    const OutputMode outputMode = modeValue >= RegionRMS && modeValue <= NoOutput ? OutputMode(modeValue) : NoOutput;
    auto detector = SoundRef<RMSStepDetector>::make(threshold.toDouble(), rmsTime.toDouble(), slope.toDouble(),
                                                    outputMode, realTime.toBool());
    detector->readFromJSon(object);
    return detector.release();
}

void RMSStepDetector::writeToJSon(QJsonObject& object) const {
    SoundTools::ReadLocker locked(mLock);
    object.insert("Class", QStringLiteral("RMSStepDetector"));
    object.insert("NoiseThreshold", getNoiseThreshold());
    object.insert("RMSTime", mRmsTime);
    object.insert("MinSlopeTime", mSlope.getMinSlopeTime());
    object.insert("OutputMode", int(mOutputMode));
    object.insert("RealTimeMode", mRealTimeMode);
    object.insert("SampleRate", int(mSampleRate));
    if (!mRegions.empty()) {
        QJsonArray regions;
        for (const Region& r : mRegions) {
            QJsonObject o;
            o.insert("BeginSample", r.BeginSample);
            o.insert("SampleNb", r.SampleNb);
            o.insert("RMSSqrValue0", r.RMSSqrValue0);
            o.insert("RMSSqrValue1", r.RMSSqrValue1);
            o.insert("MeanSmpl", r.MeanSmpl);
            o.insert("IsNoise", r.IsNoise);
            regions.append(o);
        }
        object.insert("Regions", regions);
    }
}

bool RMSStepDetector::readFromJSon(QJsonObject& object) {
    SoundAlgo::readFromJSon(object);
    const QJsonValue rate = object.value("SampleRate");
    const QJsonValue regions = object.value("Regions");
    if (!rate.isDouble() || !regions.isArray()) return false;
    const double r = rate.toDouble();
    mSampleRate = r >= 0 && r <= 4.0e9 ? unsigned(r) : 0u;
    updateRuleSamples();
    bool ok = true;
    std::vector<Region> loaded;
    for (const QJsonValue& v : regions.toArray()) {
        if (!v.isObject()) {
            ok = false;
            continue;
        }
        const QJsonObject o = v.toObject();
        const QJsonValue b = o.value("BeginSample"), n = o.value("SampleNb"), v0 = o.value("RMSSqrValue0"),
                         v1 = o.value("RMSSqrValue1"), w = o.value("MeanSmpl"), noise = o.value("IsNoise");
        if (!b.isDouble() || !n.isDouble() || !v0.isDouble() || !v1.isDouble() || !w.isDouble() || !noise.isBool()) {
            ok = false;
            continue;
        }
        Region region;
        region.BeginSample = jsonInt32(b.toDouble());
        region.SampleNb = jsonInt32(n.toDouble());
        region.RMSSqrValue0 = v0.toDouble();
        region.RMSSqrValue1 = v1.toDouble();
        region.MeanSmpl = jsonInt32(w.toDouble());
        region.IsNoise = noise.toBool();
        loaded.push_back(region);
    }
    {
        Held locked(mLock);
        mRegions.insert(mRegions.end(), loaded.begin(), loaded.end());
        for (const Region& region : loaded) mCurrentMax = std::max(mCurrentMax, region.level());
        mBackup = mRegions;
    }
    if (isDebug()) printRegions("JSON Loaded");
    return ok;
}
