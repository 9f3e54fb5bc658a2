#include "tonewright/SoundAlgoNoiseGate.h"

#include <algorithm>
#include <cmath>

#include "tonewright/SoundUnits.h"

using Frame = SoundTools::StereoFrame<double>;

namespace {
// Samples that are not numbers count as silence, in the sums and in the output:
// one bad sample must neither hold the gate open for good nor reach the output.
inline double orSilence(double x) { return std::isfinite(x) ? x : 0.0; }
inline double sq(double x) { return std::isfinite(x) ? x * x : 0.0; }
}  // namespace

constexpr unsigned SoundAlgoNoiseGate::kMaxWindowFrames;

SoundAlgoNoiseGate::SoundAlgoNoiseGate(double thresholdDb, double fadeTime, double windowTime)
    : mThreshold(SoundTools::gainOfDb(thresholdDb)), mFadeTime(fadeTime), mWindowTime(windowTime) {}

void SoundAlgoNoiseGate::SetThreshold(double thresholdDb) {
    mThreshold.store(SoundTools::gainOfDb(thresholdDb), std::memory_order_relaxed);
}

unsigned SoundAlgoNoiseGate::getInOverlap(unsigned sr) const {
    // At least one frame: the window always holds the frame being gated.
    return unsigned(SoundTools::framesOf(mWindowTime, sr)) | 1u;
}

unsigned SoundAlgoNoiseGate::getPreferredBufferSize(unsigned) const { return SoundBuffer::sSize; }

SoundTools::Status SoundAlgoNoiseGate::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    mGateGain = 1.0;
    // A fade shorter than one frame (zero, negative or NaN) closes in one frame.
    const int32_t frames = SoundTools::framesOf(mFadeTime, ctx.sampleRate);
    mFadeStep = frames >= 1 ? 1.0 / frames : 1.0;
    mSumL = mSumR = 0.0;
    mSumPos = 0;
    mSumsValid = false;
    return SoundAlgo::initProcess(ctx, prev, next);
}

SoundTools::Status SoundAlgoNoiseGate::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const unsigned W = getInOverlap(mSampleRate);
    const int s0 = getInOrigin();
    const unsigned inFrames = getInFrameNb();
    const Frame* in = mInBuffers[0]->getStereoFrame(s0);
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    // Compared on the mean squares: sqrt(sum / W) < t  <=>  sum < t^2 W. A NaN
    // threshold makes every comparison false: the gate stays open.
    const double t = mThreshold.load(std::memory_order_relaxed);
    const double limit = t * t * double(W);
    const double step = mFadeStep;
    double g = mGateGain;
    double sumL = mSumL, sumR = mSumR;
    int64_t pos = s0;
    if (!mSumsValid || mSumPos != pos) {
        // Nothing carried over for this position: the first block of a run.
        sumL = sumR = 0.0;
        mSumsValid = false;
    }
    for (unsigned i = 0; i < n; ++i, ++pos) {
        const unsigned last = i + W - 1;
        // The sums slide frame by frame; they are summed afresh at the stream's
        // start and at every stream position that is a multiple of W, so that
        // rounding cannot pile up over a long stream, and so that the sums (and
        // the gate) are the same however the stream is cut into blocks.
        if (!mSumsValid || pos % int64_t(W) == 0) {
            sumL = sumR = 0.0;
            const unsigned end = std::min(last + 1, inFrames);
            for (unsigned j = i; j < end; ++j) {
                sumL += sq(in[j].l);
                sumR += sq(in[j].r);
            }
            mSumsValid = true;
        } else if (last < inFrames) {
            sumL += sq(in[last].l);
            sumR += sq(in[last].r);
        }
        if (std::max(sumL, sumR) < limit) {
            g -= step;
            // The last step of a fade lands on silence, not on a rounding residue.
            if (g < 0.5 * step) g = 0.0;
        } else {
            g = 1.0;
        }
        out[i] = Frame(orSilence(in[i].l) * g, orSilence(in[i].r) * g);
        sumL -= sq(in[i].l);
        sumR -= sq(in[i].r);
    }
    mGateGain = g;
    mSumL = sumL;
    mSumR = sumR;
    mSumPos = pos;
    return SoundTools::Ok;
}
