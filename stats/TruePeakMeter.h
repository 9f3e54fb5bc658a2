#pragma once
// TruePeakMeter: the sample peak and the true peak of a stereo stream, per
// channel. The true peak is the largest magnitude of the signal rebuilt between
// the samples, found on the signal oversampled 4 times below 96 kHz, twice
// below 192 kHz and on the samples themselves above, as loudness meters do.
//
// The interpolator (filters/TruePeakInterpolator.h) is a polyphase
// Hann-windowed sinc reaching 6 frames either side at 4x (12 frames at 2x), the
// usual meter design, whose cut-off is the Nyquist frequency: its phase 0 is
// the sample itself, so only the phases between samples are computed. Each
// channel is filtered on its own in float chunks, the outputs of a chunk side
// by side in vector lanes. The figures do not depend on how the stream is cut
// into blocks: every interpolated value is the same sum whatever the blocks
// were. The last
// few inter-sample points of the stream (half the filter length) are not
// measured, nor is anything before the first sample (the history starts at
// zero, as the stream does).
//
// Up to 16x oversampling can be asked for (minRate), for a check against meters
// that resample to a fixed high rate whatever the input's.
//
// Plain value type, one per stream; not thread-safe.
#include <vector>

#include "filters/TruePeakInterpolator.h"
#include "tonewright/SoundTools.h"

class TruePeakMeter {
public:
    // minRate: oversample at least to this rate (0: the usual factors alone);
    // a finer grid finds the peaks of high frequencies nearer their top.
    explicit TruePeakMeter(unsigned sampleRate = 48000, unsigned minRate = 0);

    void add(const SoundTools::StereoFrame<double>* frames, unsigned n);

    // Linear magnitudes (0 before any sound); channel 0 left, 1 right.
    double samplePeak(int channel) const { return mSamplePeak[channel != 0]; }
    double truePeak(int channel) const { return mTruePeak[channel != 0]; }
    // Oversampling factor at this rate (1: the samples alone).
    int factor() const { return mFactor; }

private:
    static constexpr unsigned kChunk = 1024;
    void addChunk(const SoundTools::StereoFrame<double>* frames, unsigned n);

    int mFactor;
    TruePeakInterpolator<float> mInterpolator;
    double mSamplePeak[2] = {0.0, 0.0};
    double mTruePeak[2] = {0.0, 0.0};
};
