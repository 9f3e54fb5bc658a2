#pragma once
// SoundAlgoTruePeakLimiter: holds the true peak of a stereo stream (the peak
// of the signal between the samples, as a converter rebuilds it) at or below a
// ceiling in dBTP. Meant as the last stage after SoundAlgoLimiter, which holds
// sample peaks only: the inter-sample overs it leaves are small and brief.
//
// Peaks are found on the signal oversampled 8 times (windowed-sinc polyphase
// interpolation). The gain a frame needs (ceiling / its true peak, at most 1)
// is spread over a short look-ahead: a sliding minimum over the look-ahead,
// an exponential release, and a moving average as long as the look-ahead, so
// the gain is at or below what every frame needs and never jumps (aiming
// 0.2 dB under the ceiling for what the interpolator misses). Both
// channels get the same gain (the stereo image stays).
//
// One output frame per input frame and no delay (the look-ahead is input
// overlap); the state is kept by stream position, so the output does not
// depend on block sizes.
//
// Ownership: reference counted like every algorithm. Threading: as SoundAlgo.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"

class TONEWRIGHT_API SoundAlgoTruePeakLimiter : public SoundAlgo {
    Q_OBJECT
public:
    // ceilingDb in dBTP (at most 0 dB is meaningful; higher values are taken as
    // given); lookAheadTime and releaseTime in seconds.
    explicit SoundAlgoTruePeakLimiter(double ceilingDb = -1.0, double lookAheadTime = 0.0015,
                                      double releaseTime = 0.05);
    ~SoundAlgoTruePeakLimiter() override;

    SoundTools::Status process() override;
    unsigned getInOverlap(unsigned sr) const override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;

    double getCeilingDb() const { return mCeilingDb; }
    // The lowest gain applied in the last run, in dB (0 when nothing was limited).
    double getLowestGainDb() const;

    // The interpolation filter: 8 phases of 24 taps.
    static constexpr int kPhases = 8;
    static constexpr int kTaps = 24;

private:
    struct PeakFinder;
    unsigned lookAhead(unsigned sr) const;
    // Takes in the n frames from stream position mNextIn on.
    void ingest(const SoundTools::StereoFrame<double>* frames, unsigned n);
    void addPeaks(double* peaks, unsigned m);

    double mCeilingDb;
    double mCeiling;
    double mLookAheadTime;
    double mReleaseTime;
    // The interpolator and its history (reset by initProcess).
    std::unique_ptr<PeakFinder> mPeaks;

    // Stream state (reset by initProcess), positions absolute.
    unsigned mA = 1;             // look-ahead frames
    double mRelease = 0.0;       // release coefficient per frame
    int64_t mNextIn = 0;         // next stream position to ingest
    // Sliding minimum of the needed gain: (position, gain), increasing gains.
    std::vector<std::pair<int64_t, double>> mMinQueue;
    size_t mMinHead = 0;
    double mHeld = 1.0;           // after release
    std::vector<double> mAvgRing;  // last A held gains
    double mAvgSum = 0.0;
    unsigned mAvgPos = 0;
    // Gains ready for output, by position from mGainStart.
    std::vector<double> mGains;
    int64_t mGainStart = 0;
    double mLowest = 1.0;
};
