#include "ColouredNoise.h"

#include <cmath>
#include <random>
#include <vector>

#include "tonewright/FFTA.h"

namespace tk {

Frames tiltedNoise(size_t n, unsigned rate, double tiltDbPerOctave, double lowHz, uint32_t seed,
                   const std::function<double(double)>& extraDb, double rmsLevel) {
    FFTARadix2 engine{int(n)};
    if (engine.getSize() != int(n)) return {};
    const size_t bins = n / 2 + 1;
    std::vector<double> spectrum(4 * bins, 0.0);  // left bins, then right bins, (re, im) each
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> phase(0.0, 2.0 * M_PI);
    const double exponent = tiltDbPerOctave / (10.0 * std::log10(2.0));
    for (size_t k = 1; k + 1 < bins; ++k) {
        const double f = double(k) * rate / double(n);
        if (f < lowHz) continue;
        double power = std::pow(f / 1000.0, exponent);
        if (extraDb) power *= std::pow(10.0, extraDb(f) / 10.0);
        const double magnitude = std::sqrt(power);
        for (size_t channel = 0; channel < 2; ++channel) {
            const double p = phase(random);
            double* bin = &spectrum[2 * (channel * bins + k)];
            bin[0] = magnitude * std::cos(p);
            bin[1] = magnitude * std::sin(p);
        }
    }
    Frames out(n);
    engine.inverseCompute(spectrum.data(), reinterpret_cast<double*>(out.data()));
    const double level = rms(out);
    return scaled(out, level > 0.0 ? rmsLevel / level : 0.0);
}

}  // namespace tk
