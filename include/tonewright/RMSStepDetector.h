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
// Two choices go beyond the bare step rules, so that the silence between two
// pieces of music reads as noise and the list ends where the recording does:
//  - a region shorter than the shortest rule (2 s), the blur the window leaves on
//    each side of a step, is given to whichever neighbour is closer in level
//    instead of taking in the long stretch after it. With the rules alone, the
//    transition out of a tone would absorb the silence that follows, lifting it
//    some 20-30 dB below the music, and no silence would ever be noise. On tone,
//    digital silence, tone the fall therefore ends at the silence's first frame
//    (the first window holding silence only) and the rise begins at the centre
//    of the first window that reaches the second tone.
//  - the end marker (and getFullLength()) is at the frame count of the stream,
//    not after the window of zero frames the loop feeds at the end to flush it:
//    those frames are not part of the recording, and are not analysed.
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
// Threading: one read-write lock guards the region lists, the noise level and the
// embedded slope detector. Every public or protected operation that touches them
// takes that lock itself, once, and never while holding it; the private helpers
// they delegate to are handed the held locker and never lock. The processing
// thread writes the list; size(), getRegion(), getRegions(), getSlopes() and
// getSlopeRegion() may be called from other threads while it runs (in real-time
// mode the list is republished at the end of every block). The JSON operations,
// the signal queries and the post-processing operations take no lock of their
// own: call them on a finished analysis.
#include <QJsonObject>
#include <cstdint>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundRMSSlopeDetector.h"
#include "tonewright/Sync.h"

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
    // Every slope, the one still in progress last.
    std::vector<SoundRMSSlopeDetector::Region> getSlopes() const;
    // The slopes of the stream the regions describe, as getSlopes() gave them,
    // for a detector read back from JSON (which holds regions only).
    void restoreSlopes(std::vector<SoundRMSSlopeDetector::Region> slopes);

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

    // What pushRegion() did with the region being accumulated.
    enum PushResult : int {
        RegionAppended = 0,      // a new region was appended to the list
        NothingPushed = 1,       // nothing to push, or a falling step near the end absorbed
        MergedIntoPrevious = 3   // not long enough for its step: it joined the last region
    };

    // Takes the write lock.
    bool applyNoise(double thresholdDb, int first, int end);
    double estimateNoise(double a, double snrDb, int first, int end) const;
    // Takes the write lock.
    PushResult pushRegion();
    bool canChangeRegion(int32_t length, const Region& candidate, const Region& previous) const;
    // Takes the write lock.
    void flush(bool final);

private:
    // Proof that the caller holds mLock for writing.
    using Held = SoundTools::WriteLocker;
    PushResult pushRegion(const Held&);
    bool markNoise(const Held&, double thresholdDb, int first, int end);
    void printList(const char* title, const std::vector<Region>& list) const;
    void dropProvisional();
    void updateRuleSamples();
    int32_t ruleSamples(double seconds) const;
    void analyse(const SoundTools::StereoFrame<double>* in, int32_t s, unsigned i);
    unsigned steadyRun(const SoundTools::StereoFrame<double>* in, int32_t s0, unsigned i, unsigned n,
                       unsigned inFrames);

    mutable SoundTools::ReadWriteLock mLock;
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
