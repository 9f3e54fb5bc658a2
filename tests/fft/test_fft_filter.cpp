// SoundAlgoFFTFilter, SoundAlgoEqFFT and SoundAlgoFFTTranslate: the chain
// against convolution computed by its definition, and bin shifts against
// cosines. (The designs: the Remez tests.)
#include <algorithm>
#include <cmath>

#include "common/EqualiserKit.h"
#include "common/MessageCapture.h"
#include "common/FourierKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoFFTFilter.h"

using SoundTools::FilterType;
using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
}  // namespace

// The chain's output is the full linear convolution of the stream with the
// designed taps, over streams of many blocks in odd-sized ones; it is delayed by
// the taps less one, and the response it applied is released at the end. A
// transform of 512 points holds 255 taps (N/2 would be even: one less, so that
// a high-pass still passes fs/2). A type without a band layout gives the fixed
// critical message and the stream unchanged, delayed like a designed filter.
TEST(FFTFilter, EqFFTIsLinearConvolutionWithItsTaps) {
    struct Case { FilterType type; double low, high; unsigned size, taps; size_t frames; };
    const Case cases[] = {
        {SoundTools::LowPass, 1000, 0, 8192, 447, 90000},    {SoundTools::HighPass, 2000, 0, 1024, 447, 30000},
        {SoundTools::BandPass, 500, 4000, 1024, 447, 30000}, {SoundTools::BandStop, 1000, 6000, 2048, 447, 30000},
        {SoundTools::HighPass, 3000, 0, 512, 255, 20000},    {SoundTools::BandEq, 1000, 2000, 2048, 447, 10000},
        {SoundTools::HighShelf, 1000, 2000, 2048, 447, 10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << tk::filterTypeName(c.type) << ", N = " << c.size);
        const bool designed = c.type <= SoundTools::HighPass;
        EXPECT_EQ(SoundAlgoFFTFilter::getTapNumber(c.size), c.taps);
        std::vector<double> h(c.taps, 0.0);
        h[c.taps / 2] = 1.0;
        if (designed) {
            ASSERT_EQ(SoundAlgoFFTFilter(c.type, c.low, c.high).design(kRate, c.size, h), SoundTools::Ok);
            ASSERT_EQ(h.size(), c.taps);
            EXPECT_TRUE(std::equal(h.begin(), h.end(), h.rbegin()));  // linear phase
        }
        const Frames in = tk::mixedStereo(c.frames, kRate, 21);
        tk::MessageCapture capture;
        SoundAlgoEqFFT eq(c.type, c.low, c.high, c.size);
        EXPECT_EQ(eq.getDelay(kRate), c.taps - 1);
        SoundTools::Status status;
        const Frames out = tk::run(eq, in, kRate, 1001, &status);
        ASSERT_EQ(status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
        EXPECT_TRUE(tk::framesNear(out, tk::fullConvolution(in, h), 1e-9));
        EXPECT_TRUE(eq.getFilter()->getResponse().empty());
        EXPECT_EQ(capture.messages(QtCriticalMsg),
                  designed ? QStringList() : QStringList{QString("Unsupported FFT Eq mode : %1").arg(int(c.type))});
    }
    EXPECT_EQ(SoundAlgoFFTFilter::getTapNumber(65536), 447u);
    EXPECT_EQ(SoundAlgoFFTFilter::getTapNumber(4), 1u);
}

// A cosine on bin 10 of a 64-point transform (no overlap, so each block holds
// whole periods) comes back on bin 10 + shift; a constant (bin 0) stays; a bin
// moved past the top or the bottom disappears.
TEST(FFTFilter, TranslateMovesBins) {
    const unsigned N = 64;
    const auto cosine = [&](int bin) {
        Frames f(64 * N);
        for (size_t i = 0; i < f.size(); ++i) {
            const double v = 0.25 + (bin < 0 ? 0.0 : 0.5 * std::cos(2.0 * M_PI * bin * double(i % N) / N));
            f[i] = Frame(v, -v);
        }
        return f;
    };
    const std::pair<int, int> cases[] = {{3, 13}, {-3, 7}, {0, 10}, {21, 31}, {22, -1}, {-9, 1}, {-10, -1}};
    for (const auto& c : cases) {
        SoundAlgoComposite chain;
        chain.pushAlgo(SoundRef<SoundAlgoFFTDirectCompute>::make(N, false, false).release());
        SoundAlgoFFTTranslate* translate = SoundRef<SoundAlgoFFTTranslate>::make(c.first).release();
        chain.pushAlgo(translate);
        chain.pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(false).release());
        EXPECT_EQ(translate->getInFrameSize(), 0u);  // N is known only during a run
        unsigned during = 0;
        QObject::connect(&chain, &SoundAlgo::notifyBegin, [&](unsigned) { during = translate->getOutFrameSize(); });
        const Frames out = tk::run(chain, cosine(10), kRate, 4 * N);
        EXPECT_EQ(during, N / 2 + 1);
        EXPECT_TRUE(tk::framesNear(out, cosine(c.second), 1e-12)) << "shift " << c.first;
    }
}
