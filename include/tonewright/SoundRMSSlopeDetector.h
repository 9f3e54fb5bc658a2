#pragma once
// SoundRMSSlopeDetector: follows slow rises and falls of a level, fed once per
// window ("tick") by RMSStepDetector, which embeds one.
//
// Units: levels are mean squares (linear power); positions are absolute sample
// indices of the stream; the minimal slope length is in seconds.
//
// Threading: none of its own. The detector that embeds it guards it with its
// region lock.
#include <cstdint>
#include <vector>

#include "tonewright/Export.h"

// Follows slow level changes, one measure per window ("tick").
class TONEWRIGHT_API SoundRMSSlopeDetector {
public:
    // Sample indices of the first and last tick of a slope.
    struct Region {
        int32_t begin = 0;
        int32_t end = 0;
    };
    enum State : int32_t { Empty = 0, Steady = 1, Rising = 2, Falling = 3 };

    explicit SoundRMSSlopeDetector(double minSlopeTime = 1.0);

    // Durations become samples at this rate.
    void init(unsigned sampleRate);
    // Forgets every slope; the rate and the minimal slope length stay.
    void reset();
    // One tick: the window mean squares (m0, m1) measured at sample s.
    void feed(double m0, double m1, int32_t s);
    // The slope containing `sample` (a finished one or the one in progress), or
    // null. The result points into this object and stays valid until the next call.
    const Region* find(int32_t sample);
    // Takes `slopes` (ascending, as getSlopes() and a stream's last slope give
    // them) as the finished slopes of a stream measured before, with no slope in
    // progress: what a detector read back from a statistics file needs.
    void restore(std::vector<Region> slopes);

    double getMinSlopeTime() const { return mMinSlopeTime; }
    int32_t getMinSlopeSamples() const { return mMinSlopeSamples; }
    State getState() const { return mState; }
    int32_t getAnchorSample() const { return mAnchorSample; }
    int32_t getLastSample() const { return mLastSample; }
    const std::vector<Region>& getSlopes() const { return mSlopes; }

private:
    double mMinSlopeTime;
    State mState = Empty;
    double mAnchor0 = 0, mAnchor1 = 0;
    double mLast0 = 0, mLast1 = 0;
    int32_t mMinSlopeSamples = 44100;
    int32_t mLastSample = 0, mAnchorSample = 0;
    uint32_t mSampleRate = 44100;
    uint32_t mCursor = 0;
    Region mCache;
    std::vector<Region> mSlopes;
    int32_t mBreakLength = 0, mBreakStart = 0;
};
