// SoundAlgoFilter and samples that are not numbers.
#include <cmath>
#include <limits>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundFilterBuilders.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
}  // namespace

// A filter fed a sample that is not a number filters it as silence: its state
// stays finite and later blocks are unaffected.
TEST(FilterAlgo, BadSamplesAreFilteredAsSilence) {
    Frames in = tk::noise(5000, 0.5, 3);
    Frames holed = in;
    in[1234] = Frame(kNaN, kInf);
    holed[1234] = Frame(0, 0);
    for (unsigned block : {1024u, 333u}) {
        auto f = SoundRef<SoundAlgoFilter>::make(
            std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, 1000.0, 1.0, 6.0));
        auto g = SoundRef<SoundAlgoFilter>::make(
            std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, 1000.0, 1.0, 6.0));
        EXPECT_TRUE(tk::framesNear(tk::run(*f, in, kRate, block), tk::run(*g, holed, kRate, block), 0.0)) << block;
    }
}
