#include "tonewright/RemezDesign.h"

#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/SoundSimd.h"
#include "tonewright/SoundDebuggableClass.h"

// The exchange works on x = cos(2 pi f). For an odd length N = 2r - 1 the
// amplitude response is a polynomial of degree r - 1 in x; for an even length
// N = 2r it is cos(pi f) times such a polynomial, which is designed against the
// target divided by cos(pi f) with the weight multiplied by it. Each iteration
// takes r + 1 trial extremal frequencies, finds the deviation delta for which a
// polynomial meets the target with errors +delta, -delta, ... there, evaluates
// that polynomial on a dense grid by barycentric Lagrange interpolation, and
// moves the trial set to the alternating extrema of the new error. The impulse
// response is finally sampled from the polynomial (an inverse cosine transform,
// exact for a polynomial of this degree).

namespace SoundTools {

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;
constexpr double kMinDenominator = 1e-5;  // products of node distances are held above this
constexpr double kSameNode = 1e-7;        // grid points this close to a node take its value
constexpr double kExactFit = 1e-12;      // weighted errors below this are rounding
constexpr unsigned kCoarseFactor = 8;     // the first exchanges run on a grid this much coarser
constexpr double kCoarseTolerance = 1e-2;

bool finite(double v) { return std::isfinite(v); }

Status fail(const QString& message, std::vector<double>& h) {
    h.clear();
    SoundDebuggableClass::setError(message, "RemezDesign::design");
    return Error;
}

// Accumulates, for one node (xi, bi, yi), its terms of the barycentric sums at
// every grid point: num += bi yi / (x - xi), den += bi / (x - xi).
TW_KERNEL void accumulateNode(const double* x, double* num, double* den, size_t n, double xi, double bi, double yi) {
    const double byi = bi * yi;
    for (size_t j = 0; j < n; ++j) {
        const double t = 1.0 / (x[j] - xi);
        num[j] += byi * t;
        den[j] += bi * t;
    }
}

// Splits v into a value of magnitude in [0.5, 1) and a power of two (v = value
// * 2^exponent); 0 stays 0. Finite normal values only, which the callers ensure.
TW_INLINE double splitExponent(double v, long* exponent) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const long biased = long((bits >> 52) & 0x7ff);
    if (biased == 0) return v;  // 0 (no denormal product survives the renormalisation)
    *exponent += biased - 1022;
    bits = (bits & ~(uint64_t(0x7ff) << 52)) | (uint64_t(1022) << 52);
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// prod_{j != i} 2 (xi - x_j) as mantissa * 2^exponent: the range of these
// products grows like 4^r, beyond what a double holds for long filters. Four
// partial products run side by side and are renormalised every 16 factors
// (2 |xi - x_j| <= 4, and no two nodes are closer than a grid step, so 16
// factors stay well inside the range of a double).
TW_KERNEL double nodeProduct(const double* xs, size_t m, size_t i, long* exponent) {
    const double xi = xs[i];
    double p[4] = {1.0, 1.0, 1.0, 1.0};
    long e = 0;
    for (size_t start = 0; start < m; start += 64) {
        const size_t end = std::min(m, start + 64);
        size_t j = start;
        for (; j + 4 <= end; j += 4)
            for (size_t k = 0; k < 4; ++k) p[k] *= j + k == i ? 1.0 : 2.0 * (xi - xs[j + k]);
        for (; j < end; ++j) p[0] *= j == i ? 1.0 : 2.0 * (xi - xs[j]);
        for (double& v : p) v = splitExponent(v, &e);
    }
    const double mantissa = splitExponent(p[0] * p[1] * p[2] * p[3], &e);
    *exponent = e;
    return mantissa;
}

// Barycentric weights 1 / prod_{j != i} 2 (x_i - x_j), normalised to a largest
// magnitude of 1.
void baryWeights(const std::vector<double>& xs, std::vector<double>& b) {
    const size_t m = xs.size();
    std::vector<double> mantissa(m);
    std::vector<long> exponent(m);
    long smallest = std::numeric_limits<long>::max();
    for (size_t i = 0; i < m; ++i) {
        mantissa[i] = nodeProduct(xs.data(), m, i, &exponent[i]);
        // Coincident nodes would make the weight infinite: the product is held
        // at a floor instead.
        if (exponent[i] < -16 && std::fabs(std::ldexp(mantissa[i], int(exponent[i]))) < kMinDenominator) {
            int ev = 0;
            mantissa[i] = std::frexp(mantissa[i] < 0 ? -kMinDenominator : kMinDenominator, &ev);
            exponent[i] = ev;
        }
        smallest = std::min(smallest, exponent[i]);
    }
    b.resize(m);
    for (size_t i = 0; i < m; ++i) {
        const long shift = exponent[i] - smallest;  // weights below 2^-1074 of the largest vanish
        b[i] = shift > 1100 ? 0.0 : std::ldexp(1.0 / mantissa[i], -int(shift));
    }
    double largest = 0.0;
    for (double v : b) largest = std::max(largest, std::fabs(v));
    for (double& v : b) v /= largest;
}

// Value at x of the polynomial through (xs, ys) with barycentric weights b.
double interpolate(double x, const std::vector<double>& xs, const std::vector<double>& ys,
                   const std::vector<double>& b) {
    double num = 0.0, den = 0.0;
    for (size_t i = 0; i < xs.size(); ++i) {
        const double d = x - xs[i];
        if (std::fabs(d) < kSameNode) return ys[i];
        const double t = b[i] / d;
        num += t * ys[i];
        den += t;
    }
    return num / den;
}

struct Grid {
    std::vector<double> f;  // frequency
    std::vector<double> x;  // cos(2 pi f)
    std::vector<double> d;  // target (already divided by cos(pi f) for even lengths)
    std::vector<double> w;  // weight (already multiplied by cos(pi f) for even lengths)
    std::vector<int> band;  // index of the band the point belongs to
};

// Orders the bands by their lower edge, clamps the edges to [0, 0.5], moves
// each band's lower edge up to the previous band's upper edge so that bands do
// not overlap, and drops the bands left empty (a band whose edges are given in
// reverse is empty).
std::vector<RemezBand> usableBands(std::vector<RemezBand> bands) {
    std::stable_sort(bands.begin(), bands.end(),
                     [](const RemezBand& a, const RemezBand& b) { return a.low < b.low; });
    std::vector<RemezBand> out;
    double last = 0.0;
    for (RemezBand b : bands) {
        b.low = std::max(std::min(std::max(b.low, 0.0), 0.5), last);
        b.high = std::max(std::min(std::max(b.high, 0.0), 0.5), b.low);
        last = b.high;
        if (b.high > b.low) out.push_back(b);
    }
    return out;
}

Grid buildGrid(const std::vector<RemezBand>& bands, unsigned r, unsigned density, bool even) {
    Grid g;
    const double spacing = 0.5 / (double(density) * double(r));
    // An even length has a zero at 0.5 that the weighting cannot move: the grid stops short of it.
    const double top = even ? 0.5 - spacing : 0.5;
    for (size_t b = 0; b < bands.size(); ++b) {
        const double low = bands[b].low;
        const double high = std::min(bands[b].high, top);
        if (low > high) continue;
        const size_t steps = size_t(std::ceil((high - low) / spacing));
        for (size_t j = 0; j <= steps; ++j) {
            const double f = j == steps ? high : low + double(j) * spacing;
            // Touching bands would put two targets on one frequency.
            if (!g.f.empty() && f <= g.f.back() + 1e-12) continue;
            g.f.push_back(f);
            g.band.push_back(int(b));
        }
    }
    const size_t n = g.f.size();
    g.x.resize(n);
    g.d.resize(n);
    g.w.resize(n);
    for (size_t j = 0; j < n; ++j) {
        const RemezBand& b = bands[size_t(g.band[j])];
        g.x[j] = std::cos(kTwoPi * g.f[j]);
        if (even) {
            const double c = std::cos(M_PI * g.f[j]);
            g.d[j] = b.desired / c;
            g.w[j] = b.weight * c;
        } else {
            g.d[j] = b.desired;
            g.w[j] = b.weight;
        }
    }
    return g;
}

// Grid indices of the alternating extrema of err, at most `want` of them, the
// largest kept. Fewer than `want` when the error does not alternate enough.
std::vector<int> findExtremals(const std::vector<double>& err, const std::vector<int>& band, size_t want) {
    const int n = int(err.size());
    std::vector<int> cand;
    for (int j = 0; j < n; ++j) {
        const double e = err[size_t(j)];
        if (e == 0.0) continue;
        const bool hasLeft = j > 0 && band[size_t(j - 1)] == band[size_t(j)];
        const bool hasRight = j + 1 < n && band[size_t(j + 1)] == band[size_t(j)];
        bool extremum;
        if (e > 0)
            extremum = (!hasLeft || e >= err[size_t(j - 1)]) && (!hasRight || e > err[size_t(j + 1)]);
        else
            extremum = (!hasLeft || e <= err[size_t(j - 1)]) && (!hasRight || e < err[size_t(j + 1)]);
        if (!extremum) continue;
        // Two extrema of one sign in a row: the larger one stands for both.
        if (!cand.empty() && (err[size_t(cand.back())] > 0) == (e > 0)) {
            if (std::fabs(e) > std::fabs(err[size_t(cand.back())])) cand.back() = j;
            continue;
        }
        cand.push_back(j);
    }
    auto mag = [&](size_t k) { return std::fabs(err[size_t(cand[k])]); };
    while (cand.size() > want) {
        // Alternation survives removing an end, or an inner extremum together
        // with one of its neighbours.
        if (cand.size() == want + 1) {
            if (mag(0) < mag(cand.size() - 1))
                cand.erase(cand.begin());
            else
                cand.pop_back();
            continue;
        }
        size_t m = 0;
        for (size_t k = 1; k < cand.size(); ++k)
            if (mag(k) < mag(m)) m = k;
        if (m == 0) {
            cand.erase(cand.begin());
        } else if (m == cand.size() - 1) {
            cand.pop_back();
        } else {
            const size_t other = mag(m - 1) < mag(m + 1) ? m - 1 : m + 1;
            const size_t first = std::min(m, other);
            cand.erase(cand.begin() + long(first), cand.begin() + long(first) + 2);
        }
    }
    return cand;
}

// The exchange iterations on one grid.
struct Exchange {
    const Grid& g;
    const unsigned r;
    std::vector<int> ext;                 // grid indices of the r + 1 trial extremal frequencies
    std::vector<double> xs, ys, b;        // nodes, values and barycentric weights of the polynomial
    std::vector<double> num, den, err;
    double delta = 0.0;                   // levelled deviation of the last iteration
    double peak = 0.0;                    // largest weighted error on the grid
    unsigned iterations = 0;
    bool converged = false;

    Exchange(const Grid& grid, unsigned coefficients)
        : g(grid), r(coefficients), ext(r + 1), xs(r + 1), ys(r + 1), num(grid.f.size()), den(grid.f.size()),
          err(grid.f.size()) {}

    void spreadEvenly() {
        const size_t n = g.f.size();
        for (unsigned i = 0; i <= r; ++i) ext[i] = int(uint64_t(i) * (n - 1) / r);
    }

    // Starts from the extremal frequencies another exchange found, moved to the
    // nearest points of this grid (kept distinct and in order).
    void startFrom(const Exchange& other) {
        const int n = int(g.f.size());
        for (unsigned i = 0; i <= r; ++i) {
            const double f = other.g.f[size_t(other.ext[i])];
            int j = int(std::lower_bound(g.f.begin(), g.f.end(), f) - g.f.begin());
            if (j > 0 && (j == n || f - g.f[size_t(j - 1)] < g.f[size_t(j)] - f)) --j;
            ext[i] = j;
        }
        for (unsigned i = 1; i <= r; ++i) ext[i] = std::max(ext[i], ext[i - 1] + 1);
        for (int i = int(r) - 1; i >= 0; --i) ext[size_t(i)] = std::min(ext[size_t(i)], ext[size_t(i) + 1] - 1);
        if (ext[0] < 0 || ext[r] > n - 1) spreadEvenly();
    }

    // Iterates until the extremal errors agree within `tolerance` (relative) or
    // `limit` iterations have run. Error when the extremal set is singular;
    // Finished when the error stopped alternating (the last polynomial stays).
    Status run(unsigned limit, double tolerance) {
        const size_t n = g.f.size();
        for (unsigned it = 0; it < limit; ++it) {
            ++iterations;
            for (unsigned i = 0; i <= r; ++i) xs[i] = g.x[size_t(ext[i])];
            baryWeights(xs, b);
            double top = 0.0, bottom = 0.0;
            for (unsigned i = 0; i <= r; ++i) {
                const size_t j = size_t(ext[i]);
                top += b[i] * g.d[j];
                bottom += (i % 2 ? -b[i] : b[i]) / g.w[j];
            }
            delta = top / bottom;
            if (!finite(delta)) return Error;
            for (unsigned i = 0; i <= r; ++i) {
                const size_t j = size_t(ext[i]);
                ys[i] = g.d[j] - (i % 2 ? -delta : delta) / g.w[j];
            }
            std::fill(num.begin(), num.end(), 0.0);
            std::fill(den.begin(), den.end(), 0.0);
            for (unsigned i = 0; i <= r; ++i)
                accumulateNode(g.x.data(), num.data(), den.data(), n, xs[i], b[i], ys[i]);
            for (size_t j = 0; j < n; ++j) err[j] = num[j] / den[j];
            // Points on (or next to) a node take its value: the sums are singular there.
            for (unsigned i = 0; i <= r; ++i) {
                const long at = ext[i];
                for (long j = at; j >= 0 && std::fabs(g.x[size_t(j)] - xs[i]) < kSameNode; --j) err[size_t(j)] = ys[i];
                for (long j = at + 1; j < long(n) && std::fabs(g.x[size_t(j)] - xs[i]) < kSameNode; ++j)
                    err[size_t(j)] = ys[i];
            }
            peak = 0.0;
            for (size_t j = 0; j < n; ++j) {
                err[j] = g.w[j] * (g.d[j] - err[j]);
                peak = std::max(peak, std::fabs(err[j]));
            }
            // An exact fit (a target the polynomial can meet) has nothing to equalise.
            if (peak <= kExactFit) {
                converged = true;
                return Ok;
            }
            std::vector<int> next = findExtremals(err, g.band, size_t(r) + 1);
            if (next.size() < size_t(r) + 1) return Finished;
            double largest = 0.0, smallest = std::numeric_limits<double>::infinity();
            for (int j : next) {
                largest = std::max(largest, std::fabs(err[size_t(j)]));
                smallest = std::min(smallest, std::fabs(err[size_t(j)]));
            }
            ext.swap(next);
            if ((largest - smallest) / largest < tolerance) {
                converged = true;
                return Ok;
            }
        }
        return Ok;
    }
};

}  // namespace

std::vector<RemezBand> RemezDesign::lowPass(double f1, double transition, double stopWeight) {
    return {{0.0, f1, 1.0, 1.0}, {f1 + transition, 0.5, 0.0, stopWeight}};
}

std::vector<RemezBand> RemezDesign::highPass(double f1, double transition, double stopWeight) {
    return {{0.0, f1 - transition, 0.0, stopWeight}, {f1, 0.5, 1.0, 1.0}};
}

std::vector<RemezBand> RemezDesign::bandPass(double f1, double f2, double transition, double stopWeight) {
    return {{0.0, f1 - transition, 0.0, stopWeight}, {f1, f2, 1.0, 1.0}, {f2 + transition, 0.5, 0.0, stopWeight}};
}

std::vector<RemezBand> RemezDesign::bandStop(double f1, double f2, double transition, double stopWeight) {
    return {{0.0, f1, 1.0, 1.0}, {f1 + transition, f2 - transition, 0.0, stopWeight}, {f2, 0.5, 1.0, 1.0}};
}

unsigned RemezDesign::estimateTaps(double deltaP, double deltaS, double transition) {
    if (!(deltaP > 0.0 && deltaP < 1.0 && deltaS > 0.0 && deltaS < 1.0 && transition > 0.0) || !finite(transition))
        return 0;
    const double order = std::floor(0.5 - (10.0 * std::log10(deltaP * deltaS) + 13.0) / (14.6 * transition));
    if (!(order < double(kMaxTaps))) return kMaxTaps;
    return order < 0.0 ? 1u : unsigned(order) + 1;
}

Status RemezDesign::design(unsigned taps, unsigned bandNb, const double* edges, const double* desired,
                           const double* weights, std::vector<double>& h, RemezReport* report) {
    if (bandNb > 0 && (!edges || !desired || !weights)) return fail("missing band arrays", h);
    std::vector<RemezBand> bands(bandNb);
    for (unsigned b = 0; b < bandNb; ++b) bands[b] = {edges[2 * b], edges[2 * b + 1], desired[b], weights[b]};
    return design(taps, bands, h, report);
}

Status RemezDesign::design(unsigned taps, const std::vector<RemezBand>& requested, std::vector<double>& h,
                           RemezReport* report, unsigned gridDensity) {
    if (report) *report = RemezReport();
    if (taps == 0 || taps > kMaxTaps)
        return fail(QString("a filter of %1 taps cannot be designed (1 to %2)").arg(taps).arg(kMaxTaps), h);
    if (gridDensity == 0) return fail("grid density 0", h);
    for (const RemezBand& b : requested) {
        if (!finite(b.low) || !finite(b.high) || !finite(b.desired) || !finite(b.weight))
            return fail("band values must be finite numbers", h);
        if (!(b.weight > 0.0)) return fail(QString("band weight %1 is not positive").arg(b.weight), h);
    }
    const std::vector<RemezBand> bands = usableBands(requested);
    if (report) report->bands = bands;
    if (bands.empty()) return fail("no band of non-zero width within 0 .. 0.5", h);

    const bool even = taps % 2 == 0;
    const unsigned r = even ? taps / 2 : taps / 2 + 1;  // polynomial coefficients
    const Grid g = buildGrid(bands, r, gridDensity, even);
    const size_t n = g.f.size();
    if (report) report->gridPoints = unsigned(n);
    if (n < size_t(r) + 1)
        return fail(QString("the bands leave %1 grid points for the %2 extremal frequencies of %3 taps")
                        .arg(n)
                        .arg(r + 1)
                        .arg(taps),
                    h);

    // The first exchanges run on a grid four times coarser, which costs a
    // quarter per iteration and places the extremal set close to its final
    // position; the exchanges on the full grid then only refine it.
    Exchange fine(g, r);
    fine.spreadEvenly();
    if (gridDensity >= 2 * kCoarseFactor && r >= 8) {
        const Grid coarse = buildGrid(bands, r, gridDensity / kCoarseFactor, even);
        if (coarse.f.size() >= size_t(r) + 1) {
            Exchange rough(coarse, r);
            rough.spreadEvenly();
            if (rough.run(kMaxIterations, kCoarseTolerance) != Error) fine.startFrom(rough);
            if (report) report->coarseIterations = rough.iterations;
        }
    }
    if (fine.run(kMaxIterations, kTolerance) == Error)
        return fail("the exchange met a singular extremal set", h);
    const std::vector<double>& xs = fine.xs;
    const std::vector<double>& ys = fine.ys;
    const std::vector<double>& b = fine.b;

    // The impulse response, sampled from the final polynomial: with c = (N-1)/2,
    // h[k] = (A(0) + 2 sum_{m=1}^{M} A(m/N) cos(2 pi m (k - c) / N)) / N, where A is
    // the amplitude response (cos(pi f) times the polynomial for even N) and M
    // the last sample below 0.5.
    const unsigned N = taps;
    const unsigned M = (N - 1) / 2;
    std::vector<double> amp(M + 1);
    for (unsigned m = 0; m <= M; ++m) {
        const double f = double(m) / double(N);
        double a = interpolate(std::cos(kTwoPi * f), xs, ys, b);
        if (even) a *= std::cos(M_PI * f);
        amp[m] = a;
    }
    // cos(2 pi m (k - c) / N) = cos(2 pi (m (2k - N + 1) mod 2N) / 2N): one table.
    std::vector<double> cosTable(2 * size_t(N));
    for (size_t q = 0; q < cosTable.size(); ++q) cosTable[q] = std::cos(M_PI * double(q) / double(N));
    h.assign(N, 0.0);
    const int64_t period = 2 * int64_t(N);
    for (unsigned k = 0; k <= (N - 1) / 2; ++k) {
        const int64_t offset = 2 * int64_t(k) - int64_t(N) + 1;
        double s = amp[0];
        for (unsigned m = 1; m <= M; ++m) {
            int64_t q = (int64_t(m) * offset) % period;
            if (q < 0) q += period;
            s += 2.0 * amp[m] * cosTable[size_t(q)];
        }
        h[k] = s / double(N);
        h[N - 1 - k] = h[k];
    }

    if (report) {
        report->iterations = fine.iterations;
        report->converged = fine.converged;
        report->deviation = fine.peak;
        report->alternations = unsigned(fine.ext.size());
        report->extremals.clear();
        for (int j : fine.ext) report->extremals.push_back(g.f[size_t(j)]);
    }
    return Ok;
}

}  // namespace SoundTools
