#include "jobs/LevelMeter.h"

#include "tonewright/SoundUnits.h"

#include <algorithm>
#include <cmath>

namespace tonewright {
namespace detail {

namespace {
// The meters tell silence apart: -inf dB.
double db(double linear) { return SoundTools::dbOfGain(linear, -INFINITY); }
double dbPower(double meanSquare) { return SoundTools::dbOfPower(meanSquare, -INFINITY); }
}  // namespace

LevelMeter::LevelMeter(double envelopeStep) : mEnvelopeStep(envelopeStep > 0 ? envelopeStep : 0.0) {}

void LevelMeter::setStretches(std::vector<std::pair<int64_t, int64_t>> stretches) {
    std::sort(stretches.begin(), stretches.end());
    mStretches = std::move(stretches);
    mStretchSum0.assign(mStretches.size(), 0.0);
    mStretchSum1.assign(mStretches.size(), 0.0);
    mStretchCount.assign(mStretches.size(), 0);
    mCursor = 0;
}

SoundTools::Status LevelMeter::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    reset(ctx.startOffset,
          ctx.frameNbToProcess > 0 ? int64_t(ctx.startOffset) + int64_t(ctx.frameNbToProcess) : INT64_MAX,
          ctx.sampleRate);
    return SoundAlgo::initProcess(ctx, prev, next);
}

void LevelMeter::start(unsigned sampleRate) { reset(INT64_MIN, INT64_MAX, sampleRate); }

void LevelMeter::reset(int64_t begin, int64_t end, unsigned sampleRate) {
    mBegin = begin;
    mEnd = end;
    mEnvelopeFrames = mEnvelopeStep > 0 ? std::max<int64_t>(1, int64_t(std::llround(mEnvelopeStep * sampleRate))) : 0;
    mPeak[0] = mPeak[1] = mSum[0] = mSum[1] = 0;
    mWindow[0] = mWindow[1] = 0;
    mWindowCount = 0;
    mFrames = 0;
    mEnvelope.clear();
    mStretchSum0.assign(mStretches.size(), 0.0);
    mStretchSum1.assign(mStretches.size(), 0.0);
    mStretchCount.assign(mStretches.size(), 0);
    mCursor = 0;
}

void LevelMeter::closeEnvelopeWindow() {
    if (mWindowCount == 0) return;
    const double m = std::max(mWindow[0], mWindow[1]) / double(mWindowCount);
    mEnvelope.push_back(dbPower(m));
    mWindow[0] = mWindow[1] = 0;
    mWindowCount = 0;
}

namespace {

struct Sums {
    double sum0 = 0, sum1 = 0, peak0 = 0, peak1 = 0;
};

// Squares and peaks of n interleaved stereo frames. The plain loop has no
// branch, so the compiler can keep it in vector registers; a non-finite sample
// (which would poison the sums) sends the stretch through the careful loop,
// where it counts as silence.
Sums sumsOf(const double* f, size_t n) {
    Sums s;
    for (size_t i = 0; i < n; ++i) {
        const double l = f[2 * i], r = f[2 * i + 1];
        s.sum0 += l * l;
        s.sum1 += r * r;
        const double al = std::fabs(l), ar = std::fabs(r);
        s.peak0 = al > s.peak0 ? al : s.peak0;
        s.peak1 = ar > s.peak1 ? ar : s.peak1;
    }
    if (std::isfinite(s.sum0 + s.sum1)) return s;
    s = Sums();
    for (size_t i = 0; i < n; ++i) {
        const double l = std::isfinite(f[2 * i]) ? f[2 * i] : 0.0;
        const double r = std::isfinite(f[2 * i + 1]) ? f[2 * i + 1] : 0.0;
        s.sum0 += l * l;
        s.sum1 += r * r;
        s.peak0 = std::max(s.peak0, std::fabs(l));
        s.peak1 = std::max(s.peak1, std::fabs(r));
    }
    return s;
}

}  // namespace

SoundTools::Status LevelMeter::process() {
    const unsigned n = getOutFrameNb();
    const int inOrigin = getInOrigin();
    const int outOrigin = getOutOrigin();
    const double* in = mInBuffers[0]->getFrame(inOrigin);
    double* out = mOutBuffers[0]->getFrame(outOrigin);
    std::copy(in, in + 2 * size_t(n), out);
    measure(in, inOrigin, n);
    return SoundTools::Ok;
}

void LevelMeter::measure(const double* in, int64_t inOrigin, unsigned n) {
    const int64_t first = std::max<int64_t>(mBegin, inOrigin);
    const int64_t last = std::min<int64_t>(mEnd, inOrigin + int64_t(n));
    // The block is taken in runs that lie within one envelope window and on
    // one side of every stretch boundary.
    for (int64_t pos = first; pos < last;) {
        int64_t end = last;
        if (mEnvelopeFrames > 0) end = std::min(end, pos + (mEnvelopeFrames - mWindowCount));
        while (mCursor < mStretches.size() && mStretches[mCursor].second <= pos) ++mCursor;
        const bool inStretch = mCursor < mStretches.size() && mStretches[mCursor].first <= pos;
        if (mCursor < mStretches.size())
            end = std::min(end, inStretch ? mStretches[mCursor].second : mStretches[mCursor].first);
        const int64_t count = end - pos;
        const Sums s = sumsOf(in + 2 * (pos - inOrigin), size_t(count));
        mPeak[0] = std::max(mPeak[0], s.peak0);
        mPeak[1] = std::max(mPeak[1], s.peak1);
        mSum[0] += s.sum0;
        mSum[1] += s.sum1;
        mFrames += uint64_t(count);
        if (mEnvelopeFrames > 0) {
            mWindow[0] += s.sum0;
            mWindow[1] += s.sum1;
            mWindowCount += count;
            if (mWindowCount == mEnvelopeFrames) closeEnvelopeWindow();
        }
        if (inStretch) {
            mStretchSum0[mCursor] += s.sum0;
            mStretchSum1[mCursor] += s.sum1;
            mStretchCount[mCursor] += count;
        }
        pos = end;
    }
    // The last, partial envelope window is closed when the stream's end is reached.
    if (last >= mEnd) closeEnvelopeWindow();
}

void LevelMeter::endProcess(int status, unsigned frameNbProcessed) {
    closeEnvelopeWindow();
    SoundAlgo::endProcess(status, frameNbProcessed);
}

double LevelMeter::peakDb() const { return db(std::max(mPeak[0], mPeak[1])); }
double LevelMeter::peakDb(int channel) const { return db(mPeak[channel ? 1 : 0]); }

double LevelMeter::rmsDb() const { return mFrames ? dbPower((mSum[0] + mSum[1]) / double(2 * mFrames)) : -INFINITY; }
double LevelMeter::rmsDb(int channel) const { return mFrames ? dbPower(mSum[channel ? 1 : 0] / double(mFrames)) : -INFINITY; }

std::vector<double> LevelMeter::stretchRmsDb() const {
    std::vector<double> out;
    for (size_t i = 0; i < mStretches.size(); ++i) {
        const int64_t c = i < mStretchCount.size() ? mStretchCount[i] : 0;
        out.push_back(c ? dbPower(std::max(mStretchSum0[i], mStretchSum1[i]) / double(c)) : -INFINITY);
    }
    return out;
}

}  // namespace detail
}  // namespace tonewright
