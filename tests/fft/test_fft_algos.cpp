// SoundAlgoFFTDirectCompute / SoundAlgoFFTInverseCompute inside the block loop:
// reconstruction, linear convolution by overlap-add against direct convolution,
// independence from the block size, the autocorrelation mode, sizes and errors.
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

// Multiplies every spectrum by the transform of a short FIR filter (at most
// N/2 + 1 taps, so that overlap-add of half blocks is linear convolution).
class FirSpectrum : public SoundAlgoFFT {
public:
    explicit FirSpectrum(std::vector<double> h) : mH(std::move(h)) {}
    SoundTools::Status onInitInputBuffer() override {
        FFTARadix2 engine{int(mSize)};
        std::vector<double> padded(mSize, 0.0);
        std::copy(mH.begin(), mH.end(), padded.begin());
        mResponse.assign(mSize + 2, 0.0);
        engine.directComputeReal(padded.data(), mResponse.data());
        return SoundTools::Ok;
    }
    SoundTools::Status process() override {
        const size_t bins = getFFTSampleSize();
        for (unsigned i = 0; i < inputSpectra(); ++i) {
            const double* in = mInBuffers[0]->getRelFrame(int(i));
            double* out = mOutBuffers[0]->getRelFrame(int(i));
            for (size_t c = 0; c < 2; ++c)
                for (size_t k = 0; k < bins; ++k) {
                    const double xr = in[2 * (c * bins + k)], xi = in[2 * (c * bins + k) + 1];
                    const double hr = mResponse[2 * k], hi = mResponse[2 * k + 1];
                    out[2 * (c * bins + k)] = hr * xr - hi * xi;
                    out[2 * (c * bins + k) + 1] = hr * xi + hi * xr;
                }
        }
        return SoundTools::Ok;
    }

private:
    std::vector<double> mH;
    std::vector<double> mResponse;
};

// The spectrum base with a process that passes nothing: for the base's own rules.
class PlainSpectrum : public SoundAlgoFFT {
public:
    using SoundAlgoFFT::SoundAlgoFFT;
    SoundTools::Status process() override { return SoundTools::Ok; }
    bool read(QJsonObject& o) { return readFromJSon(o); }
};

// direct compute -> [middle] -> inverse compute, in one composite.
SoundRef<SoundAlgoComposite> fftChain(unsigned size, bool overlap, SoundAlgo* middle = nullptr, bool window = false) {
    auto chain = SoundRef<SoundAlgoComposite>::make();
    chain->pushAlgo(SoundRef<SoundAlgoFFTDirectCompute>::make(size, overlap, window).release());
    if (middle) chain->pushAlgo(middle);
    chain->pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(false).release());
    return chain;
}

Frames head(const Frames& f, size_t n) { return Frames(f.begin(), f.begin() + long(std::min(n, f.size()))); }

// A low-pass-ish FIR with distinct taps, so that any shift shows.
std::vector<double> testFir(size_t taps) {
    std::vector<double> h(taps);
    for (size_t i = 0; i < taps; ++i) h[i] = std::exp(-0.05 * double(i)) * std::cos(0.3 * double(i)) / 4.0;
    return h;
}

}  // namespace

// With overlap, whatever follows the stream is the transform of the zeros that
// flush the last half block: silence, at most a half block and a hop of it.
// Without, nothing is held back: the last, short block is output only up to the
// end of the stream.
TEST(FFTAlgo, ChainReconstructsInputInOddBlocks) {
    const Frames in = tk::mixedStereo(20000, kRate);
    for (bool overlap : {true, false})
        for (unsigned block : {997u, 64u}) {
            auto chain = fftChain(overlap ? 512 : 1024, overlap);
            SoundTools::Status status;
            const Frames out = tk::run(*chain, in, kRate, block, &status);
            ASSERT_EQ(status, SoundTools::Ok) << block;
            ASSERT_GE(out.size(), in.size()) << block;
            EXPECT_TRUE(tk::framesNear(head(out, in.size()), in, 1e-12)) << "block " << block;
            for (size_t i = in.size(); i < out.size(); ++i) ASSERT_NEAR(out[i].absmax(), 0.0, 1e-12) << i;
            EXPECT_LE(out.size(), in.size() + (overlap ? 512 : 0)) << block;
        }
}

// Overlap-add of zero-padded half blocks is linear convolution: the chain must
// agree with convolution computed by its definition, sample for sample.
TEST(FFTAlgo, SpectrumProductIsLinearConvolution) {
    const Frames in = tk::mixedStereo(12000, kRate, 11);
    for (size_t taps : {size_t(1), size_t(40), size_t(257)}) {
        const std::vector<double> h = testFir(taps);
        auto chain = fftChain(512, true, SoundRef<FirSpectrum>::make(h).release());
        const Frames out = tk::run(*chain, in, kRate, 1001);
        ASSERT_GE(out.size(), in.size());
        EXPECT_TRUE(tk::framesNear(head(out, in.size()), tk::convolve(in, h), 1e-12)) << taps << " taps";
    }
}

// Time-domain neighbours on both sides: a gain before the direct compute, and
// members after the inverse that keep history (in overlap) or delay the stream
// by more than a block, so that the flush at the end must bring the whole
// stream out, in place.
TEST(FFTAlgo, ChainWithTimeDomainNeighbours) {
    const Frames in = tk::mixedStereo(9000, kRate, 5);
    for (bool delayed : {false, true}) {
        const unsigned d = delayed ? 3000 : 0;
        auto chain = SoundRef<SoundAlgoComposite>::make();
        if (!delayed) chain->pushAlgo(SoundRef<SoundAlgoScale>::make(20.0 * std::log10(0.5)).release());
        chain->pushAlgo(SoundRef<SoundAlgoFFTDirectCompute>::make(256, true, false).release());
        chain->pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(false).release());
        chain->pushAlgo(SoundRef<SoundAlgoBypass>::make(delayed ? 10u : 37u, 0u, 0u).release());
        if (delayed) chain->pushAlgo(SoundRef<SoundAlgoDelay>::make(double(d) / kRate, false).release());
        SoundTools::Status status;
        const Frames out = tk::run(*chain, in, kRate, delayed ? 256 : 1024, &status);
        ASSERT_EQ(status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
        ASSERT_GE(out.size(), in.size() + d);
        EXPECT_TRUE(tk::framesNear(head(out, in.size() + d), delayed ? tk::delayed(in, d) : tk::scaled(in, 0.5), 1e-12));
    }
}

// Fed by another algorithm, the direct compute takes the loop's block size: with
// overlap any size works; without, only whole blocks can be transformed as they
// come, and other sizes are refused before the run starts.
TEST(FFTAlgo, FedDirectComputeAndTheBlockSize) {
    const Frames in = tk::noise(3000);
    for (bool overlap : {true, false}) {
        auto chain = SoundRef<SoundAlgoComposite>::make();
        chain->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
        chain->pushAlgo(SoundRef<SoundAlgoFFTDirectCompute>::make(512, overlap, false).release());
        chain->pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(false).release());
        SoundTools::Status status;
        const Frames out = tk::run(*chain, in, kRate, 1000, &status);
        if (overlap) {
            EXPECT_EQ(status, SoundTools::Ok);
            EXPECT_TRUE(tk::framesNear(head(out, in.size()), in, 1e-12));
        } else {
            EXPECT_EQ(status, SoundTools::Error);
            EXPECT_TRUE(out.empty());
            EXPECT_TRUE(SoundDebuggableClass::getError().contains("block size 1000 is not a multiple of the FFT size 512"));
            const Frames whole = tk::run(*chain, in, kRate, 1024, &status);
            EXPECT_EQ(status, SoundTools::Ok);
            EXPECT_TRUE(tk::framesNear(whole, in, 1e-12));
        }
    }
}

TEST(FFTAlgo, WindowedBlocksAreWeightedByPeriodicHann) {
    // Without overlap the window spans the whole block; without a window there is none.
    EXPECT_EQ(SoundAlgoFFTDirectCompute(64, false, true).getWindow().size(), 64u);
    EXPECT_TRUE(SoundAlgoFFTDirectCompute(64, false, false).getWindow().empty());
    // Constant input through windowed half blocks and overlap-add: every frame
    // is covered by exactly one block, so the output is the window repeated.
    const Frames in(64 * 4, Frame(1.0, -1.0));
    auto chain = fftChain(64, true, nullptr, true);
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

TEST(FFTAlgo, DisabledInverseProducesNoSamples) {
    auto chain = SoundRef<SoundAlgoComposite>::make();
    chain->pushAlgo(SoundRef<SoundAlgoFFTDirectCompute>::make(512, true, false).release());
    chain->pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(true).release());
    SoundTools::Status status;
    EXPECT_TRUE(tk::run(*chain, tk::noise(5000), kRate, 1024, &status).empty());
    EXPECT_EQ(status, SoundTools::Ok);
}

TEST(FFTAlgo, SizesAreRoundedDownToPowersOfTwo) {
    struct Case {
        unsigned requested;
        unsigned size;
        bool logged;
    };
    const unsigned saved = SoundBuffer::sSize;
    for (const Case& c : {Case{1000, 512, true}, Case{1024, 1024, false}, Case{3, 2, true}, Case{1, 1, false},
                          Case{0, 0, false}, Case{8193, 8192, true}}) {
        std::ostringstream log;
        SoundDebuggableClass::setOStream(&log);
        SoundBuffer::sSize = 1024;
        SoundAlgoFFTDirectCompute direct(c.requested, true, false);
        SoundDebuggableClass::setOStream(nullptr);
        EXPECT_EQ(direct.getSize(), c.size) << c.requested;
        const std::string expected = c.logged ? "FFT Size rounded to power of 2 (" + std::to_string(c.size) + " vs " +
                                                    std::to_string(c.requested) + ")\n"
                                              : "";
        EXPECT_EQ(log.str(), expected) << c.requested;
        EXPECT_EQ(SoundBuffer::sSize, std::max(1024u, c.size)) << c.requested;
    }
    SoundBuffer::sSize = saved;
}

TEST(FFTAlgo, UnusableSizesFailTheRunWithAReason) {
    const Frames in = tk::noise(2000);
    for (unsigned size : {0u, 1u}) {
        const unsigned saved = SoundBuffer::sSize;
        auto chain = fftChain(size, true);
        SoundTools::Status status;
        const Frames out = tk::run(*chain, in, kRate, 1024, &status);
        SoundBuffer::sSize = saved;
        EXPECT_EQ(status, SoundTools::Error) << size;
        EXPECT_TRUE(out.empty()) << size;
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(QString("FFT size %1 cannot be used").arg(size)))
            << size;
    }
    // Three is rounded to two: tiny, but a valid transform.
    auto chain = fftChain(3, true);
    const Frames out = tk::run(*chain, in, kRate, 1024);
    ASSERT_GE(out.size(), in.size());
    EXPECT_TRUE(tk::framesNear(head(out, in.size()), in, 1e-14));
}

// Spectrum algorithms need spectra: alone, or after a time-domain algorithm,
// they refuse to start with a readable error.
TEST(FFTAlgo, SpectrumAlgorithmsNeedASpectrumUpstream) {
    const Frames in = tk::noise(2000);
    struct Case {
        std::function<SoundAlgo*()> make;
        bool afterTimeFrames;
        const char* cause;
    };
    const Case cases[] = {
        {[] { return SoundRef<SoundAlgoFFTStats>::make().release(); }, false, "needs a preceding algorithm"},
        {[] { return SoundRef<SoundAlgoFFTInverseCompute>::make().release(); }, false, "needs a preceding algorithm"},
        {[] { return SoundRef<SoundFFTAutocorrel>::make().release(); }, false, "needs a preceding algorithm"},
        {[] { return SoundRef<SoundAlgoFFTFilter>::make(SoundTools::LowPass, 1000.0, 0.0).release(); }, false,
         "needs a preceding algorithm"},
        {[] { return SoundRef<SoundAlgoFFTTranslate>::make(3).release(); }, false, "needs a preceding algorithm"},
        {[] { return SoundRef<SoundAlgoFFTInverseCompute>::make(false).release(); }, true, "reads spectra but"},
        {[] { return SoundRef<SoundAlgoFFTFilter>::make(SoundTools::LowPass, 1000.0, 0.0).release(); }, true,
         "reads spectra but"},
    };
    for (const Case& c : cases) {
        SoundRef<SoundAlgo> algo = SoundRef<SoundAlgo>::adopt(c.make());
        SCOPED_TRACE(algo->getName().toStdString());
        SoundRef<SoundAlgo> run = algo;
        if (c.afterTimeFrames) {
            auto chain = SoundRef<SoundAlgoComposite>::make();
            chain->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
            chain->pushAlgo(SoundRef<SoundAlgo>::share(algo.get()).release());
            run = SoundRef<SoundAlgo>::share(chain.get());
        }
        SoundTools::Status status = SoundTools::Ok;
        EXPECT_TRUE(tk::run(*run, in, kRate, 1024, &status).empty());
        EXPECT_EQ(status, SoundTools::Error);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(c.cause))
            << SoundDebuggableClass::getError().toStdString();
    }
}

TEST(FFTAlgo, JsonKeysOfTheSpectrumBase) {
    PlainSpectrum fft(2048, true);
    fft.setId("spectrum");
    QJsonObject o;
    fft.writeToJSon(o);
    EXPECT_EQ(o.value("Id").toString(), QString("spectrum"));
    EXPECT_EQ(o.value("Size").toInt(), 2048);
    EXPECT_EQ(o.value("Overlap").toBool(), true);
    EXPECT_EQ(o.value("SampleRate").toInt(), 0);

    PlainSpectrum back;
    EXPECT_FALSE(back.read(o));  // no sample rate yet
    o.insert("SampleRate", 48000);
    EXPECT_TRUE(back.read(o));
    EXPECT_EQ(back.getSize(), 2048u);
    EXPECT_TRUE(back.isOverlap());
    EXPECT_EQ(back.getSampleRate(), 48000u);
    EXPECT_EQ(back.getId(), QString("spectrum"));
    // Keys of the wrong type change nothing.
    QJsonObject odd{{"Size", "big"}, {"Overlap", 1}, {"SampleRate", true}};
    EXPECT_TRUE(back.read(odd));
    EXPECT_EQ(back.getSize(), 2048u);
    EXPECT_TRUE(back.isOverlap());
    PlainSpectrum empty;
    EXPECT_FALSE(empty.read(odd));
}
