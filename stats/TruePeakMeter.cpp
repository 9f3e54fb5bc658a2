#include "stats/TruePeakMeter.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kPi = 3.14159265358979323846;

int oversampling(unsigned rate, unsigned minRate) {
    int f = rate < 96000 ? 4 : rate < 192000 ? 2 : 1;
    if (minRate > 0 && rate > 0) f = std::max<int>(f, int(std::min<unsigned>(16, (minRate + rate - 1) / rate)));
    return f;
}

int tapsFor(int factor, unsigned minRate) { return minRate > 0 ? 32 : factor == 2 ? 24 : 12; }

std::vector<double> design(int factor, int taps, unsigned minRate) {
    if (minRate > 0) {
        // The check against resampling meters: a longer Kaiser-windowed sinc
        // whose pass band reaches nearer the Nyquist frequency, where decoded
        // lossy files keep some of their energy.
        return interpolatorTaps(factor, taps, taps / 2 + 0.5, kaiserWindow(8.0), true);
    }
    return interpolatorTaps(
        factor, taps, taps / 2, [](double x) { return 0.5 + 0.5 * std::cos(kPi * x); }, false);
}
}  // namespace

TruePeakMeter::TruePeakMeter(unsigned sampleRate, unsigned minRate)
    : mFactor(oversampling(sampleRate, minRate)),
      // Row 0 is the sample itself; the meter reads the samples directly.
      mInterpolator(design(mFactor, tapsFor(mFactor, minRate), minRate), mFactor, tapsFor(mFactor, minRate), kChunk) {}

void TruePeakMeter::add(const SoundTools::StereoFrame<double>* frames, unsigned n) {
    while (n > 0) {
        const unsigned m = std::min(n, kChunk);
        addChunk(frames, m);
        frames += m;
        n -= m;
    }
}

// The true peak of a channel is the largest magnitude of all its interpolated
// values, values that are not numbers passed over, whatever order they are
// taken in.
void TruePeakMeter::addChunk(const SoundTools::StereoFrame<double>* frames, unsigned n) {
    mInterpolator.load(frames, n, mSamplePeak);
    // Spans that cannot pass the peak so far leave it as it is: after the
    // loudest moment, most of a recording is not interpolated at all.
    constexpr unsigned kSpan = 128;
    for (int c = 0; c < 2; ++c) {
        float peak = 0.0f;
        for (unsigned from = 0; from < n && mFactor > 1; from += kSpan) {
            const unsigned m = std::min(kSpan, n - from);
            if (mInterpolator.bound(c, from, m) <= std::max(mTruePeak[c], double(peak))) continue;
            for (int p = 1; p < mFactor; ++p) peak = mInterpolator.phasePeak(p, c, from, m, peak);
        }
        mTruePeak[c] = std::max({mTruePeak[c], double(peak), mSamplePeak[c]});
    }
    mInterpolator.advance(n);
}
