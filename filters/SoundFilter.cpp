// The running filters. Design code (the builders) is in SoundFilterBuilders.cpp.
//
// Every loop here computes, per channel and in this order:
//   acc = b0*x;  acc += b[k+1]*x[k] - a[k+1]*y[k]  for k = N-2 ... 0;  y = acc * (1/a0)
// and outputs gain*y. The unrolled loops keep the histories in registers for the
// length of a call and the two channels in one two-lane vector (two filters in
// one four-lane vector for a crossover's pair), which changes neither the
// operations nor their order, so every variant gives bit-identical results to
// the general loop. The file is compiled without fused multiply-adds, so the
// kernels' clones for newer processors round as the baseline does.
#include "tonewright/SoundFilter.h"

#include <QDebug>
#include <QMessageLogger>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/FrameVector.h"
#include "core/SoundSimd.h"

namespace SoundTools {

using detail::load;
using detail::splat;
using detail::store;
using detail::V2;
using Frame = StereoFrame<double>;

namespace {
const Frame kZeroFrame(0.0, 0.0);

std::valarray<double> padded(const std::valarray<double>& v, size_t n) {
    std::valarray<double> out(0.0, n);
    for (size_t i = 0; i < v.size() && i < n; ++i) out[i] = v[i];
    return out;
}
}  // namespace

std::valarray<double> polyMultiply(const std::valarray<double>& p, const std::valarray<double>& q) {
    if (p.size() == 0 || q.size() == 0) return std::valarray<double>();
    std::valarray<double> r(0.0, p.size() + q.size() - 1);
    for (size_t k = 0; k < r.size(); ++k) {
        double s = 0.0;
        for (size_t i = 0; i < p.size(); ++i)
            if (k >= i && k - i < q.size()) s += p[i] * q[k - i];
        r[k] = s;
    }
    return r;
}

// ---------------------------------------------------------------- Filter

Filter::Filter(std::valarray<double> b, std::valarray<double> a) {
    size_t n = std::max(b.size(), a.size());
    if (n == 0) {
        // No coefficient at all: a defined, silent filter rather than an empty one.
        QMessageLogger().critical() << "Filter built without coefficients : it outputs silence";
        b = std::valarray<double>(0.0, 1);
        a = std::valarray<double>(1.0, 1);
        n = 1;
    }
    mSize = unsigned(n);
    mB = padded(b, n);
    mA = padded(a, n);
    if (mA[0] == 0.0 || !std::isfinite(mA[0]))
        QMessageLogger().critical() << "Filter built with a[0] =" << mA[0] << ": it outputs silence";
    resetHistory();
}

Filter::Filter(const Filter& other) : mSize(other.mSize), mB(other.mB), mA(other.mA), mGain(other.mGain) {
    resetHistory();
}

Filter& Filter::operator=(const Filter& other) {
    if (this != &other) {
        mSize = other.mSize;
        mB = other.mB;
        mA = other.mA;
        mGain = other.mGain;
        resetHistory();
    }
    return *this;
}

void Filter::resetHistory() {
    mInHist = std::valarray<Frame>(kZeroFrame, mSize);
    mOutHist = std::valarray<Frame>(kZeroFrame, mSize);
}

double Filter::normaliser() const {
    const double a0 = mA[0];
    return a0 == 0.0 || !std::isfinite(a0) ? 0.0 : 1.0 / a0;
}

void Filter::setGain(double gain) { mGain = gain; }

void Filter::filter(Frame* in, Frame* out, unsigned count) {
    const unsigned n = mSize;
    const double inv = normaliser();
    const double* b = &mB[0];
    const double* a = &mA[0];
    Frame* xh = &mInHist[0];
    Frame* yh = &mOutHist[0];
    for (unsigned i = 0; i < count; ++i) {
        const Frame x = in[i];
        double accL = b[0] * x.l;
        double accR = b[0] * x.r;
        for (int k = int(n) - 2; k >= 0; --k) {
            accL += b[k + 1] * xh[k].l - a[k + 1] * yh[k].l;
            accR += b[k + 1] * xh[k].r - a[k + 1] * yh[k].r;
            if (k > 0) {
                xh[k] = xh[k - 1];
                yh[k] = yh[k - 1];
            }
        }
        const Frame y(accL * inv, accR * inv);
        xh[0] = x;
        yh[0] = y;
        out[i] = Frame(mGain * y.l, mGain * y.r);
    }
}

// ---------------------------------------------------------------- biquads

namespace {
// One biquad section of a cascade, with its state in registers while it runs.
struct Section {
    V2 b0, b1, b2, a1, a2, inv, gain;
    V2 x1, x2, y1, y2;

    void loadFrom(const Filter& f, const double* b, const double* a, double norm, const Frame* xh, const Frame* yh) {
        b0 = splat(b[0]);
        b1 = splat(b[1]);
        b2 = splat(b[2]);
        a1 = splat(a[1]);
        a2 = splat(a[2]);
        inv = splat(norm);
        gain = splat(f.getGain());
        x1 = load(xh[0]);
        x2 = load(xh[1]);
        y1 = load(yh[0]);
        y2 = load(yh[1]);
    }
    // Returns the output before the gain.
    inline V2 step(V2 x) {
        V2 acc = b0 * x;
        acc += b2 * x2 - a2 * y2;
        acc += b1 * x1 - a1 * y1;
        const V2 y = acc * inv;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// K sections interleaved frame by frame: section k works on frame i while
// section k+1 works on frame i-1's result, so K recursions are in flight.
// Unity: every section has a0 = 1 and gain 1, whose multiplications are exact
// no-ops and are left out (they would lengthen each recursion).
template <int K, bool Unity>
TW_INLINE void runSections(Section* s, const Frame* in, Frame* out, unsigned count) {
    Section local[K];
    for (int k = 0; k < K; ++k) local[k] = s[k];
    for (unsigned i = 0; i < count; ++i) {
        V2 v = load(in[i]);
        for (int k = 0; k < K; ++k) {
            Section& q = local[k];
            V2 acc = q.b0 * v;
            acc += q.b2 * q.x2 - q.a2 * q.y2;
            acc += q.b1 * q.x1 - q.a1 * q.y1;
            const V2 y = Unity ? acc : acc * q.inv;
            q.x2 = q.x1;
            q.x1 = v;
            q.y2 = q.y1;
            q.y1 = y;
            v = Unity ? y : q.gain * y;
        }
        store(out[i], v);
    }
    for (int k = 0; k < K; ++k) s[k] = local[k];
}

// One group of k (1 ... 3) sections. A kernel: the newer vector levels add no
// lanes here but twice the registers and three-operand instructions, which
// spare the group's state the trips to memory.
TW_KERNEL void runGroup(Section* s, unsigned k, bool unity, const Frame* in, Frame* out, unsigned count) {
    switch (k * 2 + (unity ? 1 : 0)) {
        case 2: runSections<1, false>(s, in, out, count); break;
        case 3: runSections<1, true>(s, in, out, count); break;
        case 4: runSections<2, false>(s, in, out, count); break;
        case 5: runSections<2, true>(s, in, out, count); break;
        case 6: runSections<3, false>(s, in, out, count); break;
        default: runSections<3, true>(s, in, out, count); break;
    }
}
}  // namespace

BiquadFilter::BiquadFilter(const double b[3], const double a[3])
    : Filter(std::valarray<double>(b, 3), std::valarray<double>(a, 3)) {}

void BiquadFilter::filter(Frame* in, Frame* out, unsigned count) {
    BiquadFilter* self = this;
    filterCascade(&self, 1, in, out, count);
}

void BiquadFilter::filterCascade(BiquadFilter* const* filters, unsigned n, const Frame* in, Frame* out,
                                 unsigned count) {
    // Groups of up to three sections keep all their state in the sixteen vector
    // registers of the base instruction set (measured: three beat two and
    // four); the groups then run one after the other, in place.
    constexpr unsigned kGroup = 3;
    for (unsigned first = 0; first < n; first += kGroup) {
        const unsigned k = std::min(kGroup, n - first);
        Section s[kGroup];
        bool unity = true;
        for (unsigned j = 0; j < k; ++j) {
            BiquadFilter* f = filters[first + j];
            const double norm = f->normaliser();
            s[j].loadFrom(*f, &f->mB[0], &f->mA[0], norm, &f->mInHist[0], &f->mOutHist[0]);
            unity = unity && norm == 1.0 && f->mGain == 1.0;
        }
        const Frame* src = first == 0 ? in : out;
        runGroup(s, k, unity, src, out, count);
        for (unsigned j = 0; j < k; ++j) {
            BiquadFilter* f = filters[first + j];
            store(f->mInHist[0], s[j].x1);
            store(f->mInHist[1], s[j].x2);
            store(f->mOutHist[0], s[j].y1);
            store(f->mOutHist[1], s[j].y2);
        }
    }
    if (n == 0 && count > 0 && out != in) std::copy(in, in + count, out);
}

// ---------------------------------------------------------------- clip filter

BiquadClipFilter::BiquadClipFilter(const double b[3], const double a[3], double gain) : BiquadFilter(b, a) {
    mGain = gain;
}

void BiquadClipFilter::setGain(double gain) {
    if (gain == mGain) return;
    mRampCount = kRampFrames;
    mRampStep = (gain - mGain) / double(kRampFrames);
}

void BiquadClipFilter::filter(Frame* in, Frame* out, unsigned count) {
    Section s;
    s.loadFrom(*this, &mB[0], &mA[0], normaliser(), &mInHist[0], &mOutHist[0]);
    for (unsigned i = 0; i < count; ++i) {
        const V2 yv = s.step(load(in[i]));
        Frame y;
        store(y, yv);
        if (mRampCount != 0) {
            mGain += mRampStep;
            --mRampCount;
        }
        const Frame o(mGain * y.l, mGain * y.r);
        out[i] = o;
        if (o.absmax() > 1.0) {
            const unsigned n = std::min(i, kMaxFadeFrames);
            if (n > 0) {
                // Fade the frames already written in this block from the old gain
                // to the new one, so that the drop is not a step.
                const double peak = y.absmax();
                const double newGain = 0.8 / peak;
                const double step = (newGain - mGain) / double(n);
                for (unsigned j = 0; j < n; ++j) {
                    const double factor = (double(j) * step + mGain) / mGain;
                    Frame& f = out[i - n + j];
                    f = Frame(f.l * factor, f.r * factor);
                }
                out[i] = Frame(newGain * y.l, newGain * y.r);
                mGain = newGain;
            }
            mRampCount = 0;  // a running setGain ramp is abandoned
        }
    }
    store(mInHist[0], s.x1);
    store(mInHist[1], s.x2);
    store(mOutHist[0], s.y1);
    store(mOutHist[1], s.y2);
}

// ---------------------------------------------------------------- orders 1, 4 and 6

Order1Filter::Order1Filter(std::valarray<double> b, std::valarray<double> a)
    : Filter(padded(b, 2), padded(a, 2)) {}

void Order1Filter::filter(Frame* in, Frame* out, unsigned count) {
    const V2 b0 = splat(mB[0]), b1 = splat(mB[1]), a1 = splat(mA[1]);
    const V2 inv = splat(normaliser()), gain = splat(mGain);
    V2 x1 = load(mInHist[0]), y1 = load(mOutHist[0]);
    for (unsigned i = 0; i < count; ++i) {
        const V2 x = load(in[i]);
        V2 acc = b0 * x;
        acc += b1 * x1 - a1 * y1;
        const V2 y = acc * inv;
        x1 = x;
        y1 = y;
        store(out[i], gain * y);
    }
    store(mInHist[0], x1);
    store(mOutHist[0], y1);
}

namespace {
// Direct form of fixed order M (N = M + 1), histories in registers.
// Normalised: a0 = 1, whose multiplication is an exact no-op left out of the
// recursion.
template <int M, bool Normalised>
void runOrder(const double* b, const double* a, double norm, double g, Frame* xh, Frame* yh, Frame* in, Frame* out,
              unsigned count) {
    V2 bv[M + 1], av[M + 1], x[M], y[M];
    for (int k = 0; k <= M; ++k) {
        bv[k] = splat(b[k]);
        av[k] = splat(a[k]);
    }
    for (int k = 0; k < M; ++k) {
        x[k] = load(xh[k]);
        y[k] = load(yh[k]);
    }
    const V2 inv = splat(norm), gain = splat(g);
    for (unsigned i = 0; i < count; ++i) {
        const V2 xi = load(in[i]);
        V2 acc = bv[0] * xi;
        for (int k = M - 1; k >= 0; --k) acc += bv[k + 1] * x[k] - av[k + 1] * y[k];
        const V2 yi = Normalised ? acc : acc * inv;
        for (int k = M - 1; k > 0; --k) {
            x[k] = x[k - 1];
            y[k] = y[k - 1];
        }
        x[0] = xi;
        y[0] = yi;
        store(out[i], gain * yi);
    }
    for (int k = 0; k < M; ++k) {
        store(xh[k], x[k]);
        store(yh[k], y[k]);
    }
}
template <int M>
void runOrder(const double* b, const double* a, double norm, double g, Frame* xh, Frame* yh, Frame* in, Frame* out,
              unsigned count) {
    if (norm == 1.0)
        runOrder<M, true>(b, a, norm, g, xh, yh, in, out, count);
    else
        runOrder<M, false>(b, a, norm, g, xh, yh, in, out, count);
}
}  // namespace

namespace {
// Two fourth-order filters side by side in one four-lane vector: lanes 0 and 1
// the first filter's left and right, lanes 2 and 3 the second's. Every lane
// does what runOrder does for its channel, in the same order (a filter whose
// a[0] is 1 is scaled by exactly 1.0 here, which changes no value).
#if defined(__GNUC__)
typedef double V4 __attribute__((vector_size(32)));
#else
struct V4 {
    double v[4];
    double& operator[](int i) { return v[i]; }
    double operator[](int i) const { return v[i]; }
    friend V4 operator+(V4 x, V4 y) { return {{x[0] + y[0], x[1] + y[1], x[2] + y[2], x[3] + y[3]}}; }
    friend V4 operator-(V4 x, V4 y) { return {{x[0] - y[0], x[1] - y[1], x[2] - y[2], x[3] - y[3]}}; }
    friend V4 operator*(V4 x, V4 y) { return {{x[0] * y[0], x[1] * y[1], x[2] * y[2], x[3] * y[3]}}; }
    V4& operator+=(V4 y) { return *this = *this + y; }
};
#endif

struct Order4Pair {
    V4 b[5], a[5], inv, gain;
    V4 x[4], y[4];  // element k: the frame k+1 frames back, of each filter
};

template <bool Scale>
TW_INLINE void order4PairLoop(Order4Pair& s, const Frame* in, Frame* outA, Frame* outB, unsigned count) {
    V4 x0 = s.x[0], x1 = s.x[1], x2 = s.x[2], x3 = s.x[3];
    V4 y0 = s.y[0], y1 = s.y[1], y2 = s.y[2], y3 = s.y[3];
    const V4 inv = s.inv, gain = s.gain;
    for (unsigned i = 0; i < count; ++i) {
        const V4 xi = {in[i].l, in[i].r, in[i].l, in[i].r};
        V4 acc = s.b[0] * xi;
        acc += s.b[4] * x3 - s.a[4] * y3;
        acc += s.b[3] * x2 - s.a[3] * y2;
        acc += s.b[2] * x1 - s.a[2] * y1;
        acc += s.b[1] * x0 - s.a[1] * y0;
        const V4 yi = Scale ? acc * inv : acc;
        x3 = x2;
        x2 = x1;
        x1 = x0;
        x0 = xi;
        y3 = y2;
        y2 = y1;
        y1 = y0;
        y0 = yi;
        const V4 o = gain * yi;
        outA[i].l = o[0];
        outA[i].r = o[1];
        outB[i].l = o[2];
        outB[i].r = o[3];
    }
    s.x[0] = x0, s.x[1] = x1, s.x[2] = x2, s.x[3] = x3;
    s.y[0] = y0, s.y[1] = y1, s.y[2] = y2, s.y[3] = y3;
}

TW_KERNEL void runOrder4Pair(Order4Pair& s, bool scale, const Frame* in, Frame* outA, Frame* outB, unsigned count) {
    if (scale)
        order4PairLoop<true>(s, in, outA, outB, count);
    else
        order4PairLoop<false>(s, in, outA, outB, count);
}
}  // namespace

Order4Filter::Order4Filter(std::valarray<double> b, std::valarray<double> a)
    : Filter(padded(b, 5), padded(a, 5)) {}

void Order4Filter::filter(Frame* in, Frame* out, unsigned count) {
    runOrder<4>(&mB[0], &mA[0], normaliser(), mGain, &mInHist[0], &mOutHist[0], in, out, count);
}

void Order4Filter::filterPair(Order4Filter& a, Order4Filter& b, const Frame* in, Frame* outA, Frame* outB,
                              unsigned count) {
    Order4Filter* f[2] = {&a, &b};
    double norm[2];
    Order4Pair s;
    for (int j = 0; j < 2; ++j) {
        norm[j] = f[j]->normaliser();
        for (int lane = 2 * j; lane < 2 * j + 2; ++lane) {
            const bool left = lane % 2 == 0;
            for (int k = 0; k < 5; ++k) {
                s.b[k][lane] = f[j]->mB[size_t(k)];
                s.a[k][lane] = f[j]->mA[size_t(k)];
            }
            for (int k = 0; k < 4; ++k) {
                s.x[k][lane] = left ? f[j]->mInHist[size_t(k)].l : f[j]->mInHist[size_t(k)].r;
                s.y[k][lane] = left ? f[j]->mOutHist[size_t(k)].l : f[j]->mOutHist[size_t(k)].r;
            }
            s.inv[lane] = norm[j];
            s.gain[lane] = f[j]->mGain;
        }
    }
    runOrder4Pair(s, norm[0] != 1.0 || norm[1] != 1.0, in, outA, outB, count);
    for (int j = 0; j < 2; ++j)
        for (int k = 0; k < 4; ++k) {
            f[j]->mInHist[size_t(k)] = Frame(s.x[k][2 * j], s.x[k][2 * j + 1]);
            f[j]->mOutHist[size_t(k)] = Frame(s.y[k][2 * j], s.y[k][2 * j + 1]);
        }
}

Order6Filter::Order6Filter(std::valarray<double> b, std::valarray<double> a)
    : Filter(padded(b, 7), padded(a, 7)) {}

void Order6Filter::filter(Frame* in, Frame* out, unsigned count) {
    runOrder<6>(&mB[0], &mA[0], normaliser(), mGain, &mInHist[0], &mOutHist[0], in, out, count);
}

}  // namespace SoundTools
