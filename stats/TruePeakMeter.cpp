#include "stats/TruePeakMeter.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kPi = 3.14159265358979323846;

// Modified Bessel function of the first kind, order 0.
double bessel0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 30; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}
}  // namespace

std::function<double(double)> kaiserWindow(double beta) {
    const double scale = 1.0 / bessel0(beta);
    return [beta, scale](double x) { return bessel0(beta * std::sqrt(std::max(0.0, 1.0 - x * x))) * scale; };
}

std::vector<double> interpolatorTaps(int phases, int taps, double span, const std::function<double(double)>& window,
                                     bool normalise) {
    const int half = taps / 2;
    std::vector<double> coeffs(size_t(phases) * size_t(taps), 0.0);
    for (int k = 0; k < phases; ++k) {
        double* row = &coeffs[size_t(k) * size_t(taps)];
        double sum = 0.0;
        for (int j = 0; j < taps; ++j) {
            const double d = double(j - (half - 1)) - double(k) / phases;
            const double x = d / span;
            const double w = std::fabs(x) < 1.0 ? window(x) : 0.0;
            const double s = d == 0.0 ? 1.0 : std::sin(kPi * d) / (kPi * d);
            row[j] = s * w;
            sum += s * w;
        }
        if (normalise)
            for (int j = 0; j < taps; ++j) row[j] /= sum;
    }
    return coeffs;
}

namespace {
int oversampling(unsigned rate, unsigned minRate) {
    int f = rate < 96000 ? 4 : rate < 192000 ? 2 : 1;
    if (minRate > 0 && rate > 0) f = std::max<int>(f, int(std::min<unsigned>(16, (minRate + rate - 1) / rate)));
    return f;
}
}  // namespace

TruePeakMeter::TruePeakMeter(unsigned sampleRate, unsigned minRate)
    : mFactor(oversampling(sampleRate, minRate)), mTaps(minRate > 0 ? 32 : mFactor == 2 ? 24 : 12) {
    std::vector<double> all;
    if (minRate > 0) {
        // The check against resampling meters: a longer Kaiser-windowed sinc
        // whose pass band reaches nearer the Nyquist frequency, where decoded
        // lossy files keep some of their energy.
        all = interpolatorTaps(mFactor, mTaps, mTaps / 2 + 0.5, kaiserWindow(8.0), true);
    } else {
        all = interpolatorTaps(
            mFactor, mTaps, mTaps / 2, [](double x) { return 0.5 + 0.5 * std::cos(kPi * x); }, false);
    }
    // Row 0 is the sample itself; the meter reads the samples directly.
    mCoeffs.assign(all.begin() + mTaps, all.end());
    for (std::vector<float>& h : mHist) h.assign(size_t(mTaps) - 1 + kChunk, 0.0f);
    mAcc.assign(kChunk, 0.0f);
    mMax.assign(kChunk, 0.0f);
}

void TruePeakMeter::add(const SoundTools::StereoFrame<double>* frames, unsigned n) {
    while (n > 0) {
        const unsigned m = std::min(n, kChunk);
        addChunk(frames, m);
        frames += m;
        n -= m;
    }
}

void TruePeakMeter::addChunk(const SoundTools::StereoFrame<double>* frames, unsigned n) {
    const unsigned keep = unsigned(mTaps) - 1;
    for (int c = 0; c < 2; ++c) {
        float* x = mHist[c].data();
        double sample = mSamplePeak[c];
        for (unsigned i = 0; i < n; ++i) {
            const double v = c == 0 ? frames[i].l : frames[i].r;
            sample = std::max(sample, std::fabs(v));
            x[keep + i] = float(v);
        }
        mSamplePeak[c] = sample;
        // Output i of a phase lies between the samples keep + i - taps/2 and
        // the next one: its window is x[i] ... x[i + taps - 1].
        float* acc = mAcc.data();
        float* mx = mMax.data();
        std::fill(mx, mx + n, 0.0f);
        for (int p = 0; p + 1 < mFactor; ++p) {
            const float* h = &mCoeffs[size_t(p) * size_t(mTaps)];
            std::fill(acc, acc + n, 0.0f);
            for (int j = 0; j < mTaps; ++j) {
                const float hj = h[j];
                const float* xj = x + j;
                for (unsigned i = 0; i < n; ++i) acc[i] += hj * xj[i];
            }
            for (unsigned i = 0; i < n; ++i) {
                const float a = std::fabs(acc[i]);
                mx[i] = a > mx[i] ? a : mx[i];
            }
        }
        float peak = 0.0f;
        for (unsigned i = 0; i < n; ++i) peak = mx[i] > peak ? mx[i] : peak;
        mTruePeak[c] = std::max({mTruePeak[c], double(peak), sample});
        std::copy(x + n, x + n + keep, x);
    }
}
