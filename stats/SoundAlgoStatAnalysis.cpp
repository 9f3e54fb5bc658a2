#include "tonewright/SoundAlgoStatAnalysis.h"

#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoFFT.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundStatReference.h"

SoundAlgoStatAnalysis::Settings::Settings() : frequencies(SoundStatReference::getDefaultFrequencies()) {}

SoundAlgoStatAnalysis::SoundAlgoStatAnalysis() : SoundAlgoStatAnalysis(Settings()) {}

// The analyses run side by side in an inner composite, one branch each, time
// domain branches first. The block loop drives algorithms with one output, so
// when there are several branches a selector after them passes on the first
// branch's output (nothing reads it: the analysis runs without a writer).
SoundAlgoStatAnalysis::SoundAlgoStatAnalysis(const Settings& settings)
    : SoundAlgoStatAnalysis(settings, std::vector<SoundAlgo*>()) {}

SoundAlgoStatAnalysis::SoundAlgoStatAnalysis(const Settings& settings, const std::vector<SoundAlgo*>& extraBranches)
    : SoundAlgoComposite(QStringLiteral("Analysis"), true), mSettings(settings) {
    auto branches = SoundRef<SoundAlgoComposite>::make(QStringLiteral("Analysis branches"), true);
    branches->setParallelBranches(mSettings.parallelBranches);
    if (mSettings.bandStats) {
        branches->addNewBranch();
        branches->buildMultibandTree(mSettings.frequencies, mBands, mSettings.splitter);
    }
    if (mSettings.stepDetector) {
        auto detector = SoundRef<RMSStepDetector>::make(mSettings.noiseThresholdDb, mSettings.rmsTime,
                                                        mSettings.minSlopeTime, RMSStepDetector::NoOutput, false);
        mDetector = detector.get();
        branches->addNewBranch();
        branches->pushAlgo(detector.release());
    }
    if (mSettings.fftStats) {
        // Half blocks of N/2 frames under a Hann window, zero-padded to N: the
        // overlap mode takes any block size the loop chooses, and the window's
        // low side lobes keep the loud bass of steep spectra out of the treble
        // bands.
        auto direct = SoundRef<SoundAlgoFFTDirectCompute>::make(mSettings.fftSize, true, true);
        auto stats = SoundRef<SoundAlgoFFTStats>::make();
        mFFTStats = stats.get();
        branches->addNewBranch();
        branches->pushAlgo(direct.release());
        branches->pushAlgo(stats.release());
        // Back to time frames (a disabled inverse gives silence at no cost): a
        // branch that ends on spectra cannot be padded when another branch
        // looks further ahead (the detector's window at low sample rates).
        branches->pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(true).release());
    }
    if (mSettings.loudness) {
        auto loudness = SoundRef<SoundAlgoLoudness>::make(mSettings.shortTermStep);
        loudness->setSourceChannels(mSettings.sourceChannels);
        mLoudness = loudness.get();
        branches->addNewBranch();
        branches->pushAlgo(loudness.release());
    }
    for (SoundAlgo* extra : extraBranches) {
        if (!extra) continue;
        branches->addNewBranch();
        branches->pushAlgo(extra);
    }
    const size_t outputs = branches->getBranchNumber();
    pushAlgo(branches.release());
    if (outputs > 1) pushAlgo(SoundRef<SoundAlgoSelectChannel>::make(0, int(outputs)).release());
    setReadOnly();
}

void SoundAlgoStatAnalysis::fillStatFile(SoundStatFile& file) {
    const std::vector<SoundAlgoStats*>& bands = mBands.getStatsVector();
    if (!bands.empty()) {
        file.setStats(mSettings.frequencies, bands, true);
        file.setFFTStats(mFFTStats, true);
    } else {
        file.setStats(mSettings.frequencies, mFFTStats, true);
    }
    file.setStepDetector(mDetector, true);
    file.setLoudness(mLoudness, true);
}

SoundStatFile SoundAlgoStatAnalysis::getStatFile() {
    SoundStatFile file;
    fillStatFile(file);
    return file;
}
