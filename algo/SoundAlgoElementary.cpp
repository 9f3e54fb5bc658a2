#include "tonewright/SoundAlgoElementary.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/SoundFlushDenormals.h"
#include "tonewright/SoundUnits.h"

using SoundTools::StereoFrame;
using Frame = StereoFrame<double>;

namespace {
// Below this many frames a parallel region costs more than it saves.
[[maybe_unused]] constexpr unsigned kParallelMinFrames = 4096;  // unused without OpenMP

void copyFrames(Frame* out, const Frame* in, unsigned n) {
    if (n > 0 && out != in) std::memmove(out, in, size_t(n) * sizeof(Frame));
}
}  // namespace

SoundAlgoMulti::SoundAlgoMulti(unsigned inputCount, bool singleOutput)
    : mInputCount(inputCount), mSingleOutput(singleOutput) {}

// ---------------------------------------------------------------- add

SoundAlgoAdd::SoundAlgoAdd(int inputCount, bool singleOutput, const double* weights)
    : SoundAlgoMulti(unsigned(std::max(0, inputCount)), singleOutput) {
    if (weights)
        mWeights.assign(weights, weights + mInputCount);
    else
        mWeights.assign(mInputCount, 1.0);
}

SoundTools::Status SoundAlgoAdd::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const int inOrigin = getInOrigin();
    const int outOrigin = getOutOrigin();
    if (mInputCount == 2 && getOutputNumber() == 1 && mWeights[0] == 1.0 && mWeights[1] == 1.0) {
        const Frame* a = mInBuffers[0]->getStereoFrame(inOrigin);
        const Frame* b = mInBuffers[1]->getStereoFrame(inOrigin);
        Frame* out = mOutBuffers[0]->getStereoFrame(outOrigin);
        for (unsigned j = 0; j < n; ++j) {
            out[j].l = a[j].l + b[j].l;
            out[j].r = a[j].r + b[j].r;
        }
        return SoundTools::Ok;
    }
    const unsigned inputs = mInputCount;
    const unsigned outputs = getOutputNumber();
    std::vector<const Frame*> in(inputs);
    std::vector<Frame*> out(outputs);
    for (unsigned i = 0; i < inputs; ++i) in[i] = mInBuffers[i]->getStereoFrame(inOrigin);
    for (unsigned i = 0; i < outputs; ++i) out[i] = mOutBuffers[i]->getStereoFrame(outOrigin);
    const double* w = mWeights.data();
    const int count = int(n);
#pragma omp parallel if (n >= kParallelMinFrames)
    {
        SoundTools::FlushDenormals flush;  // each worker's own floating-point mode
#pragma omp for schedule(static)
        for (int j = 0; j < count; ++j) {
            double l = w[0] * in[0][j].l;
            double r = w[0] * in[0][j].r;
            for (unsigned i = 1; i < inputs; ++i) {
                l += w[i] * in[i][j].l;
                r += w[i] * in[i][j].r;
                if (i < outputs) out[i][j] = in[i][j];
            }
            out[0][j].l = l;
            out[0][j].r = r;
        }
    }
    return SoundTools::Ok;
}

SoundAlgoAddSqr::SoundAlgoAddSqr(int inputCount, bool singleOutput, const double* weights)
    : SoundAlgoAdd(inputCount, singleOutput, weights) {}

SoundTools::Status SoundAlgoAddSqr::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const unsigned inputs = mInputCount;
    const unsigned outputs = getOutputNumber();
    std::vector<const Frame*> in(inputs);
    std::vector<Frame*> out(outputs);
    for (unsigned i = 0; i < inputs; ++i) in[i] = mInBuffers[i]->getStereoFrame(getInOrigin());
    for (unsigned i = 0; i < outputs; ++i) out[i] = mOutBuffers[i]->getStereoFrame(getOutOrigin());
    const double* w = mWeights.data();
    for (unsigned j = 0; j < n; ++j) {
        double l = w[0] * in[0][j].l;
        double r = w[0] * in[0][j].r;
        l *= l;
        r *= r;
        for (unsigned i = 1; i < inputs; ++i) {
            const double li = w[i] * in[i][j].l;
            const double ri = w[i] * in[i][j].r;
            l += li * li;
            r += ri * ri;
            if (i < outputs) out[i][j] = in[i][j];
        }
        out[0][j].l = std::sqrt(l);
        out[0][j].r = std::sqrt(r);
    }
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- sub

SoundAlgoSub::SoundAlgoSub(int inputCount, bool singleOutput)
    : SoundAlgoMulti(unsigned(std::max(0, inputCount)), singleOutput) {}

SoundTools::Status SoundAlgoSub::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const int inOrigin = getInOrigin();
    const int outOrigin = getOutOrigin();
    if (mInputCount == 2 && getOutputNumber() == 1) {
        const Frame* a = mInBuffers[0]->getStereoFrame(inOrigin);
        const Frame* b = mInBuffers[1]->getStereoFrame(inOrigin);
        Frame* out = mOutBuffers[0]->getStereoFrame(outOrigin);
        for (unsigned j = 0; j < n; ++j) {
            out[j].l = a[j].l - b[j].l;
            out[j].r = a[j].r - b[j].r;
        }
        return SoundTools::Ok;
    }
    const unsigned inputs = mInputCount;
    const unsigned outputs = getOutputNumber();
    std::vector<const Frame*> in(inputs);
    std::vector<Frame*> out(outputs);
    for (unsigned i = 0; i < inputs; ++i) in[i] = mInBuffers[i]->getStereoFrame(inOrigin);
    for (unsigned i = 0; i < outputs; ++i) out[i] = mOutBuffers[i]->getStereoFrame(outOrigin);
    for (unsigned j = 0; j < n; ++j) {
        double l = in[0][j].l;
        double r = in[0][j].r;
        for (unsigned i = 1; i < inputs; ++i) {
            l -= in[i][j].l;
            r -= in[i][j].r;
            if (i < outputs) out[i][j] = in[i][j];
        }
        out[0][j].l = l;
        out[0][j].r = r;
    }
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- scale

SoundAlgoScale::SoundAlgoScale(double gainDb) : mGain(SoundTools::gainOfDb(gainDb)) {}

SoundTools::Status SoundAlgoScale::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const double* in = mInBuffers[0]->getFrame(getInOrigin());
    double* out = mOutBuffers[0]->getFrame(getOutOrigin());
    const double g = mGain;
    const size_t values = size_t(n) * 2;
    for (size_t i = 0; i < values; ++i) out[i] = g * in[i];
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- select

SoundAlgoSelectChannel::SoundAlgoSelectChannel(int selected, int inputCount)
    : SoundAlgoMulti(unsigned(std::max(0, inputCount)), true), mSelected(selected) {}

SoundTools::Status SoundAlgoSelectChannel::initOutputBuffer(const LoopContext&) {
    if (mSelected < 0 || unsigned(mSelected) >= mInBuffers.size() || !mInBuffers[size_t(mSelected)])
        return SoundTools::Error;
    mOutBuffers[0] = mInBuffers[size_t(mSelected)];
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- delay

SoundAlgoDelay::SoundAlgoDelay(double seconds, bool asOverlap) : mSeconds(seconds), mAsOverlap(asOverlap) {}

unsigned SoundAlgoDelay::frames(unsigned sr) const {
    return unsigned(SoundTools::framesOf(mSeconds, sr));
}

unsigned SoundAlgoDelay::getDelay(unsigned sr) const { return mAsOverlap ? 0 : frames(sr); }
unsigned SoundAlgoDelay::getOutOverlap(unsigned sr) const { return mAsOverlap ? frames(sr) : 0; }
unsigned SoundAlgoDelay::getSampleShift(unsigned sr) const { return mAsOverlap ? frames(sr) : 0; }

SoundTools::Status SoundAlgoDelay::process() {
    const unsigned n = getOutFrameNb();
    const Frame* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    if (!mAsOverlap) {
        copyFrames(mOutBuffers[0]->getStereoFrame(getOutOrigin()), in, n);
        return SoundTools::Ok;
    }
    const unsigned d = frames(mSampleRate);
    if (n > d) copyFrames(mOutBuffers[0]->getStereoFrame(getOutOrigin() + int(d)), in, n - d);
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- bypass

SoundAlgoBypass::SoundAlgoBypass() : SoundAlgoBypass(0, 0, 0) {}

SoundAlgoBypass::SoundAlgoBypass(unsigned inOverlap, unsigned delay, unsigned outOverlap)
    : mInOverlap(inOverlap), mOutOverlap(outOverlap), mDelay(delay) {}

SoundTools::Status SoundAlgoBypass::process() {
    if (getInputNumber() != getOutputNumber()) return SoundTools::Error;
    const unsigned n = getOutFrameNb();
    const int inOrigin = getInOrigin();
    const int outOrigin = getOutOrigin();
    for (unsigned i = 0; i < getOutputNumber(); ++i)
        copyFrames(mOutBuffers[i]->getStereoFrame(outOrigin), mInBuffers[i]->getStereoFrame(inOrigin), n);
    return SoundTools::Ok;
}
