// Descriptions (SoundAlgoDescription.h) of the FFT-domain equaliser.
#include "algo/SoundAlgoDescriptionKeys.h"
#include "tonewright/SoundAlgoFFTFilter.h"

namespace SoundTools {
namespace {
const DescriptionBuilder kEqFFT("SoundAlgoEqFFT", [](DescriptionKeys& k) -> SoundAlgo* {
    const FilterType type = k.filterType("Type", {LowPass, BandPass, BandStop, HighPass});
    const double low = k.number("Low", 1.0, 384000.0);
    const bool band = type == BandPass || type == BandStop;
    const double high = band ? k.number("High", 1.0, 384000.0) : 0.0;
    if (k.ok() && band && !(high > low)) k.refuse("High", "above \"Low\"");
    const int size = k.integer("Size", 256, 65536, 8192);
    if (k.ok() && (size & (size - 1)) != 0) k.refuse("Size", "a power of two");
    return new SoundAlgoEqFFT(type, low, high, unsigned(size));
});
}  // namespace
}  // namespace SoundTools
