#include "FourierKit.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace tk {

constexpr long double kPi = 3.14159265358979323846264338327950288L;

std::vector<Complex> naiveDft(const std::vector<Complex>& x, const std::vector<size_t>& bins) {
    const size_t N = x.size();
    // cos and sin of 2 pi m / N for m < N, in extended precision.
    std::vector<long double> c(N), s(N);
    for (size_t m = 0; m < N; ++m) {
        c[m] = std::cos(2.0L * kPi * (long double)m / (long double)N);
        s[m] = std::sin(2.0L * kPi * (long double)m / (long double)N);
    }
    std::vector<size_t> ks = bins;
    if (ks.empty()) ks = std::vector<size_t>(N), std::iota(ks.begin(), ks.end(), size_t(0));
    std::vector<Complex> out;
    for (size_t k : ks) {
        long double re = 0.0L, im = 0.0L;
        for (size_t n = 0, m = 0; n < N; ++n, m = (m + k) % N) {  // m = k n mod N
            // (xr + i xi)(cos - i sin)
            re += x[n].real() * c[m] + x[n].imag() * s[m];
            im += x[n].imag() * c[m] - x[n].real() * s[m];
        }
        out.emplace_back(double(re), double(im));
    }
    return out;
}

namespace {
// In-place iterative Cooley-Tukey transform, x.size() a power of two.
void radix2(std::vector<Complex>& x) {
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double a = -2.0 * M_PI / double(len);
        for (size_t start = 0; start < n; start += len)
            for (size_t k = 0; k < len / 2; ++k) {
                const Complex w = std::polar(1.0, a * double(k));
                const Complex u = x[start + k], v = x[start + k + len / 2] * w;
                x[start + k] = u + v;
                x[start + k + len / 2] = u - v;
            }
    }
}
}  // namespace

std::vector<double> bandPowers(const Frames& f, size_t from, size_t n, double rate, const std::vector<double>& edges) {
    std::vector<double> out(edges.size() + 1, 0.0);
    for (int channel = 0; channel < 2; ++channel) {
        std::vector<Complex> x(n);
        for (size_t i = 0; i < n; ++i) x[i] = channel == 0 ? f[from + i].l : f[from + i].r;
        radix2(x);
        for (size_t k = 0; k <= n / 2; ++k) {
            const double freq = double(k) * rate / double(n);
            size_t band = 0;
            while (band < edges.size() && freq > edges[band]) ++band;
            out[band] += std::norm(x[k]);
        }
    }
    return out;
}

Complex firResponse(const std::vector<double>& h, double f) {
    // e^(-2 pi i f n) by repeated rotation in extended precision: the drift over
    // a few thousand taps stays far below double precision.
    const long double a = -2.0L * kPi * (long double)f;
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

Frames fullConvolution(const Frames& x, const std::vector<double>& h) {
    Frames padded = x;
    padded.resize(x.size() + h.size() - 1, Frame(0.0, 0.0));
    Frames y(padded.size());
    for (size_t n = 0; n < padded.size(); ++n) {
        double l = 0.0, r = 0.0;
        for (size_t i = 0; i < h.size() && i <= n; ++i) {
            l += h[i] * padded[n - i].l;
            r += h[i] * padded[n - i].r;
        }
        y[n] = Frame(l, r);
    }
    return y;
}

double toneAmplitude(const Frames& f, size_t from, size_t n, double freq, double rate) {
    std::vector<double> left(n);
    for (size_t i = 0; i < n; ++i) left[i] = f[from + i].l;
    return 2.0 * std::abs(firResponse(left, freq / rate)) / double(n);
}

bool allFinite(const Frames& f) {
    const auto finite = [](const Frame& x) { return std::isfinite(x.l) && std::isfinite(x.r); };
    return std::all_of(f.begin(), f.end(), finite);
}

}  // namespace tk
