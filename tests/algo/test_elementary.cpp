#include <cmath>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

double db(double g) { return 20.0 * std::log10(g); }

// A composite that turns one input into three different streams (gains 1, 0.5
// and a 10-frame delay), mixes them with `mixer`, and picks output `pick`.
SoundRef<SoundAlgoComposite> threeWay(SoundAlgo* mixer, unsigned outputs, int pick) {
    auto top = SoundRef<SoundAlgoComposite>::make("three");
    auto split = SoundRef<SoundAlgoComposite>::make("split");
    split->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
    split->addNewBranch();
    split->pushAlgo(SoundRef<SoundAlgoScale>::make(db(0.5)).release());
    split->addNewBranch();
    split->pushAlgo(SoundRef<SoundAlgoDelay>::make(10.0 / kRate, false).release());
    top->pushAlgo(split.release());
    top->pushAlgo(mixer);
    if (outputs > 1) top->pushAlgo(SoundRef<SoundAlgoSelectChannel>::make(pick, int(outputs)).release());
    return top;
}

// The three streams threeWay feeds its mixer, all delayed by 10 frames to line up.
std::vector<Frames> threeStreams(const Frames& in) {
    return {tk::delayed(in, 10), tk::delayed(tk::scaled(in, 0.5), 10), tk::delayed(tk::delayed(in, 10), 0)};
}
}  // namespace

TEST(Elementary, WeightedAddWithPassThroughOutputs) {
    const Frames in = tk::mixedStereo(9000, kRate);
    const auto s = threeStreams(in);
    const double w[] = {0.5, 2.0, 1.0};
    for (int pick = 0; pick < 3; ++pick) {
        auto top = threeWay(SoundRef<SoundAlgoAdd>::make(3, false, w).release(), 3, pick);
        const Frames out = tk::run(*top, in, kRate, 997);
        Frames expected(s[0].size());
        for (size_t j = 0; j < expected.size(); ++j) {
            if (pick == 0)
                expected[j] = Frame(0.5 * s[0][j].l + 2.0 * s[1][j].l + s[2][j].l,
                                    0.5 * s[0][j].r + 2.0 * s[1][j].r + s[2][j].r);
            else
                expected[j] = s[size_t(pick)][j];
        }
        ASSERT_GE(out.size(), in.size());
        EXPECT_TRUE(tk::framesNear(Frames(out.begin(), out.begin() + long(in.size())),
                                   Frames(expected.begin(), expected.begin() + long(in.size())), 1e-12))
            << "output " << pick;
    }
}

TEST(Elementary, AddFastPathEqualsWeightedPath) {
    const Frames in = tk::noise(5000);
    const double unit[] = {1.0, 1.0};
    const double half[] = {1.0, 0.5};
    auto fast = threeWay(SoundRef<SoundAlgoAdd>::make(3, true).release(), 1, 0);
    const Frames three = tk::run(*fast, in, kRate);
    const auto s = threeStreams(in);
    for (size_t j = 0; j < in.size(); ++j) ASSERT_NEAR(three[j].l, s[0][j].l + s[1][j].l + s[2][j].l, 1e-12);
    EXPECT_EQ(SoundAlgoAdd(2, true, unit).getWeights(), (std::vector<double>{1.0, 1.0}));
    EXPECT_EQ(SoundAlgoAdd(2, true, half).getWeights(), (std::vector<double>{1.0, 0.5}));
}

TEST(Elementary, AddSqrIsTheEuclideanNorm) {
    const Frames in(100, Frame(1.0, 0.0));
    auto top = SoundRef<SoundAlgoComposite>::make();
    auto split = SoundRef<SoundAlgoComposite>::make();
    split->pushAlgo(SoundRef<SoundAlgoScale>::make(db(3.0)).release());
    split->addNewBranch();
    split->pushAlgo(SoundRef<SoundAlgoScale>::make(db(4.0)).release());
    top->pushAlgo(split.release());
    top->pushAlgo(SoundRef<SoundAlgoAddSqr>::make(2, true).release());
    const Frames out = tk::run(*top, in, kRate);
    ASSERT_EQ(out.size(), 100u);
    EXPECT_NEAR(out[50].l, 5.0, 1e-12);
    EXPECT_EQ(out[50].r, 0.0);
}

TEST(Elementary, SubtractsEveryFurtherInput) {
    const Frames in = tk::mixedStereo(6000, kRate);
    const auto s = threeStreams(in);
    auto top = threeWay(SoundRef<SoundAlgoSub>::make(3, true).release(), 1, 0);
    const Frames out = tk::run(*top, in, kRate, 1000);
    for (size_t j = 0; j < in.size(); ++j) {
        ASSERT_NEAR(out[j].l, s[0][j].l - s[1][j].l - s[2][j].l, 1e-12) << j;
        ASSERT_NEAR(out[j].r, s[0][j].r - s[1][j].r - s[2][j].r, 1e-12) << j;
    }
}

TEST(Elementary, ScaleGains) {
    const Frames in = tk::noise(3000);
    auto half = SoundRef<SoundAlgoScale>::make(-6.0206);
    EXPECT_NEAR(half->getGain(), 0.5, 1e-5);
    EXPECT_TRUE(tk::framesNear(tk::run(*half, in, kRate), tk::scaled(in, half->getGain()), 0.0));
    auto unit = SoundRef<SoundAlgoScale>::make(0.0);
    EXPECT_TRUE(tk::framesNear(tk::run(*unit, in, kRate), in, 0.0));
}

TEST(Elementary, SelectChannelSharesTheBuffer) {
    const Frames in = tk::noise(2000);
    for (int pick = 0; pick < 3; ++pick) {
        auto top = threeWay(SoundRef<SoundAlgoAdd>::make(3, false).release(), 3, pick);
        const Frames out = tk::run(*top, in, kRate);
        const auto s = threeStreams(in);
        if (pick > 0) {
            EXPECT_TRUE(tk::framesNear(Frames(out.begin(), out.begin() + 2000),
                                       Frames(s[size_t(pick)].begin(), s[size_t(pick)].begin() + 2000), 0.0));
        }
    }
}

TEST(Elementary, DelayFramesRound) {
    SoundAlgoDelay d(0.01, false), o(0.01, true), neg(-1.0, false);
    EXPECT_EQ(d.getDelay(kRate), 441u);
    EXPECT_EQ(d.getOutOverlap(kRate), 0u);
    EXPECT_EQ(d.getSampleShift(kRate), 0u);
    EXPECT_EQ(o.getDelay(kRate), 0u);
    EXPECT_EQ(o.getOutOverlap(kRate), 441u);
    EXPECT_EQ(neg.getDelay(kRate), 0u);
    EXPECT_EQ(SoundAlgoDelay(1.0 / 48000 * 2.5, false).getDelay(48000), 3u);  // 2.5 rounds up
}

TEST(Elementary, BypassRefusesMismatchedPorts) {
    struct Odd : SoundAlgoBypass {
        unsigned getOutputNumber() const override { return 2; }
    } odd;
    EXPECT_EQ(odd.process(), SoundTools::Error);
    SoundAlgoBypass b(3, 5, 7);
    EXPECT_EQ(b.getInOverlap(kRate), 3u);
    EXPECT_EQ(b.getDelay(kRate), 5u);
    EXPECT_EQ(b.getOutOverlap(kRate), 7u);
    EXPECT_EQ(b.getSampleShift(kRate), 3u);
}
