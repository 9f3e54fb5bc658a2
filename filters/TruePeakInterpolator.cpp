#include "filters/TruePeakInterpolator.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/SoundSimd.h"

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
#if defined(__GNUC__)
// 64-byte vectors of T, lane for lane the operations the scalar code does.
template <typename T>
struct Lanes;
template <>
struct Lanes<float> {
    typedef float V __attribute__((vector_size(64)));
    typedef int32_t Bits __attribute__((vector_size(64)));
};
template <>
struct Lanes<double> {
    typedef double V __attribute__((vector_size(64)));
    typedef int64_t Bits __attribute__((vector_size(64)));
};

// v := |v| lane by lane: the sign bit cleared, as std::fabs does. (In place:
// vectors wider than the baseline's are never passed by value.)
template <typename T>
TW_INLINE void takeMagnitude(typename Lanes<T>::V& v) {
    typedef typename Lanes<T>::V V;
    typedef typename Lanes<T>::Bits Bits;
    const V negativeZero = T(-0.0) - V{};
    v = (V)((Bits)v & ~(Bits)negativeZero);
}
#endif

// y[i] = h[0]*x[i] + ... + h[taps-1]*x[i+taps-1], summed in that order from
// zero. The outputs run side by side: strips of four vectors keep their sums
// in registers over all the taps (enough independent sums to hide the latency
// of the additions), then single vectors, then single outputs.
// kPeak: instead of storing the outputs, *peak becomes the largest of *peak and
// their magnitudes, NaN passed over (as peakKernel takes it of stored ones: a
// maximum does not depend on the order it is taken in).
template <typename T, bool kPeak>
TW_INLINE void rowKernel(const T* h, int taps, const T* x, T* y, size_t n, T* peak = nullptr) {
    size_t i = 0;
#if defined(__GNUC__)
    typedef typename Lanes<T>::V V;
    constexpr size_t W = sizeof(V) / sizeof(T);
    V m = (kPeak ? *peak : T(0)) - V{};
    const auto out = [&m, y](size_t at, V& a) {
        if constexpr (kPeak) {
            takeMagnitude<T>(a);
            m = a > m ? a : m;
        } else {
            std::memcpy(y + at, &a, sizeof a);
        }
    };
    for (; i + 4 * W <= n; i += 4 * W) {
        V a0 = V{}, a1 = V{}, a2 = V{}, a3 = V{};
        const T* xi = x + i;
        for (int j = 0; j < taps; ++j) {
            const V hj = h[j] - V{};  // h[j] in every lane (x - 0 is x, signed zeros included)
            V v0, v1, v2, v3;
            std::memcpy(&v0, xi + j, sizeof v0);
            std::memcpy(&v1, xi + j + W, sizeof v1);
            std::memcpy(&v2, xi + j + 2 * W, sizeof v2);
            std::memcpy(&v3, xi + j + 3 * W, sizeof v3);
            a0 += hj * v0;
            a1 += hj * v1;
            a2 += hj * v2;
            a3 += hj * v3;
        }
        out(i, a0);
        out(i + W, a1);
        out(i + 2 * W, a2);
        out(i + 3 * W, a3);
    }
    for (; i + W <= n; i += W) {
        V a = V{};
        for (int j = 0; j < taps; ++j) {
            V v;
            std::memcpy(&v, x + i + j, sizeof v);
            a += (h[j] - V{}) * v;
        }
        out(i, a);
    }
    if constexpr (kPeak)
        for (size_t k = 0; k < W; ++k) *peak = m[k] > *peak ? m[k] : *peak;
#endif
    for (; i < n; ++i) {
        T a = T(0);
        for (int j = 0; j < taps; ++j) a += h[j] * x[i + j];
        if constexpr (kPeak) {
            a = std::fabs(a);
            *peak = a > *peak ? a : *peak;
        } else {
            y[i] = a;
        }
    }
}

// The largest of `peak` and |y[i]|, NaN passed over (a > peak is false for it).
// The maximum of a set does not depend on the order it is taken in, so lanes
// take partial maxima.
template <typename T>
TW_INLINE T peakKernel(const T* y, size_t n, T peak) {
    size_t i = 0;
#if defined(__GNUC__)
    typedef typename Lanes<T>::V V;
    constexpr size_t W = sizeof(V) / sizeof(T);
    if (n >= W) {
        V m = peak - V{};
        for (; i + W <= n; i += W) {
            V a;
            std::memcpy(&a, y + i, sizeof a);
            takeMagnitude<T>(a);
            m = a > m ? a : m;
        }
        for (size_t k = 0; k < W; ++k) peak = m[k] > peak ? m[k] : peak;
    }
#endif
    for (; i < n; ++i) {
        const T a = std::fabs(y[i]);
        peak = a > peak ? a : peak;
    }
    return peak;
}

// Frames (interleaved doubles) to one array per channel; with `peak`, the
// largest magnitude of each channel as well, taken as std::max(peak, |x|)
// takes it (a sample that is not a number leaves the peak as it was).
template <typename T>
TW_INLINE void loadKernel(const double* f, size_t n, T* l, T* r, double* peak) {
    for (size_t i = 0; i < n; ++i) {
        l[i] = T(f[2 * i]);
        r[i] = T(f[2 * i + 1]);
    }
    if (!peak) return;
    double pl = peak[0], pr = peak[1];
    size_t i = 0;
#if defined(__GNUC__)
    typedef Lanes<double>::V V;
    constexpr size_t W = sizeof(V) / sizeof(double);  // even: lanes alternate left and right
    if (n >= W / 2) {
        V m;
        for (size_t k = 0; k < W; ++k) m[k] = peak[k % 2];
        for (; i + W / 2 <= n; i += W / 2) {
            V a;
            std::memcpy(&a, f + 2 * i, sizeof a);
            takeMagnitude<double>(a);
            m = m < a ? a : m;
        }
        for (size_t k = 0; k < W; k += 2) {
            pl = std::max(pl, m[k]);
            pr = std::max(pr, m[k + 1]);
        }
    }
#endif
    for (; i < n; ++i) {
        pl = std::max(pl, std::fabs(f[2 * i]));
        pr = std::max(pr, std::fabs(f[2 * i + 1]));
    }
    peak[0] = pl;
    peak[1] = pr;
}

TW_KERNEL void interpolateRow(const float* h, int taps, const float* x, float* y, size_t n) {
    rowKernel<float, false>(h, taps, x, y, n);
}
TW_KERNEL void interpolateRow(const double* h, int taps, const double* x, double* y, size_t n) {
    rowKernel<double, false>(h, taps, x, y, n);
}
TW_KERNEL float rowPeak(const float* h, int taps, const float* x, size_t n, float peak) {
    rowKernel<float, true>(h, taps, x, nullptr, n, &peak);
    return peak;
}
TW_KERNEL double rowPeak(const double* h, int taps, const double* x, size_t n, double peak) {
    rowKernel<double, true>(h, taps, x, nullptr, n, &peak);
    return peak;
}
TW_KERNEL float largestMagnitude(const float* y, size_t n, float peak) { return peakKernel(y, n, peak); }
TW_KERNEL double largestMagnitude(const double* y, size_t n, double peak) { return peakKernel(y, n, peak); }
TW_KERNEL void loadFrames(const double* f, size_t n, float* l, float* r, double* peak) {
    loadKernel(f, n, l, r, peak);
}
TW_KERNEL void loadFrames(const double* f, size_t n, double* l, double* r, double* peak) {
    loadKernel(f, n, l, r, peak);
}
}  // namespace

template <typename T>
TruePeakInterpolator<T>::TruePeakInterpolator(const std::vector<double>& rows, int phases, int taps, unsigned chunk)
    : mPhases(std::max(1, phases)), mTaps(std::max(1, taps)), mChunk(std::max(1u, chunk)) {
    const size_t skip = size_t(mTaps);
    const size_t count = size_t(mPhases - 1) * size_t(mTaps);
    mRows.assign(count, T(0));
    for (size_t k = 0; k < count && skip + k < rows.size(); ++k) mRows[k] = T(rows[skip + k]);
    for (std::vector<T>& x : mX) x.assign(size_t(mTaps) - 1 + mChunk, T(0));
    // A sum of `taps` products in T differs from the exact one by less than
    // taps * epsilon of the sum of magnitudes; four times that is ample, and the
    // bound is never below 1, the gain of the sample itself.
    double gain = 1.0;
    for (size_t r = 0; r + size_t(mTaps) <= mRows.size(); r += size_t(mTaps)) {
        double sum = 0.0;
        for (size_t j = 0; j < size_t(mTaps); ++j) sum += std::fabs(double(mRows[r + j]));
        gain = std::max(gain, sum);
    }
    mGain = gain * (1.0 + 4.0 * mTaps * double(std::numeric_limits<T>::epsilon()));
}

template <typename T>
double TruePeakInterpolator<T>::bound(int c, unsigned from, unsigned n) const {
    from = std::min(from, mChunk);
    n = std::min(n, mChunk - from);
    const std::vector<T>& x = mX[c != 0];
    return mGain * double(largestMagnitude(x.data() + from, size_t(mTaps) - 1 + n, T(0)));
}

template <typename T>
T TruePeakInterpolator<T>::phasePeak(int p, int c, unsigned from, unsigned n, T peak) const {
    if (p < 1 || p >= mPhases) return peak;
    from = std::min(from, mChunk);
    n = std::min(n, mChunk - from);
    return rowPeak(&mRows[size_t(p - 1) * size_t(mTaps)], mTaps, mX[c != 0].data() + from, n, peak);
}

template <typename T>
void TruePeakInterpolator<T>::load(const SoundTools::StereoFrame<double>* frames, unsigned n, double* samplePeak) {
    static_assert(sizeof(SoundTools::StereoFrame<double>) == 2 * sizeof(double), "frames are interleaved doubles");
    n = std::min(n, mChunk);
    if (n == 0) return;
    const size_t keep = size_t(mTaps) - 1;
    loadFrames(&frames[0].l, n, mX[0].data() + keep, mX[1].data() + keep, samplePeak);
}

template <typename T>
void TruePeakInterpolator<T>::phase(int p, int c, unsigned n, T* y) const {
    if (p < 1 || p >= mPhases) return;
    interpolateRow(&mRows[size_t(p - 1) * size_t(mTaps)], mTaps, mX[c != 0].data(), y, std::min(n, mChunk));
}

template <typename T>
void TruePeakInterpolator<T>::advance(unsigned n) {
    n = std::min(n, mChunk);
    const size_t keep = size_t(mTaps) - 1;
    for (std::vector<T>& x : mX) std::memmove(x.data(), x.data() + n, keep * sizeof(T));
}

template <typename T>
void TruePeakInterpolator<T>::reset() {
    for (std::vector<T>& x : mX) std::fill(x.begin(), x.end(), T(0));
}

template class TruePeakInterpolator<float>;
template class TruePeakInterpolator<double>;
