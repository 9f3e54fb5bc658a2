// Multiband trees: their shape, and per-band statistics of white noise against
// the band powers integrated from the filters' frequency responses.
#include <cmath>
#include <complex>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>

#include "common/FilterKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoStats.h"

using namespace SoundTools;
using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
const std::vector<double> kPlayerBands = {60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000};

// Records the calls and pushes a pass-through per band.
class RecordingBuilder : public SoundAlgoComposite::FrequencyAlgoBuilder {
public:
    void buildAlgo(SoundAlgoComposite* target, int band, const QString& label) override {
        bands.push_back(band);
        labels << label;
        target->pushAlgo(SoundRef<SoundAlgoBypass>::make().release());
    }
    std::vector<int> bands;
    QStringList labels;
};

// Copies its input and notes the threads it ran on.
class ThreadNoting : public SoundAlgoBypass {
public:
    SoundTools::Status process() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            threads.insert(std::this_thread::get_id());
        }
        return SoundAlgoBypass::process();
    }
    static std::mutex mutex;
    static std::set<std::thread::id> threads;
};
std::mutex ThreadNoting::mutex;
std::set<std::thread::id> ThreadNoting::threads;

class ThreadNotingBuilder : public SoundAlgoComposite::FrequencyAlgoBuilder {
public:
    void buildAlgo(SoundAlgoComposite* target, int, const QString&) override {
        target->pushAlgo(SoundRef<ThreadNoting>::make().release());
    }
};

class SealedComposite : public SoundAlgoComposite {
public:
    SealedComposite() { setReadOnly(); }
};


const char* splitterName(SoundAlgoComposite::SplitterType t) {
    switch (t) {
        case SoundAlgoComposite::FirstOrderSplit: return "first order";
        case SoundAlgoComposite::BiquadSplit: return "biquad";
        default: return "crossover";
    }
}

// |H(f)|^2 of the splitter's low band and of its other output, for each edge.
struct SplitResponse {
    std::valarray<double> lb, la, hb, ha;  // low band; high band (crossover only)
    bool complement;                       // high band = 1 - low band
    double low(double f, double fs) const { return std::norm(tk::response(lb, la, f, fs)); }
    double high(double f, double fs) const {
        if (complement) return std::norm(1.0 - tk::response(lb, la, f, fs));
        return std::norm(tk::response(hb, ha, f, fs));
    }
};

SplitResponse splitResponse(SoundAlgoComposite::SplitterType type, double edge, unsigned fs) {
    SplitResponse r;
    std::shared_ptr<Filter> low, high;
    switch (type) {
        case SoundAlgoComposite::FirstOrderSplit: low = Order1FilterBuilder(LowPass, edge).buildFilter(fs); break;
        case SoundAlgoComposite::BiquadSplit: low = BiquadEqBuilder(LowPass, edge, 1.9, 0.0).buildFilter(fs); break;
        default:
            low = Order4FilterBuilder(LowPass, edge).buildFilter(fs);
            high = Order4FilterBuilder(HighPass, edge).buildFilter(fs);
    }
    r.lb = low->getBCoeff();
    r.la = low->getACoeff();
    r.complement = !high;
    if (high) {
        r.hb = high->getBCoeff();
        r.ha = high->getACoeff();
    }
    return r;
}

// Expected mean square of each band for white noise of variance var:
// var * (2 / fs) * integral over [0, fs/2] of |H_band(f)|^2.
std::vector<double> expectedBandPowers(SoundAlgoComposite::SplitterType type, const std::vector<double>& edges,
                                       unsigned fs, double var) {
    std::vector<SplitResponse> splits;
    for (double e : edges) splits.push_back(splitResponse(type, e, fs));
    std::vector<double> power(edges.size() + 1, 0.0);
    const int steps = 1 << 17;
    const double df = fs / 2.0 / steps;
    for (int i = 0; i < steps; ++i) {
        const double f = (i + 0.5) * df;
        double above = 1.0;  // product of the high outputs of the levels passed
        for (size_t k = 0; k < splits.size(); ++k) {
            power[k] += above * splits[k].low(f, fs);
            above *= splits[k].high(f, fs);
        }
        power.back() += above;
    }
    for (double& p : power) p *= var * df * 2.0 / fs;
    return power;
}
}  // namespace

// One band per interval, labelled with whole hertz; a sealed composite gets
// nothing, and no edge makes one band that passes everything.
TEST(Multiband, BuildsOneLabelledBandPerInterval) {
    struct Case {
        std::vector<double> edges;
        SoundAlgoComposite::SplitterType type;
        QStringList labels;
    };
    const Case cases[] = {
        {{200, 2000}, SoundAlgoComposite::FirstOrderSplit, {"[0-200]", "[200-2000]", "[2000-22050]"}},
        {{99.9}, SoundAlgoComposite::CrossoverSplit, {"[0-99]", "[99-22050]"}},
        {{}, SoundAlgoComposite::BiquadSplit, {"[0-22050]"}},
    };
    for (const Case& c : cases) {
        RecordingBuilder builder;
        auto top = SoundRef<SoundAlgoComposite>::make("top");
        top->buildMultibandTree(c.edges, builder, c.type);
        EXPECT_EQ(builder.labels, c.labels);
        std::vector<int> bands(size_t(c.labels.size()));
        std::iota(bands.begin(), bands.end(), 0);
        EXPECT_EQ(builder.bands, bands);
        if (c.type != SoundAlgoComposite::CrossoverSplit) {  // complementary splits add back up
            const Frames in = tk::noise(1000);
            EXPECT_TRUE(tk::framesNear(tk::run(*top, in, kRate), in, 1e-12));
        }
    }
    RecordingBuilder builder;
    auto sealed = SoundRef<SealedComposite>::make();
    sealed->buildMultibandTree(kPlayerBands, builder, SoundAlgoComposite::BiquadSplit);
    EXPECT_TRUE(builder.bands.empty());
    EXPECT_EQ(sealed->getBranchNumber(), 0u);
}

// The player's nine edges with each splitter: per-band statistics of white noise
// match the band powers integrated from the frequency responses, the bands'
// counts are the stream's, and the first-order and biquad trees add back up to
// their input.
TEST(Multiband, BandStatisticsOfWhiteNoiseFollowTheBands) {
    const double amp = 0.5;
    const Frames in = tk::noise(10 * kRate, amp, 77);
    const double var = amp * amp / 3.0;  // uniform on [-amp, amp]
    for (auto type : {SoundAlgoComposite::FirstOrderSplit, SoundAlgoComposite::BiquadSplit,
                      SoundAlgoComposite::CrossoverSplit}) {
        SCOPED_TRACE(splitterName(type));
        SoundAlgoStats::FrequencyBuilder builder;
        auto tree = SoundRef<SoundAlgoComposite>::make("bands");
        tree->buildMultibandTree(kPlayerBands, builder, type);
        SoundTools::Status status = SoundTools::Error;
        // Large blocks: each block costs the tree's parallel branches a barrier.
        const Frames out = tk::run(*tree, in, kRate, 8192, &status);
        ASSERT_EQ(status, SoundTools::Ok);
        const auto& stats = builder.getStatsVector();
        ASSERT_EQ(stats.size(), kPlayerBands.size() + 1);
        EXPECT_EQ(stats[0]->getId(), "[0-60]");
        EXPECT_EQ(stats.back()->getId(), "[15000-22050]");
        const std::vector<double> expect = expectedBandPowers(type, kPlayerBands, kRate, var);
        double total = 0.0;
        std::vector<double> measuredPower;
        for (size_t k = 0; k < stats.size(); ++k) {
            ASSERT_EQ(stats[k]->getTotalCount(), in.size());
            const double measured = (stats[k]->getLeftSqr() + stats[k]->getRightSqr()) / (2.0 * in.size());
            // The estimate's spread is largest in the narrowest band (60 Hz wide:
            // about 0.1 dB for 10 s of two channels).
            EXPECT_NEAR(tk::powerDb(measured), tk::powerDb(expect[k]), 0.3) << "band " << k;
            measuredPower.push_back(measured);
            EXPECT_NEAR(stats[k]->getFullRMS(), 10.0 * std::log10(measured), 1e-9);
            total += expect[k];
        }
        if (type != SoundAlgoComposite::CrossoverSplit) {
            // Complementary splits: the bands add back up to the input.
            EXPECT_TRUE(tk::framesNear(out, in, 1e-12));
        } else {
            ASSERT_EQ(out.size(), in.size());
            // Butterworth pairs keep the power of each level: the band powers
            // add up to the input's.
            EXPECT_NEAR(total / var, 1.0, 1e-3);
        }
        // Bands follow their widths: in the crossover tree, the measured power
        // per hertz is the noise's density within 1 dB in every band.
        if (type == SoundAlgoComposite::CrossoverSplit) {
            const double density = var / (kRate / 2.0);
            for (size_t k = 0; k < stats.size(); ++k) {
                const double lo = k == 0 ? 0.0 : kPlayerBands[k - 1];
                const double hi = k < kPlayerBands.size() ? kPlayerBands[k] : kRate / 2.0;
                EXPECT_NEAR(tk::powerDb(measuredPower[k] / (hi - lo)), tk::powerDb(density), 1.0) << "band " << k;
            }
        }
    }
}

// A tree's levels and crossovers run their branches one after the other on the
// calling thread (a fork and a join per level and block would cost more than the
// lopsided branches save); the bands are the same as side by side.
TEST(Multiband, TreeBranchesRunOnTheCallingThread) {
    ThreadNoting::threads.clear();
    ThreadNotingBuilder builder;
    auto tree = SoundRef<SoundAlgoComposite>::make("bands");
    tree->buildMultibandTree(kPlayerBands, builder, SoundAlgoComposite::CrossoverSplit);
    const Frames in = tk::noise(20000, 0.5, 8);
    const Frames serial = tk::run(*tree, in, kRate, 1024);
    EXPECT_EQ(ThreadNoting::threads, std::set<std::thread::id>{std::this_thread::get_id()});

    // The same two branches side by side give the same frames.
    auto twoWays = [&](bool parallel) {
        auto c = SoundRef<SoundAlgoComposite>::make("two");
        c->pushAlgo(SoundRef<SoundAlgoFilterCrossover>::make(700.0).release());
        c->pushAlgo(SoundRef<SoundAlgoAdd>::make(2, true).release());
        auto* xo = dynamic_cast<SoundAlgoComposite*>(c->getBranch(0)[0]);
        EXPECT_FALSE(xo->hasParallelBranches());
        xo->setParallelBranches(parallel);
        return tk::run(*c, in, kRate, 1000);
    };
    EXPECT_TRUE(tk::framesNear(twoWays(true), twoWays(false), 0.0));
    EXPECT_EQ(serial.size(), in.size());
}
