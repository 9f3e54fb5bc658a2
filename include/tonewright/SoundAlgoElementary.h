#pragma once
// The small building blocks of composite algorithms: mixers (SoundAlgoAdd,
// SoundAlgoAddSqr, SoundAlgoSub), a fixed gain (SoundAlgoScale), a stream
// selector (SoundAlgoSelectChannel), a timeline shift (SoundAlgoDelay) and a copy
// with declared timing (SoundAlgoBypass).
//
// All work on two-channel time-domain frames. Ownership and threading are those
// of SoundAlgo; SoundAlgoAdd's weighted path runs its frame loop on OpenMP
// worker threads inside process().
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"

// Base of the algorithms with several inputs.
class TONEWRIGHT_API SoundAlgoMulti : public SoundAlgo {
    Q_OBJECT
public:
    SoundAlgoMulti(unsigned inputCount, bool singleOutput);
    unsigned getInputNumber() const override { return mInputCount; }
    unsigned getOutputNumber() const override { return mSingleOutput ? 1 : mInputCount; }

protected:
    unsigned mInputCount;
    bool mSingleOutput;
};

// out0 = sum of w_i * in_i; outputs i >= 1 (when not single output) pass input i through.
class TONEWRIGHT_API SoundAlgoAdd : public SoundAlgoMulti {
    Q_OBJECT
public:
    // weights: inputCount values, or null for all 1.0.
    explicit SoundAlgoAdd(int inputCount = 2, bool singleOutput = true, const double* weights = nullptr);
    SoundTools::Status process() override;
    const std::vector<double>& getWeights() const { return mWeights; }

protected:
    std::vector<double> mWeights;
};

// out0 = sqrt(sum of (w_i * in_i)^2), per channel.
class TONEWRIGHT_API SoundAlgoAddSqr : public SoundAlgoAdd {
    Q_OBJECT
public:
    explicit SoundAlgoAddSqr(int inputCount = 2, bool singleOutput = true, const double* weights = nullptr);
    SoundTools::Status process() override;
};

// out0 = in0 - in1 - in2 - ...
class TONEWRIGHT_API SoundAlgoSub : public SoundAlgoMulti {
    Q_OBJECT
public:
    explicit SoundAlgoSub(int inputCount = 2, bool singleOutput = true);
    SoundTools::Status process() override;
};

// out = 10^(gainDb/20) * in.
class TONEWRIGHT_API SoundAlgoScale : public SoundAlgo {
    Q_OBJECT
public:
    explicit SoundAlgoScale(double gainDb);
    SoundTools::Status process() override;
    double getGain() const { return mGain; }  // linear

protected:
    double mGain;
};

// Output 0 is the selected input buffer itself (shared, never copied).
class TONEWRIGHT_API SoundAlgoSelectChannel : public SoundAlgoMulti {
    Q_OBJECT
public:
    SoundAlgoSelectChannel(int selected, int inputCount);
    SoundTools::Status process() override { return SoundTools::Ok; }
    SoundTools::Status initOutputBuffer(const LoopContext& ctx) override;
    void setOutOrigin() override {}
    void updateOutput(unsigned) override {}

protected:
    int mSelected;
};

// Shifts the stream later by round(seconds * rate) frames. As a delay, the output
// lies later on the timeline; as an overlap, frames keep their positions and the
// writer holds the last d frames of each block back.
class TONEWRIGHT_API SoundAlgoDelay : public SoundAlgo {
    Q_OBJECT
public:
    SoundAlgoDelay(double seconds, bool asOverlap);
    SoundTools::Status process() override;
    unsigned getDelay(unsigned sr) const override;
    unsigned getOutOverlap(unsigned sr) const override;
    unsigned getSampleShift(unsigned sr) const override;

protected:
    unsigned frames(unsigned sr) const;
    double mSeconds;
    bool mAsOverlap;
};

// Copies its input unchanged while declaring the given timing (frames); used by
// composites to line up branches.
class TONEWRIGHT_API SoundAlgoBypass : public SoundAlgo {
    Q_OBJECT
public:
    SoundAlgoBypass();
    SoundAlgoBypass(unsigned inOverlap, unsigned delay, unsigned outOverlap);
    SoundTools::Status process() override;
    unsigned getDelay(unsigned) const override { return mDelay; }
    unsigned getInOverlap(unsigned) const override { return mInOverlap; }
    unsigned getOutOverlap(unsigned) const override { return mOutOverlap; }

protected:
    unsigned mInOverlap;
    unsigned mOutOverlap;
    unsigned mDelay;
};
