#include "filters/EqualiserDesign.h"

#include <algorithm>
#include <cmath>

namespace SoundTools {
namespace equaliser {

namespace {

constexpr double kFirStopRipple = 1e-2;
constexpr double kFftStopRipple = 1e-3;
constexpr double kFftTransition = 0.005;  // also the lowest corner of the FFT filter

bool isSupported(FilterType type) {
    return type == LowPass || type == BandPass || type == BandStop || type == HighPass;
}

std::vector<RemezBand> layout(FilterType type, double f1, double f2, double transition, double stopWeight) {
    switch (type) {
        case LowPass: return RemezDesign::lowPass(f1, transition, stopWeight);
        case BandPass: return RemezDesign::bandPass(f1, f2, transition, stopWeight);
        case BandStop: return RemezDesign::bandStop(f1, f2, transition, stopWeight);
        case HighPass: return RemezDesign::highPass(f1, transition, stopWeight);
        default: return {};
    }
}

}  // namespace

double passRipple() { return (1.0 - std::pow(10.0, -0.025)) / 2.0; }

Plan firPlan(FilterType type, double low, double high, unsigned sampleRate) {
    Plan p;
    p.supported = isSupported(type);
    if (!p.supported) {
        p.error = "unsupported filter type";
        return p;
    }
    if (sampleRate == 0) {
        p.error = "no sample rate";
        return p;
    }
    if (!std::isfinite(low) || !std::isfinite(high)) {
        p.error = "the frequencies must be finite numbers";
        return p;
    }
    const double fs = double(sampleRate);
    // A frequency above half the sample rate is used as half the sample rate,
    // for the transition width as well: taken from the frequency as given, the
    // width of a low-pass at 30 kHz would leave a filter of 2 taps.
    const double lowHz = std::min(low, fs / 2.0), highHz = std::min(high, fs / 2.0);
    // The transition band scales with the lower corner: narrow (and the filter
    // long) for the corners of a band-pass or a high-pass.
    p.transition = (type == LowPass || type == BandStop) ? 2.0 * lowHz / fs : 0.5 * lowHz / fs;
    p.f1 = lowHz / fs;
    p.f2 = highHz / fs;
    p.stopWeight = passRipple() / kFirStopRipple;
    if (!(low > 0.0)) {
        p.error = "the low frequency must be above 0 Hz (it sets the transition width)";
        return p;
    }
    if ((type == BandPass || type == BandStop) && !(high > low)) {
        p.error = "the high frequency must be above the low frequency";
        return p;
    }
    p.taps = RemezDesign::estimateTaps(passRipple(), kFirStopRipple, p.transition);
    // A symmetric filter of even length has a zero at half the sample rate: the
    // length is made odd for the filters that must pass it, the high-pass and
    // the band-stop, and a low-pass or band-pass whose pass band reaches it.
    const bool passesHalf = type == HighPass || type == BandStop || (type == LowPass && p.f1 >= 0.5) ||
                            (type == BandPass && p.f2 >= 0.5);
    if (passesHalf && p.taps % 2 == 0) p.taps = p.taps < RemezDesign::kMaxTaps ? p.taps + 1 : p.taps - 1;
    p.bands = layout(type, p.f1, p.f2, p.transition, p.stopWeight);
    return p;
}

unsigned fftTaps(unsigned fftSize) {
    unsigned taps = RemezDesign::estimateTaps(passRipple(), kFftStopRipple, kFftTransition);
    if (taps % 2 == 0) ++taps;
    // Overlap-add of half blocks zero-padded to N is linear convolution only for
    // at most N/2 + 1 taps; the length is kept at N/2 at most and, as above,
    // odd (N/2 itself would give a high-pass with a zero at half the sample rate).
    const unsigned limit = fftSize / 2;
    if (taps > limit) taps = limit % 2 == 0 && limit > 1 ? limit - 1 : limit;
    return std::max(taps, 1u);
}

Plan fftPlan(FilterType type, double low, double high, unsigned sampleRate, unsigned fftSize) {
    Plan p;
    p.supported = isSupported(type);
    if (sampleRate == 0) {
        p.error = "no sample rate";
        return p;
    }
    if (!std::isfinite(low) || !std::isfinite(high)) {
        p.error = "the frequencies must be finite numbers";
        return p;
    }
    const double fs = double(sampleRate);
    p.f1 = std::min(std::max(low / fs, kFftTransition), 0.5);
    p.f2 = std::min(std::max(high / fs, kFftTransition), 0.5);
    p.transition = kFftTransition;
    p.stopWeight = passRipple() / kFftStopRipple;
    p.taps = fftTaps(fftSize);
    p.bands = layout(type, p.f1, p.f2, p.transition, p.stopWeight);
    if (!p.supported) p.error = "unsupported filter type";
    return p;
}

}  // namespace equaliser
}  // namespace SoundTools
