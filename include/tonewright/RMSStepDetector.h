#pragma once
// RMSStepDetector: cuts a stereo stream into regions of steady loudness.
//
// A sliding window (rmsTime seconds, looking ahead) measures the mean square of
// each channel at every sample. A new region opens when the level steps by more
// than 1 dB from the average of the region being accumulated, and the boundary
// survives only when the region before it lasted long enough for the size of the
// step (1 dB over 10 s, 2 dB over 5 s, 5 dB over 2 s). Regions far below the
// loudest one (offline) or below an absolute level (real-time mode) are flagged
// as noise. An embedded SoundRMSSlopeDetector records slow rises and falls.
//
// The region list is the product: the RMS amplifier turns it into gains, the
// multi-file writer cuts files at its noise regions, statistics files store it
// as JSON. The post-processing operations (estimateNoise, split, mergeRegions,
// compressDynamic) work on a finished list.
//
// Units: levels are mean squares (linear power, full scale 1.0); the level of a
// region is the larger of its two channels. Positions are absolute sample
// indices of the stream. Thresholds are in dB, durations in seconds.
//
// Ownership: reference counted like every SoundAlgo; a reader of the regions
// (amplifier, multi-file writer) holds a reference of its own.
//
// Threading: the processing thread writes the list under a recursive read-write
// lock; size(), getRegion(), getRegions() and getSlopeRegion() may be called from
// other threads while it runs (in real-time mode the list is republished at the
// end of every block). The JSON operations, the signal queries and the
// post-processing operations take no lock of their own: call them on a finished
// analysis.
#include <QJsonObject>
#include <cstdint>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/Sync.h"

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

class TONEWRIGHT_API RMSStepDetector : public SoundAlgo {
    Q_OBJECT
public:
    // One detected region; also the JSON record "Regions" holds.
    struct Region {
        int32_t BeginSample = 0;    // first sample (absolute stream index)
        int32_t SampleNb = 0;       // length in samples
        double RMSSqrValue0 = 0.0;  // mean square of channel 0
        double RMSSqrValue1 = 0.0;  // mean square of channel 1
        int32_t MeanSmpl = 0;       // window values averaged: the weight when regions combine
        bool IsNoise = false;

        double level() const { return RMSSqrValue0 > RMSSqrValue1 ? RMSSqrValue0 : RMSSqrValue1; }
        bool operator==(const Region& o) const {
            return BeginSample == o.BeginSample && SampleNb == o.SampleNb && RMSSqrValue0 == o.RMSSqrValue0 &&
                   RMSSqrValue1 == o.RMSSqrValue1 && MeanSmpl == o.MeanSmpl && IsNoise == o.IsNoise;
        }
    };

    // What process() writes for input sample s.
    enum OutputMode : int32_t {
        RegionRMS = 0,         // per channel RMS of the region being accumulated
        WindowMeanSquare = 1,  // the window mean squares of the latest tick
        PassThrough = 2,       // the input, unchanged
        NoOutput = 3           // nothing
    };

    // (-40 dB, 0.2 s, 1.0 s, RegionRMS, offline)
    RMSStepDetector();
    RMSStepDetector(double noiseThresholdDb, double rmsTime, double minSlopeTime, OutputMode mode,
                    bool realTimeMode);
    ~RMSStepDetector() override;

    // Null when a key is missing or of the wrong type. The caller owns the result.
    static RMSStepDetector* createFromJSon(QJsonObject object);
    void writeToJSon(QJsonObject& object) const override;
    bool readFromJSon(QJsonObject& object) override;

    SoundTools::Status process() override;
    // The window looks ahead: each block carries the window length of extra frames.
    unsigned getInOverlap(unsigned sr) const override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    // Closes the analysis: pushes the last region and a zero-level end marker at
    // the end of the stream, marks noise, and saves the list as the backup.
    void endProcess(int status, unsigned frameNbProcessed) override;

    // ------------------------------------------------------------ queries
    // Regions of the backup when asked and it is not empty, else of the live list.
    int size(bool fromBackup = false) const;
    // index must be below size(fromBackup).
    Region getRegion(int index, bool fromBackup = false) const;
    // A copy of the live list (or of the backup), taken under the lock.
    std::vector<Region> getRegions(bool fromBackup = false) const;
    // Runs of consecutive non-noise regions.
    int getSegmentsNumber() const;
    // BeginSample of the last region (the end marker). Needs at least one region.
    unsigned getFullLength() const;
    // sqrt of the largest region level pushed: the loudest region's RMS.
    double getCurrentMax() const;
    // First non-noise sample minus a margin, clamped at 0; INT32_MAX when all is noise.
    int getSignalStart(double seconds) const;
    // Last non-noise sample plus a margin; 0 when all is noise.
    int getSignalEnd(double seconds) const;
    // BeginSample of region `second` minus that of region `first`.
    int _size(int first, int second) const;
    // The slope containing `sample`, and in endRegion the first region from index
    // firstRegion on that lies past the slope's start and reaches its end; null
    // when there is no such slope or region.
    const SoundRMSSlopeDetector::Region* getSlopeRegion(int sample, unsigned firstRegion, Region& endRegion);
    std::vector<SoundRMSSlopeDetector::Region> getSlopes() const;

    double getNoiseThreshold() const;  // dB
    double getRMSTime() const { return mRmsTime; }
    double getMinSlopeTime() const { return mSlope.getMinSlopeTime(); }
    OutputMode getOutputMode() const { return mOutputMode; }
    bool isRealTimeMode() const { return mRealTimeMode; }
    int32_t getWindowLength() const { return mWindowLength; }

    // ------------------------------------------------------------ list management
    // Pushes the region being accumulated (when it holds more than one value),
    // then saves the live list as the backup.
    void backup();
    void clearBackup();
    // The live list becomes a copy of the backup.
    void resetRegions();
    // Empties the live list (not the backup) and the accumulation.
    void reset();
    void outputRegion(const Region& region) const;
    void printRegions(const char* title) const;
    // Marks noise over all regions: offline relative to the loudest region's weaker
    // channel, in real-time mode absolute (dB full scale).
    void applyNoise(double thresholdDb);

    // ------------------------------------------------------------ post-processing
    // Noise floor estimate in dB relative to the loudest region's weaker channel;
    // a: seconds of quiet material expected per five minutes of stream.
    double estimateNoise(double a, double snrDb) const;
    // Absolute threshold (dB full scale) snrDb below the loudest weaker channel.
    double getNoiseFromSNR(double snrDb) const;
    // Marks quiet passages inside long runs of signal as noise.
    void split(double a, double minRunSeconds, double snrDb);
    // Consecutive regions of the same kind become one.
    void mergeRegions();
    // Compresses the region levels towards the loudest; returns the mean correction in dB.
    double compressDynamic(double ratio);

protected:
    struct StepRule {
        double minTime;
        double minRatio;
        int32_t minSamples;
    };

    bool applyNoise(double thresholdDb, int first, int end);
    double estimateNoise(double a, double snrDb, int first, int end) const;
    // 0: a region was appended; 3: the candidate merged into the previous region;
    // 1: nothing pushed. Takes the write lock.
    int pushRegion();
    bool canChangeRegion(int32_t length, const Region& candidate, const Region& previous) const;
    void flush(bool final);

private:
    void resetUnlocked();
    bool applyNoiseUnlocked(double thresholdDb, int first, int end);
    void printRegionsUnlocked(const char* title) const;
    void dropProvisional();
    void updateRuleSamples();
    int32_t ruleSamples(double seconds) const;
    void analyse(const SoundTools::StereoFrame<double>* in, int32_t s, unsigned i);

    mutable SoundTools::ReadWriteLock mLock{SoundTools::ReadWriteLock::Recursive};
    std::vector<Region> mRegions;
    std::vector<Region> mBackup;
    double mStepRatio;
    double mNoiseLevel;
    double mRmsTime;
    int32_t mWindowLength = 1;
    double mRegionSum0 = 0, mRegionSum1 = 0;
    int32_t mRegionCount = 0;
    int32_t mRegionBegin = 0;
    int32_t mLastAnalysed = 0;
    int32_t mFadeOutStart = 0;
    double mCurrentMax = 0;
    OutputMode mOutputMode;
    bool mRealTimeMode;
    std::vector<StepRule> mStepRules;
    SoundRMSSlopeDetector mSlope;
    mutable SoundTools::Mutex mSlopeLock;

    // Processing-thread state carried from block to block, so that the analysis
    // does not depend on where blocks start.
    int64_t mNextTick = -1;      // sample of the next tick; -1 before the first analysed sample
    int64_t mSumNext = -1;       // sample the running window sums are ready for
    double mSum0 = 0, mSum1 = 0;  // running window sums of squares
    double mTick0 = 0, mTick1 = 0;
    bool mLeading = true;        // nothing but digital silence analysed so far
    bool mProvisional = false;   // the last live region is the published accumulation
    int64_t mStreamEnd = INT32_MAX;
    int32_t mStreamStart = 0;
    unsigned mFramesToProcess = 0;
};
