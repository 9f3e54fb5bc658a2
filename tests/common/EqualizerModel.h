#pragma once
// A model of the player's equaliser for tests: the default bands and presets
// written out again, and the cascade of peaking bands evaluated from the
// bands' coefficients (frequency response) or run as the literal recursion.
#include <string>
#include <vector>

#include "common/TestKit.h"

namespace tk {

struct EqBand {
    double freq;   // Hz
    double width;  // octaves
    double gain;   // dB
};

// The nine default bands (60 Hz .. 15 kHz, 1.9 octaves, 0 dB) and the bass-boost
// band (150 Hz, 0.5 octave, 8 dB).
std::vector<EqBand> defaultEqBands();
EqBand bassBoostBand();

struct EqPreset {
    std::string name;
    std::vector<double> levels;
};
// The fourteen default presets, in order.
std::vector<EqPreset> defaultEqPresets();

// The bands with a preset's levels.
std::vector<EqBand> withLevels(std::vector<EqBand> bands, const std::vector<double>& levels);

// |H(f)| in dB of the cascade of peaking bands at rate fs.
double eqResponseDb(const std::vector<EqBand>& bands, double f, double fs);
// The cascade run over `in` band after band (zero initial state).
Frames eqCascade(const Frames& in, const std::vector<EqBand>& bands, double fs);

}  // namespace tk
