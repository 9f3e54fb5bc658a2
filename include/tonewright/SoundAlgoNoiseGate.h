#pragma once
// SoundAlgoNoiseGate: mutes a stereo stream while its short-term RMS stays below
// a threshold. The RMS of each channel is taken over a window that starts at the
// frame being gated and looks ahead `windowTime` seconds; the gate opens at once
// (gain 1.0) when the louder channel reaches the threshold and otherwise closes
// along a linear fade that reaches silence in `fadeTime` seconds. While the
// window stays at or above the threshold the frames pass unchanged (gain exactly
// 1.0). Because the window looks ahead, the fade begins before a sound stops,
// and at the end of a stream the window runs into the silence after the last
// frame: a stream that ends loud is faded out over its last frames like any
// sound that stops (the flush frames past the end cannot be told from silence).
//
// Units: threshold in dB full scale at the interface (linear amplitude inside),
// times in seconds. No delay; the look-ahead is the algorithm's input overlap.
//
// Bad values: samples that are not finite numbers count as silence and come out
// as 0; a window of zero, negative or NaN length is one frame; a fade of zero,
// negative or NaN length closes the gate in one frame; a NaN threshold never
// closes the gate.
//
// Threading: SetThreshold may be called from any thread while the gate runs (a
// player sets it from the host's thread); the new value applies from the next
// block. Everything else belongs to the thread that runs the gate.
#include <atomic>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"

class TONEWRIGHT_API SoundAlgoNoiseGate : public SoundAlgo {
    Q_OBJECT
public:
    // thresholdDb: level (dB full scale) under which the gate closes; fadeTime:
    // seconds from open to closed; windowTime: seconds of the RMS window.
    SoundAlgoNoiseGate(double thresholdDb = -30.0, double fadeTime = 0.01, double windowTime = 0.3);

    void SetThreshold(double thresholdDb);
    // Linear amplitude.
    double getThreshold() const { return mThreshold.load(std::memory_order_relaxed); }
    // The gain applied to the last frame processed.
    double getGateGain() const { return mGateGain; }

    // The window length in frames: floor(sr * windowTime + 0.5), made odd.
    unsigned getInOverlap(unsigned sr) const override;
    // The default block: the window is kept as overlap from block to block, so
    // a block need not be as long as the window. Blocks as long as the window
    // would hold up a live chain (a player's equaliser runs in the same chain)
    // by that much per block.
    unsigned getPreferredBufferSize(unsigned sr) const override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    SoundTools::Status process() override;

    // The largest window, in frames: the library's longest duration, 2^24 - 1
    // (6 min 20 s at 44.1 kHz); a longer one would only make every block huge.
    static constexpr unsigned kMaxWindowFrames = (1u << 24) - 1;

private:
    std::atomic<double> mThreshold;
    double mFadeTime;
    double mWindowTime;
    double mGateGain = 1.0;
    double mFadeStep = 0.1;
    // Sliding sums of squares over the window of the next frame to gate, carried
    // from block to block so that the result does not depend on where blocks end.
    double mSumL = 0.0;
    double mSumR = 0.0;
    // Stream position the sums belong to; they are summed afresh when a block
    // does not start there.
    int64_t mSumPos = 0;
    bool mSumsValid = false;
};
