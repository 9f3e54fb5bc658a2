// Filter algorithms in the block loop, against the direct-form recursion.
#include <cmath>
#include <limits>
#ifdef TW_HAVE_OPENMP
#include <omp.h>
#endif

#include "common/FilterKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoFilter.h"

using namespace SoundTools;
using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
const double kBands[9] = {60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000};
const double kLevels[9] = {4, -3, 2, -1, 1, -2, 3, -4, 2};
const unsigned kBlocks[] = {1, 333};

Frames cascadeRef(const Frames& in, const std::vector<std::shared_ptr<BiquadEqBuilder>>& bands, unsigned rate) {
    Frames x = in;
    for (const auto& b : bands) {
        b->init(rate);
        x = tk::directForm(x, b->getBCoeff(), b->getACoeff());
    }
    return x;
}

// Exposes the protected parts under test.
class OpenBiquad : public SoundAlgoFilterBiquad {
public:
    using SoundAlgoFilter::getbuilder;
    using SoundAlgoFilterBiquad::SoundAlgoFilterBiquad;
};
}  // namespace

TEST(FilterAlgo, WithoutFiltersCopiesTheInput) {
    auto f = SoundRef<SoundAlgoFilter>::make();
    const Frames in = tk::ramp(2500);
    EXPECT_TRUE(tk::framesNear(tk::run(*f, in, kRate, 333), in, 0.0));
    EXPECT_FALSE(f->hasFilters());
}

TEST(FilterAlgo, NineBandEqualiserEqualsTheBandsInTurn) {
    std::vector<std::shared_ptr<BiquadEqBuilder>> bands;
    auto eq = SoundRef<SoundAlgoFilterBiquad>::make();
    for (int i = 0; i < 9; ++i) {
        eq->pushFilter(BandEq, kBands[i], 1.9, kLevels[i]);
        bands.push_back(std::make_shared<BiquadEqBuilder>(BandEq, kBands[i], 1.9, kLevels[i]));
    }
    for (unsigned rate : {44100u, 96000u}) {
        const Frames in = tk::mixedStereo(9000, rate, 4);
        const Frames ref = cascadeRef(in, bands, rate);
        for (unsigned block : kBlocks) {
            SoundTools::Status status = SoundTools::Error;
            EXPECT_TRUE(tk::framesNear(tk::run(*eq, in, rate, block, &status), ref, 0.0))
                << "rate " << rate << " block " << block;
            EXPECT_EQ(status, SoundTools::Ok);
        }
    }
    EXPECT_EQ(eq->getFilterNumber(), 9u);
}

// A chain mixing plain biquads with other filter kinds runs each in order.
TEST(FilterAlgo, MixedChainRunsEveryFilterInOrder) {
    auto peak = std::make_shared<BiquadEqBuilder>(BandEq, 500.0, 1.0, 6.0);
    auto shelf = std::make_shared<BiquadEqBuilder>(HighShelf, 5000.0, 1.0, -4.0);
    auto o4 = std::make_shared<Order4FilterBuilder>(HighPass, 40.0);
    auto f = SoundRef<SoundAlgoFilter>::make();
    f->addFilter(peak->buildFilter(kRate));
    f->addFilter(o4->buildFilter(kRate));
    f->addFilter(shelf->buildFilter(kRate));
    f->addFilter(shelf->buildClipFilter(kRate, 0.5));
    const Frames in = tk::scaled(tk::mixedStereo(5000, kRate), 0.5);
    Frames ref = tk::directForm(in, peak->getBCoeff(), peak->getACoeff());
    auto o4f = o4->buildFilter(kRate);
    ref = tk::directForm(ref, o4f->getBCoeff(), o4f->getACoeff());
    ref = tk::directForm(ref, shelf->getBCoeff(), shelf->getACoeff());
    ref = tk::directForm(ref, shelf->getBCoeff(), shelf->getACoeff(), 0.5);
    EXPECT_TRUE(tk::framesNear(tk::run(*f, in, kRate, 777), ref, 0.0));
    // Ready-made filters keep their state from one run into the next.
    const Frames again = tk::run(*f, in, kRate, 777);
    EXPECT_GT(tk::maxAbsDiff(again, ref), 0.0);
}

TEST(FilterAlgo, BuilderFiltersRestartAtEveryRun) {
    auto f = SoundRef<SoundAlgoFilter>::make(std::make_shared<Order4FilterBuilder>(LowPass, 2000.0));
    const Frames in = tk::noise(3000);
    const Frames first = tk::run(*f, in, kRate, 512);
    EXPECT_TRUE(tk::framesNear(tk::run(*f, in, kRate, 1000), first, 0.0));
    f->clearFilters();
    EXPECT_FALSE(f->hasFilters());
    EXPECT_TRUE(tk::framesNear(tk::run(*f, in, kRate, 99), first, 0.0));
    EXPECT_TRUE(f->hasFilters());
}

TEST(FilterAlgo, OutputGainScalesTheLastFilter) {
    auto band = std::make_shared<BiquadEqBuilder>(BandEq, 1000.0, 1.0, 3.0);
    auto f = SoundRef<SoundAlgoFilter>::make(band);
    f->pushFilter(std::make_shared<BiquadEqBuilder>(LowShelf, 200.0, 1.0, 2.0));
    f->setOutputGain(-6.0);
    const Frames in = tk::noise(2000);
    const Frames out = tk::run(*f, in, kRate, 1024);
    EXPECT_NEAR(f->getFilterGain(1), tk::fromDb(-6.0), 1e-15);
    EXPECT_NEAR(f->getFilterGain(1), 0.501187, 1e-6);
    EXPECT_EQ(f->getFilterGain(0), 1.0);
    EXPECT_EQ(f->getFilterGain(5), 1.0);
    BiquadEqBuilder shelf(LowShelf, 200.0, 1.0, 2.0);
    shelf.init(kRate);
    band->init(kRate);
    Frames ref = tk::directForm(in, band->getBCoeff(), band->getACoeff());
    ref = tk::directForm(ref, shelf.getBCoeff(), shelf.getACoeff(), tk::fromDb(-6.0));
    EXPECT_TRUE(tk::framesNear(out, ref, 0.0));
}

TEST(FilterAlgo, SetFilterAndResetGain) {
    auto f = SoundRef<SoundAlgoFilter>::make();
    const double b[3] = {0.5, 0.0, 0.0}, a[3] = {1.0, 0.0, 0.0}, b2[3] = {2.0, 0.0, 0.0};
    f->addFilter(std::make_shared<BiquadFilter>(b, a));
    f->setFilter(3, std::make_shared<BiquadFilter>(b2, a));  // past the end: nothing
    EXPECT_EQ(f->getFilterNumber(), 1u);
    const Frames in = tk::ramp(100);
    EXPECT_TRUE(tk::framesNear(tk::run(*f, in, kRate), tk::scaled(in, 0.5), 0.0));
    f->setFilter(0, std::make_shared<BiquadFilter>(b2, a));
    EXPECT_TRUE(tk::framesNear(tk::run(*f, in, kRate), tk::scaled(in, 2.0), 0.0));
    auto clip = std::make_shared<BiquadClipFilter>(b, a, 0.25);
    f->replaceFilters({clip});
    EXPECT_EQ(f->getFilterGain(0), 0.25);
    f->resetFilterGain(0);  // a clip filter ramps back
    EXPECT_EQ(clip->rampFramesLeft(), BiquadClipFilter::kRampFrames);
    f->resetFilterGain(4);  // nothing
}

// The low band is the first-order low-pass itself; the other output is the rest.
TEST(FilterAlgo, SplitOutputsAddUpToTheInput) {
    const Frames in = tk::mixedStereo(4000, kRate);
    auto lp = Order1FilterBuilder(LowPass, 500.0).buildFilter(kRate);
    for (double gainDb : {0.0, -6.0}) {
        auto split = SoundRef<SoundAlgoFilterSplit>::make(std::make_shared<Order1FilterBuilder>(LowPass, 500.0));
        split->setOutputGain(gainDb);
        EXPECT_EQ(split->getOutputNumber(), 2u);
        const double g = tk::fromDb(gainDb);
        const std::vector<Frames> out = tk::runOutputs(SoundRef<SoundAlgo>::share(split.get()).release(), 2, in, kRate, 333);
        EXPECT_NEAR(split->getFilterGain(0), g, 1e-15);  // the filters are built by the run
        ASSERT_EQ(out[0].size(), in.size());
        Frames sum(in.size());
        for (size_t i = 0; i < in.size(); ++i) sum[i] = out[0][i] + out[1][i];
        EXPECT_TRUE(tk::framesNear(sum, tk::scaled(in, g), 1e-15));
        EXPECT_TRUE(tk::framesNear(out[0], tk::directForm(in, lp->getBCoeff(), lp->getACoeff(), g), 0.0));
    }
}

TEST(FilterAlgo, BiquadSettersRebuildTheirBand) {
    auto eq = SoundRef<OpenBiquad>::make(BandEq, 1000.0, 1.0, 0.0);
    eq->pushFilter(BandEq, 4000.0, 1.0, 0.0);
    eq->pushFilter(std::make_shared<Order1FilterBuilder>(HighPass, 20.0));  // not a biquad band
    // Before any run there are no filters: only the builders change.
    eq->SetLevel(0, 6.0);
    EXPECT_EQ(eq->getFilterNumber(), 0u);
    const Frames in = tk::noise(3000);
    tk::run(*eq, in, kRate);
    eq->SetFreq(1, 2500.0);
    eq->SetWidth(1, 0.5);
    eq->SetLevel(1, -3.0);
    eq->SetFreq(2, 5000.0);  // not a biquad: nothing
    eq->SetFreq(9, 5000.0);  // past the end: nothing
    auto* band1 = dynamic_cast<BiquadEqBuilder*>(eq->getbuilder(1));
    ASSERT_NE(band1, nullptr);
    EXPECT_EQ(band1->freq(), 2500.0);
    EXPECT_EQ(band1->width(), 0.5);
    EXPECT_EQ(band1->gain(), -3.0);

    BiquadEqBuilder b0(BandEq, 1000.0, 1.0, 6.0), b1(BandEq, 2500.0, 0.5, -3.0);
    b0.init(kRate);
    b1.init(kRate);
    auto hp = Order1FilterBuilder(HighPass, 20.0).buildFilter(kRate);
    Frames ref = tk::directForm(in, b0.getBCoeff(), b0.getACoeff());
    ref = tk::directForm(ref, b1.getBCoeff(), b1.getACoeff());
    ref = tk::directForm(ref, hp->getBCoeff(), hp->getACoeff());
    EXPECT_TRUE(tk::framesNear(tk::run(*eq, in, kRate, 500), ref, 0.0));
}

// The crossover's outputs are the fourth-order low and high bands, and their
// powers add up to the input's for a steady sine at any frequency.
TEST(FilterAlgo, CrossoverSplitsPowerBetweenItsOutputs) {
    const double fc = 1500.0;
    auto lp = Order4FilterBuilder(LowPass, fc).buildFilter(kRate);
    auto hp = Order4FilterBuilder(HighPass, fc).buildFilter(kRate);
    // Whole numbers of periods in the measured 10000 frames: exact sine powers.
    for (int periods : {45, 227, 340, 499, 2041}) {
        const double f = periods * double(kRate) / 10000.0;
        auto xo = SoundRef<SoundAlgoFilterCrossover>::make(fc);
        EXPECT_EQ(xo->getOutputNumber(), 2u);
        EXPECT_FALSE(xo->isWritable());
        const Frames in = tk::sine(20000, kRate, f, 0.5);
        const std::vector<Frames> out = tk::runOutputs(xo.release(), 2, in, kRate, 1001);
        EXPECT_TRUE(tk::framesNear(out[0], tk::directForm(in, lp->getBCoeff(), lp->getACoeff()), 0.0));
        EXPECT_TRUE(tk::framesNear(out[1], tk::directForm(in, hp->getBCoeff(), hp->getACoeff()), 0.0));
        const size_t settle = 10000;  // the last 10000 of 20000 frames
        const auto power = [&](const Frames& x) { return std::pow(tk::rms(x, settle), 2); };
        EXPECT_NEAR((power(out[0]) + power(out[1])) / power(in), 1.0, 2e-3) << f;
    }
}
// Sound followed by digital silence: the recursions decay through subnormal
// numbers, which cost tens of times the normal arithmetic on many processors.
// No stage may produce one, on the loop's thread or on the OpenMP workers that
// run parallel branches.
TEST(FilterAlgo, SilenceAfterSoundLeavesNoSubnormals) {
#ifdef TW_HAVE_OPENMP
    const int old = omp_get_max_threads();
    omp_set_num_threads(2);
#endif
    const Frames in = tk::concat({tk::sine(4410, kRate, 997.0, 0.8), tk::silence(60000)});
    auto top = SoundRef<SoundAlgoComposite>::make("top");
    auto par = SoundRef<SoundAlgoComposite>::make("par");
    for (int b = 0; b < 2; ++b) {
        if (b) par->addNewBranch();
        auto eq = SoundRef<SoundAlgoFilterBiquad>::make();
        eq->pushFilter(BandEq, 1000.0 * (b + 1), 1.0, 6.0);
        par->pushAlgo(eq.release());
    }
    top->pushAlgo(par.release());
    top->pushAlgo(SoundRef<SoundAlgoAdd>::make(2, true).release());
    const Frames out = tk::run(*top, in, kRate, 333);
    ASSERT_EQ(out.size(), in.size());
    size_t subnormal = 0;
    for (const Frame& f : out) subnormal += (std::fpclassify(f.l) == FP_SUBNORMAL) + (std::fpclassify(f.r) == FP_SUBNORMAL);
    EXPECT_EQ(subnormal, 0u);
#ifdef TW_HAVE_OPENMP
    omp_set_num_threads(old);
#endif
}
