#pragma once
// SoundBuffer: a window of frames on the absolute timeline of a stream.
//
// Frame f of the stream is array frame f - origin. A frame holds
// channels x frame size x element size doubles, channel by channel; for
// time-domain sound that is one StereoFrame<double>. Spectrum buffers use a frame
// size of N/2+1 bins and an element size of 2 (re, im).
//
// Ownership: buffers are shared through std::shared_ptr between neighbouring
// algorithms (an algorithm's output buffer is the very object its successor
// reads). The buffer owns its sample array.
//
// Threading: no lock. Within one processing loop the producer and consumer of a
// buffer run one after the other on one thread; the in-memory pipe hands whole
// buffers between threads.
#include <cstdint>
#include <memory>

#include "tonewright/Export.h"
#include "tonewright/SoundTools.h"

class TONEWRIGHT_API SoundBuffer {
public:
    explicit SoundBuffer(unsigned sampleRate);
    ~SoundBuffer();
    SoundBuffer& operator=(const SoundBuffer& other);

    static std::shared_ptr<SoundBuffer> createNew(unsigned sampleRate);

    // Default processing block, in frames (1024 unless changed).
    static unsigned sSize;
    static unsigned getDefaultSize() { return sSize; }
    // Ignores 0.
    static void setDefaultSize(unsigned size);

    unsigned getChannelNum() const { return mChannels; }
    unsigned getElementSize() const { return mElementSize; }
    unsigned getFrameSize() const { return mFrameSize; }
    unsigned getFrameStride() const { return mChannels * mFrameSize * mElementSize; }
    unsigned getFrameNB() const { return mFrameNb; }
    // Frames from stream position `from` to the end, inclusive.
    int getFrameNB(int from) const { return mOrigin + int(mFrameNb) - from; }
    unsigned getFrameNBAllocated() const { return mCapacity; }
    int getOrigin() const { return mOrigin; }
    int getEnd() const { return mOrigin + int(mFrameNb) - 1; }
    unsigned getSampleRate() const { return mSampleRate; }
    // The larger of the start offset and the origin.
    int getStartPoint() const { return mStartOffset > mOrigin ? mStartOffset : mOrigin; }
    int getStartOffset() const { return mStartOffset; }
    bool isStereo() const { return getFrameStride() == 2; }
    bool hasValidFrames() const;

    void setOrigin(int origin) { mOrigin = origin; }
    void setStartOffset(int offset) { mStartOffset = offset; }
    void setSampleRate(unsigned rate) { mSampleRate = rate; }

    // Pointer to the frame at stream position `position`; null (with a diagnostic
    // line) below the origin. No check above the end.
    double* getFrame(int position);
    SoundTools::StereoFrame<double>* getStereoFrame(int position) {
        return reinterpret_cast<SoundTools::StereoFrame<double>*>(getFrame(position));
    }
    // Pointer to array frame `index`; null (with a diagnostic line) when negative.
    double* getRelFrame(int index);
    SoundTools::StereoFrame<double>* getRelStereoFrame(int index) {
        return reinterpret_cast<SoundTools::StereoFrame<double>*>(getRelFrame(index));
    }
    double* data() { return mData.get(); }
    const double* data() const { return mData.get(); }

    // Shapes the buffer (frame count := 0). Keeps the old array and its contents
    // when it is large enough; otherwise allocates a zeroed one of exactly the
    // new size. Throws std::bad_alloc when the size does not fit in 32 bits.
    void alloc(unsigned frames, int channels, unsigned frameSize = 1, unsigned elementSize = 1);
    // Frame count := n. Beyond the capacity the array grows, keeping the valid
    // frames and zeroing the new ones.
    void setFrameNB(unsigned n);
    // origin -= d, frame count := 0: the next keepMargin places d zero frames first.
    void setInitialDelay(unsigned d);
    // Appends n zero frames after the valid ones, growing the array if needed.
    void appendMargin(unsigned n);
    // Keeps the last n frames at the front (or the initial delay on a first fill)
    // and returns how many frames now lead the array. See the class notes.
    unsigned keepMargin(unsigned n);
    // Drops the first n frames; the origin advances accordingly.
    void rotate(unsigned n);
    // Zeroes the whole array.
    void reset();

    void addBuffer(double a);
    void mulBuffer(double a);
    void normBuffer(double a, double b);

    void printDescription() const {}

protected:
    SoundBuffer(const SoundBuffer& other);

private:
    void allocArray(uint64_t values);

    std::unique_ptr<double[]> mData;
    unsigned mFrameNb = 0;
    unsigned mCapacity = 0;
    int32_t mOrigin = 0;
    unsigned mInitialDelay = 0;
    int32_t mStartOffset = 0;
    unsigned mSampleRate = 0;
    unsigned mChannels = 0;
    unsigned mFrameSize = 0;
    unsigned mElementSize = 0;
};
