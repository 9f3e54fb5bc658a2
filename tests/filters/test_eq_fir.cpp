// SoundAlgoEqFIR: its output against convolution computed by its definition,
// its timing, and bad input. (Its designs: the Remez tests.)
#include <algorithm>
#include <cmath>

#include "common/EqualiserKit.h"
#include "common/MessageCapture.h"
#include "common/FourierKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoEqFIR.h"

using SoundTools::FilterType;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
}  // namespace

// Output frame n is gain * sum h[i] x[n - i] with the taps the algorithm
// designs, up to the end of the filter's tail, in blocks shorter and longer
// than the taps.
TEST(EqFIR, OutputIsTheFullConvolutionWithItsTaps) {
    struct Case { FilterType type; double low, high, gainDb; };
    const Case cases[] = {
        {SoundTools::LowPass, 1000, 0, 0.0},
        {SoundTools::HighPass, 1000, 0, 0.0},
        {SoundTools::BandPass, 3000, 9000, -6.0},
        {SoundTools::BandStop, 800, 6000, 0.0},
    };
    const Frames in = tk::mixedStereo(15000, kRate, 3);
    for (const Case& c : cases) {
        std::vector<double> h;
        ASSERT_EQ(SoundAlgoEqFIR(c.type, c.low, c.high).design(kRate, h), SoundTools::Ok);
        const Frames ref = tk::scaled(tk::fullConvolution(in, h), tk::fromDb(c.gainDb));
        for (unsigned block : {1001u, 7u}) {
            SoundAlgoEqFIR fir(c.type, c.low, c.high);
            fir.SetOutputGain(c.gainDb);
            EXPECT_EQ(fir.getTapNumber(kRate), h.size());
            EXPECT_EQ(fir.getDelay(kRate), h.size() - 1);
            EXPECT_EQ(fir.getInOverlap(kRate), h.size() - 1);
            SoundTools::Status status;
            const Frames out = tk::run(fir, in, kRate, block, &status);
            ASSERT_EQ(status, SoundTools::Ok);
            EXPECT_TRUE(tk::framesNear(out, ref, 1e-12))
                << tk::filterTypeName(c.type) << " " << h.size() << " taps, block " << block;
        }
    }
}

// Types without a band layout give the fixed critical message; frequencies
// that make no filter, a readable error naming the cause. Either way the run
// fails without output, and there are no taps.
TEST(EqFIR, BadInputIsAnErrorNotACrash) {
    struct Case { FilterType type; double low, high; const char* cause; };
    const Case cases[] = {
        {SoundTools::LowShelf, 1000.0, 2000.0, nullptr},
        {SoundTools::BandEq, 1000.0, 2000.0, nullptr},
        {FilterType(42), 1000.0, 2000.0, nullptr},
        {SoundTools::LowPass, 0.0, 0.0, "low frequency must be above 0 Hz"},
        {SoundTools::HighPass, -50.0, 0.0, "low frequency must be above 0 Hz"},
        {SoundTools::BandPass, 3000.0, 2000.0, "high frequency must be above the low frequency"},
        {SoundTools::BandStop, std::nan(""), 2000.0, "finite"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.type) << " " << c.low << " " << c.high);
        tk::MessageCapture capture;
        SoundAlgoEqFIR fir(c.type, c.low, c.high);
        SoundTools::Status status = SoundTools::Ok;
        EXPECT_TRUE(tk::run(fir, tk::noise(1000), kRate, 1024, &status).empty());
        EXPECT_EQ(status, SoundTools::Error);
        const QString e = SoundDebuggableClass::getError();
        EXPECT_TRUE(!c.cause || (e.contains("SoundAlgoEqFIR") && e.contains(c.cause))) << e.toStdString();
        EXPECT_EQ(capture.messages(QtCriticalMsg),
                  c.cause ? QStringList() : QStringList{QString("Unsupported FIR mode : %1").arg(int(c.type))});
        std::vector<double> h;
        EXPECT_EQ(fir.design(kRate, h), SoundTools::Error);
        EXPECT_TRUE(h.empty());
        EXPECT_EQ(fir.getDelay(kRate), 0u);
    }
}
