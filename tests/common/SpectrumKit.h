#pragma once
// Independent spectral models for tests: the DFT by its definition, the response
// of FIR coefficients, direct convolution. Slow on purpose: no shortcut shared
// with the library's own code.
#include <complex>
#include <cstddef>
#include <vector>

#include "TestKit.h"

namespace tk {

using Complex = std::complex<double>;

// X[k] = sum_n x[n] e^(-2 pi i k n / N), summed in extended precision, for the
// given bins (every bin when `bins` is empty).
std::vector<Complex> naiveDft(const std::vector<Complex>& x, const std::vector<size_t>& bins = {});
// The same for a real sequence, bins 0 .. count-1.
std::vector<Complex> naiveDftReal(const std::vector<double>& x, size_t count);

// H(f) = sum_n h[n] e^(-2 pi i f n), f as a fraction of the sample rate.
Complex firResponse(const std::vector<double>& h, double f);
// |H(f)|.
double firMagnitude(const std::vector<double>& h, double f);

// y[n] = sum_i h[i] x[n - i] per channel, x taken as 0 before the start; as
// many frames as the input.
Frames convolve(const Frames& x, const std::vector<double>& h);

}  // namespace tk
