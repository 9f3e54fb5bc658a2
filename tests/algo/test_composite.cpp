#include <cstring>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"

#ifdef TW_HAVE_OPENMP
#include <omp.h>
#endif

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

class SealedComposite : public SoundAlgoComposite {
public:
    SealedComposite() {
        pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
        setReadOnly();
    }
    using SoundAlgoComposite::getBranchDelay;
};

class InspectComposite : public SoundAlgoComposite {
public:
    using SoundAlgoComposite::SoundAlgoComposite;
    using SoundAlgoComposite::process;
};
}  // namespace

TEST(Composite, PadsShorterBranchesWithNamedBypasses) {
    auto c = SoundRef<SoundAlgoComposite>::make("pad");
    c->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
    c->addNewBranch();
    c->pushAlgo(SoundRef<SoundAlgoBypass>::make(0u, 100u, 0u).release());
    auto sum = SoundRef<SoundAlgoComposite>::make();
    SoundAlgoComposite* inner = c.get();
    sum->pushAlgo(c.release());
    sum->pushAlgo(SoundRef<SoundAlgoAdd>::make(2, true).release());

    const Frames in = tk::ramp(3000);
    const Frames out = tk::run(*sum, in, kRate, 1024);
    ASSERT_EQ(inner->getBranch(0).size(), 2u);
    auto* bypass = dynamic_cast<SoundAlgoBypass*>(inner->getBranch(0).back());
    ASSERT_NE(bypass, nullptr);
    EXPECT_EQ(bypass->getDelay(kRate), 100u);
    EXPECT_EQ(bypass->getId(), "Out SoundAlgoComposite(pad) [0]");
    // Both branches are now 100 frames late: out = 2 * in delayed by 100.
    EXPECT_TRUE(tk::framesNear(out, tk::scaled(tk::delayed(in, 100), 2.0), 0.0));
    // A second run finds the branches aligned and adds nothing.
    tk::run(*sum, in, kRate, 1024);
    EXPECT_EQ(inner->getBranch(0).size(), 2u);
}

TEST(Composite, BranchesWithDifferentInOverlapsGetFrontBypasses) {
    auto c = SoundRef<SoundAlgoComposite>::make("ov");
    c->pushAlgo(SoundRef<SoundAlgoBypass>::make(50u, 0u, 0u).release());
    c->addNewBranch();
    c->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
    SoundAlgoComposite* inner = c.get();
    auto top = SoundRef<SoundAlgoComposite>::make();
    top->pushAlgo(c.release());
    top->pushAlgo(SoundRef<SoundAlgoSub>::make(2, true).release());
    const Frames in = tk::noise(4000);
    const Frames out = tk::run(*top, in, kRate, 997);
    ASSERT_GE(inner->getBranch(1).size(), 2u);
    EXPECT_EQ(inner->getBranch(1).front()->getId(), "In SoundAlgoComposite(ov) [1]");
    ASSERT_GE(out.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i].l, 0.0) << i;  // same stream on both branches
}

TEST(Composite, InputCountsFollowSharing) {
    SoundAlgoComposite shared("s", true), separate("p", false);
    for (SoundAlgoComposite* c : {&shared, &separate}) {
        c->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
        c->addNewBranch();
        c->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
        EXPECT_EQ(c->getOutputNumber(), 2u);
    }
    EXPECT_EQ(shared.getInputNumber(), 1u);
    EXPECT_EQ(separate.getInputNumber(), 2u);
}

TEST(Composite, BuildingRulesAndEmptyComposite) {
    SoundAlgoComposite c;
    EXPECT_EQ(c.process(), SoundTools::Ok);
    EXPECT_EQ(c.getInputNumber(), 0u);
    EXPECT_EQ(c.getOutputNumber(), 0u);
    EXPECT_EQ(c.getDelay(kRate), 0u);
    c.pushAlgo(nullptr);
    EXPECT_EQ(c.getBranchNumber(), 0u);

    SealedComposite sealed;
    auto extra = SoundRef<SoundAlgoScale>::make(0.0);
    sealed.pushAlgo(extra.get());  // ignored: the caller keeps its reference
    sealed.addNewBranch();
    EXPECT_EQ(sealed.getBranchNumber(), 1u);
    EXPECT_EQ(sealed.getBranch(0).size(), 1u);
    EXPECT_EQ(extra->refCount(), 1);
}

TEST(Composite, BranchStatusesCombine) {
    InspectComposite c;
    c.pushAlgo(SoundRef<StatusAlgo>::make(SoundTools::Error).release());
    c.addNewBranch();
    c.pushAlgo(SoundRef<StatusAlgo>::make(SoundTools::Interrupted).release());
    EXPECT_EQ(c.process(), SoundTools::Interrupted);  // 1 | 2

    InspectComposite d;
    d.pushAlgo(SoundRef<StatusAlgo>::make(SoundTools::Error).release());
    d.pushAlgo(SoundRef<StatusAlgo>::make(SoundTools::Interrupted).release());  // never reached
    EXPECT_EQ(d.process(), SoundTools::Error);
}

TEST(Composite, MembersAreReleasedWithTheComposite) {
    auto member = SoundRef<SoundAlgoScale>::make(0.0);
    {
        SoundAlgoComposite c;
        member->addRef();  // the composite takes this one over
        c.pushAlgo(member.get());
        EXPECT_EQ(member->refCount(), 2);
    }
    EXPECT_EQ(member->refCount(), 1);
}

// Four branches on one or two OpenMP threads: every sample must be identical.
TEST(Composite, ParallelBranchesAreBitIdenticalAcrossThreadCounts) {
#ifndef TW_HAVE_OPENMP
    GTEST_SKIP() << "built without OpenMP";
#else
    const Frames in = tk::mixedStereo(40000, kRate);
    auto build = [] {
        auto top = SoundRef<SoundAlgoComposite>::make("top");
        auto par = SoundRef<SoundAlgoComposite>::make("par");
        const double gains[] = {-1.0, -2.5, 3.0, 0.5};
        for (int b = 0; b < 4; ++b) {
            if (b) par->addNewBranch();
            par->pushAlgo(SoundRef<SoundAlgoScale>::make(gains[b]).release());
            par->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.001 * b, false).release());
        }
        top->pushAlgo(par.release());
        const double w[] = {0.3, 0.2, 0.1, 0.4};
        top->pushAlgo(SoundRef<SoundAlgoAdd>::make(4, true, w).release());
        return top;
    };
    const int old = omp_get_max_threads();
    omp_set_num_threads(1);
    auto one = build();
    const Frames a = tk::run(*one, in, kRate);
    omp_set_num_threads(2);
    auto two = build();
    const Frames b = tk::run(*two, in, kRate);
    omp_set_num_threads(old);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(tk::Frame)), 0);
#endif
}

// Branches that both look ahead, by different amounts: the shorter one is padded
// in front and the two outputs still line up, in any block size and either
// branch order. (Serial branches: small blocks would mostly time OpenMP's
// fork and join.)
TEST(Composite, BranchesThatBothLookAheadLineUp) {
    for (bool longFirst : {true, false}) {
        for (unsigned block : {1024u, 997u, 61u}) {
            auto c = SoundRef<SoundAlgoComposite>::make("ov2");
            c->setParallelBranches(false);
            c->pushAlgo(SoundRef<SoundAlgoBypass>::make(longFirst ? 50u : 20u, 0u, 0u).release());
            c->addNewBranch();
            c->pushAlgo(SoundRef<SoundAlgoBypass>::make(longFirst ? 20u : 50u, 0u, 0u).release());
            auto top = SoundRef<SoundAlgoComposite>::make();
            top->pushAlgo(c.release());
            top->pushAlgo(SoundRef<SoundAlgoAdd>::make(2, true).release());
            const Frames in = tk::ramp(4000);
            SoundTools::Status status = SoundTools::Error;
            const Frames out = tk::run(*top, in, kRate, block, &status);
            ASSERT_EQ(status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
            EXPECT_TRUE(tk::framesNear(out, tk::scaled(in, 2.0), 0.0)) << "block " << block << " long first " << longFirst;
        }
    }
}
