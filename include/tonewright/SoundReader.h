#pragma once
// SoundReader: the abstract source of sound. Concrete readers decode files
// (libsndfile formats, MP3) or drain an in-memory pipe; the processing loop pulls
// frames with stereoRead, which keeps the overlap between successive buffers and
// pads the end of the stream.
//
// Ownership: getFromFilename returns a new reader owned by the caller (wrap it in
// a std::unique_ptr, or a std::shared_ptr when a device shares it).
//
// Threading: a reader is driven by one thread at a time (the in-memory pipe is
// the exception and says so).
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "tonewright/Export.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundIDTag.h"
#include "tonewright/SoundTools.h"

class SoundBuffer;

class TONEWRIGHT_API SoundReader : public SoundDebuggableClass {
public:
    SoundReader() = default;
    SoundReader(const SoundReader&) = default;
    SoundReader& operator=(const SoundReader&) = default;
    virtual ~SoundReader();

    virtual SoundTools::Status open(QString name) = 0;
    virtual void close() = 0;
    virtual unsigned getFrameNB() const = 0;
    // The stream's length in frames, not bounded to 32 bits: an RF64 file of
    // more than 4294967295 frames reports them all here (getFrameNB() stops
    // there). The same as getFrameNB() for the readers of shorter streams.
    virtual int64_t getFrameCount() const { return getFrameNB(); }
    virtual unsigned getSampleRate() const = 0;
    // Back to the start point; clears the end flag.
    virtual void rewind() = 0;
    virtual SoundTools::SoundFormat getInputFormat() const = 0;
    // Fills the fields the source carries; false (tag untouched) by default.
    virtual bool getTags(SoundIDTag& tag);
    // Channels of the source itself, before it is widened to or mixed down to
    // the two the reader delivers (2 unless the source says otherwise; 0 when
    // a file reader is closed). Writers of results use it to keep a mono
    // recording mono.
    virtual unsigned getFileChannelNum() const { return 2; }

    // Keeps `margin` frames at the front of the buffer (or its initial delay on
    // the first fill), appends the next frames, and returns the frames read from
    // the source. At the end of the stream it still appends `margin` zero frames
    // so that overlapping algorithms can flush.
    unsigned stereoRead(std::shared_ptr<SoundBuffer> buffer, unsigned margin);

    // stereoRead without a margin, into interleaved stereo 32-bit floats: up
    // to `count` frames at `dest` (two floats each), the frames read returned.
    // The values are those stereoRead gives, rounded to float; a reader that
    // decodes to floats or integers gives them without a pass through doubles
    // (the Python package reads files into float arrays this way).
    unsigned stereoReadFloats(unsigned count, float* dest);

    bool atEnd() const { return mAtEnd; }
    // True once a read has failed, or has found the source shorter than it
    // announced (a file truncated while being read): the frames delivered are
    // not the whole stream, and getError() says why. The block loop then ends
    // with Error. Cleared by a successful open().
    bool hasFailed() const { return mFailed; }
    int getOffset() const { return mOffset; }
    // Seconds; takes effect at the next rewind().
    void setStartPoint(double seconds) { mStartPoint = seconds; }
    double getStartPoint() const { return mStartPoint; }
    int getStartOffset();
    // Seconds: getFrameCount() / getSampleRate().
    double getLength();
    // hh:mm:ss.sss
    std::string getLengthString();

    static SoundReader* getFromFilename(QString name);
    static bool isRecognized(QString name);

    // The sample rates the file readers accept, in Hz: open() refuses a file
    // declaring a rate outside them (a damaged header would otherwise size the
    // rate-dependent buffers and windows of a run absurdly).
    static constexpr long long kMinSampleRate = 1000;
    static constexpr long long kMaxSampleRate = 768000;
    // Why a declared rate cannot be used, in words; empty when it can.
    static QString sampleRateProblem(long long rate);

protected:
    // Writes up to `count` interleaved stereo frames (two doubles each) at `dest`
    // whatever the source's channel count; returns the frames written, fewer only
    // at the end of the stream or on failure, 0 when not open.
    virtual unsigned read(unsigned count, double* dest) = 0;
    // read() in floats; by default read() in doubles, then rounded.
    virtual unsigned readFloats(unsigned count, float* dest);
    void resetAtEnd() { mAtEnd = false; }
    void markFailed() { mFailed = true; }
    void clearFailed() { mFailed = false; }

    int32_t mOffset = 0;
    double mStartPoint = 0.0;
    bool mAtEnd = false;
    bool mFailed = false;
};
