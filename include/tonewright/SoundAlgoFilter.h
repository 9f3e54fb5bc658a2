#pragma once
// Filter algorithms: cascades of time-domain filters (SoundFilter.h) run inside
// the algorithm frame.
//
//   SoundAlgoFilter           a cascade built from filter builders at every
//                             initProcess, or given ready-made filters
//   SoundAlgoFilterSplit      the cascade on output 0, its complement
//                             (gain * input - output 0) on output 1
//   SoundAlgoFilterBiquad     a cascade of biquad equaliser bands whose
//                             frequency, level and width change live
//   SoundAlgoFilterCrossover  a two-way fourth-order Butterworth crossover
//                             (output 0 low band, output 1 high band)
//
// None adds delay or overlap: the filter state alone carries history from one
// block to the next. Input samples that are not finite numbers are filtered as
// silence, so that one of them cannot turn the filter state, and every later
// block, into NaN.
//
// Ownership: builders and filters are std::shared_ptr; filters built from
// builders belong to the algorithm. Algorithms are reference counted.
//
// Threading: the filter list is guarded by a recursive read-write lock. process()
// holds it for writing over a whole block, so addFilter, setFilter,
// clearFilters, replaceFilters, resetFilterGain and the live setters of
// SoundAlgoFilterBiquad (SetFreq, SetLevel, SetWidth) may be called from any
// thread while the algorithm runs: each change lands between two blocks, never
// inside one. pushFilter and setOutputGain are not guarded: call them while
// the algorithm is not running.
#include <atomic>
#include <memory>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundFilter.h"
#include "tonewright/SoundFilterBuilders.h"
#include "tonewright/Sync.h"

class TONEWRIGHT_API SoundAlgoFilter : public SoundAlgo {
    Q_OBJECT
public:
    SoundAlgoFilter();
    explicit SoundAlgoFilter(std::shared_ptr<SoundTools::FilterBuilder> builder);

    // Appends a builder; its filter is made at the next initProcess.
    void pushFilter(std::shared_ptr<SoundTools::FilterBuilder> builder);
    // Appends a ready-made filter (kept across runs when there are no builders).
    void addFilter(std::shared_ptr<SoundTools::Filter> filter);
    // Replaces filter i; nothing happens past the end.
    void setFilter(unsigned int i, std::shared_ptr<SoundTools::Filter> filter);
    // Empties the filter list (not the builders).
    void clearFilters();
    // Replaces the whole filter list in one step, so that no block sees a
    // partly rebuilt chain.
    void replaceFilters(std::vector<std::shared_ptr<SoundTools::Filter>> filters);
    bool hasFilters() const;
    unsigned getFilterNumber() const;
    unsigned getBuilderNumber() const { return unsigned(mBuilders.size()); }
    // Gain of filter i; 1.0 past the end.
    double getFilterGain(unsigned int i) const;
    // setGain(1.0) on filter i if it exists (a clip filter ramps back to 1.0).
    void resetFilterGain(unsigned int i);
    // Output gain in dB, given to the last filter at the next initProcess.
    void setOutputGain(double gainDb) { mOutputGain = gainDb; }
    double getOutputGain() const { return mOutputGain; }

    SoundTools::Status process() override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;

protected:
    // Gain of the last filter, 1.0 when there is none. Caller holds the lock.
    double getFilterGain();
    // Builder i, or null past the end.
    SoundTools::FilterBuilder* getbuilder(unsigned int i);
    // Filter i := builder i's filter at the current sample rate (zero state,
    // gain 1.0). Nothing happens before the first initProcess.
    void initFilter(int i);
    // Runs the cascade over n frames (in to out, then in place). Caller holds
    // the lock for writing.
    void runFilters(SoundTools::StereoFrame<double>* in, SoundTools::StereoFrame<double>* out, unsigned n);

    std::vector<std::shared_ptr<SoundTools::FilterBuilder>> mBuilders;
    std::vector<std::shared_ptr<SoundTools::Filter>> mFilters;
    double mOutputGain = 0.0;
    mutable SoundTools::ReadWriteLock mLock{SoundTools::ReadWriteLock::Recursive};
    // The rate filters are built for: set at initProcess, read by live rebuilds
    // from other threads (0 before the first run).
    std::atomic<unsigned> mFilterRate{0};

private:
    friend class SoundAlgoFilterCrossover;
    // One step of two algorithms that read the same input, each holding one
    // fourth-order filter, in one loop (Order4Filter::filterPair): what their
    // process() calls one after the other give. False, having done nothing,
    // for any other case (the caller then runs them one after the other).
    static bool processPair(SoundAlgoFilter& a, SoundAlgoFilter& b);
};

// Output 0: the cascade. Output 1: g * input - output 0, g the last filter's gain.
// With a low-pass cascade of gain 1 the two outputs add up to the input.
class TONEWRIGHT_API SoundAlgoFilterSplit : public SoundAlgoFilter {
    Q_OBJECT
public:
    SoundAlgoFilterSplit();
    explicit SoundAlgoFilterSplit(std::shared_ptr<SoundTools::FilterBuilder> builder);
    SoundTools::Status process() override;
    unsigned getOutputNumber() const override { return 2; }
};

// A cascade of BiquadEqBuilder bands (width design family) with live changes.
class TONEWRIGHT_API SoundAlgoFilterBiquad : public SoundAlgoFilter {
    Q_OBJECT
public:
    SoundAlgoFilterBiquad();
    SoundAlgoFilterBiquad(SoundTools::FilterType type, double freq, double width, double gain);

    using SoundAlgoFilter::pushFilter;
    // Appends BiquadEqBuilder(type, freq (Hz), width (octaves), gain (dB)).
    void pushFilter(SoundTools::FilterType type, double freq, double width, double gain);

    // Change band i's frequency (Hz), level (dB) or width (octaves) and rebuild
    // its filter, which restarts from zero state and gain 1.0. Nothing happens
    // when builder i does not exist or is not a BiquadEqBuilder.
    void SetFreq(unsigned int i, double freq);
    void SetLevel(unsigned int i, double gain);
    void SetWidth(unsigned int i, double width);

private:
    template <typename Change>
    void changeBand(unsigned int i, Change change);
};

// Two-way crossover at a frequency (Hz): output 0 the fourth-order Butterworth
// low band, output 1 the high band, from the same input. Sealed at construction.
// The two bands' filters run frame by frame in one loop, which gives what the
// composite's one branch after the other gives, in about half the time.
class TONEWRIGHT_API SoundAlgoFilterCrossover : public SoundAlgoComposite {
    Q_OBJECT
public:
    explicit SoundAlgoFilterCrossover(double freq);
    SoundTools::Status process() override;

private:
    SoundAlgoFilter* mLow;   // branch 0 (owned by the composite)
    SoundAlgoFilter* mHigh;  // branch 1
};
