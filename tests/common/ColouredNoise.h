#pragma once
// Noise of a chosen spectral balance, made in the frequency domain: every bin of
// one long transform gets the magnitude of the wanted power density and a random
// phase, so the spectrum is exact rather than only right on average.
#include <functional>

#include "TestKit.h"

namespace tk {

// n frames (a power of two; the noise repeats with that period) at `rate` Hz
// whose power per hertz falls tiltDbPerOctave dB per octave from lowHz up to
// rate / 2 (nothing below lowHz), times 10^(extraDb(f) / 10) when extraDb is
// given. Independent left and right channels, scaled to an RMS of `rmsLevel`.
Frames tiltedNoise(size_t n, unsigned rate, double tiltDbPerOctave, double lowHz = 20.0, uint32_t seed = 1,
                   const std::function<double(double)>& extraDb = {}, double rmsLevel = 0.1);

}  // namespace tk
