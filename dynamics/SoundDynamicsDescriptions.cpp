// Descriptions (SoundAlgoDescription.h) of the limiters, the gate, the bass
// boost and the amplifiers.
#include "algo/SoundAlgoDescriptionKeys.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoBassBoost.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoMultibandAmplifier.h"
#include "tonewright/SoundAlgoNoiseGate.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"
#include "tonewright/SoundAlgoTruePeakLimiter.h"

namespace SoundTools {
namespace {
constexpr double kMaxFrequency = 384000.0;

// The detector whose regions an amplifier follows: an RMSStepDetector
// description (with its regions) under "Detector", or none.
SoundRef<RMSStepDetector> detector(DescriptionKeys& k) {
    SoundRef<SoundAlgo> algo = SoundRef<SoundAlgo>::adopt(k.algorithm("Detector", true));
    if (!algo) return nullptr;
    auto* d = dynamic_cast<RMSStepDetector*>(algo.get());
    if (!d) {
        k.refuse("Detector", "an RMSStepDetector description, not a " + algo->getName());
        return nullptr;
    }
    return SoundRef<RMSStepDetector>::share(d);
}

const DescriptionBuilder kLimiter("SoundAlgoLimiter", [](DescriptionKeys& k) -> SoundAlgo* {
    const double level = k.number("Level", -60.0, 60.0, 0.0);
    const double lookAhead = k.number("LookAhead", 0.0, 1.0, 0.005);
    const double release = k.number("Release", 0.0, 60.0, 0.1);
    return new SoundAlgoLimiter(level, lookAhead, release, nullptr);
});

const DescriptionBuilder kSimpleLimiter("SoundAlgoSimpleLimiter", [](DescriptionKeys& k) -> SoundAlgo* {
    return new SoundAlgoSimpleLimiter(k.number("LookAhead", 0.0, 1.0, 0.005));
});

const DescriptionBuilder kTruePeak("SoundAlgoTruePeakLimiter", [](DescriptionKeys& k) -> SoundAlgo* {
    const double ceiling = k.number("Ceiling", -60.0, 0.0, -1.0);
    const double lookAhead = k.number("LookAhead", 0.0001, 1.0, 0.0015);
    const double release = k.number("Release", 0.0, 60.0, 0.05);
    return new SoundAlgoTruePeakLimiter(ceiling, lookAhead, release);
});

const DescriptionBuilder kGate("SoundAlgoNoiseGate", [](DescriptionKeys& k) -> SoundAlgo* {
    const double threshold = k.number("Threshold", -200.0, 0.0, -30.0);
    const double fade = k.number("Fade", 0.0, 60.0, 0.01);
    const double window = k.number("Window", 0.001, 60.0, 0.3);
    return new SoundAlgoNoiseGate(threshold, fade, window);
});

const DescriptionBuilder kBassBoost("SoundAlgoBassBoost", [](DescriptionKeys& k) -> SoundAlgo* {
    const double gain = k.number("Gain", 0.0, 24.0, 6.0);
    const double freq = k.number("Frequency", 20.0, 1000.0, 100.0);
    const double upper = k.number("UpperFrequency", 20.0, 5000.0, 300.0);
    const double factor = k.number("Factor", 0.0, 1.0, 0.004);
    if (k.ok() && !(upper > freq)) k.refuse("UpperFrequency", "above \"Frequency\"");
    return k.ok() ? new SoundAlgoBassBoost(gain, freq, upper, factor) : nullptr;
});

const DescriptionBuilder kAmplifier("SoundAlgoRMSAmplifier", [](DescriptionKeys& k) -> SoundAlgo* {
    const double target = k.number("Target", -60.0, 0.0);
    SoundRef<RMSStepDetector> d = detector(k);
    const double ramp = k.number("MaxRampTime", 0.0, 60.0, 3.0);
    const int smoothing = k.integer("Smoothing", 0, 100, 0);
    const double below = k.number("BelowTarget", 0.0, 60.0, 10.0);
    const double maxGain = k.number("MaxGain", 0.0, 60.0, 12.0);
    return new SoundAlgoRMSAmplifier(target, d.get(), ramp, smoothing, below, maxGain);
});

const DescriptionBuilder kFilterBands("SoundAlgoFilterMultibandAmplifier", [](DescriptionKeys& k) -> SoundAlgo* {
    const std::vector<double> freqs = k.numbers("Frequencies", 1.0, kMaxFrequency, false, -1, true);
    if (k.ok() && freqs.empty()) k.refuse("Frequencies", "at least one split frequency");
    const double level = k.number("Level", -60.0, 0.0, -14.0);
    const double lookAhead = k.number("LookAhead", 0.0, 1.0, 0.005);
    const double release = k.number("Release", 0.0, 60.0, 0.1);
    const double ramp = k.number("RampTime", 0.0, 60.0, 3.0);
    SoundRef<RMSStepDetector> d = detector(k);
    const int splitter = k.choice("Splitter", {"FirstOrder", "Biquad", "Crossover"}, 2);
    const int smoothing = k.integer("Smoothing", 0, 100, 0);
    const double below = k.number("BelowTarget", 0.0, 60.0, 10.0);
    const std::vector<double> offsets = k.numbers("Offsets", -60.0, 60.0, true);
    if (!k.ok()) return nullptr;
    return new SoundAlgoFilterMultibandAmplifier(freqs, level, lookAhead, release, ramp, d.get(),
                                                 SoundAlgoComposite::SplitterType(splitter), smoothing, below,
                                                 offsets);
});

const DescriptionBuilder kFFTBands("SoundAlgoFFTMultibandAmplifier", [](DescriptionKeys& k) -> SoundAlgo* {
    const std::vector<double> freqs = k.numbers("Frequencies", 1.0, kMaxFrequency, false, -1, true);
    if (k.ok() && freqs.empty()) k.refuse("Frequencies", "at least one split frequency");
    const double level = k.number("Level", -60.0, 0.0, -14.0);
    const double lookAhead = k.number("LookAhead", 0.0, 1.0, 0.005);
    const double release = k.number("Release", 0.0, 60.0, 0.1);
    SoundRef<RMSStepDetector> d = detector(k);
    const int size = k.integer("Size", 256, 65536, 8192);
    if (k.ok() && (size & (size - 1)) != 0) k.refuse("Size", "a power of two");
    if (!k.ok()) return nullptr;
    return new SoundAlgoFFTMultibandAmplifier(freqs, level, lookAhead, release, d.get(), unsigned(size), true);
});
}  // namespace
}  // namespace SoundTools
