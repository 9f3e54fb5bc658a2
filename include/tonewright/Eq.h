#pragma once
// The eq job: the player's equaliser run offline over a recording. Nine
// peaking bands (60 Hz to 15 kHz) set by a preset or one by one, the
// bass-boost band and an output gain; the sample-peak limiter and the
// true-peak ceiling hold the peaks the raised bands lift.
//
// The layout (bands, bass-boost band, presets) is the player's own, so that a
// file equalised offline sounds as the player plays it with the same settings.
//
// Threading: as every job (Jobs.h). equaliserLayout() is built on its first
// call, from any thread, and only read afterwards.
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/Jobs.h"

namespace tonewright {

struct EqBand {
    double frequency = 0;  // Hz, the centre
    double width = 0;      // octaves
    double gain = 0;       // dB
};

struct EqPreset {
    std::string name;
    std::vector<double> levels;  // dB per equaliser band, in the layout's order
};

// The player's equaliser.
struct EqualiserLayout {
    std::vector<EqBand> bands;  // the equaliser bands, gains 0
    EqBand bassBoost;           // with its default gain
    std::vector<EqPreset> presets;
    double range = 8.0;         // dB each way a band may be set
};
TONEWRIGHT_API const EqualiserLayout& equaliserLayout();
// The index of the preset named `nameOrNumber` (any case), or whose number it
// is; -1 when there is none.
TONEWRIGHT_API int findEqPreset(const std::string& nameOrNumber);
// The layout as `eq --list-presets --json` prints it:
// {"bands": [{"frequency", "width"}...], "bassBoost": {...}, "presets": [{"name", "levels"}...]}.
TONEWRIGHT_API std::string toJson(const EqualiserLayout& layout);

struct EqSettings {
    std::filesystem::path input;
    std::filesystem::path output;  // its extension names the format (wav, flac, ogg, mp3)
    // A preset's name (any case) or number; empty: none.
    std::string preset;
    // dB per equaliser band (as many as the layout has), each within the
    // layout's range; replaces the preset's levels. Empty: the preset's levels,
    // or 0 dB without a preset.
    std::vector<double> gains;
    bool bassBoost = false;
    double bassBoostGain = 8.0;  // dB, 0 to 20, when bassBoost
    double outputGain = 0.0;     // dB, -20 to 20
    double truePeakDb = -1.0;    // ceiling of the output's true peak, dBTP, -20 to 0
    unsigned bitRate = 192;      // kbit/s, 32 to 320, for MP3 output
    bool dither = true;          // TPDF dither when the output has 16 bits or fewer
};

struct EqReport {
    std::filesystem::path input, output;
    std::string preset;         // the preset's name; empty: none
    std::vector<EqBand> bands;  // the equaliser bands with the gains run
    bool bassBoost = false;
    double bassBoostGain = 0.0;  // dB, when bassBoost
    double outputGain = 0.0;     // dB
    // dBFS of the input and of the output as written (before a lossy encoder);
    // -inf for silence. RMS of both channels together, peak of the louder.
    double rmsBefore = -INFINITY, peakBefore = -INFINITY;
    double rmsAfter = -INFINITY, peakAfter = -INFINITY;
    std::vector<std::string> warnings;
};

// Equalises settings.input into settings.output. Bands of 0 dB are left out
// (they pass the sound unchanged). A lossy output is decoded and measured, and
// written again lower when the encoder took its peaks above the ceiling.
TONEWRIGHT_API JobResult<EqReport> eq(const EqSettings& settings, const JobControl& control = {});

// What `eq --json` prints for one file:
// {"file", "output", "equaliser": {...}, "before": {"rms", "peak"}, "after": {"rms", "peak"}}.
TONEWRIGHT_API std::string toJson(const EqReport& report);

// The "equaliser" object of the report for these settings, without a file:
// {"bands": [{"frequency", "gain"}...], "bassBoost": dB or null, "gain", "preset": name or null}.
// Settings that are not valid give an empty string.
TONEWRIGHT_API std::string equaliserJson(const EqSettings& settings);

// The response of the equaliser of these settings in dB at each frequency
// (Hz), for a stream at `rate` Hz: an impulse run through the very filters
// the job runs (without the limiters). Empty when the settings are not valid.
TONEWRIGHT_API std::vector<double> equaliserResponseDb(const EqSettings& settings, unsigned rate,
                                                       const std::vector<double>& frequencies);

// `points` frequencies from 20 Hz to just below half of `rate`, evenly spaced
// on a logarithmic scale: where the library measures a response for a picture
// (empty when points < 2 or the rate is 40 Hz or less).
TONEWRIGHT_API std::vector<double> responseFrequencies(unsigned rate, int points);

}  // namespace tonewright
