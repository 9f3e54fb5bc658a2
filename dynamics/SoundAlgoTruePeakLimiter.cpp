#include "tonewright/SoundAlgoTruePeakLimiter.h"

#include <algorithm>
#include <cmath>

#include "filters/TruePeakInterpolator.h"

using Frame = SoundTools::StereoFrame<double>;

namespace {
constexpr int kHalf = SoundAlgoTruePeakLimiter::kTaps / 2;
constexpr double kHeadroomDb = 0.2;
}  // namespace

// The interpolator works on chunks of frames: the peaks of a whole chunk are
// found first, phase after phase with the frames side by side in vector lanes,
// then the gains are worked out frame by frame.
struct SoundAlgoTruePeakLimiter::PeakFinder {
    static constexpr unsigned kChunk = 512;  // history, chunk and peaks of both channels stay in the L1 cache
    TruePeakInterpolator<double> interpolator;
    std::vector<double> peak, left, right;

    explicit PeakFinder(const std::vector<double>& rows)
        : interpolator(rows, kPhases, kTaps, kChunk), peak(kChunk), left(kChunk), right(kChunk) {}
};

SoundAlgoTruePeakLimiter::SoundAlgoTruePeakLimiter(double ceilingDb, double lookAheadTime, double releaseTime)
    : mCeilingDb(std::isfinite(ceilingDb) ? ceilingDb : 0.0),
      // The short interpolator under-reads the overshoot of abrupt steps and
      // the gain's own modulation adds a little: aim a fifth of a dB lower.
      mCeiling(std::pow(10.0, (mCeilingDb - kHeadroomDb) / 20.0)),
      mLookAheadTime(lookAheadTime > 0.0 && lookAheadTime < 1.0 ? lookAheadTime : 0.0015),
      mReleaseTime(releaseTime > 0.0 && releaseTime < 60.0 ? releaseTime : 0.05) {
    // Phase k interpolates at k/8 of the way from frame c to frame c + 1, from
    // frames c - 11 ... c + 12: Kaiser-windowed sinc, normalised to unit gain.
    mPeaks = std::make_unique<PeakFinder>(interpolatorTaps(kPhases, kTaps, kHalf + 0.5, kaiserWindow(7.0), true));
}

SoundAlgoTruePeakLimiter::~SoundAlgoTruePeakLimiter() = default;

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
    mPeaks->interpolator.reset();
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

// Frame p's peak is the largest magnitude of frame c = p - 12 and of the seven
// points between c and c + 1, each interpolated from frames c - 11 ... c + 12.
void SoundAlgoTruePeakLimiter::ingest(const Frame* frames, unsigned n) {
    PeakFinder& f = *mPeaks;
    TruePeakInterpolator<double>& interpolator = f.interpolator;
    double* peak = f.peak.data();
    double* left = f.left.data();
    double* right = f.right.data();
    while (n > 0) {
        const unsigned m = std::min(n, PeakFinder::kChunk);
        interpolator.load(frames, m);
        // Nothing in the chunk can pass the ceiling (the usual case away from
        // the loudest moments): every frame needs gain 1 without interpolating.
        if (std::max(interpolator.bound(0, m), interpolator.bound(1, m)) <= mCeiling) {
            addPeaks(nullptr, m);
            interpolator.advance(m);
            frames += m;
            n -= m;
            continue;
        }
        const double* sampleL = interpolator.window(0) + (kHalf - 1);
        const double* sampleR = interpolator.window(1) + (kHalf - 1);
        for (unsigned i = 0; i < m; ++i) peak[i] = std::max(std::fabs(sampleL[i]), std::fabs(sampleR[i]));
        // The phases in order, each taken in as it comes: the same maximum
        // (and the same answer to a NaN) as one frame at a time.
        for (int k = 1; k < kPhases; ++k) {
            interpolator.phase(k, 0, m, left);
            interpolator.phase(k, 1, m, right);
            for (unsigned i = 0; i < m; ++i)
                peak[i] = std::max(peak[i], std::max(std::fabs(left[i]), std::fabs(right[i])));
        }
        addPeaks(peak, m);
        interpolator.advance(m);
        frames += m;
        n -= m;
    }
}

// Takes in the peaks of the m frames from position mNextIn on and works out
// the gain of each frame A - 1 + 12 positions earlier (peaks is used up; null:
// none of the m frames comes near the ceiling, every one needs gain 1). Only
// the sliding minimum, the release and the running sum go frame by frame, the
// state in locals; what a frame needs and its gain are worked out for the
// whole chunk, side by side.
void SoundAlgoTruePeakLimiter::addPeaks(double* peaks, unsigned m) {
    const double ceiling = mCeiling, release = mRelease, length = double(mA);
    if (peaks)
        for (unsigned i = 0; i < m; ++i) {
            const double peak = peaks[i], fit = ceiling / peak;
            peaks[i] = peak > ceiling ? fit : 1.0;
        }
    const unsigned A = mA;
    double held = mHeld, sum = mAvgSum;
    unsigned pos = mAvgPos;
    int64_t next = mNextIn;
    double* ring = mAvgRing.data();
    const size_t first = mGains.size();
    mGains.resize(first + m);
    double* gains = mGains.data() + first;
    // Nothing held, nothing in the look-ahead and nothing in the chunk below 1:
    // every frame then finds the minimum 1, holds 1 and leaves the running sum
    // as it is, so the loop below would give each the same gain.
    const bool live = mMinQueue.size() > mMinHead;
    if (held == 1.0 && (!live || mMinQueue[mMinHead].second == 1.0) &&
        (!peaks || std::all_of(peaks, peaks + m, [](double p) { return p == 1.0; })) &&
        std::all_of(ring, ring + A, [](double g) { return g == 1.0; })) {
        // The queue the loop would leave: the last frame alone.
        mMinQueue.clear();
        mMinHead = 0;
        mMinQueue.emplace_back(next + int64_t(m) - 1 - kHalf, 1.0);
        std::fill(gains, gains + m, std::min(sum / length, 1.0));
        mAvgPos = unsigned((pos + m) % A);
        mNextIn = next + int64_t(m);
        return;
    }
    for (unsigned i = 0; i < m; ++i, ++next) {
        const double needed = peaks ? peaks[i] : 1.0;
        const int64_t c = next - kHalf;
        // Sliding minimum over [c - A + 1, c]: the gain position c - A + 1
        // needs so that every frame of its look-ahead fits.
        while (mMinQueue.size() > mMinHead && mMinQueue.back().second >= needed) mMinQueue.pop_back();
        mMinQueue.emplace_back(c, needed);
        while (mMinQueue[mMinHead].first <= c - int64_t(A)) ++mMinHead;
        if (mMinHead > 4096) {
            mMinQueue.erase(mMinQueue.begin(), mMinQueue.begin() + std::ptrdiff_t(mMinHead));
            mMinHead = 0;
        }
        const double h = mMinQueue[mMinHead].second;  // at most 1
        // Held at 1 (nothing limited), the release gives 1 and the minimum is
        // h itself: no frame then waits on the release's arithmetic.
        held = held == 1.0 ? h : std::min(h, 1.0 - (1.0 - held) * release);
        // Adding a zero changes nothing: the sum starts at A and never becomes -0.
        const double change = held - ring[pos];
        if (change != 0.0) sum += change;
        ring[pos] = held;
        if (++pos == A) pos = 0;
        gains[i] = sum;
    }
    // The average of A values each at or below what position c - A + 1 needs.
    for (unsigned i = 0; i < m; ++i) gains[i] = std::min(gains[i] / length, 1.0);
    mHeld = held;
    mAvgSum = sum;
    mAvgPos = pos;
    mNextIn = next;
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
    const int64_t end = origin + int64_t(available);
    if (end > mNextIn) ingest(in + (mNextIn - origin), unsigned(end - mNextIn));
    // Frames without a gain yet (none, once the stream has begun) pass at 1.
    const size_t from = size_t(origin - mGainStart);
    const unsigned known = unsigned(std::min<size_t>(n, mGains.size() > from ? mGains.size() - from : 0));
    const double* gains = mGains.data() + from;
    // Four running minima side by side, so that no frame waits on the one
    // before (a gain is never NaN, and a minimum does not depend on the order).
    double low[4] = {mLowest, mLowest, mLowest, mLowest};
    unsigned i = 0;
    for (; i + 4 <= known; i += 4)
        for (unsigned k = 0; k < 4; ++k) {
            const double g = gains[i + k];
            low[k] = std::min(low[k], g);
            out[i + k].l = in[i + k].l * g;
            out[i + k].r = in[i + k].r * g;
        }
    double lowest = std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
    for (; i < known; ++i) {
        const double g = gains[i];
        lowest = std::min(lowest, g);
        out[i].l = in[i].l * g;
        out[i].r = in[i].r * g;
    }
    for (unsigned i = known; i < n; ++i) {
        lowest = std::min(lowest, 1.0);
        out[i].l = in[i].l * 1.0;
        out[i].r = in[i].r * 1.0;
    }
    mLowest = lowest;
    // Drop the gains of the frames written.
    const int64_t done = origin + int64_t(n) - mGainStart;
    if (done > 0) {
        const size_t drop = std::min(mGains.size(), size_t(done));
        mGains.erase(mGains.begin(), mGains.begin() + std::ptrdiff_t(drop));
        mGainStart += int64_t(drop);
    }
    return SoundTools::Ok;
}
