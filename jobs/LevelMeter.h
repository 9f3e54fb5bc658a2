#pragma once
// Level meters of the jobs: pass-through algorithms that measure what flows
// through them.
//
// Only frames of the stream itself count: the lead-in before the stream's start
// and the zero frames that flush the end are left out, so that figures do not
// depend on the delays of the algorithms around the meter or on block sizes.
//
// Ownership and threading: those of SoundAlgo; read the figures after the run,
// on the thread that ran it.
#include <cstdint>
#include <utility>
#include <vector>

#include "tonewright/SoundAlgo.h"

namespace tonewright {
namespace detail {

class LevelMeter : public SoundAlgo {
    Q_OBJECT
public:
    // envelopeStep: seconds per envelope value (0: no envelope).
    explicit LevelMeter(double envelopeStep = 0.0);

    // Spans [begin, end) of stream positions whose RMS is wanted separately.
    void setStretches(std::vector<std::pair<int64_t, int64_t>> stretches);

    SoundTools::Status process() override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned frameNbProcessed) override;

    // The meter outside a chain, fed the frames of a stream by another
    // algorithm (SoundAlgoLoudness::setObserver), all of them counted: start()
    // in place of initProcess, measure() for each run of interleaved stereo
    // frames in stream order, finish() at the stream's end. On one thread at a
    // time; read the figures after finish().
    void start(unsigned sampleRate);
    void measure(const double* frames, int64_t position, unsigned n);
    void finish() { closeEnvelopeWindow(); }

    // dB full scale; -inf for silence.
    double peakDb() const;             // the larger channel
    double peakDb(int channel) const;
    double rmsDb() const;              // both channels together
    double rmsDb(int channel) const;
    uint64_t frames() const { return mFrames; }
    // RMS of each stretch, the louder channel, in dB.
    std::vector<double> stretchRmsDb() const;
    // One value per envelope step: RMS of the louder channel in dB.
    const std::vector<double>& envelopeDb() const { return mEnvelope; }
    double envelopeStep() const { return mEnvelopeStep; }

private:
    void reset(int64_t begin, int64_t end, unsigned sampleRate);
    void closeEnvelopeWindow();

    double mEnvelopeStep;
    int64_t mEnvelopeFrames = 0;  // frames per envelope value
    int64_t mBegin = 0;
    int64_t mEnd = INT64_MAX;
    double mPeak[2] = {0, 0};
    double mSum[2] = {0, 0};
    uint64_t mFrames = 0;
    // Envelope window being filled.
    double mWindow[2] = {0, 0};
    int64_t mWindowCount = 0;
    std::vector<double> mEnvelope;
    std::vector<std::pair<int64_t, int64_t>> mStretches;
    std::vector<double> mStretchSum0, mStretchSum1;
    std::vector<int64_t> mStretchCount;
    size_t mCursor = 0;
};

}  // namespace detail
}  // namespace tonewright
