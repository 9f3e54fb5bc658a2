#pragma once
// TruePeakMeter: the sample peak and the true peak of a stereo stream, per
// channel. The true peak is the largest magnitude of the signal rebuilt between
// the samples, found on the signal oversampled 4 times below 96 kHz, twice
// below 192 kHz and on the samples themselves above, as loudness meters do.
//
// The interpolator is a polyphase Hann-windowed sinc reaching 6 frames either
// side at 4x (12 frames at 2x), the usual meter design, whose cut-off is the
// Nyquist frequency: its phase 0 is the sample itself, so only the phases
// between samples are computed. Each channel is filtered on its own in float
// blocks, one tap at a time over the whole block, which the compiler turns into
// vector code. The figures do not depend on how the stream is cut into blocks:
// every interpolated value is the same sum whatever the blocks were. The last
// few inter-sample points of the stream (half the filter length) are not
// measured, nor is anything before the first sample (the history starts at
// zero, as the stream does).
//
// Up to 16x oversampling can be asked for (minRate), for a check against meters
// that resample to a fixed high rate whatever the input's.
//
// Plain value type, one per stream; not thread-safe.
#include <functional>
#include <vector>

#include "tonewright/SoundTools.h"

// Taps of a polyphase interpolator: `phases` rows of `taps` coefficients, row k
// giving the value k/phases of the way from frame c to frame c + 1 out of the
// frames c - taps/2 + 1 ... c + taps/2: a sinc cut off at the Nyquist frequency
// under `window`, which is given the distance from the interpolated point in
// units of `span` frames (zero outside -1 ... 1). With `normalise` each row has
// unit gain at 0 Hz.
std::vector<double> interpolatorTaps(int phases, int taps, double span, const std::function<double(double)>& window,
                                     bool normalise);

// The Kaiser window of the given beta, over -1 ... 1.
std::function<double(double)> kaiserWindow(double beta);

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
    int mTaps;                    // per phase
    std::vector<float> mCoeffs;   // phases 1 ... factor - 1, mTaps each
    std::vector<float> mHist[2];  // mTaps - 1 samples of history, then the chunk
    std::vector<float> mAcc, mMax;
    double mSamplePeak[2] = {0.0, 0.0};
    double mTruePeak[2] = {0.0, 0.0};
};
