#include "EqualiserKit.h"

#include <algorithm>
#include <cmath>

#include "tonewright/SoundFilterBuilders.h"
#include "common/FilterKit.h"

namespace tk {

namespace {

std::vector<PromisedBand> layout(SoundTools::FilterType type, double f1, double f2, double t) {
    using namespace SoundTools;
    std::vector<PromisedBand> raw;
    switch (type) {
        case LowPass: raw = {{0.0, f1, true}, {f1 + t, 0.5, false}}; break;
        case HighPass: raw = {{0.0, f1 - t, false}, {f1, 0.5, true}}; break;
        case BandPass: raw = {{0.0, f1 - t, false}, {f1, f2, true}, {f2 + t, 0.5, false}}; break;
        case BandStop: raw = {{0.0, f1, true}, {f1 + t, f2 - t, false}, {f2, 0.5, true}}; break;
        default: break;
    }
    std::vector<PromisedBand> bands;
    for (PromisedBand b : raw) {
        b.low = std::clamp(b.low, 0.0, 0.5);
        b.high = std::clamp(b.high, 0.0, 0.5);
        if (b.high > b.low) bands.push_back(b);
    }
    return bands;
}

}  // namespace

double equaliserPassRipple() { return (1.0 - std::pow(10.0, -0.025)) / 2.0; }

std::vector<PromisedBand> firEqualiserBands(SoundTools::FilterType type, double low, double high, double rate) {
    const bool wide = type == SoundTools::LowPass || type == SoundTools::BandStop;
    const double t = wide ? 2.0 * low / rate : 0.5 * low / rate;
    return layout(type, std::min(low / rate, 0.5), std::min(high / rate, 0.5), t);
}

std::vector<PromisedBand> fftFilterBands(SoundTools::FilterType type, double low, double high, double rate) {
    return layout(type, std::clamp(low / rate, 0.005, 0.5), std::clamp(high / rate, 0.005, 0.5), 0.005);
}

std::string filterTypeName(SoundTools::FilterType type) {
    switch (type) {
        case SoundTools::LowPass: return "low-pass";
        case SoundTools::HighPass: return "high-pass";
        case SoundTools::BandPass: return "band-pass";
        case SoundTools::BandStop: return "band-stop";
        default: return "type " + std::to_string(int(type));
    }
}

std::vector<EqBand> defaultEqBands() {
    std::vector<EqBand> bands;
    for (double f : {60.0, 120.0, 250.0, 500.0, 1000.0, 2000.0, 4000.0, 8000.0, 15000.0})
        bands.push_back({f, 1.9, 0.0});
    return bands;
}

EqBand bassBoostBand() { return {150.0, 0.5, 8.0}; }

std::vector<EqPreset> defaultEqPresets() {
    return {{"Flat", {0, 0, 0, 0, 0, 0, 0, 0, 0}},        {"Standard", {4, 4, 2, 0, 0, 0, 2, 4, 4}},
            {"Treble", {0, 0, 0, 0, 0, 0, 3, 4, 5}},      {"Bass", {4, 5, 4, 2, 0, 0, 0, 0, 0}},
            {"Classical", {4, 3, 3, -1, -1, 0, 2, 3, 4}}, {"Dance", {6, 5, 0, 1, 3, 5, 4, 3, 0}},
            {"Electronic", {5, 2, 0, -2, 3, 1, 2, 3, 4}}, {"Folk", {4, 3, 1, 2, 2, 3, 3.5, 3, 2}},
            {"Hip_Hop", {5, 2, 3, -1, -1, 1, 0, 2, 3}},   {"Jazz", {3, 2, 2.5, -1, -1, 0, 1, 3, 4}},
            {"Loudness", {5, 4, 3, -1, -1, -1, 3, 4, 5}}, {"Metal", {5, 3, 1, 0, 2, 0, 1, 3, 5}},
            {"Pop", {-1, 0, 2, 4, 4, 2, 0, -1, -2}},      {"Rock", {4, 3, 2, 0, -1, 0, 2, 3, 4}}};
}

std::vector<EqBand> withLevels(std::vector<EqBand> bands, const std::vector<double>& levels) {
    for (size_t i = 0; i < bands.size() && i < levels.size(); ++i) bands[i].gain = levels[i];
    return bands;
}

Frames eqCascade(const Frames& in, const std::vector<EqBand>& bands, double fs) {
    Frames out = in;
    for (const EqBand& band : bands) {
        SoundTools::BiquadEqBuilder builder(SoundTools::BandEq, band.freq, band.width, band.gain);
        builder.init(unsigned(fs));
        out = directForm(out, builder.getBCoeff(), builder.getACoeff());
    }
    return out;
}

}  // namespace tk
