#include "tonewright/SoundAlgoBassBoost.h"

#include <cmath>
#include <memory>

#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoNoiseGate.h"
#include "tonewright/SoundFilterBuilders.h"

using Frame = SoundTools::StereoFrame<double>;

namespace {
inline double orSilence(double x) { return std::isfinite(x) ? x : 0.0; }
// Halves first: the sum of two huge samples must not overflow.
inline double mono(const Frame& f) { return 0.5 * orSilence(f.l) + 0.5 * orSilence(f.r); }
}  // namespace

// ================================================================ integrator

SoundAlgoFWIntegrator::SoundAlgoFWIntegrator(double factor) : mFactor(std::isfinite(factor) ? factor : 0.0) {}

SoundTools::Status SoundAlgoFWIntegrator::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    mAccumulator = 0.0;
    return SoundAlgo::initProcess(ctx, prev, next);
}

SoundTools::Status SoundAlgoFWIntegrator::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const int s0 = getInOrigin();
    const unsigned inFrames = getInFrameNb();
    const Frame* in = mInBuffers[0]->getStereoFrame(s0);
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    double acc = mAccumulator;
    double x = mono(in[0]);
    for (unsigned i = 0; i < n; ++i) {
        // The frame after the block's last comes with the one-frame overlap.
        const double next = i + 1 < inFrames ? mono(in[i + 1]) : 0.0;
        acc += std::fabs(x);
        const double v = mFactor * acc - 0.25;
        out[i] = Frame(v, v);
        if (x < 0.0 && next >= 0.0) acc = 0.0;
        x = next;
    }
    mAccumulator = acc;
    return SoundTools::Ok;
}

// ================================================================ bass boost

SoundAlgoBassBoost::SoundAlgoBassBoost(double gainDb, double freq, double upperFreq, double factor)
    : SoundAlgoComposite(QString(), true) {
    using SoundTools::BiquadEqBuilder;
    auto inner = SoundRef<SoundAlgoComposite>::make("BassBoost", true);
    buildFWBranchFilter(inner.get(), gainDb, freq, upperFreq, factor);
    inner->addNewBranch();
    inner->pushAlgo(
        SoundRef<SoundAlgoFilter>::make(std::make_shared<BiquadEqBuilder>(SoundTools::BandEq, freq, 1.0, gainDb / 2.0))
            .release());
    // The synthesis branch is a handful of small members per block: running it
    // beside the peaking band would cost a fork and a join for nothing.
    inner->setParallelBranches(false);
    pushAlgo(inner.release());
    pushAlgo(SoundRef<SoundAlgoAdd>::make(2, true, nullptr).release());
    pushAlgo(SoundRef<SoundAlgoSimpleLimiter>::make(0.005).release());
    setReadOnly();
}

void SoundAlgoBassBoost::buildFWBranchFilter(SoundAlgoComposite* composite, double gainDb, double freq,
                                             double upperFreq, double factor) {
    using SoundTools::Order4FilterBuilder;
    if (!composite) return;
    auto band = SoundRef<SoundAlgoFilter>::make(std::make_shared<Order4FilterBuilder>(SoundTools::HighPass, 20.0));
    band->pushFilter(std::make_shared<Order4FilterBuilder>(SoundTools::LowPass, freq));
    composite->pushAlgo(band.release());
    composite->pushAlgo(SoundRef<SoundAlgoNoiseGate>::make(-30.0, 0.01, 0.3).release());
    composite->pushAlgo(SoundRef<SoundAlgoFWIntegrator>::make(factor).release());
    composite->pushAlgo(
        SoundRef<SoundAlgoFilter>::make(std::make_shared<Order4FilterBuilder>(SoundTools::HighPass, freq)).release());
    composite->pushAlgo(SoundRef<SoundAlgoLimiter>::make(gainDb, 0.005, 0.01, nullptr).release());
    composite->pushAlgo(
        SoundRef<SoundAlgoFilter>::make(std::make_shared<Order4FilterBuilder>(SoundTools::LowPass, upperFreq))
            .release());
    composite->pushAlgo(SoundRef<SoundAlgoScale>::make(-gainDb / 2.0).release());
}
