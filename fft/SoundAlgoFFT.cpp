#include "tonewright/SoundAlgoFFT.h"

#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>

#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoFFTStats.h"

namespace {

// The algorithm whose output buffers `algo` hands over: for a composite, the
// last member of its first branch (recursively).
SoundAlgo* producerOf(SoundAlgo* algo) {
    while (auto* composite = dynamic_cast<SoundAlgoComposite*>(algo)) {
        if (composite->getBranchNumber() == 0 || composite->getBranch(0).empty()) break;
        algo = composite->getBranch(0).back();
    }
    return algo;
}

QString nameOf(SoundAlgo* algo) { return algo->getName(); }

}  // namespace

// ---------------------------------------------------------------- SoundAlgoFFT

SoundAlgoFFT::SoundAlgoFFT() = default;

SoundAlgoFFT::SoundAlgoFFT(unsigned int size, bool overlap) : mSize(size), mOverlap(overlap) {}

unsigned int SoundAlgoFFT::frame2FFTFrame(unsigned int n) const {
    if (mSize == 0) return 0;
    if (!mOverlap) return n / mSize;
    const uint64_t halves = 2 * uint64_t(n) / mSize;
    return halves < 1 ? 0u : unsigned(halves - 1);
}

unsigned int SoundAlgoFFT::FFTFrame2frame(unsigned int k) const { return k * getHop(); }

void SoundAlgoFFT::writeToJSon(QJsonObject& object) const {
    SoundAlgo::writeToJSon(object);
    object.insert("Size", int(mSize));
    object.insert("Overlap", mOverlap);
    object.insert("SampleRate", int(mSampleRate));
}

bool SoundAlgoFFT::readFromJSon(QJsonObject& object) {
    SoundAlgo::readFromJSon(object);
    const QJsonValue size = object.value("Size");
    if (size.isDouble() && size.toDouble() >= 0.0) mSize = unsigned(size.toInt());
    const QJsonValue overlap = object.value("Overlap");
    if (overlap.isBool()) mOverlap = overlap.toBool();
    const QJsonValue rate = object.value("SampleRate");
    if (rate.isDouble() && rate.toDouble() >= 0.0) mSampleRate = unsigned(rate.toInt());
    return mSize > 0 && mSampleRate != 0;
}

SoundTools::Status SoundAlgoFFT::initInputBuffer(const LoopContext& ctx) {
    if (!mPrevAlgo) {
        setError(getName() + " reads spectra and needs a preceding algorithm that produces them",
                 "SoundAlgoFFT::initInputBuffer");
        return SoundTools::Error;
    }
    const unsigned bins = mPrevAlgo->getOutFrameSize();
    const unsigned n = bins >= 2 ? 2 * bins - 2 : 0;
    if (mPrevAlgo->getOutElementSize() != 2 || !FFTARadix2::isPowerOfTwo(int(n))) {
        setError(getName() + " reads spectra but " + nameOf(mPrevAlgo) + " produces frames of " +
                     QString::number(bins) + " values of " + QString::number(mPrevAlgo->getOutElementSize()) +
                     " doubles",
                 "SoundAlgoFFT::initInputBuffer");
        return SoundTools::Error;
    }
    mSize = n;
    if (auto* fft = dynamic_cast<SoundAlgoFFT*>(producerOf(mPrevAlgo))) mOverlap = fft->isOverlap();
    if (SoundAlgo::initInputBuffer(ctx) != SoundTools::Ok) return SoundTools::Error;
    return onInitInputBuffer();
}

SoundTools::Status SoundAlgoFFT::onInitInputBuffer() { return SoundTools::Ok; }

unsigned SoundAlgoFFT::inputSpectra() const {
    if (mInBuffers.empty() || !mInBuffers[0]) return 0;
    return mInBuffers[0]->getFrameNB();
}

void SoundAlgoFFT::followProducer() {
    mOrigin = getInOrigin();
    if (auto* fft = dynamic_cast<SoundAlgoFFT*>(producerOf(mPrevAlgo))) {
        mWindowEnd = fft->getWindowEnd();
        mGridStart = fft->getGridStart();
    } else {
        mWindowEnd = int64_t(mOrigin) + int64_t(inputSpectra()) * getHop();
        mGridStart = mOrigin;
    }
}

// Spectra are rewritten whole at every step, so nothing is carried over from
// one step to the next: the output takes the input's spectra, window and grid.
// (A spectrum has no history for a successor to keep; spectrum algorithms
// declare no input overlap.)
void SoundAlgoFFT::updateOutput(unsigned) {
    followProducer();
    const unsigned spectra = inputSpectra();
    for (auto& buffer : mOutBuffers) {
        buffer->setFrameNB(spectra);
        buffer->setOrigin(mOrigin);
    }
}

// ---------------------------------------------------------------- direct compute

SoundAlgoFFTDirectCompute::SoundAlgoFFTDirectCompute(unsigned int size, bool overlap, bool window)
    : SoundAlgoFFT(0, overlap) {
    uint64_t p = 1;
    while (p < size) p *= 2;
    const uint64_t n = p == size ? p : p / 2;
    mSize = unsigned(n);
    if (mSize != size)
        getOStream() << "FFT Size rounded to power of 2 (" << mSize << " vs " << size << ")" << std::endl;
    // Sizes the engine cannot take leave it empty; initProcess then refuses to run.
    if (mSize >= 2 && mSize <= unsigned(FFTARadix2::kMaxSize)) {
        mEngine.setSize(int(mSize));
        if (SoundBuffer::sSize < mSize) SoundBuffer::sSize = mSize;
        if (window) {
            const unsigned L = overlap ? mSize / 2 : mSize;
            mWindow.resize(L);
            for (unsigned k = 0; k < L; ++k) mWindow[k] = 0.5 * (1.0 - std::cos(2.0 * M_PI * double(k) / double(L)));
        }
    }
}

unsigned SoundAlgoFFTDirectCompute::getInOverlap(unsigned) const { return mOverlap ? mSize / 2 : 0; }

SoundTools::Status SoundAlgoFFTDirectCompute::initInputBuffer(const LoopContext& ctx) {
    if (mSize < 2 || mEngine.getSize() != int(mSize)) {
        setError(QString("FFT size %1 cannot be used: it must be a power of two between 2 and %2")
                     .arg(mSize)
                     .arg(FFTARadix2::kMaxSize),
                 "SoundAlgoFFTDirectCompute::initInputBuffer");
        return SoundTools::Error;
    }
    if (mOverlap) return SoundAlgo::initInputBuffer(ctx);
    // Without overlap nothing is kept from one step to the next: every step
    // must bring whole blocks.
    if (mPrevAlgo) {
        if (ctx.bufferSize % mSize != 0) {
            setError(QString("block size %1 is not a multiple of the FFT size %2 (FFT without overlap)")
                         .arg(ctx.bufferSize)
                         .arg(mSize),
                     "SoundAlgoFFTDirectCompute::initInputBuffer");
            return SoundTools::Error;
        }
        return SoundAlgo::initInputBuffer(ctx);
    }
    LoopContext rounded = ctx;
    rounded.bufferSize = (ctx.bufferSize + mSize - 1) / mSize * mSize;
    return SoundAlgo::initInputBuffer(rounded);
}

SoundTools::Status SoundAlgoFFTDirectCompute::initOutputBuffer(const LoopContext& ctx) {
    if (mInBuffers.empty() || !mInBuffers[0]) return SoundTools::Error;
    const unsigned hop = getHop();
    const unsigned spectra = mInBuffers[0]->getFrameNBAllocated() / hop + 2;
    for (auto& buffer : mOutBuffers) {
        buffer = SoundBuffer::createNew(ctx.sampleRate);
        buffer->alloc(spectra, 2, getFFTSampleSize(), 2);
    }
    mScratch.assign(2 * size_t(mSize), 0.0);
    mStarted = false;
    mSpectra = 0;
    return SoundTools::Ok;
}

// Every grid block that starts within this step's window is transformed. With
// overlap its half block of data always lies in the input (the window stops a
// half block before the input's end); without, a block can only run past the
// input at the end of the stream, where it is zero-padded.
void SoundAlgoFFTDirectCompute::updateOutput(unsigned) {
    const int64_t start = getInOrigin();
    const int64_t end = start + int64_t(getInFrameNb());
    const int64_t windowEnd = std::max(start, end - int64_t(getInOverlap(mSampleRate)));
    if (!mStarted || mNext < start) {
        mNext = start;
        mStarted = true;
    }
    const int64_t hop = getHop();
    mSpectra = windowEnd > mNext ? unsigned((windowEnd - mNext + hop - 1) / hop) : 0u;
    mOrigin = int(start);
    mWindowEnd = windowEnd;
    mGridStart = mNext;
    mNext += int64_t(mSpectra) * hop;
    for (auto& buffer : mOutBuffers) {
        buffer->setFrameNB(mSpectra);
        buffer->setOrigin(mOrigin);
    }
}

SoundTools::Status SoundAlgoFFTDirectCompute::process() {
    if (mSpectra == 0) return SoundTools::Ok;
    const std::shared_ptr<SoundBuffer>& in = mInBuffers[0];
    const std::shared_ptr<SoundBuffer>& out = mOutBuffers[0];
    const int64_t inStart = in->getOrigin();
    const int64_t inEnd = int64_t(in->getOrigin()) + in->getFrameNB();
    const unsigned N = mSize;
    const unsigned hop = getHop();
    const unsigned block = mOverlap ? N / 2 : N;  // frames taken from the input per spectrum
    const bool windowed = !mWindow.empty();
    for (unsigned i = 0; i < mSpectra; ++i) {
        const int64_t pos = mGridStart + int64_t(i) * hop;
        const int64_t available = std::max<int64_t>(0, std::min<int64_t>(block, inEnd - pos));
        if (pos < inStart) return SoundTools::Error;  // the frame keeps the history: never happens
        const double* frames = in->getFrame(int(pos));
        double* spectrum = out->getRelFrame(int(i));
        if (!windowed && !mOverlap && available == block) {
            mEngine.directCompute(frames, spectrum);
            continue;
        }
        double* s = mScratch.data();
        const size_t used = size_t(available);
        if (windowed) {
            for (size_t k = 0; k < used; ++k) {
                s[2 * k] = frames[2 * k] * mWindow[k];
                s[2 * k + 1] = frames[2 * k + 1] * mWindow[k];
            }
        } else if (used > 0) {
            std::memcpy(s, frames, 2 * used * sizeof(double));
        }
        std::fill(s + 2 * used, s + 2 * size_t(N), 0.0);
        mEngine.directCompute(s, spectrum);
    }
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- inverse compute

SoundAlgoFFTInverseCompute::SoundAlgoFFTInverseCompute(bool disabled) : mMode(disabled ? Disabled : Plain) {}

SoundTools::Status SoundAlgoFFTInverseCompute::onInitInputBuffer() {
    if (mMode == Disabled) return SoundTools::Ok;
    if (mEngine.setSize(int(mSize)) != SoundTools::Ok) return SoundTools::Error;
    if (dynamic_cast<SoundFFTAutocorrel*>(producerOf(mPrevAlgo)))
        mMode = Autocorrelation;
    else
        mMode = mOverlap ? OverlapAdd : Plain;
    return SoundTools::Ok;
}

SoundTools::Status SoundAlgoFFTInverseCompute::initOutputBuffer(const LoopContext& ctx) {
    if (mInBuffers.empty() || !mInBuffers[0]) return SoundTools::Error;
    const uint64_t frames =
        (uint64_t(mInBuffers[0]->getFrameNBAllocated()) + 1) * getHop() + getOutBufferOverlap(ctx.sampleRate);
    for (auto& buffer : mOutBuffers) {
        buffer = SoundBuffer::createNew(ctx.sampleRate);
        buffer->alloc(unsigned(std::min<uint64_t>(frames, UINT32_MAX)), 2, 1, 1);
    }
    // The tail of the last block belongs to the run that produced it: a new run
    // starts from silence, or the previous stream's end would leak into its
    // first half block.
    mCarry.assign(2 * size_t(mSize), 0.0);
    mPending.clear();
    mPendingFrames = 0;
    mStarted = false;
    mFrames = 0;
    return SoundTools::Ok;
}

// The output is the step's window, after the frames a successor keeps as history.
void SoundAlgoFFTInverseCompute::updateOutput(unsigned) {
    const unsigned keep = getOutBufferOverlap(mSampleRate);
    const unsigned previous = mFrames;
    followProducer();
    mFrames = mMode == Disabled ? 0u : unsigned(std::max<int64_t>(0, mWindowEnd - mOrigin));
    for (auto& buffer : mOutBuffers) {
        if (keep > 0 && previous > 0) buffer->rotate(previous);
        if (keep + mFrames <= buffer->getFrameNBAllocated()) {
            buffer->setFrameNB(keep + mFrames);
        } else {
            // A window larger than the buffer (the flush at the end of a stream
            // can bring one): grow it without losing the kept history.
            buffer->setFrameNB(std::min(keep, buffer->getFrameNB()));
            buffer->appendMargin(keep + mFrames - buffer->getFrameNB());
        }
        buffer->setOrigin(mOrigin - int(keep));
    }
}

double* SoundAlgoFFTInverseCompute::pendingAt(int64_t pos, size_t n) {
    const int64_t end = mPendingStart + int64_t(mPendingFrames);
    if (pos < mPendingStart) pos = mPendingStart;  // before what is still to output: overwrite from there
    const size_t offset = size_t(pos - mPendingStart);
    const size_t needed = 2 * (offset + n);
    if (mPending.size() < needed) mPending.resize(needed, 0.0);
    if (pos > end)  // a gap on the grid stays silent
        std::fill(mPending.begin() + long(2 * mPendingFrames), mPending.begin() + long(2 * offset), 0.0);
    mPendingFrames = offset + n;
    return mPending.data() + 2 * offset;
}

SoundTools::Status SoundAlgoFFTInverseCompute::process() {
    if (mMode == Disabled) return SoundTools::Ok;
    const std::shared_ptr<SoundBuffer>& in = mInBuffers[0];
    const unsigned N = mSize;
    const unsigned half = N / 2;
    const unsigned hop = getHop();
    const unsigned spectra = inputSpectra();
    if (!mStarted) {
        mPendingStart = mGridStart;
        mPendingFrames = 0;
        mStarted = true;
    }
    // Finished frames of every spectrum, at their place on the grid.
    double* carry = mCarry.data();
    for (unsigned i = 0; i < spectra; ++i) {
        const double* spectrum = in->getRelFrame(int(i));
        const int64_t pos = mGridStart + int64_t(i) * hop;
        switch (mMode) {
            case Plain:
                mEngine.inverseCompute(spectrum, pendingAt(pos, N));
                break;
            case OverlapAdd: {
                double* o = pendingAt(pos, half);
                std::memcpy(o, carry + 2 * size_t(half), 2 * size_t(half) * sizeof(double));
                mEngine.inverseCompute(spectrum, carry);
                for (size_t k = 0; k < 2 * size_t(half); ++k) o[k] += carry[k];
                break;
            }
            case Autocorrelation: {
                double* o = pendingAt(pos, hop);
                mEngine.inverseCompute(spectrum, carry);
                for (unsigned k = 0; k < half; ++k) {
                    const unsigned lagged = half - k;
                    const double d = lagged >= 51 ? double(lagged) : 50.0;
                    o[2 * k] = carry[2 * k] / d;
                    o[2 * k + 1] = carry[2 * k + 1] / d;
                }
                // Without overlap a spectrum covers N frames but its block was
                // not zero-padded: lags from N/2 on would be circular. They are
                // output as silence so the timeline stays whole.
                if (hop > half) std::fill(o + 2 * size_t(half), o + 2 * size_t(hop), 0.0);
                break;
            }
            default:
                break;
        }
    }
    // The window [origin, window end) out of the pending frames.
    if (mFrames == 0) return SoundTools::Ok;
    double* out = mOutBuffers[0]->getFrame(mOrigin);
    if (!out) return SoundTools::Error;
    const int64_t start = mOrigin;
    if (mPendingStart < start) {  // frames the timeline moved past (never in a normal run)
        const size_t drop = std::min(mPendingFrames, size_t(start - mPendingStart));
        mPending.erase(mPending.begin(), mPending.begin() + long(2 * drop));
        mPendingFrames -= drop;
        mPendingStart += int64_t(drop);
        if (mPendingFrames == 0) mPendingStart = start;
    }
    // Silence where nothing was produced (never in a normal run).
    const size_t lead = size_t(std::max<int64_t>(0, mPendingStart - start));
    if (lead >= mFrames) {
        std::fill(out, out + 2 * size_t(mFrames), 0.0);
        return SoundTools::Ok;
    }
    std::fill(out, out + 2 * lead, 0.0);
    const size_t taken = std::min(mPendingFrames, size_t(mFrames) - lead);
    std::memcpy(out + 2 * lead, mPending.data(), 2 * taken * sizeof(double));
    std::fill(out + 2 * (lead + taken), out + 2 * size_t(mFrames), 0.0);
    // What lies past the window waits for the next step.
    mPending.erase(mPending.begin(), mPending.begin() + long(2 * taken));
    mPendingFrames -= taken;
    mPendingStart = start + int64_t(mFrames);
    return SoundTools::Ok;
}
