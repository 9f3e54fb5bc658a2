// Filter algorithms in the block loop, against the direct-form recursion; and
// live changes of a running filter chain from another thread (run under
// ThreadSanitizer in CI): no crash, no data race, and every change lands between
// two blocks, never inside one.
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>
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

}  // namespace

// Each configuration of the filter algorithm gives its filters' literal
// recursions one after the other, the last scaled by the output gain. (The
// biquad algorithm's bands are builders of the base algorithm; the constructor
// that takes a builder pushes it: FilterAlgo.StateAcrossRunsAndGains.)
TEST(FilterAlgo, ChainsEqualTheirFiltersInTurn) {
    using Builders = std::vector<std::shared_ptr<FilterBuilder>>;
    Builders nine;
    for (int i = 0; i < 9; ++i) nine.push_back(std::make_shared<BiquadEqBuilder>(BandEq, kBands[i], 1.9, kLevels[i]));
    const auto peak = std::make_shared<BiquadEqBuilder>(BandEq, 500.0, 1.0, 6.0);
    const auto shelf = std::make_shared<BiquadEqBuilder>(HighShelf, 5000.0, 1.0, -4.0);
    const auto low = std::make_shared<BiquadEqBuilder>(LowShelf, 200.0, 1.0, 2.0);
    const auto o4 = std::make_shared<Order4FilterBuilder>(HighPass, 40.0);
    const auto hp = std::make_shared<Order1FilterBuilder>(HighPass, 20.0);
    struct Row {
        const char* name;
        unsigned rate;
        std::function<SoundRef<SoundAlgoFilter>(unsigned rate)> make;
        Builders filters;
        double lastGain;
    };
    const Row rows[] = {
        {"no filters", kRate, [](unsigned) { return SoundRef<SoundAlgoFilter>::make(); }, {}, 1.0},
        {"nine bands, output gain", 96000,
         [](unsigned) {
             auto eq = SoundRef<SoundAlgoFilterBiquad>::make();
             for (int i = 0; i < 9; ++i) eq->pushFilter(BandEq, kBands[i], 1.9, kLevels[i]);
             eq->setOutputGain(-6.0);
             return SoundRef<SoundAlgoFilter>(std::move(eq));
         },
         nine, tk::fromDb(-6.0)},
        // Setters before a run change only the builders; between runs they
        // rebuild their band. Past the end or on other filters they do nothing.
        {"biquad setters", kRate,
         [&](unsigned rate) {
             auto eq = SoundRef<SoundAlgoFilterBiquad>::make(BandEq, 1000.0, 1.0, 0.0);
             eq->pushFilter(BandEq, 4000.0, 1.0, 0.0);
             eq->pushFilter(hp);
             eq->SetLevel(0, 6.0);
             tk::run(*eq, tk::noise(3000), rate);
             eq->SetFreq(1, 2500.0);
             eq->SetWidth(1, 0.5);
             eq->SetLevel(1, -3.0);
             eq->SetFreq(2, 5000.0);
             eq->SetFreq(9, 5000.0);
             return SoundRef<SoundAlgoFilter>(std::move(eq));
         },
         {std::make_shared<BiquadEqBuilder>(BandEq, 1000.0, 1.0, 6.0),
          std::make_shared<BiquadEqBuilder>(BandEq, 2500.0, 0.5, -3.0), hp}, 1.0},
        // Ready-made filters of every kind, a clip filter last, replaced and set
        // (past the end: nothing).
        {"ready-made filters", kRate,
         [&](unsigned rate) {
             auto f = SoundRef<SoundAlgoFilter>::make();
             f->addFilter(shelf->buildFilter(rate));
             f->replaceFilters({peak->buildFilter(rate), low->buildFilter(rate)});
             f->setFilter(1, o4->buildFilter(rate));
             f->setFilter(2, low->buildFilter(rate));
             f->addFilter(shelf->buildFilter(rate));
             f->addFilter(shelf->buildClipFilter(rate, 0.5));
             return f;
         },
         {peak, o4, shelf, shelf}, 0.5},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.name << " at " << r.rate);
        const Frames in = tk::scaled(tk::mixedStereo(9000, r.rate, 4), 0.5);
        Frames ref = in;
        for (size_t k = 0; k < r.filters.size(); ++k) {
            auto f = r.filters[k]->buildFilter(r.rate);
            ref = tk::directForm(ref, f->getBCoeff(), f->getACoeff(), k + 1 == r.filters.size() ? r.lastGain : 1.0);
        }
        auto algo = r.make(r.rate);
        SoundTools::Status status = SoundTools::Error;
        EXPECT_TRUE(tk::framesNear(tk::run(*algo, in, r.rate, 333, &status), ref, 0.0));
        EXPECT_EQ(status, SoundTools::Ok);
        EXPECT_EQ(algo->hasFilters(), !r.filters.empty());
        EXPECT_EQ(algo->getFilterNumber(), r.filters.size());
    }
}

// Filters made from builders start afresh at every run, also after
// clearFilters (a plain second run, in other blocks: FramesConserved, "Filter of
// builders"); ready-made filters carry their state into the next run; gain
// indices past the end do nothing. (A clip filter's gain reset ramping back:
// PlayerEqualizer.LoweringABandRestoresTheOutputGain.)
TEST(FilterAlgo, StateAcrossRunsAndGains) {
    auto f = SoundRef<SoundAlgoFilter>::make(std::make_shared<Order4FilterBuilder>(LowPass, 2000.0));
    const Frames in = tk::noise(3000);
    const Frames first = tk::run(*f, in, kRate, 512);
    f->clearFilters();
    EXPECT_FALSE(f->hasFilters());
    EXPECT_TRUE(tk::framesNear(tk::run(*f, in, kRate, 99), first, 0.0));
    auto ready = SoundRef<SoundAlgoFilter>::make();
    ready->addFilter(Order4FilterBuilder(LowPass, 2000.0).buildFilter(kRate));
    EXPECT_TRUE(tk::framesNear(tk::run(*ready, in, kRate, 512), first, 0.0));
    EXPECT_GT(tk::maxAbsDiff(tk::run(*ready, in, kRate, 512), first), 0.0);
    ready->resetFilterGain(4);
    EXPECT_EQ(ready->getFilterGain(5), 1.0);
}

// A split's first output is its first-order low-pass (scaled by the output
// gain) and the second the rest of the input; a crossover's outputs are the
// fourth-order low and high bands (whose powers add up to one: see the design
// tests).
TEST(FilterAlgo, SplittersOutputTheirBands) {
    const Frames in = tk::mixedStereo(20000, kRate, 6);
    const auto band = [&](const std::shared_ptr<Filter>& f, double g) {
        return tk::directForm(in, f->getBCoeff(), f->getACoeff(), g);
    };
    const double g = tk::fromDb(-6.0);
    auto split = SoundRef<SoundAlgoFilterSplit>::make(std::make_shared<Order1FilterBuilder>(LowPass, 500.0));
    split->setOutputGain(-6.0);
    EXPECT_EQ(split->getOutputNumber(), 2u);
    const auto outs = tk::runOutputs(SoundRef<SoundAlgo>::share(split.get()).release(), 2, in, kRate, 333);
    EXPECT_NEAR(split->getFilterGain(0), g, 1e-15);  // the filters are built by the run
    const Frames low = band(Order1FilterBuilder(LowPass, 500.0).buildFilter(kRate), g);
    Frames rest = tk::scaled(in, g);
    for (size_t i = 0; i < in.size(); ++i) rest[i] = Frame(rest[i].l - low[i].l, rest[i].r - low[i].r);
    EXPECT_TRUE(tk::framesNear(outs[0], low, 0.0));
    EXPECT_TRUE(tk::framesNear(outs[1], rest, 1e-15));
    auto xo = SoundRef<SoundAlgoFilterCrossover>::make(1500.0);
    EXPECT_EQ(xo->getOutputNumber(), 2u);
    EXPECT_FALSE(xo->isWritable());
    const auto out = tk::runOutputs(xo.release(), 2, in, kRate, 1001);
    EXPECT_TRUE(tk::framesNear(out[0], band(Order4FilterBuilder(LowPass, 1500.0).buildFilter(kRate), 1.0), 0.0));
    EXPECT_TRUE(tk::framesNear(out[1], band(Order4FilterBuilder(HighPass, 1500.0).buildFilter(kRate), 1.0), 0.0));
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
    auto par = SoundRef<SoundAlgoComposite>::make("par");
    tk::fill(*par, {{SoundRef<SoundAlgoFilterBiquad>::make(BandEq, 1000.0, 1.0, 6.0).release()},
                    {SoundRef<SoundAlgoFilterBiquad>::make(BandEq, 2000.0, 1.0, 6.0).release()}});
    auto top = SoundRef<SoundAlgoComposite>::make("top");
    tk::fill(*top, {{par.release(), SoundRef<SoundAlgoAdd>::make(2, true).release()}});
    const Frames out = tk::run(*top, in, kRate, 333);
    ASSERT_EQ(out.size(), in.size());
    size_t subnormal = 0;
    for (const Frame& f : out) subnormal += (std::fpclassify(f.l) == FP_SUBNORMAL) + (std::fpclassify(f.r) == FP_SUBNORMAL);
    EXPECT_EQ(subnormal, 0u);
#ifdef TW_HAVE_OPENMP
    omp_set_num_threads(old);
#endif
}

namespace {
std::shared_ptr<Filter> scaleFilter(double g, int kind) {
    const double b[3] = {g, 0.0, 0.0}, a[3] = {1.0, 0.0, 0.0};
    switch (kind % 3) {
        case 0: return std::make_shared<BiquadFilter>(b, a);
        case 1: return std::make_shared<BiquadClipFilter>(b, a, 1.0);
        default: return std::make_shared<Filter>(std::valarray<double>(b, 3), std::valarray<double>(a, 3));
    }
}

// A reader that pauses at every block, so that the other thread's changes
// surely fall between blocks of the run.
class PausingReader : public tk::MemoryReader {
public:
    using tk::MemoryReader::MemoryReader;

protected:
    unsigned read(unsigned count, double* dest) override {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        return tk::MemoryReader::read(count, dest);
    }
};

}  // namespace

TEST(FilterThreads, ChangesLandBetweenBlocks) {
    constexpr unsigned kBlock = 256;
    SoundAlgoFilter f;  // on the stack: nothing else holds it
    f.addFilter(scaleFilter(1.0, 0));
    f.addFilter(scaleFilter(0.5, 0));
    const Frames in(kBlock * 600, Frame(0.5, -0.5));
    std::atomic<bool> done{false};
    std::atomic<long> steps{0};
    std::thread other([&] {
        for (long i = 0; !done.load(); ++i, ++steps, std::this_thread::yield()) {
            // Gains at most 1, so that no clip filter ever clips (a clip fades
            // inside a block by design).
            const double g = 1.0 / (1.0 + double(i % 7));
            switch (i % 6) {
                case 0: f.setFilter(1, scaleFilter(g, int(i))); break;
                case 1: f.setFilter(0, scaleFilter(0.5 + 0.5 * g, int(i))); break;
                case 2: f.clearFilters(); break;
                case 3: f.addFilter(scaleFilter(g, int(i))); break;
                case 4: f.replaceFilters({scaleFilter(g, int(i)), scaleFilter(0.25, int(i) + 1)}); break;
                default:
                    f.resetFilterGain(0);
                    (void)f.getFilterGain(1);
                    (void)f.hasFilters();
                    (void)f.getFilterNumber();
            }
        }
    });
    while (steps.load() == 0) std::this_thread::yield();
    tk::ScopedBlockSize size(kBlock);
    PausingReader reader(in, kRate);
    tk::MemoryWriter writer(kRate);
    const SoundTools::Status status = f.processAll(reader, &writer);
    done = true;
    other.join();
    ASSERT_EQ(status, SoundTools::Ok);
    const Frames out = writer.frames();
    ASSERT_EQ(out.size(), in.size());
    // Every block carries one gain from its first frame to its last. (A clip
    // filter's reset ramp moves by 1/440000 per frame: far below this check.)
    int changes = 0;
    for (size_t b = 0; b < out.size() / kBlock; ++b) {
        const Frame first = out[b * kBlock];
        for (size_t j = 1; j < kBlock; ++j) {
            const Frame x = out[b * kBlock + j];
            ASSERT_NEAR(x.l, first.l, 1e-4 * std::fabs(first.l)) << "block " << b << " frame " << j;
            ASSERT_EQ(x.r, -x.l);
        }
        if (b > 0 && std::fabs(first.l - out[(b - 1) * kBlock].l) > 1e-4) ++changes;
    }
    RecordProperty("GainChangesSeen", changes);
    EXPECT_GT(changes, 0);
}
