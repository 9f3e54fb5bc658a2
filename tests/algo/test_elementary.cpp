#include <cmath>
#include <functional>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// A composite that turns one input into three different streams (gains 1, 0.5
// and a 10-frame delay), mixes them with `mixer`, and picks output `pick`.
SoundRef<SoundAlgoComposite> threeWay(SoundAlgo* mixer, unsigned outputs, int pick) {
    auto top = SoundRef<SoundAlgoComposite>::make("three");
    auto split = SoundRef<SoundAlgoComposite>::make("split");
    split->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
    split->addNewBranch();
    split->pushAlgo(SoundRef<SoundAlgoScale>::make(tk::db(0.5)).release());
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

// Each mixer against its formula applied to the three streams; outputs past the
// first of a pass-through mixer are its inputs.
TEST(Elementary, MixersCombineTheirInputs) {
    const Frames in = tk::mixedStereo(9000, kRate);
    const auto s = threeStreams(in);
    const double w[] = {0.5, 2.0, 1.0};
    using Combine = std::function<double(double, double, double)>;
    struct Case {
        const char* name;
        std::function<SoundAlgo*()> mixer;
        unsigned outputs;
        int pick;
        Combine combine;
    };
    const Case cases[] = {
        {"weighted add", [&] { return SoundRef<SoundAlgoAdd>::make(3, false, w).release(); }, 3, 0,
         [](double a, double b, double c) { return 0.5 * a + 2.0 * b + c; }},
        {"pass-through 1", [&] { return SoundRef<SoundAlgoAdd>::make(3, false, w).release(); }, 3, 1,
         [](double, double b, double) { return b; }},
        {"pass-through 2", [&] { return SoundRef<SoundAlgoAdd>::make(3, false, w).release(); }, 3, 2,
         [](double, double, double c) { return c; }},
        {"add", [] { return SoundRef<SoundAlgoAdd>::make(3, true).release(); }, 1, 0,
         [](double a, double b, double c) { return a + b + c; }},
        {"subtract", [] { return SoundRef<SoundAlgoSub>::make(3, true).release(); }, 1, 0,
         [](double a, double b, double c) { return a - b - c; }},
        {"euclidean norm", [] { return SoundRef<SoundAlgoAddSqr>::make(3, true).release(); }, 1, 0,
         [](double a, double b, double c) { return std::sqrt(a * a + b * b + c * c); }},
    };
    for (const Case& c : cases) {
        auto top = threeWay(c.mixer(), c.outputs, c.pick);
        const Frames out = tk::run(*top, in, kRate, 997);
        ASSERT_GE(out.size(), in.size()) << c.name;
        for (size_t j = 0; j < in.size(); ++j) {
            ASSERT_NEAR(out[j].l, c.combine(s[0][j].l, s[1][j].l, s[2][j].l), 1e-12) << c.name << " " << j;
            ASSERT_NEAR(out[j].r, c.combine(s[0][j].r, s[1][j].r, s[2][j].r), 1e-12) << c.name << " " << j;
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
    EXPECT_EQ(o.getSampleShift(kRate), 441u);
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
