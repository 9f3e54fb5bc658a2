#pragma once
// SoundWriter: the abstract sink of sound. writeBuffer clips a processed buffer to
// the writer's frame range, holds back the frames that are not final yet, checks
// rate and channel count, and calls the concrete write.
//
// Ownership: getFromFilename returns a new writer owned by the caller.
//
// Threading: one thread at a time (the pipe writer is the exception).
#include <QString>
#include <climits>
#include <cstdint>
#include <memory>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundIDTag.h"
#include "tonewright/SoundTools.h"

class SoundBuffer;

class TONEWRIGHT_API SoundWriter : public SoundDebuggableClass {
public:
    explicit SoundWriter(unsigned sampleRate) : mSampleRate(sampleRate) {}
    SoundWriter(const SoundWriter&) = default;
    SoundWriter& operator=(const SoundWriter&) = default;
    virtual ~SoundWriter();

    virtual SoundTools::Status open(QString name) = 0;
    // Finishes the file. A failure while finishing is reported through setError
    // and makes hasFailed() true.
    virtual void close() = 0;
    virtual void setTags(const SoundIDTag& tag);
    // Writes the buffer's final frames: from its start point (or where the last
    // call stopped) to its end minus `holdBack`, inside the range.
    virtual SoundTools::Status writeBuffer(std::shared_ptr<SoundBuffer> buffer, unsigned holdBack);
    virtual unsigned getChannelNum() const { return 2; }

    // Stream positions in frames; the end is exclusive. Set before the first writeBuffer.
    void setRange(int start, int end) {
        mRangeStart = start;
        mRangeEnd = end;
    }
    int getCurrentOffset() const { return mCurrentOffset; }
    unsigned getSampleRate() const { return mSampleRate; }
    // TPDF dither (+-1 LSB peak) added before rounding to integer samples of 16
    // bits or fewer: 16-bit WAV and FLAC, 8-bit WAV. Off by default, so that
    // samples already on the output's grid are written exactly as they are.
    // Outputs of more bits, float outputs and lossy encoders (which take the
    // floats) ignore it. The dither sequence starts afresh at each open(), so
    // the same stream gives the same file, however it is cut into blocks.
    void setDither(bool on) { mDither = on; }
    bool isDitherOn() const { return mDither; }
    // True once a write or the finishing of the file has failed: the file does
    // not hold every frame the writer was given.
    bool hasFailed() const { return mFailed; }

    // fileName's extension picks the class: "mp3", "wav", "flac", "ogg", anything
    // else gives headerless 32-bit float. Null for an empty name or extension.
    static SoundWriter* getFromFilename(QString fileName, unsigned sampleRate, unsigned bitRate,
                                        SoundTools::SoundFormat format);
    // The same with the file's channel count: 1 writes the mean of left and
    // right of the stereo frames it is given (a widened mono source comes back
    // as it was), 2 writes them as they are.
    static SoundWriter* getFromFilename(QString fileName, unsigned sampleRate, unsigned bitRate,
                                        SoundTools::SoundFormat format, unsigned channels);

protected:
    // Writes `count` interleaved frames of getChannelNum() doubles; returns the
    // frames written.
    virtual unsigned write(unsigned count, double* src) = 0;
    void markFailed() { mFailed = true; }
    // The multi-file writer drives ordinary writers as its segment files: it
    // calls their write directly and keeps their offset, skipped frames included.
    friend class SoundWriterMultiFile;

    int32_t mCurrentOffset = 0;
    int32_t mRangeStart = 0;
    int32_t mRangeEnd = INT_MAX;
    unsigned mSampleRate;
    bool mFailed = false;
    bool mDither = false;

private:
    std::vector<double> mMono;  // stereo frames mixed down for a one-channel file
};
