// Descriptions (SoundAlgoDescription.h) of the filter algorithms and the FIR
// equaliser.
#include <memory>

#include "algo/SoundAlgoDescriptionKeys.h"
#include "tonewright/SoundAlgoEqFIR.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundFilterBuilders.h"

namespace SoundTools {
namespace {
// Above any corner a sample rate the readers accept can carry.
constexpr double kMaxFrequency = 384000.0;

// One biquad band: {"Type", "Frequency", "Width" | "Q", "Gain"}.
std::shared_ptr<BiquadEqBuilder> biquad(DescriptionKeys& k) {
    const FilterType type = k.filterType("Type", {LowPass, BandPass, HighPass, LowShelf, BandEq, HighShelf});
    const double freq = k.number("Frequency", 1.0, kMaxFrequency);
    const double width = k.number("Width", 0.01, 10.0, 0.0);
    const double q = k.number("Q", 0.01, 100.0, 0.0);
    const double gain = k.number("Gain", -60.0, 60.0, 0.0);
    if (k.ok() && width == 0.0 && q == 0.0) k.refuse("Width", "a band needs a \"Width\" (octaves) or a \"Q\"");
    auto b = std::make_shared<BiquadEqBuilder>(type, freq, width, gain);
    if (width == 0.0) b->setQ(q);
    return b;
}

// Reads the objects of an array key with `each`, one DescriptionKeys per
// element; the first refused element refuses the whole description.
template <typename Each>
void forEachObject(DescriptionKeys& k, const char* className, const char* key, Each each) {
    const QJsonArray list = k.array(key, false);
    for (int i = 0; i < list.size() && k.ok(); ++i) {
        if (!list[i].isObject()) {
            k.refuse(key, QString("element %1 is not an object").arg(i));
            return;
        }
        const QJsonObject element = list[i].toObject();
        DescriptionKeys e(element, className);
        each(e);
        if (!e.ok()) k.refuse(key, QString("element %1: %2").arg(i).arg(DescriptionKeys::lastReason()));
    }
}

const DescriptionBuilder kFilter("SoundAlgoFilter", [](DescriptionKeys& k) -> SoundAlgo* {
    auto filter = SoundRef<SoundAlgoFilter>::make();
    forEachObject(k, "SoundAlgoFilter filter", "Filters", [&](DescriptionKeys& e) {
        const int design = e.choice("Design", {"Butterworth", "Biquad", "AWeighting"});
        std::shared_ptr<FilterBuilder> b;
        if (design == 0) {
            const int order = e.integer("Order", 1, 6);
            const FilterType type = e.filterType("Type", {LowPass, HighPass});
            const double freq = e.number("Frequency", 1.0, kMaxFrequency);
            if (order == 1)
                b = std::make_shared<Order1FilterBuilder>(type, freq);
            else if (order == 4)
                b = std::make_shared<Order4FilterBuilder>(type, freq);
            else if (order == 6)
                b = std::make_shared<Order6FilterBuilder>(type, freq);
            else
                e.refuse("Order", "Butterworth filters are of order 1, 4 or 6");
        } else if (design == 1) {
            b = biquad(e);
        } else {
            b = std::make_shared<WeightingFilterBuilder>();
        }
        if (e.ok()) filter->pushFilter(b);
    });
    filter->setOutputGain(k.number("OutputGain", -60.0, 60.0, 0.0));
    return filter.release();
});

const DescriptionBuilder kBiquad("SoundAlgoFilterBiquad", [](DescriptionKeys& k) -> SoundAlgo* {
    auto filter = SoundRef<SoundAlgoFilterBiquad>::make();
    forEachObject(k, "SoundAlgoFilterBiquad band", "Bands", [&](DescriptionKeys& e) {
        const FilterType type = e.filterType("Type", {LowPass, BandPass, HighPass, LowShelf, BandEq, HighShelf});
        const double freq = e.number("Frequency", 1.0, kMaxFrequency);
        const double width = e.number("Width", 0.01, 10.0);
        const double gain = e.number("Gain", -60.0, 60.0, 0.0);
        if (e.ok()) filter->pushFilter(type, freq, width, gain);
    });
    filter->setOutputGain(k.number("OutputGain", -60.0, 60.0, 0.0));
    return filter.release();
});

const DescriptionBuilder kCrossover("SoundAlgoFilterCrossover", [](DescriptionKeys& k) -> SoundAlgo* {
    return new SoundAlgoFilterCrossover(k.number("Frequency", 1.0, kMaxFrequency));
});

// The FIR's length grows with the rate over its lowest corner, and its design
// time with the square of the length (6806 taps and some 10 s for a 20 Hz
// high-pass at 44.1 kHz): a description asks for 50 Hz or more.
constexpr double kFirLowest = 50.0;

const DescriptionBuilder kFir("SoundAlgoEqFIR", [](DescriptionKeys& k) -> SoundAlgo* {
    const FilterType type = k.filterType("Type", {LowPass, BandPass, BandStop, HighPass});
    const double low = k.number("Low", kFirLowest, kMaxFrequency);
    const bool band = type == BandPass || type == BandStop;
    const double high = band ? k.number("High", kFirLowest, kMaxFrequency) : 0.0;
    if (k.ok() && band && !(high > low)) k.refuse("High", "above \"Low\"");
    auto fir = SoundRef<SoundAlgoEqFIR>::make(type, low, high);
    fir->SetOutputGain(k.number("OutputGain", -60.0, 60.0, 0.0));
    return fir.release();
});
}  // namespace
}  // namespace SoundTools
