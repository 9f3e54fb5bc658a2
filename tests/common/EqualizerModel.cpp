#include "EqualizerModel.h"

#include <cmath>

#include "common/FilterKit.h"
#include "tonewright/SoundFilterBuilders.h"

namespace tk {

namespace {
void coefficients(const EqBand& b, double fs, std::valarray<double>& num, std::valarray<double>& den) {
    SoundTools::BiquadEqBuilder builder(SoundTools::BandEq, b.freq, b.width, b.gain);
    builder.init(unsigned(fs));
    num = builder.getBCoeff();
    den = builder.getACoeff();
}
}  // namespace

std::vector<EqBand> defaultEqBands() {
    std::vector<EqBand> bands;
    for (double f : {60.0, 120.0, 250.0, 500.0, 1000.0, 2000.0, 4000.0, 8000.0, 15000.0})
        bands.push_back({f, 1.9, 0.0});
    return bands;
}

EqBand bassBoostBand() { return {150.0, 0.5, 8.0}; }

std::vector<EqPreset> defaultEqPresets() {
    return {
        {"Flat", {0, 0, 0, 0, 0, 0, 0, 0, 0}},           {"Standard", {4, 4, 2, 0, 0, 0, 2, 4, 4}},
        {"Treble", {0, 0, 0, 0, 0, 0, 3, 4, 5}},         {"Bass", {4, 5, 4, 2, 0, 0, 0, 0, 0}},
        {"Classical", {4, 3, 3, -1, -1, 0, 2, 3, 4}},    {"Dance", {6, 5, 0, 1, 3, 5, 4, 3, 0}},
        {"Electronic", {5, 2, 0, -2, 3, 1, 2, 3, 4}},    {"Folk", {4, 3, 1, 2, 2, 3, 3.5, 3, 2}},
        {"Hip_Hop", {5, 2, 3, -1, -1, 1, 0, 2, 3}},      {"Jazz", {3, 2, 2.5, -1, -1, 0, 1, 3, 4}},
        {"Loudness", {5, 4, 3, -1, -1, -1, 3, 4, 5}},    {"Metal", {5, 3, 1, 0, 2, 0, 1, 3, 5}},
        {"Pop", {-1, 0, 2, 4, 4, 2, 0, -1, -2}},         {"Rock", {4, 3, 2, 0, -1, 0, 2, 3, 4}},
    };
}

std::vector<EqBand> withLevels(std::vector<EqBand> bands, const std::vector<double>& levels) {
    for (size_t i = 0; i < bands.size() && i < levels.size(); ++i) bands[i].gain = levels[i];
    return bands;
}

double eqResponseDb(const std::vector<EqBand>& bands, double f, double fs) {
    double db = 0.0;
    for (const EqBand& b : bands) {
        std::valarray<double> num, den;
        coefficients(b, fs, num, den);
        db += responseDb(num, den, f, fs);
    }
    return db;
}

Frames eqCascade(const Frames& in, const std::vector<EqBand>& bands, double fs) {
    Frames out = in;
    for (const EqBand& b : bands) {
        std::valarray<double> num, den;
        coefficients(b, fs, num, den);
        out = directForm(out, num, den);
    }
    return out;
}

}  // namespace tk
