// Multiband trees: their shape and the thread their branches run on, and
// per-band statistics of white noise against the bands run through the kit's
// direct-form filters.
#include <atomic>
#include <cmath>
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

// The level (dB, both channels) of each band of `in` as the tree should make it:
// each level's low output is a band and its high output (the complement of the
// low one where it has no filter of its own) goes on to the next level, every
// filter run by the kit's direct-form recursion from its builder's coefficients.
std::vector<double> bandLevels(Tree::SplitterType type, const std::vector<double>& edges, const Frames& in) {
    std::vector<double> levels;
    Frames rest = in;
    for (double e : edges) {
        std::shared_ptr<Filter> low, high;
        if (type == Tree::FirstOrderSplit) low = Order1FilterBuilder(LowPass, e).buildFilter(kRate);
        if (type == Tree::BiquadSplit) low = BiquadEqBuilder(LowPass, e, 1.9, 0.0).buildFilter(kRate);
        if (type == Tree::CrossoverSplit) {
            low = Order4FilterBuilder(LowPass, e).buildFilter(kRate);
            high = Order4FilterBuilder(HighPass, e).buildFilter(kRate);
        }
        const Frames band = tk::directForm(rest, low->getBCoeff(), low->getACoeff());
        levels.push_back(tk::db(tk::rms(band)));
        if (high) rest = tk::directForm(rest, high->getBCoeff(), high->getACoeff());
        for (size_t i = 0; !high && i < rest.size(); ++i)
            rest[i] = tk::Frame(rest[i].l - band[i].l, rest[i].r - band[i].r);
    }
    levels.push_back(tk::db(tk::rms(rest)));
    return levels;
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
// noise are the levels of the bands the splitters should make, and the bands'
// counts are the stream's.
TEST(Multiband, BandStatisticsOfWhiteNoiseFollowTheBands) {
    const Frames in = tk::noise(2 * kRate, 0.5, 77);
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
        const std::vector<double> expect = bandLevels(type, kPlayerBands, in);
        ASSERT_EQ(stats.size(), expect.size());
        for (size_t k = 0; k < stats.size(); ++k) {
            ASSERT_EQ(stats[k]->getTotalCount(), in.size());
            EXPECT_NEAR(stats[k]->getFullRMS(), expect[k], 1e-9) << "band " << k;
        }
    }
}
