#include "tonewright/SoundAlgoMultibandAmplifier.h"

#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoFFT.h"
#include "tonewright/SoundAlgoFFTFilter.h"

namespace {
// The band amplifiers may raise a band by at most this much (dB).
constexpr double kMaxBandGainDb = 30.0;
// Every FFT band but the lowest starts this far above its split frequency (Hz).
constexpr double kBandStartOffset = 150.0;
}  // namespace

// ================================================================ common part

SoundAlgoMultibandAmplifier::SoundAlgoMultibandAmplifier(const char* id, bool sharedInputs)
    : SoundAlgoComposite(id ? QString::fromUtf8(id) : QString(), sharedInputs) {}

void SoundAlgoMultibandAmplifier::pushAmplifier(SoundAlgoRMSAmplifier* amplifier) {
    if (amplifier) mAmplifiers.push_back(amplifier);
}

void SoundAlgoMultibandAmplifier::pushLimiter(SoundAlgoLimiter* limiter) {
    if (limiter) mLimiters.push_back(limiter);
}

void SoundAlgoMultibandAmplifier::setLevel(double levelDb) {
    for (SoundAlgoRMSAmplifier* a : mAmplifiers) a->setLevel(levelDb);
}

void SoundAlgoMultibandAmplifier::reset() {
    for (SoundAlgoRMSAmplifier* a : mAmplifiers) a->reset();
}

double SoundAlgoMultibandAmplifier::getLevel(double seconds) {
    return mAmplifiers.empty() ? 0.0 : mAmplifiers.front()->getLevel(seconds);
}

void SoundAlgoMultibandAmplifier::SetBalanceFromRMS(SoundTools::StereoFrame<double> levelsDb) {
    for (SoundAlgoRMSAmplifier* a : mAmplifiers) a->setBalanceFromRMS(levelsDb);
}

void SoundAlgoMultibandAmplifier::SetDebugFile(QString base) {
    for (size_t i = 0; i < mLimiters.size(); ++i) {
        const QString name = QString("%1.channel_%2").arg(base).arg(i);
        mLimiters[i]->SetDebugFile(name.toLocal8Bit().constData());
    }
}

// ================================================================ tree builder

FrequencyRMSAmplifierBuilder::FrequencyRMSAmplifierBuilder(std::vector<double> offsets, double levelDb,
                                                           double lookAheadTime, double releaseTime,
                                                           double rampTime, double belowTargetDb,
                                                           RMSStepDetector* detector, int smoothing,
                                                           size_t splitCount, SoundAlgoMultibandAmplifier* owner)
    : mOffsets(std::move(offsets)),
      mLevel(levelDb),
      mLookAheadTime(lookAheadTime),
      mReleaseTime(releaseTime),
      mRampTime(rampTime),
      mBelowTarget(belowTargetDb),
      mDetector(detector),
      mSmoothing(smoothing),
      mSplitCount(splitCount),
      mOwner(owner) {}

void FrequencyRMSAmplifierBuilder::buildAlgo(SoundAlgoComposite* target, int band, const QString& label) {
    if (!target || band < 0) return;
    const double offset = size_t(band) < mOffsets.size() ? mOffsets[size_t(band)] : 0.0;
    SoundAlgoRMSAmplifier* amplifier = SoundRef<SoundAlgoRMSAmplifier>::make(
                                           mLevel + offset, mDetector, mRampTime, mSmoothing, mBelowTarget,
                                           kMaxBandGainDb)
                                           .release();
    amplifier->setId(label);
    target->pushAlgo(amplifier);
    if (mOwner) mOwner->pushAmplifier(amplifier);
    if (size_t(band) < mSplitCount) {
        SoundAlgoLimiter* limiter =
            SoundRef<SoundAlgoLimiter>::make(0.0, mLookAheadTime, mReleaseTime, nullptr).release();
        if (mOwner) mOwner->pushLimiter(limiter);
        limiter->setId(label);
        target->pushAlgo(limiter);
    }
}

// ================================================================ IIR bands

SoundAlgoFilterMultibandAmplifier::SoundAlgoFilterMultibandAmplifier(
    const std::vector<double>& freqs, double levelDb, double lookAheadTime, double releaseTime, double rampTime,
    RMSStepDetector* detector, SoundAlgoComposite::SplitterType splitter, int smoothing, double belowTargetDb,
    const std::vector<double>& offsets)
    : SoundAlgoMultibandAmplifier("SoundAlgoFilterMultibandAmplifier", true) {
    if (freqs.empty()) return;
    FrequencyRMSAmplifierBuilder builder(offsets, levelDb, lookAheadTime, releaseTime, rampTime, belowTargetDb,
                                         detector, smoothing, freqs.size(), this);
    recursiveBuildMultibandTree(freqs, 0, builder, splitter);
    pushAlgo(SoundRef<SoundAlgoLimiter>::make(-0.3, lookAheadTime, releaseTime, nullptr).release());
}

// ================================================================ FFT bands

SoundAlgoFFTMultibandAmplifier::SoundAlgoFFTMultibandAmplifier(const std::vector<double>& freqs, double levelDb,
                                                               double lookAheadTime, double releaseTime,
                                                               RMSStepDetector* detector, unsigned fftSize,
                                                               bool recombine)
    : SoundAlgoMultibandAmplifier("SoundAlgoFFTMultibandAmplifier", true) {
    if (freqs.empty()) return;
    const int n = int(freqs.size());
    auto direct = SoundRef<SoundAlgoFFTDirectCompute>::make(fftSize, true, false);
    const unsigned size = direct->getSize();
    pushAlgo(direct.release());
    SoundAlgoComposite* branches =
        SoundRef<SoundAlgoComposite>::make("SoundAlgoFFTMultibandAmplifier:Branches", true).release();
    for (int k = -1; k < n; ++k) {
        branches->addNewBranch();
        SoundAlgoFFTFilter* filter;
        if (k == -1)
            filter = SoundRef<SoundAlgoFFTFilter>::make(SoundTools::LowPass, freqs[0], 0.0, size).release();
        else if (k < n - 1)
            filter = SoundRef<SoundAlgoFFTFilter>::make(SoundTools::BandPass, freqs[size_t(k)] + kBandStartOffset,
                                                        freqs[size_t(k) + 1], size)
                         .release();
        else
            filter = SoundRef<SoundAlgoFFTFilter>::make(SoundTools::HighPass, freqs[size_t(k)] + kBandStartOffset,
                                                        0.0, size)
                         .release();
        branches->pushAlgo(filter);
        branches->pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(false).release());
        if (levelDb != 0.0) {
            SoundAlgoRMSAmplifier* amplifier =
                SoundRef<SoundAlgoRMSAmplifier>::make(levelDb, detector, releaseTime, 0, 100.0, kMaxBandGainDb)
                    .release();
            branches->pushAlgo(amplifier);
            pushAmplifier(amplifier);
            SoundAlgoLimiter* limiter =
                SoundRef<SoundAlgoLimiter>::make(0.0, lookAheadTime, releaseTime, nullptr).release();
            branches->pushAlgo(limiter);
            pushLimiter(limiter);
        }
    }
    pushAlgo(branches);
    if (recombine) {
        pushAlgo(SoundRef<SoundAlgoAdd>::make(n + 1, true, nullptr).release());
        if (levelDb != 0.0)
            pushAlgo(SoundRef<SoundAlgoLimiter>::make(0.0, lookAheadTime, releaseTime, nullptr).release());
    }
    setReadOnly();
}
