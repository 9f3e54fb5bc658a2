#pragma once
// Private to the library: the player's equaliser as the eq job runs it
// offline, and the checking of its settings (Eq.h).
//
// Threading: plain functions on the caller's values; the layout they read is
// built once (equaliserLayout(), thread-safe) and then only read.
#include <optional>

#include "tonewright/Eq.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundRefCounted.h"

namespace tonewright {
namespace detail {

// The equaliser the settings ask for, with the preset resolved: `preset` its
// index (-1: none), `gains` one per band.
struct EqChoice {
    int preset = -1;
    std::vector<double> gains;  // dB per equaliser band
    bool bassBoost = false;
    double bassBoostGain = 0.0;  // dB
    double outputGain = 0.0;     // dB
};

// The first equaliser setting that is not valid, as a JobError of kind
// Setting naming it; nothing when all are.
std::optional<JobError> checkEqualiser(const EqSettings& settings);
// The choice of valid settings.
EqChoice resolveEqualiser(const EqSettings& settings);

// The bands of the choice that change the sound, as builders of a new filter
// algorithm designed at the rate of each run, the output gain on its last
// filter. Bands of 0 dB are left out (they pass the sound unchanged).
SoundRef<SoundAlgoFilter> buildEqualiser(const EqChoice& choice);

}  // namespace detail
}  // namespace tonewright
