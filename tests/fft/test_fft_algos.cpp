// The spectrum algorithms inside the block loop: direct and inverse compute
// (reconstruction, windows, the autocorrelation mode against direct sums, sizes
// and errors), the FFT equaliser against convolution computed by its definition,
// and bin shifts against cosines. (The designs: the Remez tests.)
#include <cmath>
#include <sstream>

#include "common/EqualiserKit.h"
#include "common/FourierKit.h"
#include "common/MessageCapture.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoFFT.h"
#include "tonewright/SoundAlgoFFTFilter.h"
#include "tonewright/SoundAlgoFFTStats.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// [a gain ->] direct compute -> inverse compute, in one composite.
SoundRef<SoundAlgoComposite> fftChain(unsigned size, bool overlap, bool window = false, bool fed = false,
                                      bool disabled = false) {
    auto chain = SoundRef<SoundAlgoComposite>::make();
    if (fed) chain->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
    chain->pushAlgo(SoundRef<SoundAlgoFFTDirectCompute>::make(size, overlap, window).release());
    chain->pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(disabled).release());
    return chain;
}

Frames head(const Frames& f, size_t n) { return Frames(f.begin(), f.begin() + long(std::min(n, f.size()))); }

}  // namespace

// The chain gives its input back in blocks of any size. With overlap, whatever
// follows the stream is the transform of the zeros that flush the last half
// block: silence, at most a half block and a hop of it; without, nothing is
// held back. Fed by another algorithm, the direct compute takes the loop's
// block size: without overlap only whole blocks can be transformed as they
// come, and other sizes are refused before the run starts, as are transform
// sizes 0 and 1 (3 is rounded to 2: tiny, but a valid transform). A disabled
// inverse gives no samples. Members after the inverse that keep history (in
// overlap) and delay the stream by more than a block: the flush at the end
// brings the whole stream out. (Without overlap, blocks shorter than the
// transform give what one block gives: FramesConserved, "FFT and back, plain".)
TEST(FFTAlgo, ChainReconstructsItsInput) {
    struct Case {
        unsigned size;
        bool overlap, fed, disabled;
        unsigned block;
        const char* error;
        unsigned delay = 0;  // frames of a delay after the inverse (and a bypass holding history)
    };
    const Case cases[] = {
        {512, true, false, false, 997, nullptr},   {512, true, false, false, 64, nullptr},
        {1024, false, false, false, 997, nullptr}, {256, true, false, false, 256, nullptr, 3000},
        {512, true, true, false, 1000, nullptr},   {512, false, true, false, 1024, nullptr},
        {512, true, true, true, 1024, nullptr},    {3, true, false, false, 1024, nullptr},
        {512, false, true, false, 1000, "block size 1000 is not a multiple of the FFT size 512"},
        {0, true, false, false, 1024, "FFT size 0 cannot be used"},
        {1, true, false, false, 1024, "FFT size 1 cannot be used"},
    };
    const Frames in = tk::mixedStereo(20000, kRate);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "size " << c.size << " overlap " << c.overlap << " fed " << c.fed
                                          << " block " << c.block << " delay " << c.delay);
        tk::ScopedBlockSize restored(SoundBuffer::sSize);  // the direct compute raises it
        auto chain = fftChain(c.size, c.overlap, false, c.fed, c.disabled);
        if (c.delay) {
            chain->pushAlgo(SoundRef<SoundAlgoBypass>::make(10u, 0u, 0u).release());
            chain->pushAlgo(SoundRef<SoundAlgoDelay>::make(double(c.delay) / kRate, false).release());
        }
        SoundTools::Status status;
        const Frames out = tk::run(*chain, in, kRate, c.block, &status), model = tk::delayed(in, c.delay);
        EXPECT_EQ(status, c.error ? SoundTools::Error : SoundTools::Ok);
        if (c.error || c.disabled) {
            EXPECT_TRUE(out.empty());
            EXPECT_TRUE(!c.error || SoundDebuggableClass::getError().contains(c.error));
            continue;
        }
        ASSERT_GE(out.size(), model.size());
        EXPECT_TRUE(tk::framesNear(head(out, model.size()), model, 1e-12));
        for (size_t i = model.size(); i < out.size(); ++i) ASSERT_NEAR(out[i].absmax(), 0.0, 1e-12) << i;
        EXPECT_LE(out.size(), model.size() + (c.overlap ? c.size : 0));
    }
}

TEST(FFTAlgo, WindowedBlocksAreWeightedByPeriodicHann) {
    // Without overlap the window spans the whole block; without a window there is none.
    EXPECT_EQ(SoundAlgoFFTDirectCompute(64, false, true).getWindow().size(), 64u);
    EXPECT_TRUE(SoundAlgoFFTDirectCompute(64, false, false).getWindow().empty());
    // Constant input through windowed half blocks and overlap-add: every frame
    // is covered by exactly one block, so the output is the window repeated.
    const Frames in(64 * 4, Frame(1.0, -1.0));
    auto chain = fftChain(64, true, true);
    const Frames out = tk::run(*chain, in, kRate, 64);
    ASSERT_GE(out.size(), in.size());
    for (size_t n = 0; n < in.size(); ++n) {
        const double w = 0.5 * (1.0 - std::cos(2.0 * M_PI * double(n % 32) / 32.0));
        ASSERT_NEAR(out[n].l, w, 1e-12) << n;
        ASSERT_NEAR(out[n].r, -w, 1e-12) << n;
    }
}

// Each half block zero-padded gives its linear autocorrelation at lags
// 0 .. N/2-1, lag k divided by N/2 - k (by 50 once that is below 51): the
// chain's inverse runs in its autocorrelation mode.
TEST(FFTAlgo, AutocorrelationModeMatchesDirectSums) {
    const unsigned N = 256, half = N / 2;
    const Frames in = tk::mixedStereo(half * 6, kRate, 3);
    SoundFFTAutocorrelChain chain(N);
    const Frames out = tk::run(chain, in, kRate, 1024);
    ASSERT_GE(out.size(), in.size());
    for (size_t b = 0; b < in.size() / half; ++b) {
        for (unsigned k = 0; k < half; ++k) {
            double l = 0.0, r = 0.0;
            for (unsigned n = 0; n + k < half; ++n) {
                l += in[b * half + n].l * in[b * half + n + k].l;
                r += in[b * half + n].r * in[b * half + n + k].r;
            }
            const double d = half - k >= 51 ? double(half - k) : 50.0;
            ASSERT_NEAR(out[b * half + k].l, l / d, 1e-12) << "block " << b << " lag " << k;
            ASSERT_NEAR(out[b * half + k].r, r / d, 1e-12) << "block " << b << " lag " << k;
        }
    }
}

// Sizes are rounded down to powers of two, with a message, and raise the
// buffers' size to at least one transform.
TEST(FFTAlgo, SizesAreRoundedDownToPowersOfTwo) {
    struct Case { unsigned requested, size; bool logged; };
    for (const Case& c : {Case{1000, 512, true}, Case{1024, 1024, false}, Case{3, 2, true}, Case{1, 1, false},
                          Case{0, 0, false}, Case{8193, 8192, true}}) {
        SCOPED_TRACE(c.requested);
        std::ostringstream log;
        SoundDebuggableClass::setOStream(&log);
        tk::ScopedBlockSize size(1024);
        SoundAlgoFFTDirectCompute direct(c.requested, true, false);
        SoundDebuggableClass::setOStream(nullptr);
        EXPECT_EQ(direct.getSize(), c.size);
        EXPECT_EQ(log.str(), c.logged ? "FFT Size rounded to power of 2 (" + std::to_string(c.size) + " vs " +
                                            std::to_string(c.requested) + ")\n"
                                      : "");
        EXPECT_EQ(SoundBuffer::sSize, std::max(1024u, c.size));
    }
}

// Spectrum algorithms need spectra: alone, or after a time-domain algorithm,
// they refuse to start with a readable error. (Their base makes the check for
// all of them: the statistics stand for the inverse and the filters.)
TEST(FFTAlgo, SpectrumAlgorithmsNeedASpectrumUpstream) {
    for (bool afterTimeFrames : {false, true}) {
        SCOPED_TRACE(afterTimeFrames ? "after a gain" : "alone");
        SoundRef<SoundAlgo> run(SoundRef<SoundAlgoFFTStats>::make());
        if (afterTimeFrames) {
            auto chain = SoundRef<SoundAlgoComposite>::make();
            tk::fill(*chain, {{SoundRef<SoundAlgoScale>::make(0.0).release(), run.release()}});
            run = SoundRef<SoundAlgo>(std::move(chain));
        }
        SoundTools::Status status = SoundTools::Ok;
        EXPECT_TRUE(tk::run(*run, tk::noise(2000), kRate, 1024, &status).empty());
        EXPECT_EQ(status, SoundTools::Error);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(afterTimeFrames ? "reads spectra but"
                                                                              : "needs a preceding algorithm"))
            << SoundDebuggableClass::getError().toStdString();
    }
}

// The chain's output is the full linear convolution of the stream with the
// designed taps, over streams of many blocks in odd-sized ones; it is delayed by
// the taps less one, and the response it applied is released at the end. A
// transform of 512 points holds 255 taps (N/2 would be even: one less, so that
// a high-pass still passes fs/2). A type without a band layout gives the fixed
// critical message and the stream unchanged, delayed like a designed filter.
// (The taps' symmetry: RemezDesign.EqualiserDesignsAreOptimalEquiripple.)
TEST(FFTFilter, EqFFTIsLinearConvolutionWithItsTaps) {
    struct Case { SoundTools::FilterType type; double low, high; unsigned size, taps; size_t frames; };
    const Case cases[] = {
        {SoundTools::LowPass, 1000, 0, 8192, 447, 90000},    {SoundTools::HighPass, 2000, 0, 1024, 447, 30000},
        {SoundTools::BandPass, 500, 4000, 1024, 447, 30000}, {SoundTools::BandStop, 1000, 6000, 2048, 447, 30000},
        {SoundTools::HighPass, 3000, 0, 512, 255, 20000},    {SoundTools::BandEq, 1000, 2000, 2048, 447, 10000},
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
        SoundAlgoFFTTranslate* translate = SoundRef<SoundAlgoFFTTranslate>::make(c.first).release();
        SoundAlgoComposite chain;
        tk::fill(chain, {{SoundRef<SoundAlgoFFTDirectCompute>::make(N, false, false).release(), translate,
                          SoundRef<SoundAlgoFFTInverseCompute>::make(false).release()}});
        EXPECT_EQ(translate->getInFrameSize(), 0u);  // N is known only during a run
        unsigned during = 0;
        QObject::connect(&chain, &SoundAlgo::notifyBegin, [&](unsigned) { during = translate->getOutFrameSize(); });
        const Frames out = tk::run(chain, cosine(10), kRate, 4 * N);
        EXPECT_EQ(during, N / 2 + 1);
        EXPECT_TRUE(tk::framesNear(out, cosine(c.second), 1e-12)) << "shift " << c.first;
    }
}
