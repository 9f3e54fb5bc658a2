// SoundAlgoFFTDirectCompute / SoundAlgoFFTInverseCompute inside the block loop:
// reconstruction, windows, the autocorrelation mode against direct sums, sizes
// and errors. (Overlap-add as linear convolution: the FFT filter's tests.)
#include <QJsonObject>
#include <cmath>
#include <functional>
#include <sstream>

#include "common/FourierKit.h"
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

// The spectrum base with a process that passes nothing: for the base's own rules.
class PlainSpectrum : public SoundAlgoFFT {
public:
    using SoundAlgoFFT::SoundAlgoFFT;
    SoundTools::Status process() override { return SoundTools::Ok; }
    bool read(QJsonObject& o) { return readFromJSon(o); }
};

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
// inverse gives no samples.
TEST(FFTAlgo, ChainReconstructsItsInput) {
    struct Case { unsigned size; bool overlap, fed, disabled; unsigned block; const char* error; };
    const Case cases[] = {
        {512, true, false, false, 997, nullptr},   {512, true, false, false, 64, nullptr},
        {1024, false, false, false, 997, nullptr}, {1024, false, false, false, 64, nullptr},
        {512, true, true, false, 1000, nullptr},   {512, false, true, false, 1024, nullptr},
        {512, true, true, true, 1024, nullptr},    {3, true, false, false, 1024, nullptr},
        {512, false, true, false, 1000, "block size 1000 is not a multiple of the FFT size 512"},
        {0, true, false, false, 1024, "FFT size 0 cannot be used"},
        {1, true, false, false, 1024, "FFT size 1 cannot be used"},
    };
    const Frames in = tk::mixedStereo(20000, kRate);
    const unsigned saved = SoundBuffer::sSize;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "size " << c.size << " overlap " << c.overlap << " fed " << c.fed
                                          << " block " << c.block);
        auto chain = fftChain(c.size, c.overlap, false, c.fed, c.disabled);
        SoundTools::Status status;
        const Frames out = tk::run(*chain, in, kRate, c.block, &status);
        SoundBuffer::sSize = saved;
        EXPECT_EQ(status, c.error ? SoundTools::Error : SoundTools::Ok);
        if (c.error || c.disabled) {
            EXPECT_TRUE(out.empty());
            EXPECT_TRUE(!c.error || SoundDebuggableClass::getError().contains(c.error));
            continue;
        }
        ASSERT_GE(out.size(), in.size());
        EXPECT_TRUE(tk::framesNear(head(out, in.size()), in, 1e-12));
        for (size_t i = in.size(); i < out.size(); ++i) ASSERT_NEAR(out[i].absmax(), 0.0, 1e-12) << i;
        EXPECT_LE(out.size(), in.size() + (c.overlap ? c.size : 0));
    }
}

// Time-domain neighbours on both sides: a gain before the direct compute, and
// members after the inverse that keep history (in overlap) or delay the stream
// by more than a block, so that the flush at the end must bring the whole
// stream out, in place.
TEST(FFTAlgo, ChainWithTimeDomainNeighbours) {
    const Frames in = tk::mixedStereo(9000, kRate, 5);
    for (unsigned d : {0u, 3000u}) {
        auto chain = SoundRef<SoundAlgoComposite>::make();
        if (d == 0) chain->pushAlgo(SoundRef<SoundAlgoScale>::make(20.0 * std::log10(0.5)).release());
        chain->pushAlgo(SoundRef<SoundAlgoFFTDirectCompute>::make(256, true, false).release());
        chain->pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(false).release());
        chain->pushAlgo(SoundRef<SoundAlgoBypass>::make(d ? 10u : 37u, 0u, 0u).release());
        if (d) chain->pushAlgo(SoundRef<SoundAlgoDelay>::make(double(d) / kRate, false).release());
        SoundTools::Status status;
        const Frames out = tk::run(*chain, in, kRate, d ? 256 : 1024, &status);
        ASSERT_EQ(status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
        ASSERT_GE(out.size(), in.size() + d);
        EXPECT_TRUE(tk::framesNear(head(out, in.size() + d), d ? tk::delayed(in, d) : tk::scaled(in, 0.5), 1e-12));
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
// 0 .. N/2-1, lag k divided by N/2 - k (by 50 once that is below 51).
TEST(FFTAlgo, AutocorrelationModeMatchesDirectSums) {
    const unsigned N = 256, half = N / 2;
    const Frames in = tk::mixedStereo(half * 6, kRate, 3);
    SoundFFTAutocorrelChain chain(N);
    const Frames out = tk::run(chain, in, kRate, 1024);
    ASSERT_GE(out.size(), in.size());
    const auto& members = chain.getBranch(0);
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(static_cast<SoundAlgoFFTInverseCompute*>(members[2])->getMode(),
              SoundAlgoFFTInverseCompute::Autocorrelation);
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
    const unsigned saved = SoundBuffer::sSize;
    for (const Case& c : {Case{1000, 512, true}, Case{1024, 1024, false}, Case{3, 2, true}, Case{1, 1, false},
                          Case{0, 0, false}, Case{8193, 8192, true}}) {
        SCOPED_TRACE(c.requested);
        std::ostringstream log;
        SoundDebuggableClass::setOStream(&log);
        SoundBuffer::sSize = 1024;
        SoundAlgoFFTDirectCompute direct(c.requested, true, false);
        SoundDebuggableClass::setOStream(nullptr);
        EXPECT_EQ(direct.getSize(), c.size);
        EXPECT_EQ(log.str(), c.logged ? "FFT Size rounded to power of 2 (" + std::to_string(c.size) + " vs " +
                                            std::to_string(c.requested) + ")\n"
                                      : "");
        EXPECT_EQ(SoundBuffer::sSize, std::max(1024u, c.size));
    }
    SoundBuffer::sSize = saved;
}

// Spectrum algorithms need spectra: alone, or after a time-domain algorithm,
// they refuse to start with a readable error.
TEST(FFTAlgo, SpectrumAlgorithmsNeedASpectrumUpstream) {
    const std::function<SoundAlgo*()> makers[] = {
        [] { return SoundRef<SoundAlgoFFTStats>::make().release(); },
        [] { return SoundRef<SoundAlgoFFTInverseCompute>::make(false).release(); },
        [] { return SoundRef<SoundFFTAutocorrel>::make().release(); },
        [] { return SoundRef<SoundAlgoFFTFilter>::make(SoundTools::LowPass, 1000.0, 0.0).release(); },
        [] { return SoundRef<SoundAlgoFFTTranslate>::make(3).release(); },
    };
    for (const auto& make : makers)
        for (bool afterTimeFrames : {false, true}) {
            SoundRef<SoundAlgo> run = SoundRef<SoundAlgo>::adopt(make());
            SCOPED_TRACE(run->getName().toStdString() + (afterTimeFrames ? " after a gain" : " alone"));
            if (afterTimeFrames) {
                auto chain = SoundRef<SoundAlgoComposite>::make();
                chain->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
                chain->pushAlgo(run.release());
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

// The spectrum base reads its keys back, needs a sample rate, and ignores keys
// of the wrong type.
TEST(FFTAlgo, JsonKeysOfTheSpectrumBase) {
    PlainSpectrum fft(2048, true);
    QJsonObject o;
    fft.writeToJSon(o);
    PlainSpectrum back;
    EXPECT_FALSE(back.read(o));  // no sample rate yet
    o.insert("SampleRate", 48000);
    EXPECT_TRUE(back.read(o));
    QJsonObject odd{{"Size", "big"}, {"Overlap", 1}, {"SampleRate", true}};
    EXPECT_TRUE(back.read(odd));
    EXPECT_EQ(back.getSize(), 2048u);
    EXPECT_TRUE(back.isOverlap());
    EXPECT_EQ(back.getSampleRate(), 48000u);
    PlainSpectrum empty;
    EXPECT_FALSE(empty.read(odd));
}
