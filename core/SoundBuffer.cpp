#include "tonewright/SoundBuffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <ostream>

#include "tonewright/SoundDebuggableClass.h"

unsigned SoundBuffer::sSize = 1024;

namespace {
// Array sizes are 32-bit value counts; anything larger is treated as an
// allocation failure rather than silently wrapping.
uint64_t checkedValues(uint64_t frames, uint64_t stride) {
    const uint64_t values = frames * stride;
    if (values > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
    return values;
}
}  // namespace

SoundBuffer::SoundBuffer(unsigned sampleRate) : mSampleRate(sampleRate) {}

SoundBuffer::~SoundBuffer() = default;

SoundBuffer::SoundBuffer(const SoundBuffer& other) : mSampleRate(other.mSampleRate) { *this = other; }

SoundBuffer& SoundBuffer::operator=(const SoundBuffer& other) {
    if (this == &other) return *this;
    alloc(other.mFrameNb, int(other.mChannels), other.mFrameSize, other.mElementSize);
    mFrameNb = other.mFrameNb;
    mOrigin = other.mOrigin;
    mSampleRate = other.mSampleRate;
    mStartOffset = other.mStartOffset;
    mInitialDelay = 0;
    const uint64_t values = uint64_t(mFrameNb) * getFrameStride();
    if (values > 0) std::memcpy(mData.get(), other.mData.get(), values * sizeof(double));
    return *this;
}

std::shared_ptr<SoundBuffer> SoundBuffer::createNew(unsigned sampleRate) {
    return std::make_shared<SoundBuffer>(sampleRate);
}

void SoundBuffer::setDefaultSize(unsigned size) {
    if (size != 0) sSize = size;
}

bool SoundBuffer::hasValidFrames() const {
    const int64_t start = std::max<int64_t>(mStartOffset, mOrigin);
    return int64_t(mFrameNb) - start + mOrigin > 0;
}

double* SoundBuffer::getFrame(int position) {
    if (position < mOrigin) {
        SoundDebuggableClass::getOStream() << "Frame " << position << " inferior to " << mOrigin << std::endl;
        return nullptr;
    }
    return mData.get() + size_t(position - mOrigin) * getFrameStride();
}

double* SoundBuffer::getRelFrame(int index) {
    if (index < 0) {
        SoundDebuggableClass::getOStream() << "Frame negative" << std::endl;
        return nullptr;
    }
    return mData.get() + size_t(index) * getFrameStride();
}

void SoundBuffer::allocArray(uint64_t values) {
    mData.reset();
    mData = std::make_unique<double[]>(size_t(values));  // value-initialised: all zeros
}

void SoundBuffer::alloc(unsigned frames, int channels, unsigned frameSize, unsigned elementSize) {
    const uint64_t oldValues = uint64_t(mCapacity) * getFrameStride();
    mFrameNb = 0;
    mCapacity = frames;
    mChannels = unsigned(channels);
    mFrameSize = frameSize;
    mElementSize = elementSize;
    const uint64_t values = checkedValues(frames, getFrameStride());
    if (!mData || oldValues < values) allocArray(values);
}

void SoundBuffer::setFrameNB(unsigned n) {
    // Growing keeps the frames already held: at the end of a stream the flushing
    // zeros can outgrow a buffer whose front still holds history that the next
    // block needs.
    if (n > mCapacity) {
        const unsigned keep = mFrameNb;
        appendMargin(n - keep);
    }
    mFrameNb = n;
}

void SoundBuffer::setInitialDelay(unsigned d) {
    mOrigin -= int(d);
    mInitialDelay = d;
    mFrameNb = 0;
}

void SoundBuffer::appendMargin(unsigned n) {
    const unsigned stride = getFrameStride();
    if (uint64_t(mFrameNb) + n > mCapacity) {
        const uint64_t frames = uint64_t(mFrameNb) + n;
        if (frames > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
        std::unique_ptr<double[]> grown = std::make_unique<double[]>(size_t(checkedValues(frames, stride)));
        if (mFrameNb > 0) std::memcpy(grown.get(), mData.get(), size_t(mFrameNb) * stride * sizeof(double));
        mData = std::move(grown);
        mCapacity = unsigned(frames);
    }
    if (n > 0) std::memset(mData.get() + size_t(mFrameNb) * stride, 0, size_t(n) * stride * sizeof(double));
    mFrameNb += n;
}

unsigned SoundBuffer::keepMargin(unsigned n) {
    const unsigned stride = getFrameStride();
    if (int(mInitialDelay) > 0 && mFrameNb == 0) {
        const unsigned zeroFrames = std::min<uint64_t>(mCapacity, uint64_t(n) + mInitialDelay);
        if (mData && zeroFrames > 0) std::memset(mData.get(), 0, size_t(zeroFrames) * stride * sizeof(double));
        return mInitialDelay;
    }
    if (n >= mFrameNb) return 0;
    mOrigin += int(mFrameNb - n);
    if (n > 0) std::memmove(mData.get(), mData.get() + size_t(mFrameNb - n) * stride, size_t(n) * stride * sizeof(double));
    return n;
}

void SoundBuffer::rotate(unsigned n) { keepMargin(mFrameNb - std::min(mFrameNb, n)); }

void SoundBuffer::reset() {
    if (mData) std::memset(mData.get(), 0, size_t(mCapacity) * getFrameStride() * sizeof(double));
}

void SoundBuffer::addBuffer(double a) {
    double* d = mData.get();
    const size_t count = size_t(mFrameNb) * mChannels;
    for (size_t i = 0; i < count; ++i) d[i] += a;
}

void SoundBuffer::mulBuffer(double a) {
    double* d = mData.get();
    const size_t count = size_t(mFrameNb) * mChannels;
    for (size_t i = 0; i < count; ++i) d[i] *= a;
}

void SoundBuffer::normBuffer(double a, double b) {
    double* d = mData.get();
    const size_t count = size_t(mFrameNb) * mChannels;
    for (size_t i = 0; i < count; ++i) d[i] = (d[i] + a) * b;
}
