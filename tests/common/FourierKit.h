#pragma once
// Independent spectral models for tests: the DFT by its definition, the response
// of FIR coefficients, direct convolution. Slow on purpose: no shortcut shared
// with the library's own code.
#include <complex>

#include "TestKit.h"

namespace tk {

using Complex = std::complex<double>;

// X[k] = sum_n x[n] e^(-2 pi i k n / N), summed in extended precision, for the
// given bins (every bin when `bins` is empty).
std::vector<Complex> naiveDft(const std::vector<Complex>& x, const std::vector<size_t>& bins = {});

// Powers of the bands between ascending edges (Hz), edges.size() + 1 bands, of
// frames [from, from + n) of both channels (n a power of two): sums of |X[k]|^2
// over the bins of each band, bin k at k * rate / n belonging to the first band
// whose upper edge is at or above it. The transform is a textbook radix-2 one
// written here, sharing nothing with the library's.
std::vector<double> bandPowers(const Frames& f, size_t from, size_t n, double rate, const std::vector<double>& edges);

// H(f) = sum_n h[n] e^(-2 pi i f n), f as a fraction of the sample rate.
Complex firResponse(const std::vector<double>& h, double f);

// The full linear convolution y[n] = sum_i h[i] x[n - i] per channel, x taken as 0
// before its start and after its end: size + taps - 1 frames.
Frames fullConvolution(const Frames& x, const std::vector<double>& h);

// Amplitude of the left channel's component at `freq` over frames [from, from + n)
// by a single-bin DFT (n should hold whole periods of every tone present).
double toneAmplitude(const Frames& f, size_t from, size_t n, double freq, double rate);

bool allFinite(const Frames& f);

}  // namespace tk
