#pragma once
// Spectrum algorithms that measure rather than filter, and the tone synthesiser
// driven by an autocorrelation:
//  - SoundAlgoFFTStats: mean power spectrum of everything that passes (spectra
//    pass through unchanged); saved in statistics files as JSON;
//  - SoundFFTAutocorrel: replaces each bin by its power, so that the inverse
//    transform after it yields the autocorrelation;
//  - SoundFFTAutocorrelChain: direct compute -> SoundFFTAutocorrel -> inverse
//    compute, whose output is, for each half block of N/2 frames, its linear
//    autocorrelation at lags 0..N/2-1 (lag k divided by max(N/2 - k, 50));
//  - SoundAutocorrelStats: reads such an autocorrelation and outputs a sine at
//    the period it finds.
//
// Ownership and threading: those of SoundAlgo. The statistics are read after the
// run (endProcess) on the thread that ran it.
#include <QJsonObject>
#include <cstdint>
#include <list>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoFFT.h"

class TONEWRIGHT_API SoundAlgoFFTStats : public SoundAlgoFFT {
    Q_OBJECT
public:
    SoundAlgoFFTStats();

    SoundTools::Status process() override;
    // Turns the accumulated sums into means (once per accumulation).
    void endProcess(int status, unsigned frameNbProcessed) override;
    // A run that starts on statistics (an earlier run's, or read from JSON)
    // continues them: the means are weighed back into sums by their count, so
    // that the means at the end weigh every block alike, old and new. Adding the
    // new sums to the old means instead would let all the old blocks count as
    // one. Bins are averaged by index: continue only with the same transform
    // length and sample rate. The sample rate (and getFrequencies) is always
    // that of the latest run.
    SoundTools::Status onInitInputBuffer() override;
    // Notes where the stream lies: spectra of blocks made only of the zeros
    // that flush lookahead at the end are not counted.
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    // "Class" first, then the base keys, "StatCount" and "StatsArray".
    void writeToJSon(QJsonObject& object) const override;

    // Frequency of each bin, k * sampleRate / N (Hz), one per statistics entry.
    std::vector<double> getFrequencies();
    // Per bin, the mean magnitude in dB (-100 for silence).
    std::vector<double> getStats();
    // Levels of the bands between the given ascending edges (Hz): edges.size()+1
    // bands, in dB relative to the loudest band (which reads 0).
    std::vector<double> getStats(const std::vector<double>& edges);
    double getCount() const { return mCount; }
    // Accumulated powers (sums during a run, means after endProcess).
    const std::vector<double>& getRawStats() const { return mStats; }

    // A new object (the caller owns its reference) when "Class" is
    // "SoundAlgoFFTStats" and the description holds statistics; else null.
    static SoundAlgoFFTStats* createFromJSon(QJsonObject object);

protected:
    bool readFromJSon(QJsonObject& object) override;

    std::vector<double> mStats;
    double mCount = 0.0;
    // Stream positions of the run, [start, end); everything when the length is unknown.
    int64_t mStreamStart = INT64_MIN;
    int64_t mStreamEnd = INT64_MAX;
};

class TONEWRIGHT_API SoundFFTAutocorrel : public SoundAlgoFFT {
    Q_OBJECT
public:
    SoundFFTAutocorrel();
    SoundTools::Status process() override;
};

class TONEWRIGHT_API SoundFFTAutocorrelChain : public SoundAlgoComposite {
    Q_OBJECT
public:
    explicit SoundFFTAutocorrelChain(unsigned int size = 8192);
};

class TONEWRIGHT_API SoundAutocorrelStats : public SoundAlgo {
    Q_OBJECT
public:
    // A tone a host may record against the analysis; the processing never adds any.
    struct ToneDescriptor {
        double frequency = 0.0;  // Hz
        double level = 0.0;      // dB
    };

    explicit SoundAutocorrelStats(int value = 0);

    // Frames are read and written in chunks of 1024; a chunk whose input shows a
    // clear period (peak, trough, peak) gets a sine of that period on both
    // channels, continuing the phase of the previous chunk; any other chunk gets
    // silence and restarts the phase.
    SoundTools::Status process() override;

    std::list<ToneDescriptor>& GetToneList() { return mToneList; }
    double getPhase() const { return mPhase; }
    int getValue() const { return mValue; }

protected:
    std::list<ToneDescriptor> mToneList;
    double mPhase = 0.0;  // radians
    int mValue;
};
