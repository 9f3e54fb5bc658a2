#pragma once
// SoundAlgoLoudness: the loudness of a stereo stream as the broadcast and music
// field measures it (K-weighted, gated): integrated loudness in LUFS, loudness
// range in LU, the largest momentary (400 ms) and short-term (3 s) loudness, and
// per channel the sample peak (dBFS) and the true peak (dBTP, 4x oversampled
// below 96 kHz, 2x below 192 kHz). The K-weighting filter runs with both
// channels side by side; the gated figures are made of the energies of 100 ms
// hops; the peaks come from a vectorised polyphase interpolator. The figures
// agree with libebur128's meters (the tests compare them).
//
// The algorithm passes its input through unchanged, so it fits anywhere in a
// chain or as a branch of a composite beside other analyses. Only frames of the
// stream itself are measured (not the lead-in of delays nor the zeros that flush
// the end), and momentary and short-term values are taken every 100 ms of the
// stream counted from its first frame, so the figures do not depend on block
// sizes or on the algorithms around it.
//
// Readers widen a mono source to two equal channels. Measured as they come,
// such a stream reads 3.01 LU louder than the recording is (two channels of
// the same sound); told that the source is mono (setSourceChannels(1), from the
// reader's getFileChannelNum()), the meter measures the one channel, as the
// loudness standard does. The peaks are those of that channel either way.
//
// An integrated loudness needs at least one 400 ms gating block: a shorter
// stream reports isTooShort() and -inf; a stream that is silent (every block
// below the -70 LUFS absolute gate) reports -inf as well.
//
// Album figures: albumLoudness / albumRange gate the blocks of several finished
// measurements together (one loudness for the set, not the mean of the tracks).
// They need the measuring state, which lives from initProcess until the next
// run or destruction; an algorithm read back from JSON holds the figures only.
//
// JSON: class "SoundAlgoLoudness", keys "Integrated", "Range", "MaxMomentary",
// "MaxShortTerm", "SamplePeakLeft", "SamplePeakRight", "TruePeakLeft",
// "TruePeakRight" (numbers; null for -inf), "FrameCount", "SampleRate",
// "ShortTermStep" and "ShortTerm" (the short-term loudness every step seconds,
// null where it is -inf).
//
// Ownership: reference counted like every algorithm; the measuring state is
// owned by the algorithm.
// Threading: as SoundAlgo. By default the measuring runs on a thread of the
// algorithm's own, fed with copies of the blocks (gathered into batches, at
// most a few batches ahead of it), so that it overlaps the rest of the chain
// instead of adding to it; the thread is ended and joined by endProcess, the
// next initProcess or the destructor. Read the figures once the run has ended.
#include <QJsonObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"

class TONEWRIGHT_API SoundAlgoLoudness : public SoundAlgo {
    Q_OBJECT
public:
    // shortTermStep: seconds between two stored short-term values (the series
    // for a plot); 0 stores none. Rounded to whole 100 ms, at least 100 ms.
    explicit SoundAlgoLoudness(double shortTermStep = 1.0);
    ~SoundAlgoLoudness() override;

    // The true peak is measured on a grid of at least this rate (Hz) from the
    // next run on; 0, the default, keeps the usual 4x below 96 kHz and 2x below
    // 192 kHz. Checks against meters that resample to a fixed high rate (such
    // as 192 kHz) ask for that rate: on low rates the 4x grid misses up to half
    // a dB of the peaks of high frequencies. At most 16x.
    void setTruePeakRate(unsigned minRate) { mTruePeakRate = minRate; }
    // Channels of the source before the reader widened it (the reader's
    // getFileChannelNum()): 1 measures the left channel alone, as the one
    // channel of a mono recording; anything else (the default, 2) measures
    // both. From the next run on.
    void setSourceChannels(unsigned channels) { mMono = channels == 1; }
    // Measure on the thread of the loop instead (from the next run on). The
    // figures are the same either way.
    void setBackground(bool background) { mBackground = background; }
    // Frames of the stream measured, with the stream position of the first,
    // in stream order.
    using Observer = std::function<void(const SoundTools::StereoFrame<double>* frames, int64_t position, unsigned n)>;
    // Also gives every frame measured to `observer`, on the thread that
    // measures the loudness (the algorithm's own, in the background): another
    // measurement of the same frames, kept off the loop's thread. Read what it
    // measured once the run has ended. From the next run on; empty: none.
    void setObserver(Observer observer) { mObserver = std::move(observer); }

    SoundTools::Status process() override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned frameNbProcessed) override;
    void writeToJSon(QJsonObject& object) const override;
    bool readFromJSon(QJsonObject& object) override;

    // A new algorithm from its JSON object, or null when "Class" is not
    // "SoundAlgoLoudness". The caller owns the result (one reference).
    static SoundAlgoLoudness* createFromJSon(QJsonObject object);

    // LUFS, -inf for silence or a stream too short to gate.
    double getIntegrated() const { return mIntegrated; }
    // LU; 0 when there are too few short-term blocks above the gates.
    double getRange() const { return mRange; }
    double getMaxMomentary() const { return mMaxMomentary; }  // LUFS
    double getMaxShortTerm() const { return mMaxShortTerm; }  // LUFS
    // dBFS / dBTP per channel (0 left, 1 right); -inf for silence.
    double getSamplePeak(int channel) const { return mSamplePeak[channel != 0]; }
    double getTruePeak(int channel) const { return mTruePeak[channel != 0]; }
    double getSamplePeak() const;  // the larger channel
    double getTruePeak() const;    // the larger channel
    // Frames measured (those of the stream).
    uint64_t getFrameCount() const { return mFrameCount; }
    // Fewer frames than one 400 ms gating block: no integrated loudness exists.
    bool isTooShort() const;
    // Short-term loudness every getShortTermStep() seconds, value i for the 3 s
    // ending at (i + 1) * step (-inf before any sound).
    const std::vector<double>& getShortTerm() const { return mShortTerm; }
    // Momentary loudness at the same instants, value i for the 400 ms ending at
    // (i + 1) * step (-inf before any sound). Not stored in the JSON form.
    const std::vector<double>& getMomentary() const { return mMomentary; }
    double getShortTermStep() const { return mShortTermStep; }

    // Loudness of several finished measurements gated together (LUFS); -inf
    // when none holds a measuring state or all are silent.
    static double albumLoudness(const std::vector<SoundAlgoLoudness*>& tracks);
    // Loudness range of the set (LU).
    static double albumRange(const std::vector<SoundAlgoLoudness*>& tracks);
    // The largest true peak of the set (dBTP).
    static double albumTruePeak(const std::vector<SoundAlgoLoudness*>& tracks);

private:
    struct State;
    struct Worker;
    void feed(const SoundTools::StereoFrame<double>* frames, int64_t position, unsigned n);
    void finish();
    void work();
    // Ends the worker once it has measured every block handed to it.
    void handOver();
    void stopWorker();

    std::unique_ptr<State> mState;
    std::unique_ptr<Worker> mWorker;
    bool mBackground = true;
    bool mMono = false;
    Observer mObserver;
    double mShortTermStep;
    double mIntegrated;
    double mRange = 0.0;
    double mMaxMomentary;
    double mMaxShortTerm;
    double mSamplePeak[2];
    double mTruePeak[2];
    uint64_t mFrameCount = 0;
    unsigned mTruePeakRate = 0;
    std::vector<double> mShortTerm;
    std::vector<double> mMomentary;
    // Stream positions measured, [start, end); everything when the length is unknown.
    int64_t mStreamStart = INT64_MIN;
    int64_t mStreamEnd = INT64_MAX;
    // 100 ms hops: frames per hop, frames left to the next hop, hops per stored value.
    unsigned mHop = 0;
    unsigned mHopsPerValue = 0;
    unsigned mHopCount = 0;
};
