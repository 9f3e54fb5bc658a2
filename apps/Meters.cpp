#include "Meters.h"

#include <algorithm>
#include <cmath>

namespace cli {

namespace {
double db(double linear) { return linear > 0 ? 20.0 * std::log10(linear) : -INFINITY; }
double dbPower(double meanSquare) { return meanSquare > 0 ? 10.0 * std::log10(meanSquare) : -INFINITY; }
}  // namespace

LevelMeter::LevelMeter(double envelopeStep) : mEnvelopeStep(envelopeStep > 0 ? envelopeStep : 0.0) {}

void LevelMeter::setStretches(std::vector<std::pair<int64_t, int64_t>> stretches) {
    std::sort(stretches.begin(), stretches.end());
    mStretches = std::move(stretches);
}

SoundTools::Status LevelMeter::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    mBegin = ctx.startOffset;
    mEnd = ctx.frameNbToProcess > 0 ? int64_t(ctx.startOffset) + int64_t(ctx.frameNbToProcess) : INT64_MAX;
    mEnvelopeFrames = mEnvelopeStep > 0 ? std::max<int64_t>(1, int64_t(std::llround(mEnvelopeStep * ctx.sampleRate))) : 0;
    mPeak[0] = mPeak[1] = mSum[0] = mSum[1] = 0;
    mWindow[0] = mWindow[1] = 0;
    mWindowCount = 0;
    mFrames = 0;
    mEnvelope.clear();
    mStretchSum0.assign(mStretches.size(), 0.0);
    mStretchSum1.assign(mStretches.size(), 0.0);
    mStretchCount.assign(mStretches.size(), 0);
    mCursor = 0;
    return SoundAlgo::initProcess(ctx, prev, next);
}

void LevelMeter::closeEnvelopeWindow() {
    if (mWindowCount == 0) return;
    const double m = std::max(mWindow[0], mWindow[1]) / double(mWindowCount);
    mEnvelope.push_back(dbPower(m));
    mWindow[0] = mWindow[1] = 0;
    mWindowCount = 0;
}

SoundTools::Status LevelMeter::process() {
    const unsigned n = getOutFrameNb();
    const int inOrigin = getInOrigin();
    const int outOrigin = getOutOrigin();
    const double* in = mInBuffers[0]->getFrame(inOrigin);
    double* out = mOutBuffers[0]->getFrame(outOrigin);
    std::copy(in, in + 2 * size_t(n), out);

    const int64_t first = std::max<int64_t>(mBegin, inOrigin);
    const int64_t last = std::min<int64_t>(mEnd, int64_t(inOrigin) + n);
    for (int64_t pos = first; pos < last; ++pos) {
        const double* f = in + 2 * (pos - inOrigin);
        const double l = std::isfinite(f[0]) ? f[0] : 0.0;
        const double r = std::isfinite(f[1]) ? f[1] : 0.0;
        const double l2 = l * l, r2 = r * r;
        mPeak[0] = std::max(mPeak[0], std::fabs(l));
        mPeak[1] = std::max(mPeak[1], std::fabs(r));
        mSum[0] += l2;
        mSum[1] += r2;
        ++mFrames;
        if (mEnvelopeFrames > 0) {
            mWindow[0] += l2;
            mWindow[1] += r2;
            if (++mWindowCount == mEnvelopeFrames) closeEnvelopeWindow();
        }
        if (!mStretches.empty()) {
            while (mCursor < mStretches.size() && mStretches[mCursor].second <= pos) ++mCursor;
            if (mCursor < mStretches.size() && mStretches[mCursor].first <= pos) {
                mStretchSum0[mCursor] += l2;
                mStretchSum1[mCursor] += r2;
                ++mStretchCount[mCursor];
            }
        }
    }
    // The last, partial envelope window is closed when the stream's end is reached.
    if (last >= mEnd) closeEnvelopeWindow();
    return SoundTools::Ok;
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

}  // namespace cli
