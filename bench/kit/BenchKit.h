#pragma once
// Sources and sinks for benchmarks: a reader that synthesises frames on the fly
// (so a long stream costs no memory) and a writer that counts and drops them.
#include <cstdint>

#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriter.h"

namespace bench {

// A stereo mix of two tones and a little noise, generated as it is read.
class SynthReader : public SoundReader {
public:
    SynthReader(uint64_t frames, unsigned rate) : mFrames(frames), mRate(rate) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return unsigned(mFrames); }
    unsigned getSampleRate() const override { return mRate; }
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Double; }

protected:
    unsigned read(unsigned count, double* dest) override;

private:
    uint64_t mFrames;
    unsigned mRate;
    uint64_t mPos = 0;
    uint32_t mNoise = 22222;
};

// A reader that replays one prepared block of frames over and over; past
// soundFrames it gives digital silence (the case that brings recursive filters
// down to denormal numbers).
class LoopReader : public SoundReader {
public:
    LoopReader(uint64_t frames, unsigned rate, uint64_t soundFrames = UINT64_MAX);
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return unsigned(mFrames); }
    unsigned getSampleRate() const override { return mRate; }
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Double; }

protected:
    unsigned read(unsigned count, double* dest) override;

private:
    uint64_t mFrames;
    unsigned mRate;
    uint64_t mSoundFrames;
    uint64_t mPos = 0;
    double mBlock[2 * 8192];
};

class NullWriter : public SoundWriter {
public:
    explicit NullWriter(unsigned rate) : SoundWriter(rate) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    uint64_t frames() const { return mCount; }
    double checksum() const { return mSum; }

protected:
    unsigned write(unsigned count, double* src) override {
        mCount += count;
        if (count) mSum += src[0];  // keeps the work observable
        return count;
    }

private:
    uint64_t mCount = 0;
    double mSum = 0.0;
};

}  // namespace bench
