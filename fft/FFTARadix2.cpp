#include "tonewright/FFTA.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "core/SoundSimd.h"
#include "tonewright/SoundDebuggableClass.h"

// The transform is a self-sorting (Stockham) decimation-in-frequency FFT:
// radix-4 passes (each one does the work of two radix-2 stages with three
// twiddle products per four points instead of four) and, when log2(N) is odd, a
// last radix-2 pass. Each pass reads one buffer and writes the other, in an order
// that leaves the result in natural order: no bit-reversal pass, and the
// loaders and unloaders of the public transforms walk their data sequentially.
//
// Data are kept as separate real and imaginary arrays so that the butterflies
// run on contiguous SIMD lanes. Pass (n, s) works on s interleaved sequences of
// length n: its inner loop runs over the s sequences (contiguous), except for the
// first pass (s = 1), which runs over the n/4 butterflies instead.
//
// The kernels are compiled once per x86-64 vector level (core/SoundSimd.h).

namespace {

// First radix-4 pass (s = 1) of a transform of length n: x -> y, x read with a
// stride of Stride doubles (2 reads interleaved (re, im) pairs in place).
// tw holds W^p, W^2p, W^3p for p < n/4 (W = e^(-2 pi i / n)), as (re, im) halves.
template <size_t Stride>
TW_INLINE void firstPass4Body(const double* __restrict xr, const double* __restrict xi, double* __restrict yr,
                              double* __restrict yi, size_t n, const double* __restrict tw) {
    const size_t m = n / 4;
    const double* w1r = tw;
    const double* w1i = tw + m;
    const double* w2r = tw + 2 * m;
    const double* w2i = tw + 3 * m;
    const double* w3r = tw + 4 * m;
    const double* w3i = tw + 5 * m;
    const double* br = xr + Stride * m;
    const double* bi = xi + Stride * m;
    const double* cr = xr + 2 * Stride * m;
    const double* ci = xi + 2 * Stride * m;
    const double* dr = xr + 3 * Stride * m;
    const double* di = xi + 3 * Stride * m;
    for (size_t p = 0; p < m; ++p) {
        const size_t i = Stride * p;
        const double sr = xr[i] + cr[i], si = xi[i] + ci[i];  // a + c
        const double ur = xr[i] - cr[i], ui = xi[i] - ci[i];  // a - c
        const double tr = br[i] + dr[i], ti = bi[i] + di[i];  // b + d
        const double vr = br[i] - dr[i], vi = bi[i] - di[i];  // b - d
        yr[4 * p] = sr + tr;
        yi[4 * p] = si + ti;
        const double ar = ur + vi, ai = ui - vr;  // (a - c) - i (b - d)
        yr[4 * p + 1] = ar * w1r[p] - ai * w1i[p];
        yi[4 * p + 1] = ar * w1i[p] + ai * w1r[p];
        const double er = sr - tr, ei = si - ti;
        yr[4 * p + 2] = er * w2r[p] - ei * w2i[p];
        yi[4 * p + 2] = er * w2i[p] + ei * w2r[p];
        const double gr = ur - vi, gi = ui + vr;  // (a - c) + i (b - d)
        yr[4 * p + 3] = gr * w3r[p] - gi * w3i[p];
        yi[4 * p + 3] = gr * w3i[p] + gi * w3r[p];
    }
}

TW_KERNEL void firstPass4(const double* xr, const double* xi, double* yr, double* yi, size_t n, const double* tw) {
    firstPass4Body<1>(xr, xi, yr, yi, n, tw);
}

// The same reading interleaved (re, im) input: the first pass also loads.
TW_KERNEL void firstPass4Interleaved(const double* in, double* yr, double* yi, size_t n, const double* tw) {
    firstPass4Body<2>(in, in + 1, yr, yi, n, tw);
}

// Radix-4 pass (n, s), s >= 2: x -> y.
TW_KERNEL void pass4(const double* __restrict xr, const double* __restrict xi, double* __restrict yr,
                     double* __restrict yi, size_t n, size_t s, const double* __restrict tw) {
    const size_t m = n / 4;
    for (size_t p = 0; p < m; ++p) {
        const double w1r = tw[p], w1i = tw[m + p];
        const double w2r = tw[2 * m + p], w2i = tw[3 * m + p];
        const double w3r = tw[4 * m + p], w3i = tw[5 * m + p];
        const double* ar = xr + s * p;
        const double* ai = xi + s * p;
        const double* br = ar + s * m;
        const double* bi = ai + s * m;
        const double* cr = ar + 2 * s * m;
        const double* ci = ai + 2 * s * m;
        const double* dr = ar + 3 * s * m;
        const double* di = ai + 3 * s * m;
        double* y0r = yr + 4 * s * p;
        double* y0i = yi + 4 * s * p;
        double* y1r = y0r + s;
        double* y1i = y0i + s;
        double* y2r = y0r + 2 * s;
        double* y2i = y0i + 2 * s;
        double* y3r = y0r + 3 * s;
        double* y3i = y0i + 3 * s;
#pragma GCC ivdep
        for (size_t q = 0; q < s; ++q) {
            const double sr = ar[q] + cr[q], si = ai[q] + ci[q];
            const double ur = ar[q] - cr[q], ui = ai[q] - ci[q];
            const double tr = br[q] + dr[q], ti = bi[q] + di[q];
            const double vr = br[q] - dr[q], vi = bi[q] - di[q];
            y0r[q] = sr + tr;
            y0i[q] = si + ti;
            const double er = ur + vi, ei = ui - vr;
            y1r[q] = er * w1r - ei * w1i;
            y1i[q] = er * w1i + ei * w1r;
            const double fr = sr - tr, fi = si - ti;
            y2r[q] = fr * w2r - fi * w2i;
            y2i[q] = fr * w2i + fi * w2r;
            const double gr = ur - vi, gi = ui + vr;
            y3r[q] = gr * w3r - gi * w3i;
            y3i[q] = gr * w3i + gi * w3r;
        }
    }
}

// Last radix-2 pass (n = 2, s = N/2): x -> y, no twiddles.
TW_KERNEL void lastPass2(const double* __restrict xr, const double* __restrict xi, double* __restrict yr,
                         double* __restrict yi, size_t s) {
    for (size_t q = 0; q < s; ++q) {
        const double ar = xr[q], ai = xi[q], br = xr[q + s], bi = xi[q + s];
        yr[q] = ar + br;
        yi[q] = ai + bi;
        yr[q + s] = ar - br;
        yi[q + s] = ai - bi;
    }
}

// Separates Z = L + iR (the transform of left + i right) into the spectra of the
// two real channels, bins 1 .. N/2-1:
// L.re = (Z[k].re + Z[N-k].re)/2, L.im = (Z[k].im - Z[N-k].im)/2,
// R.re = (Z[k].im + Z[N-k].im)/2, R.im = (Z[N-k].re - Z[k].re)/2.
// With fused set, x holds the data before the last radix-2 pass, which is done
// here: Z[k] = x[k] + x[k + N/2], Z[N/2 + k] = x[k] - x[k + N/2].
TW_KERNEL void splitChannels(const double* __restrict xr, const double* __restrict xi, double* __restrict L,
                             double* __restrict R, size_t N, bool fused) {
    const size_t h = N / 2;
    if (fused) {
        for (size_t k = 1; k < h; ++k) {
            const double zr = xr[k] + xr[k + h], zi = xi[k] + xi[k + h];
            const double yr = xr[h - k] - xr[N - k], yi = xi[h - k] - xi[N - k];
            L[2 * k] = 0.5 * (zr + yr);
            L[2 * k + 1] = 0.5 * (zi - yi);
            R[2 * k] = 0.5 * (zi + yi);
            R[2 * k + 1] = 0.5 * (yr - zr);
        }
    } else {
        for (size_t k = 1; k < h; ++k) {
            const double zr = xr[k], zi = xi[k], yr = xr[N - k], yi = xi[N - k];
            L[2 * k] = 0.5 * (zr + yr);
            L[2 * k + 1] = 0.5 * (zi - yi);
            R[2 * k] = 0.5 * (zi + yi);
            R[2 * k + 1] = 0.5 * (yr - zr);
        }
    }
}

// Builds Z[k] = L[k] + i R[k] for 0 < k < N/2 and N/2 < k < N from the two
// half spectra (L[N-k] = conj L[k], R[N-k] = conj R[k]), with real and
// imaginary parts exchanged.
TW_KERNEL void joinChannelsSwapped(const double* __restrict L, const double* __restrict R, double* __restrict re,
                                   double* __restrict im, size_t N) {
    const size_t h = N / 2;
    for (size_t k = 1; k < h; ++k) {
        const double lr = L[2 * k], li = L[2 * k + 1], rr = R[2 * k], ri = R[2 * k + 1];
        re[k] = li + rr;
        im[k] = lr - ri;
        re[N - k] = rr - li;
        im[N - k] = lr + ri;
    }
}

// out[2n] = scale * b[n], out[2n+1] = scale * a[n].
TW_KERNEL void interleaveScaled(const double* __restrict a, const double* __restrict b, double* __restrict out,
                                size_t N, double scale) {
    for (size_t n = 0; n < N; ++n) {
        out[2 * n] = b[n] * scale;
        out[2 * n + 1] = a[n] * scale;
    }
}

TW_KERNEL void deinterleave(const double* __restrict in, double* __restrict re, double* __restrict im, size_t N) {
    for (size_t n = 0; n < N; ++n) {
        re[n] = in[2 * n];
        im[n] = in[2 * n + 1];
    }
}

unsigned log2Of(size_t n) {
    unsigned l = 0;
    while ((size_t(1) << l) < n) ++l;
    return l;
}

}  // namespace

FFTA::~FFTA() = default;

void FFTARadix2::FreeDeleter::operator()(double* p) const { std::free(p); }

FFTARadix2::FFTARadix2(int n) { setSize(n); }

FFTARadix2::FFTARadix2(const FFTARadix2& other) : FFTA(other) {
    if (other.mSize > 0) buildTables(other.mSize);
}

FFTARadix2& FFTARadix2::operator=(const FFTARadix2& other) {
    if (this != &other) {
        if (other.mSize > 0)
            buildTables(other.mSize);
        else
            clear();
    }
    return *this;
}

FFTARadix2::~FFTARadix2() = default;

void FFTARadix2::clear() {
    mSize = 0;
    mLog2 = 0;
    mCos.resize(0);
    mSin.resize(0);
    mTwiddles.clear();
    mTwiddleAt.clear();
}

SoundTools::Status FFTARadix2::setSize(int n) {
    if (n == mSize && n > 0) return SoundTools::Ok;
    if (!isPowerOfTwo(n) || n > kMaxSize) {
        clear();
        SoundDebuggableClass::setError(QString("FFT size %1 is not a power of two between 1 and %2")
                                           .arg(n)
                                           .arg(kMaxSize),
                                       "FFTARadix2::setSize");
        return SoundTools::Error;
    }
    buildTables(n);
    return SoundTools::Ok;
}

void FFTARadix2::buildTables(int n) {
    const size_t N = size_t(n);
    mSize = n;
    mLog2 = int(log2Of(N));
    // Angles are formed in extended precision so that every table entry is the
    // correctly rounded value; the transform's accuracy rests on them.
    const long double step = 2.0L * 3.14159265358979323846264338327950288L / (long double)N;
    mCos.resize(N / 2);
    mSin.resize(N / 2);
    for (size_t k = 0; k < N / 2; ++k) {
        mCos[k] = double(std::cos(step * (long double)k));
        mSin[k] = double(std::sin(step * (long double)k));
    }
    // cos and sin of 2 pi m / N for any m, from the half-period tables.
    auto cosAt = [&](size_t m) { m %= N; return m < N / 2 ? mCos[m] : -mCos[m - N / 2]; };
    auto sinAt = [&](size_t m) { m %= N; return m < N / 2 ? mSin[m] : -mSin[m - N / 2]; };
    mTwiddleAt.assign(size_t(mLog2) + 1, 0);
    mTwiddles.clear();
    for (size_t len = N; len >= 4; len /= 4) {
        const size_t q = len / 4;
        const size_t stride = N / len;
        mTwiddleAt[log2Of(len)] = mTwiddles.size();
        const size_t at = mTwiddles.size();
        mTwiddles.resize(at + 6 * q);
        double* t = mTwiddles.data() + at;
        for (size_t j = 0; j < q; ++j) {
            for (size_t p = 1; p <= 3; ++p) {
                const size_t m = p * j * stride;
                t[(2 * p - 2) * q + j] = cosAt(m);
                t[(2 * p - 1) * q + j] = -sinAt(m);
            }
        }
    }
    if (mAllocated != n || !mWork) {
        // Two split buffers (the passes go back and forth between them).
        void* p = nullptr;
        const size_t bytes = ((4 * N * sizeof(double)) + 63) / 64 * 64;
        if (posix_memalign(&p, 64, bytes) != 0 || !p) throw std::bad_alloc();
        mWork.reset(static_cast<double*>(p));
        mAllocated = n;
    }
}

// Runs the passes from pass (n, s) on, starting from x and going back and forth
// between x and y; returns the buffer holding the result. Without withRadix2 the
// last radix-2 pass (odd log2 N) is left to the caller.
FFTARadix2::Split FFTARadix2::runPasses(Split x, Split y, size_t n, size_t s, bool withRadix2) {
    for (; n >= 4; n /= 4, s *= 4) {
        const double* tw = mTwiddles.data() + mTwiddleAt[log2Of(n)];
        if (s == 1)
            firstPass4(x.re, x.im, y.re, y.im, n, tw);
        else
            pass4(x.re, x.im, y.re, y.im, n, s, tw);
        std::swap(x, y);
    }
    if (n == 2 && withRadix2) {
        lastPass2(x.re, x.im, y.re, y.im, s);
        std::swap(x, y);
    }
    return x;
}

// Transforms the first split buffer; returns the buffer that holds the result.
FFTARadix2::Split FFTARadix2::core() {
    const size_t N = size_t(mSize);
    double* base = mWork.get();
    return runPasses({base, base + N}, {base + 2 * N, base + 3 * N}, N, 1, true);
}

void FFTARadix2::directCompute(const double* in, double* out) {
    if (mSize == 0) return;
    const size_t N = size_t(mSize);
    const size_t h = N / 2;
    double* base = mWork.get();
    const Split a{base, base + N}, b{base + 2 * N, base + 3 * N};
    Split x;
    if (N >= 4) {
        firstPass4Interleaved(in, b.re, b.im, N, mTwiddles.data() + mTwiddleAt[size_t(mLog2)]);
        x = runPasses(b, a, N / 4, 4, false);
    } else {
        deinterleave(in, a.re, a.im, N);
        x = runPasses(a, b, N, 1, false);
    }
    double* L = out;
    double* R = out + 2 * (h + 1);
    const bool fused = mLog2 % 2 == 1;  // the last radix-2 pass is still to do
    splitChannels(x.re, x.im, L, R, N, fused);
    if (fused) {
        L[0] = x.re[0] + x.re[h];
        R[0] = x.im[0] + x.im[h];
        L[2 * h] = x.re[0] - x.re[h];
        R[2 * h] = x.im[0] - x.im[h];
    } else {
        L[0] = x.re[0];
        R[0] = x.im[0];
        L[2 * h] = x.re[h];
        R[2 * h] = x.im[h];
    }
    L[1] = 0.0;
    R[1] = 0.0;
    L[2 * h + 1] = 0.0;
    R[2 * h + 1] = 0.0;
}

void FFTARadix2::inverseCompute(const double* in, double* out) {
    if (mSize == 0) return;
    const size_t N = size_t(mSize);
    const size_t h = N / 2;
    const double* L = in;
    const double* R = in + 2 * (h + 1);
    double* re = mWork.get();
    double* im = re + N;
    // Z[k] = L[k] + i R[k], loaded with real and imaginary parts exchanged: the
    // forward transform of the exchanged sequence, exchanged again, is N times
    // the inverse transform. The imaginary parts of bins 0 and N/2 are ignored:
    // a real signal has none there, and taking them would leak one channel into
    // the other.
    re[0] = R[0];
    im[0] = L[0];
    joinChannelsSwapped(L, R, re, im, N);
    if (h > 0) {
        re[h] = R[2 * h];
        im[h] = L[2 * h];
    }
    const Split z = core();
    interleaveScaled(z.re, z.im, out, N, 1.0 / double(N));
}

void FFTARadix2::directComputeReal(const double* in, double* out) {
    if (mSize == 0) return;
    const size_t N = size_t(mSize);
    const size_t h = N / 2;
    std::memcpy(mWork.get(), in, N * sizeof(double));
    std::memset(mWork.get() + N, 0, N * sizeof(double));
    const Split z = core();
    for (size_t k = 0; k <= h; ++k) {
        out[2 * k] = z.re[k];
        out[2 * k + 1] = z.im[k];
    }
    out[1] = 0.0;
    out[2 * h + 1] = 0.0;
}

void FFTARadix2::complexCompute(const double* in, double* out) {
    if (mSize == 0) return;
    const size_t N = size_t(mSize);
    double* base = mWork.get();
    deinterleave(in, base, base + N, N);
    const Split z = core();
    interleaveScaled(z.im, z.re, out, N, 1.0);
}
