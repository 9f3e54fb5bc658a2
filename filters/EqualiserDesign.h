#pragma once
// Private to the library: the design rules of the two linear-phase equalisers,
// SoundAlgoEqFIR (taps run in the time domain) and SoundAlgoFFTFilter (taps
// applied as a spectrum). Both turn a filter type and corner frequencies into a
// length and a band layout for the Remez exchange design (RemezDesign.h); they
// differ in their ripple targets and transition widths.
//
// Frequencies are in Hz at the interface, fractions of the sample rate inside.
// Every function is reentrant.
#include <vector>

#include "tonewright/RemezDesign.h"
#include "tonewright/SoundFilter.h"

namespace SoundTools {
namespace equaliser {

// Pass-band ripple of both equalisers: 0.5 dB peak to peak.
double passRipple();

// What one design needs.
struct Plan {
    bool supported = false;       // LowPass, BandPass, BandStop or HighPass
    unsigned taps = 0;            // 0 when no filter can be designed (see error)
    double f1 = 0.0, f2 = 0.0;    // corners, fractions of the sample rate
    double transition = 0.0;      // fraction of the sample rate
    double stopWeight = 0.0;      // error weight of the stop bands (pass bands weigh 1)
    std::vector<RemezBand> bands;
    const char* error = nullptr;  // why taps is 0, for the error text
};

// The FIR equaliser: stop-band ripple 1e-2; transition 2 low / fs (low-pass,
// band-stop) or low / 2 fs (band-pass, high-pass); length from the estimate.
Plan firPlan(FilterType type, double low, double high, unsigned sampleRate);

// The FFT filter: stop-band ripple 1e-3, transition 0.005, corners clamped to
// [0.005, 0.5]; 447 taps, fewer when the transform is short (see fftTaps).
Plan fftPlan(FilterType type, double low, double high, unsigned sampleRate, unsigned fftSize);

// Length of the FFT filter for an N-point transform.
unsigned fftTaps(unsigned fftSize);

}  // namespace equaliser
}  // namespace SoundTools
