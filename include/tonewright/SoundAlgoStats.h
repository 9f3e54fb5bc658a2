#pragma once
// SoundAlgoStats: whole-stream level statistics of a stereo stream (per channel
// sum of squares, peak and frame count), with a sliding-window RMS or the input
// itself as output; and SoundAlgoStats::FrequencyBuilder, which puts one
// statistics algorithm in every band of a multiband tree.
//
// Results are read after the run (getRMS, getMax, getFullRMS, getGlobalStats,
// in dB) and can be saved and restored as JSON (class name "SoundAlgoStats",
// registered with SoundAlgo's JSON registry when the library loads).
//
// Ownership: reference counted like every algorithm. A FrequencyBuilder keeps
// plain pointers to the algorithms it built; the composite they were pushed
// into owns them, so the pointers are valid while that composite lives (take a
// reference to keep one longer).
//
// Threading: as SoundAlgo. Read the results once the run has ended.
#include <QJsonObject>
#include <cstdint>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundAlgoComposite.h"

class TONEWRIGHT_API SoundAlgoStats : public SoundAlgo {
    Q_OBJECT
public:
    enum OutputType : int32_t {
        StatsAndRMS = 0,  // statistics, output = sliding-window RMS per channel
        RMSOnly = 1,      // no statistics, output = sliding-window RMS
        StatsOnly = 2     // statistics, output = input (window forced to 0)
    };

    // Builds a StatsOnly algorithm for every band of a multiband tree.
    class TONEWRIGHT_API FrequencyBuilder : public SoundAlgoComposite::FrequencyAlgoBuilder {
    public:
        FrequencyBuilder() : FrequencyBuilder(0.2) {}
        explicit FrequencyBuilder(double windowTime) : mWindowTime(windowTime) {}
        FrequencyBuilder(const FrequencyBuilder&) = default;
        FrequencyBuilder(FrequencyBuilder&&) = default;
        FrequencyBuilder& operator=(const FrequencyBuilder&) = default;
        FrequencyBuilder& operator=(FrequencyBuilder&&) = default;

        void buildAlgo(SoundAlgoComposite* target, int band, const QString& label) override;
        // The algorithms built so far, in band order (not owned).
        std::vector<SoundAlgoStats*>& getStatsVector() { return mStats; }
        // Kept with the builder for its users; the band algorithms do not use it.
        double getWindowTime() const { return mWindowTime; }

    private:
        std::vector<SoundAlgoStats*> mStats;
        double mWindowTime;
    };

    SoundAlgoStats() : SoundAlgoStats(StatsAndRMS, 1.0) {}
    // windowTime in seconds: negative counts as 0, StatsOnly forces 0, and a
    // longer or infinite window than 60 s is 60 s (a frame count must stay sane).
    SoundAlgoStats(OutputType type, double windowTime);

    SoundTools::Status process() override;
    // Half the window, so that the RMS output is centred on its window.
    unsigned getDelay(unsigned sr) const override;
    // The window in frames, always odd; 0 without a window.
    unsigned getInOverlap(unsigned sr) const override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned frameNbProcessed) override;
    void writeToJSon(QJsonObject& object) const override;
    bool readFromJSon(QJsonObject& object) override;

    // A new algorithm from its JSON object, or null when "Class" is not
    // "SoundAlgoStats" or "OutputType" / "WindowTime" are missing or invalid
    // (a window beyond 60 s is invalid).
    // The caller owns the result (one reference).
    static SoundAlgoStats* createFromJSon(QJsonObject object);

    // Results in dB (20 log10 of the linear value, -100 for 1e-20 or less).
    // getRMS leaves rms unchanged and getFullRMS returns 0.0 before any frame.
    void getRMS(SoundTools::StereoFrame<double>& rms) const;
    void getMax(SoundTools::StereoFrame<double>& max) const;
    double getFullRMS() const;
    // All three at once; nothing is written before any frame.
    void getGlobalStats(SoundTools::StereoFrame<double>& rms, double& fullRms,
                        SoundTools::StereoFrame<double>& max) const;

    OutputType getOutputType() const { return mOutputType; }
    double getWindowTime() const { return mWindowTime; }
    uint32_t getTotalCount() const { return mTotalCount; }
    double getLeftSqr() const { return mLeftSqr; }
    double getRightSqr() const { return mRightSqr; }
    double getLeftMax() const { return mLeftMax; }
    double getRightMax() const { return mRightMax; }

private:
    double mWindowTime;
    uint32_t mTotalCount = 0;
    double mLeftSqr = 0.0;
    double mRightSqr = 0.0;
    double mLeftMax = 0.0;
    double mRightMax = 0.0;
    OutputType mOutputType;
    // Stream positions counted in the statistics, [start, end): frames the loop
    // adds before or after the stream (lead-in of a delay, zeros that flush
    // lookahead) are not sound. Everything counts when the length is unknown.
    int64_t mStreamStart = INT64_MIN;
    int64_t mStreamEnd = INT64_MAX;
};
