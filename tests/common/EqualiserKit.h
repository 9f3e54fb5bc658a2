#pragma once
// Test helpers for the linear-phase equalisers: the pass and stop bands their
// design rules promise, written out from the rules (not taken from the library),
// and the ripple a set of taps shows over them, measured from the frequency
// response evaluated from the coefficients.
#include <string>
#include <vector>

#include "tonewright/SoundFilter.h"

namespace tk {

// One band of a promise: [low, high] as fractions of the sample rate, gain 1
// (pass) or 0 (stop).
struct PromisedBand {
    double low;
    double high;
    bool pass;
};

// Pass-band ripple of both equalisers (0.5 dB peak to peak).
double equaliserPassRipple();

// The bands of the FIR equaliser (transition 2 low / fs for low-pass and
// band-stop, low / 2 fs otherwise) and of the FFT filter (transition 0.005,
// corners clamped to [0.005, 0.5]); clamped to [0, 0.5], empty bands dropped.
std::vector<PromisedBand> firEqualiserBands(SoundTools::FilterType type, double low, double high, double rate);
std::vector<PromisedBand> fftFilterBands(SoundTools::FilterType type, double low, double high, double rate);

struct Ripple {
    double pass = 0.0;  // largest | |H| - 1 | over the pass bands
    double stop = 0.0;  // largest |H| over the stop bands
};

// |H| sampled at 16 points per 1/taps of frequency over every band, edges included.
Ripple measureRipple(const std::vector<double>& h, const std::vector<PromisedBand>& bands);

std::string filterTypeName(SoundTools::FilterType type);

}  // namespace tk
