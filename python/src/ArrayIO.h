#pragma once
// The in-memory ends of a run over NumPy arrays: ArrayReader hands the
// library the frames of the arrays a caller gives, block by block, where they
// lie; CollectWriter keeps the frames the run writes.
//
// A run fed in several calls (a Chain with reset=False) must cut the stream
// into the same blocks as a run over the whole array, so that the result does
// not depend on how the caller cut it: the reader holds back what is left of
// each call (less than one block) and delivers it in front of the next call's
// frames, and the run only takes a block once a whole one is there, until the
// caller says the stream has ended.
//
// Threading: both are driven by the thread running the block loop, with the
// GIL released; the arrays they read are kept alive by their owner.
#include <cstdint>
#include <vector>

#include "Common.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriter.h"

namespace twpy {

class ArrayReader : public SoundReader {
public:
    // length: the frames of the whole stream when known (a run over one
    // array), 0 when the caller feeds it piece by piece.
    ArrayReader(unsigned sampleRate, int64_t length) : mRate(sampleRate), mLength(length) {}

    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return unsigned(mLength); }
    unsigned getSampleRate() const override { return mRate; }
    void rewind() override {}
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Double; }

    // The next piece of the stream (the view stays valid until the next feed).
    void feed(const ArrayView* view);
    // Frames given and not yet delivered.
    int64_t available() const { return int64_t(mCarry.size() / 2) + (mView ? mView->frames - mViewPos : 0); }
    // Keeps what is left of the current piece for the next one (a copy of less
    // than a block), so that the caller's array may go.
    void holdRest();

protected:
    unsigned read(unsigned count, double* dest) override;

private:
    unsigned mRate;
    int64_t mLength;
    const ArrayView* mView = nullptr;
    int64_t mViewPos = 0;
    std::vector<double> mCarry;  // interleaved stereo, delivered first
    size_t mCarryPos = 0;         // values of mCarry already delivered
};

class CollectWriter : public SoundWriter {
public:
    explicit CollectWriter(unsigned sampleRate) : SoundWriter(sampleRate) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    // Frames go straight into this (rows, frames) array of float32 or float64
    // samples until it is full (a whole pass, whose length is known), the
    // rest into frames(). The array is the caller's and must outlive the run.
    void target(void* data, bool isDouble, unsigned rows, int64_t frames);
    int64_t targetFilled() const { return mFilled; }
    // Interleaved stereo frames written past the target.
    std::vector<double>& frames() { return mFrames; }

protected:
    unsigned write(unsigned count, double* src) override;

private:
    void* mData = nullptr;
    bool mDouble = false;
    unsigned mRows = 2;
    int64_t mCapacity = 0, mFilled = 0;
    std::vector<double> mFrames;
};

// Interleaved stereo frames into `frames` frames of a (rows, stride) array
// from column `at`; one row is the mean of the two channels.
void storeFrames(const double* stereo, int64_t frames, void* data, bool isDouble, unsigned rows, int64_t stride,
                 int64_t at);

// The frames of the library in interleaved stereo as a new (rows, frames)
// array of float32 or float64. Allocates with the GIL held, converts with it
// released.
py::array toArray(const std::vector<double>& stereo, unsigned rows, bool isDouble);

}  // namespace twpy
