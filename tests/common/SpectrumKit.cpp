#include "SpectrumKit.h"

#include <cmath>

namespace tk {

namespace {
// cos and sin of 2 pi m / N for m < N, in extended precision.
void twiddles(size_t N, std::vector<long double>& c, std::vector<long double>& s) {
    c.resize(N);
    s.resize(N);
    const long double w = 2.0L * 3.14159265358979323846264338327950288L / (long double)N;
    for (size_t m = 0; m < N; ++m) {
        c[m] = std::cos(w * (long double)m);
        s[m] = std::sin(w * (long double)m);
    }
}
}  // namespace

std::vector<Complex> naiveDft(const std::vector<Complex>& x, const std::vector<size_t>& bins) {
    const size_t N = x.size();
    std::vector<long double> c, s;
    twiddles(N, c, s);
    std::vector<size_t> ks = bins;
    if (ks.empty())
        for (size_t k = 0; k < N; ++k) ks.push_back(k);
    std::vector<Complex> out;
    out.reserve(ks.size());
    for (size_t k : ks) {
        long double re = 0.0L, im = 0.0L;
        size_t m = 0;  // k n mod N
        for (size_t n = 0; n < N; ++n) {
            const long double xr = x[n].real(), xi = x[n].imag();
            // (xr + i xi)(cos - i sin)
            re += xr * c[m] + xi * s[m];
            im += xi * c[m] - xr * s[m];
            m += k % N;
            if (m >= N) m -= N;
        }
        out.emplace_back(double(re), double(im));
    }
    return out;
}

std::vector<Complex> naiveDftReal(const std::vector<double>& x, size_t count) {
    std::vector<Complex> z(x.begin(), x.end());
    std::vector<size_t> bins;
    for (size_t k = 0; k < count; ++k) bins.push_back(k);
    return naiveDft(z, bins);
}

Complex firResponse(const std::vector<double>& h, double f) {
    // e^(-2 pi i f n) by repeated rotation in extended precision: the drift over
    // a few thousand taps stays far below double precision.
    const long double a = -2.0L * 3.14159265358979323846264338327950288L * (long double)f;
    const long double cr = std::cos(a), ci = std::sin(a);
    long double zr = 1.0L, zi = 0.0L, re = 0.0L, im = 0.0L;
    for (size_t n = 0; n < h.size(); ++n) {
        re += h[n] * zr;
        im += h[n] * zi;
        const long double t = zr * cr - zi * ci;
        zi = zr * ci + zi * cr;
        zr = t;
    }
    return Complex(double(re), double(im));
}

double firMagnitude(const std::vector<double>& h, double f) { return std::abs(firResponse(h, f)); }

Frames convolve(const Frames& x, const std::vector<double>& h) {
    Frames y(x.size(), Frame(0.0, 0.0));
    for (size_t n = 0; n < x.size(); ++n) {
        double l = 0.0, r = 0.0;
        for (size_t i = 0; i < h.size() && i <= n; ++i) {
            l += h[i] * x[n - i].l;
            r += h[i] * x[n - i].r;
        }
        y[n] = Frame(l, r);
    }
    return y;
}

}  // namespace tk
