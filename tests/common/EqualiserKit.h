#pragma once
// Test helpers for the equalisers. The linear-phase equalisers: the pass and
// stop bands their design rules promise, written out from the rules (not taken
// from the library), and the ripple a set of taps shows over them, measured
// from the frequency response evaluated from the coefficients. The player's
// equaliser: its default bands and presets written out again, and the cascade
// of peaking bands evaluated from the bands' coefficients (frequency response)
// or run as the literal recursion.
#include "common/TestKit.h"
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

std::string filterTypeName(SoundTools::FilterType type);

// ---------------------------------------------------------------- the player's equaliser
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

// The cascade run over `in` band after band (zero initial state).
Frames eqCascade(const Frames& in, const std::vector<EqBand>& bands, double fs);

}  // namespace tk
