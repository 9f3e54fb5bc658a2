// Multiband trees: their shape and the thread their branches run on, and
// per-band statistics of white noise against the band powers integrated from
// the filters' frequency responses.
#include <cmath>
#include <complex>
#include <atomic>
#include <numeric>
#include <thread>

#include "common/FilterKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoStats.h"

using namespace SoundTools;
using tk::Frames;
using Tree = SoundAlgoComposite;

namespace {
constexpr unsigned kRate = 44100;
const std::vector<double> kPlayerBands = {60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000};

// Records each band and label it is asked for, and pushes a pass-through per
// band that notes whether it ran on a thread other than the builder's.
struct RecordingBuilder : Tree::FrequencyAlgoBuilder {
    struct Noting : SoundAlgoBypass {
        RecordingBuilder* owner = nullptr;
        SoundTools::Status process() override {
            if (std::this_thread::get_id() != owner->caller) owner->elsewhere = true;
            return SoundAlgoBypass::process();
        }
    };
    void buildAlgo(Tree* target, int band, const QString& label) override {
        calls << QString("%1 %2").arg(band).arg(label);
        auto n = SoundRef<Noting>::make();
        n->owner = this;
        target->pushAlgo(n.release());
    }
    QStringList calls;
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> elsewhere{false};
};

// |H(f)|^2 of a splitter's low output and of its high one (the complement of
// the low one where it has no filter of its own).
struct Split {
    std::valarray<double> lb, la, hb, ha;
    double low(double f) const { return std::norm(tk::response(lb, la, f, kRate)); }
    double high(double f) const {
        return hb.size() ? std::norm(tk::response(hb, ha, f, kRate)) : std::norm(1.0 - tk::response(lb, la, f, kRate));
    }
};

// Expected mean square of each band for white noise of variance var:
// var * (2 / fs) * integral over [0, fs/2] of |H_band(f)|^2.
std::vector<double> expectedBandPowers(Tree::SplitterType type, const std::vector<double>& edges, double var) {
    std::vector<Split> splits;
    for (double e : edges) {
        std::shared_ptr<Filter> low, high;
        if (type == Tree::FirstOrderSplit) low = Order1FilterBuilder(LowPass, e).buildFilter(kRate);
        if (type == Tree::BiquadSplit) low = BiquadEqBuilder(LowPass, e, 1.9, 0.0).buildFilter(kRate);
        if (type == Tree::CrossoverSplit) {
            low = Order4FilterBuilder(LowPass, e).buildFilter(kRate);
            high = Order4FilterBuilder(HighPass, e).buildFilter(kRate);
        }
        splits.push_back({low->getBCoeff(), low->getACoeff(), {}, {}});
        if (high) splits.back().hb = high->getBCoeff(), splits.back().ha = high->getACoeff();
    }
    std::vector<double> power(edges.size() + 1, 0.0);
    const int steps = 1 << 17;
    const double df = kRate / 2.0 / steps;
    for (int i = 0; i < steps; ++i) {
        const double f = (i + 0.5) * df;
        double above = 1.0;  // product of the high outputs of the levels passed
        for (size_t k = 0; k < splits.size(); ++k) {
            power[k] += above * splits[k].low(f);
            above *= splits[k].high(f);
        }
        power.back() += above;
    }
    for (double& p : power) p *= var * df * 2.0 / kRate;
    return power;
}
}  // namespace

// One band per interval, labelled with whole hertz, all run on the calling
// thread (a fork and a join per level and block would cost more than the
// lopsided branches save); complementary splits add back up to their input; a
// sealed composite gets nothing, and no edge makes one band that passes everything.
TEST(Multiband, BuildsOneLabelledBandPerInterval) {
    struct Case { std::vector<double> edges; Tree::SplitterType type; QStringList labels; };
    const Case cases[] = {
        {{200, 2000}, Tree::FirstOrderSplit, {"[0-200]", "[200-2000]", "[2000-22050]"}},
        {{99.9}, Tree::CrossoverSplit, {"[0-99]", "[99-22050]"}},
        {{}, Tree::BiquadSplit, {"[0-22050]"}},
        {kPlayerBands, Tree::CrossoverSplit, {"[0-60]", "[60-120]", "[120-250]", "[250-500]", "[500-1000]",
                                              "[1000-2000]", "[2000-4000]", "[4000-8000]", "[8000-15000]", "[15000-22050]"}},
    };
    const Frames in = tk::noise(20000, 0.5, 8);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.labels.join(" ").toStdString());
        RecordingBuilder builder;
        auto top = SoundRef<Tree>::make("top");
        top->buildMultibandTree(c.edges, builder, c.type);
        QStringList calls;
        for (int b = 0; b < c.labels.size(); ++b) calls << QString("%1 %2").arg(b).arg(c.labels[b]);
        EXPECT_EQ(builder.calls, calls);
        const Frames out = tk::run(*top, in, kRate);
        EXPECT_FALSE(builder.elsewhere);
        EXPECT_TRUE(c.type == Tree::CrossoverSplit || tk::framesNear(out, in, 1e-12));
    }
    struct Sealed : Tree {
        Sealed() { setReadOnly(); }
    };
    RecordingBuilder builder;
    auto sealed = SoundRef<Sealed>::make();
    sealed->buildMultibandTree(kPlayerBands, builder, Tree::BiquadSplit);
    EXPECT_TRUE(builder.calls.empty());
    EXPECT_EQ(sealed->getBranchNumber(), 0u);
}

// The player's nine edges with each splitter: per-band statistics of white
// noise match the band powers integrated from the frequency responses, and the
// bands' counts are the stream's.
TEST(Multiband, BandStatisticsOfWhiteNoiseFollowTheBands) {
    const double amp = 0.5, var = amp * amp / 3.0;  // uniform on [-amp, amp]
    const Frames in = tk::noise(10 * kRate, amp, 77);
    for (auto type : {Tree::FirstOrderSplit, Tree::BiquadSplit, Tree::CrossoverSplit}) {
        SCOPED_TRACE(int(type));
        SoundAlgoStats::FrequencyBuilder builder;
        auto tree = SoundRef<Tree>::make("bands");
        tree->buildMultibandTree(kPlayerBands, builder, type);
        SoundTools::Status status = SoundTools::Error;
        // Large blocks: each block costs the tree's parallel branches a barrier.
        tk::run(*tree, in, kRate, 8192, &status);
        ASSERT_EQ(status, SoundTools::Ok);
        const auto& stats = builder.getStatsVector();
        ASSERT_EQ(stats.size(), kPlayerBands.size() + 1);
        const std::vector<double> expect = expectedBandPowers(type, kPlayerBands, var);
        for (size_t k = 0; k < stats.size(); ++k) {
            ASSERT_EQ(stats[k]->getTotalCount(), in.size());
            // The estimate's spread is largest in the narrowest band (60 Hz wide:
            // about 0.1 dB for 10 s of two channels).
            EXPECT_NEAR(stats[k]->getFullRMS(), tk::powerDb(expect[k]), 0.3) << "band " << k;
        }
        // Butterworth pairs keep the power of each level: the band powers add up to the input's.
        if (type == Tree::CrossoverSplit) {
            EXPECT_NEAR(std::accumulate(expect.begin(), expect.end(), 0.0) / var, 1.0, 1e-3);
        }
    }
}
