#include "tonewright/SoundAlgoTruePeakLimiter.h"

#include <algorithm>
#include <cmath>

#include "stats/TruePeakMeter.h"

using Frame = SoundTools::StereoFrame<double>;

namespace {
constexpr int kHalf = SoundAlgoTruePeakLimiter::kTaps / 2;
constexpr double kHeadroomDb = 0.2;
}  // namespace

SoundAlgoTruePeakLimiter::SoundAlgoTruePeakLimiter(double ceilingDb, double lookAheadTime, double releaseTime)
    : mCeilingDb(std::isfinite(ceilingDb) ? ceilingDb : 0.0),
      // The short interpolator under-reads the overshoot of abrupt steps and
      // the gain's own modulation adds a little: aim a fifth of a dB lower.
      mCeiling(std::pow(10.0, (mCeilingDb - kHeadroomDb) / 20.0)),
      mLookAheadTime(lookAheadTime > 0.0 && lookAheadTime < 1.0 ? lookAheadTime : 0.0015),
      mReleaseTime(releaseTime > 0.0 && releaseTime < 60.0 ? releaseTime : 0.05) {
    // Phase k interpolates at k/8 of the way from frame c to frame c + 1, from
    // frames c - 11 ... c + 12: Kaiser-windowed sinc, normalised to unit gain.
    mCoeffs = interpolatorTaps(kPhases, kTaps, kHalf + 0.5, kaiserWindow(7.0), true);
}

unsigned SoundAlgoTruePeakLimiter::lookAhead(unsigned sr) const {
    return std::max(1u, unsigned(std::lround(double(sr) * mLookAheadTime)));
}

// The gain of frame q is known once frame q + A - 1 + 12 has come in.
unsigned SoundAlgoTruePeakLimiter::getInOverlap(unsigned sr) const { return lookAhead(sr) + unsigned(kHalf); }

double SoundAlgoTruePeakLimiter::getLowestGainDb() const { return 20.0 * std::log10(std::max(mLowest, 1e-10)); }

SoundTools::Status SoundAlgoTruePeakLimiter::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    mA = lookAhead(ctx.sampleRate);
    mRelease = std::exp(-1.0 / (std::max(1u, ctx.sampleRate) * mReleaseTime));
    mNextIn = INT64_MIN;
    mHistL.assign(kTaps, 0.0);
    mHistR.assign(kTaps, 0.0);
    mHistPos = 0;
    mMinQueue.clear();
    mMinHead = 0;
    mHeld = 1.0;
    mAvgRing.assign(mA, 1.0);
    mAvgSum = double(mA);
    mAvgPos = 0;
    mGains.clear();
    mLowest = 1.0;
    return SoundAlgo::initProcess(ctx, prev, next);
}

// Takes in the frame at position mNextIn and works out the gain of the frame
// A - 1 + 12 positions earlier.
void SoundAlgoTruePeakLimiter::ingest(double l, double r) {
    mHistL[mHistPos] = l;
    mHistR[mHistPos] = r;
    mHistPos = (mHistPos + 1) % kTaps;
    // Oldest first: frames c - 11 ... c + 12 with c = mNextIn - 12.
    double peak = std::max(std::fabs(mHistL[(mHistPos + kHalf - 1) % kTaps]),
                           std::fabs(mHistR[(mHistPos + kHalf - 1) % kTaps]));
    for (int k = 1; k < kPhases; ++k) {
        const double* h = &mCoeffs[size_t(k) * kTaps];
        double yl = 0.0, yr = 0.0;
        for (int j = 0; j < kTaps; ++j) {
            const unsigned at = (mHistPos + unsigned(j)) % kTaps;
            yl += h[j] * mHistL[at];
            yr += h[j] * mHistR[at];
        }
        peak = std::max(peak, std::max(std::fabs(yl), std::fabs(yr)));
    }
    const int64_t c = mNextIn - kHalf;
    const double needed = peak > mCeiling ? mCeiling / peak : 1.0;
    // Sliding minimum over [c - A + 1, c]: the gain position c - A + 1 needs
    // so that every frame of its look-ahead fits.
    while (mMinQueue.size() > mMinHead && mMinQueue.back().second >= needed) mMinQueue.pop_back();
    mMinQueue.emplace_back(c, needed);
    while (mMinQueue[mMinHead].first <= c - int64_t(mA)) ++mMinHead;
    if (mMinHead > 4096) {
        mMinQueue.erase(mMinQueue.begin(), mMinQueue.begin() + std::ptrdiff_t(mMinHead));
        mMinHead = 0;
    }
    const double h = mMinQueue[mMinHead].second;
    mHeld = std::min(h, 1.0 - (1.0 - mHeld) * mRelease);
    mAvgSum += mHeld - mAvgRing[mAvgPos];
    mAvgRing[mAvgPos] = mHeld;
    mAvgPos = (mAvgPos + 1) % mA;
    // The average of A values each at or below what position c - A + 1 needs.
    double g = mAvgSum / double(mA);
    g = std::min(g, 1.0);
    mGains.push_back(g);
    ++mNextIn;
}

SoundTools::Status SoundAlgoTruePeakLimiter::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const Frame* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    const int64_t origin = getInOrigin();
    const unsigned available = n + getInOverlap(mSampleRate);
    const int64_t latency = int64_t(mA) - 1 + kHalf;
    if (mNextIn == INT64_MIN) {
        mNextIn = origin;
        mGainStart = origin - latency;
    }
    for (int64_t p = mNextIn; p < origin + int64_t(available); ++p) {
        const Frame& f = in[p - origin];
        ingest(f.l, f.r);
    }
    for (unsigned i = 0; i < n; ++i) {
        const int64_t q = origin + int64_t(i);
        const size_t at = size_t(q - mGainStart);
        const double g = at < mGains.size() ? mGains[at] : 1.0;
        mLowest = std::min(mLowest, g);
        out[i].l = in[i].l * g;
        out[i].r = in[i].r * g;
    }
    // Drop the gains of the frames written.
    const int64_t done = origin + int64_t(n) - mGainStart;
    if (done > 0) {
        const size_t drop = std::min(mGains.size(), size_t(done));
        mGains.erase(mGains.begin(), mGains.begin() + std::ptrdiff_t(drop));
        mGainStart += int64_t(drop);
    }
    return SoundTools::Ok;
}
