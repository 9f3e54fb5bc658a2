#pragma once
// SoundAlgoGapFinder: finds the silences between the pieces of a long recording
// (the gaps between the tracks of an album) for cutting it into files.
//
// It measures the louder channel's mean square over hops of 10 ms and, at the
// end of the stream, decides which hops are silent. Each gap is judged against
// its own floor, so that one album may hold gaps of digital silence and gaps of
// faint noise of different levels:
//  - the recording's level is the loudest 0.4 s of it;
//  - a hop may be silent only when it is no louder than the level plus the
//    threshold (dB, negative) nor than the highest floor believed (dBFS) plus
//    the floor margin;
//  - the floor at a hop is the lowest mean level of 0.1 s of quiet hops (less
//    for a shorter minimum silence) within 1 s of it, and counts only when it
//    is no louder than the highest floor believed (read from 10 ms of the
//    louder channel, noise at that RMS may read up to 2 dB above it);
//  - a hop within 3 dB of its floor is silent, and digital silence (-100 dBFS
//    and below) always is. So the tail of a fade is sound until it sinks into
//    the floor, whatever the floor is;
//  - a level held flat (the two halves of the stretch within 3 dB) beside a
//    silence and 3 dB above its loudest hop is a floor of its own: noise that
//    starts where digital silence ends, or after the dip at the end of a fade;
//    a fade falls from one half to the other and stays sound;
//  - a stretch between two silences that rises nowhere the floor margin above
//    the louder of their floors holds no sound (a swell of the noise, or noise
//    right beside digital silence): it is part of the gap, never a piece.
// A silence of at least the minimum between two stretches of sound is a gap.
// A quiet passage inside a track that stays above the highest floor believed
// is sound, as is a quiet intro or a fade-out until it reaches the floor.
//
// Positions are frames of the stream from its first frame (the reader's start
// point is frame 0); gap edges fall on hop boundaries (10 ms). The output is the
// input, unchanged. Results are complete after endProcess and stay until the
// next run. Independent of the block size.
//
// Units: minimum silence in seconds, threshold and margin in dB, floor ceiling
// in dB full scale.
// Threading: one thread runs the pass; read the results after it.
#include <QJsonObject>
#include <cstdint>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"

class TONEWRIGHT_API SoundAlgoGapFinder : public SoundAlgo {
    Q_OBJECT
public:
    struct Gap {
        int64_t begin = 0;   // first silent frame
        int64_t frames = 0;  // length of the silence
        double levelDb = -100.0;  // its mean square, dB full scale
    };

    explicit SoundAlgoGapFinder(double minSilence = 0.4, double thresholdDb = -40.0, double floorMarginDb = 10.0,
                                double maxFloorDb = -60.0);

    double getMinSilence() const { return mMinSilence; }
    double getThreshold() const { return mThresholdDb; }
    double getFloorMargin() const { return mFloorMarginDb; }
    double getMaxFloor() const { return mMaxFloorDb; }

    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    SoundTools::Status process() override;
    void endProcess(int status, unsigned frameNbProcessed) override;

    // Results of the last run (or of a description read back).
    int64_t getFrameCount() const { return mFrames; }
    // The silences between stretches of sound, in order; not the silence before
    // the first sound or after the last.
    const std::vector<Gap>& getGaps() const { return mGaps; }
    // First frame of sound and the frame after the last; both -1 when the whole
    // recording is silent.
    int64_t getSoundBegin() const { return mSoundBegin; }
    int64_t getSoundEnd() const { return mSoundEnd; }
    double getLevel() const { return mLevelDb; }  // the loudest 0.4 s, dB full scale
    // The noisiest silence's level (the highest floor found), dB full scale;
    // -100 when every silence is digital or there is none.
    double getFloor() const { return mFloorDb; }
    double getCeiling() const { return mCeilingDb; }  // the loudest level taken as silence at that floor
    // Mean square (dB full scale, the louder channel) of frames [begin, end),
    // from the hop levels; -100 for an empty or unmeasured stretch.
    double levelOf(int64_t begin, int64_t end) const;

    void writeToJSon(QJsonObject& object) const override;
    // Null when "Class" is not "SoundAlgoGapFinder" or a setting is missing or
    // out of range; the results of an analysed description are read as well.
    static SoundAlgoGapFinder* createFromJSon(QJsonObject object);

    static constexpr double kHopTime = 0.01;  // seconds

protected:
    bool readFromJSon(QJsonObject& object) override;

private:
    void findGaps();

    double mMinSilence, mThresholdDb, mFloorMarginDb, mMaxFloorDb;
    unsigned mHop = 441;
    std::vector<float> mHops;  // mean square of the louder channel, per hop
    std::vector<uint32_t> mHopFrames;  // frames measured in each hop (the last may be short)
    double mSumL = 0, mSumR = 0;
    unsigned mCount = 0;
    int64_t mStreamStart = 0, mStreamEnd = INT64_MAX, mNext = 0;
    int64_t mFrames = 0, mSoundBegin = -1, mSoundEnd = -1;
    double mLevelDb = -100, mFloorDb = -100, mCeilingDb = -100;
    std::vector<Gap> mGaps;
};
