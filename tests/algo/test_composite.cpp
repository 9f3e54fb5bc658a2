// Composites and the elementary algorithms: branches of different delays and
// look-aheads padded into line (serial and in parallel branches), how they are
// built and combine statuses, and the mixers against their formulas (the delays
// and bypasses are checked by what the block loop makes of them).
#include <cmath>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

class StatusAlgo : public SoundAlgoScale {
public:
    explicit StatusAlgo(SoundTools::Status s) : SoundAlgoScale(0), mStatus(s) {}
    SoundTools::Status process() override { return mStatus; }

private:
    SoundTools::Status mStatus;
};

SoundAlgo* bypass(unsigned inOverlap, unsigned delay) { return SoundRef<SoundAlgoBypass>::make(inOverlap, delay, 0u).release(); }
SoundAlgo* scale(double db) { return SoundRef<SoundAlgoScale>::make(db).release(); }
SoundAlgo* giving(SoundTools::Status s) { return SoundRef<StatusAlgo>::make(s).release(); }

// A composite that turns one input into three different streams (gains 1, 0.5
// and a 10-frame delay), mixes them with `mixer`, and picks output `pick`.
SoundRef<SoundAlgoComposite> threeWay(SoundAlgo* mixer, unsigned outputs, int pick) {
    auto top = SoundRef<SoundAlgoComposite>::make("three");
    auto split = SoundRef<SoundAlgoComposite>::make("split");
    SoundAlgo* late = SoundRef<SoundAlgoDelay>::make(10.0 / kRate, false).release();
    tk::fill(*split, {{scale(0.0)}, {scale(tk::db(0.5))}, {late}});
    tk::fill(*top, {{split.release(), mixer}});
    if (outputs > 1) top->pushAlgo(SoundRef<SoundAlgoSelectChannel>::make(pick, int(outputs)).release());
    return top;
}
// Mixers of N inputs and one output, and a weighted add (0.5, 2, 1) that
// passes its inputs on as its other outputs.
template <typename T, int N = 3>
SoundAlgo* mixer() { return SoundRef<T>::make(N, true).release(); }
SoundAlgo* weighted() {
    static const double w[] = {0.5, 2.0, 1.0};
    return SoundRef<SoundAlgoAdd>::make(3, false, w).release();
}
}  // namespace

// Two branches added up (or subtracted): the one with less delay is padded at
// its end, the one with less look-ahead at its front, by bypasses named after the
// composite and the branch, so that the sum is twice the stream (moved by the
// longer delay) in any block size. A second run finds the branches aligned.
TEST(Composite, BranchesArePaddedIntoLine) {
    // subtract: subtracted, the two branches cancel
    struct Case { const char* what; unsigned in0, delay0, in1, delay1; size_t padded, delay; bool front, subtract; };
    const Case cases[] = {
        {"second branch delayed", 0, 0, 0, 100, 0, 100, false, false},
        {"first branch looks ahead", 50, 0, 0, 0, 1, 0, true, true},
        {"both look ahead, the first further", 50, 0, 20, 0, 1, 0, true, false},
        {"both look ahead, the second further", 20, 0, 50, 0, 0, 0, true, false},
    };
    const Frames in = tk::ramp(4000);
    for (const Case& c : cases)
        for (unsigned block : {1024u, 997u, 61u}) {
            SCOPED_TRACE(std::string(c.what) + ", block " + std::to_string(block));
            SoundAlgoComposite top;  // takes `inner` over
            SoundAlgoComposite* inner = SoundRef<SoundAlgoComposite>::make("pad").release();
            // The same frames side by side as one after the other (serial in small
            // blocks, which would mostly time the fork and join).
            inner->setParallelBranches(block == 1024);
            tk::fill(*inner, {{bypass(c.in0, c.delay0)}, {bypass(c.in1, c.delay1)}});
            tk::fill(top, {{inner, c.subtract ? mixer<SoundAlgoSub, 2>() : mixer<SoundAlgoAdd, 2>()}});
            SoundTools::Status status = SoundTools::Error;
            const Frames out = tk::run(top, in, kRate, block, &status);
            ASSERT_EQ(status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
            EXPECT_TRUE(tk::framesNear(out, tk::scaled(tk::delayed(in, c.delay), c.subtract ? 0.0 : 2.0), 0.0));
            const auto& branch = inner->getBranch(c.padded);
            ASSERT_EQ(branch.size(), 2u);
            EXPECT_EQ((c.front ? branch.front() : branch.back())->getId(),
                      QString("%1 SoundAlgoComposite(pad) [%2]").arg(c.front ? "In" : "Out").arg(c.padded));
            tk::run(top, in, kRate, block);
            EXPECT_EQ(inner->getBranch(c.padded).size(), 2u);
        }
}

// Inputs are shared or one per branch; an empty composite passes; members are
// released with the composite; branch statuses are or-ed together, and a branch
// stops at its first member that fails. (Sealed composites: the multiband
// amplifier's tests.)
TEST(Composite, BuildingRulesAndStatuses) {
    for (bool shared : {true, false}) {
        SoundAlgoComposite c("c", shared);
        tk::fill(c, {{scale(0.0)}, {scale(0.0)}});
        EXPECT_EQ(c.getInputNumber() * 10 + c.getOutputNumber(), shared ? 12u : 22u);
    }
    SoundAlgoComposite empty;
    EXPECT_EQ(empty.process(), SoundTools::Ok);
    empty.pushAlgo(nullptr);
    EXPECT_EQ(empty.getBranchNumber() + empty.getInputNumber() + empty.getOutputNumber() + empty.getDelay(kRate), 0u);

    auto extra = SoundRef<SoundAlgoScale>::make(0.0);
    {
        SoundAlgoComposite owner;
        extra->addRef();  // the composite takes this one over
        owner.pushAlgo(extra.get());
        EXPECT_EQ(extra->refCount(), 2);
    }
    EXPECT_EQ(extra->refCount(), 1);

    SoundAlgoComposite both, chain;
    EXPECT_EQ(tk::fill(both, {{giving(SoundTools::Error)}, {giving(SoundTools::Interrupted)}}).process(),
              SoundTools::Interrupted);  // 1 | 2
    // The second member is never reached.
    EXPECT_EQ(tk::fill(chain, {{giving(SoundTools::Error), giving(SoundTools::Interrupted)}}).process(),
              SoundTools::Error);
    // A bypass whose ports do not match refuses to run.
    struct Odd : SoundAlgoBypass {
        unsigned getOutputNumber() const override { return 2; }
    } odd;
    EXPECT_EQ(odd.process(), SoundTools::Error);
}

// Each mixer against its formula applied to the three streams (all 10 frames
// late, lined up); outputs past the first of a pass-through mixer are its inputs.
TEST(Elementary, MixersCombineTheirInputs) {
    const Frames in = tk::mixedStereo(9000, kRate);
    const Frames s[3] = {tk::delayed(in, 10), tk::delayed(tk::scaled(in, 0.5), 10), tk::delayed(in, 10)};
    using Combine = double (*)(double, double, double);
    struct Case { const char* name; SoundAlgo* (*mixer)(); unsigned outputs; int pick; Combine combine; };
    const Case cases[] = {
        {"weighted add", weighted, 3, 0, [](double a, double b, double c) { return 0.5 * a + 2.0 * b + c; }},
        {"pass-through 1", weighted, 3, 1, [](double, double b, double) { return b; }},
        {"add", mixer<SoundAlgoAdd>, 1, 0, [](double a, double b, double c) { return a + b + c; }},
        {"subtract", mixer<SoundAlgoSub>, 1, 0, [](double a, double b, double c) { return a - b - c; }},
        {"euclidean norm", mixer<SoundAlgoAddSqr>, 1, 0,
         [](double a, double b, double c) { return std::sqrt(a * a + b * b + c * c); }},
    };
    for (const Case& c : cases) {
        Frames expected;
        for (size_t j = 0; j < s[0].size(); ++j)
            expected.emplace_back(c.combine(s[0][j].l, s[1][j].l, s[2][j].l), c.combine(s[0][j].r, s[1][j].r, s[2][j].r));
        Frames out = tk::run(*threeWay(c.mixer(), c.outputs, c.pick), in, kRate, 997);
        ASSERT_GE(out.size(), in.size()) << c.name;
        out.resize(expected.size());
        EXPECT_TRUE(tk::framesNear(out, expected, 1e-12)) << c.name;
    }
}
