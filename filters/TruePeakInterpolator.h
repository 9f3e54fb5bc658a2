#pragma once
// Private to the library: the polyphase interpolator that rebuilds a stereo
// stream between its samples, shared by the true-peak meter (stats/) and the
// true-peak limiter (dynamics/), and the design of its taps.
//
// Each channel is one linear array: the last taps - 1 samples of the previous
// chunk, then the chunk. The taps of every output are thus contiguous, with no
// ring index to wrap, and a phase is computed for a whole chunk at once, the
// outputs side by side in vector lanes. Every output is the sum
// h[0]*x[0] + h[1]*x[1] + ... + h[taps-1]*x[taps-1], taken in that order from
// zero, whatever the chunks and whatever the vector width of the processor:
// the kernels are compiled without fused multiply-adds, which would round
// differently from one processor to the next.
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

// T is float or double: the precision of the samples, taps and sums.
template <typename T>
class TruePeakInterpolator {
public:
    // rows: `phases` rows of `taps` coefficients as interpolatorTaps gives them
    // (row 0, the sample itself, is never computed); chunks of at most `chunk`
    // frames. The history starts at zero, as the stream does.
    TruePeakInterpolator(const std::vector<double>& rows, int phases, int taps, unsigned chunk);

    int phases() const { return mPhases; }
    int taps() const { return mTaps; }
    unsigned chunk() const { return mChunk; }

    // Takes in the next chunk (n <= chunk() frames). With samplePeak, its two
    // values (left, right) become the largest of themselves and the magnitudes
    // of the chunk's samples (samples that are not numbers are passed over, as
    // std::max(peak, |x|) passes them over).
    void load(const SoundTools::StereoFrame<double>* frames, unsigned n, double* samplePeak = nullptr);
    // The window of output i of the chunk is window(c)[i] ... window(c)[i + taps - 1]:
    // its sample (phase 0) is window(c)[i + taps/2 - 1].
    const T* window(int c) const { return mX[c != 0].data(); }
    // y[i] for the first n frames of the chunk: phase p (1 ... phases - 1) of
    // channel c, p/phases of the way from window(c)[i + taps/2 - 1] to the next sample.
    void phase(int p, int c, unsigned n, T* y) const;
    // The largest of `peak` and the magnitudes of phase p of channel c over
    // frames from ... from + n - 1 of the chunk, values that are not numbers
    // passed over. The values are not stored: each is taken as it is summed.
    T phasePeak(int p, int c, unsigned from, unsigned n, T peak) const;
    // The chunk of n frames is done: its last taps - 1 samples become the history.
    void advance(unsigned n);
    // Back to the start of a stream: zero history.
    void reset();
    // An upper bound of the magnitudes phase() gives for the first n frames of
    // the chunk in channel c, rounding included: the largest sum of magnitudes
    // of a row times the largest magnitude of the window. At least the
    // magnitude of every sample of the chunk (a row sums to about 1), and
    // infinite when the window holds an infinity. A caller that only needs to
    // know whether anything reaches a level skips the phases when the bound is
    // below it; values that are not numbers are left out, as the peaks leave them.
    double bound(int c, unsigned n) const { return bound(c, 0, n); }
    // The same for frames from ... from + n - 1 of the chunk.
    double bound(int c, unsigned from, unsigned n) const;

private:
    int mPhases;
    int mTaps;
    unsigned mChunk;
    std::vector<T> mRows;  // phases 1 ... phases - 1, mTaps each
    double mGain = 0.0;    // largest sum of magnitudes of a row of mRows, with a margin for rounding
    std::vector<T> mX[2];  // mTaps - 1 samples of history, then the chunk
};

extern template class TruePeakInterpolator<float>;
extern template class TruePeakInterpolator<double>;
