#include "tonewright/SoundAlgoEqFIR.h"

#include <QMessageLogger>
#include <algorithm>
#include <cmath>
#include <ostream>

#include "core/SoundFlushDenormals.h"
#include "core/SoundSimd.h"
#include "tonewright/SoundUnits.h"
#include "filters/EqualiserDesign.h"

namespace {

// Output frames per unit of work: the accumulators of one chunk stay in the
// first-level cache while every tap sweeps over them.
constexpr size_t kChunk = 256;

// acc[j] += sum_k rev[k] x[j + k], j < n, k < taps, for one channel; each
// output accumulates its taps in the order k = 0, 1, ..., whatever the chunk,
// so that results do not depend on how a stream is cut into blocks.
TW_KERNEL void firChunk(const double* rev, size_t taps, const double* x, double* acc, size_t n) {
    for (size_t k = 0; k < taps; ++k) {
        const double c = rev[k];
        const double* xk = x + k;
        for (size_t j = 0; j < n; ++j) acc[j] += c * xk[j];
    }
}

}  // namespace

SoundAlgoEqFIR::SoundAlgoEqFIR(SoundTools::FilterType type, double low, double high)
    : mType(type), mLow(low), mHigh(high) {}

SoundAlgoEqFIR::~SoundAlgoEqFIR() = default;

void SoundAlgoEqFIR::SetOutputGain(double gainDb) {
    mGain.store(SoundTools::gainOfDb(gainDb), std::memory_order_relaxed);
}

unsigned SoundAlgoEqFIR::getTapNumber(unsigned sampleRate) const {
    return SoundTools::equaliser::firPlan(mType, mLow, mHigh, sampleRate).taps;
}

void SoundAlgoEqFIR::InitStaticParams(double sampleRate) {
    const unsigned rate = sampleRate > 0 && sampleRate < 4e9 ? unsigned(sampleRate) : 0u;
    const SoundTools::equaliser::Plan p = SoundTools::equaliser::firPlan(mType, mLow, mHigh, rate);
    mF1 = p.f1;
    mF2 = p.f2;
    mTransition = p.transition;
    mStopWeight = p.stopWeight;
    mTaps = p.taps;
}

// The length is a function of the sample rate alone, so the delay can be given
// for any rate, before a run as well as during one.
unsigned SoundAlgoEqFIR::getDelay(unsigned sr) const {
    const unsigned taps = getTapNumber(sr);
    return taps > 0 ? taps - 1 : 0u;
}

unsigned SoundAlgoEqFIR::getInOverlap(unsigned sr) const { return getDelay(sr); }

SoundTools::Status SoundAlgoEqFIR::design(unsigned sampleRate, std::vector<double>& h,
                                          SoundTools::RemezReport* report) const {
    h.clear();
    const SoundTools::equaliser::Plan p = SoundTools::equaliser::firPlan(mType, mLow, mHigh, sampleRate);
    if (p.taps == 0) {
        setError(QString("cannot design a FIR filter of type %1 for %2 - %3 Hz at %4 Hz: %5")
                     .arg(int(mType))
                     .arg(mLow)
                     .arg(mHigh)
                     .arg(sampleRate)
                     .arg(p.error ? p.error : "no length"),
                 "SoundAlgoEqFIR::design");
        return SoundTools::Error;
    }
    return SoundTools::RemezDesign::design(p.taps, p.bands, h, report);
}

SoundTools::Status SoundAlgoEqFIR::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    mReversed.clear();
    InitStaticParams(ctx.sampleRate);
    if (isDebug()) getOStream() << "FIR lenght = " << mTaps << std::endl;
    if (mType != SoundTools::LowPass && mType != SoundTools::BandPass && mType != SoundTools::BandStop &&
        mType != SoundTools::HighPass) {
        QMessageLogger().critical() << "Unsupported FIR mode :" << int(mType);
        return SoundTools::Error;
    }
    std::vector<double> h;
    if (design(ctx.sampleRate, h) != SoundTools::Ok) return SoundTools::Error;
    mReversed.assign(h.rbegin(), h.rend());
    return SoundAlgo::initProcess(ctx, prev, next);
}

void SoundAlgoEqFIR::endProcess(int status, unsigned frameNbProcessed) {
    mReversed.clear();
    mReversed.shrink_to_fit();
    mLeft = std::vector<double>();
    mRight = std::vector<double>();
    SoundAlgo::endProcess(status, frameNbProcessed);
}

SoundTools::Status SoundAlgoEqFIR::process() {
    const size_t taps = mReversed.size();
    if (taps == 0) return SoundTools::Error;
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const std::shared_ptr<SoundBuffer>& in = mInBuffers[0];
    const int inOrigin = getInOrigin();
    // Output frame outOrigin + j sums input frames inOrigin + j .. inOrigin + j + taps - 1.
    const int64_t available = int64_t(in->getOrigin()) + in->getFrameNB() - inOrigin;
    const size_t frames = size_t(n) + taps - 1;
    if (available < int64_t(frames)) return SoundTools::Error;  // the frame always brings the history
    const double* x = in->getFrame(inOrigin);
    double* y = mOutBuffers[0]->getFrame(getOutOrigin());
    if (!x || !y) return SoundTools::Error;

    if (mLeft.size() < frames) {
        mLeft.resize(frames);
        mRight.resize(frames);
    }
    for (size_t i = 0; i < frames; ++i) {
        mLeft[i] = x[2 * i];
        mRight[i] = x[2 * i + 1];
    }
    const double gain = mGain.load(std::memory_order_relaxed);
    const double* rev = mReversed.data();
    const double* left = mLeft.data();
    const double* right = mRight.data();
    const long chunks = long((size_t(n) + kChunk - 1) / kChunk);
    // Small blocks of short filters are cheaper than waking the thread team
    // (unused in a build without OpenMP).
    [[maybe_unused]] const bool parallel = double(n) * double(taps) > 65536.0 && chunks > 1;
#pragma omp parallel for schedule(static) if (parallel)
    for (long c = 0; c < chunks; ++c) {
        SoundTools::FlushDenormals flush;  // the worker's own floating-point mode
        const size_t begin = size_t(c) * kChunk;
        const size_t count = std::min(kChunk, size_t(n) - begin);
        double accL[kChunk] = {};
        double accR[kChunk] = {};
        firChunk(rev, taps, left + begin, accL, count);
        firChunk(rev, taps, right + begin, accR, count);
        double* out = y + 2 * begin;
        for (size_t j = 0; j < count; ++j) {
            out[2 * j] = gain * accL[j];
            out[2 * j + 1] = gain * accR[j];
        }
    }
    return SoundTools::Ok;
}
