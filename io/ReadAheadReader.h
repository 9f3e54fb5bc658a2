#pragma once
// Private to the library. ReadAheadReader: a reader that decodes the next
// frames of another reader on a thread of its own while the block loop works on
// the frames before them. For passes whose processing is one thread's work (the
// region detection alone), so that the decoding overlaps it instead of adding
// to it. The frames, the end and a failure (with its message) are the wrapped
// reader's, at the same places; only the thread that decodes them differs.
//
// Ownership: owns the wrapped reader, which must be open; nothing else may use
// it from then on. Threading: call the reader from one thread. The decoding
// thread starts at the first read, runs at most a few chunks ahead, and is
// ended (the chunks decoded kept) by getTags(), rewind(), close() and the
// destructor.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundReader.h"

namespace SoundTools {
namespace detail {

class ReadAheadReader : public SoundReader {
public:
    explicit ReadAheadReader(std::unique_ptr<SoundReader> source);
    ~ReadAheadReader() override;

    SoundTools::Status open(QString name) override;  // opened by the reader wrapped: refused
    void close() override;
    unsigned getFrameNB() const override { return mSource ? mSource->getFrameNB() : 0; }
    int64_t getFrameCount() const override { return mSource ? mSource->getFrameCount() : 0; }
    unsigned getSampleRate() const override { return mSource ? mSource->getSampleRate() : 0; }
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() const override;
    bool getTags(SoundIDTag& tag) override;
    unsigned getFileChannelNum() const override { return mSource ? mSource->getFileChannelNum() : 0; }

    // Frames decoded, with the stream position of the first, in order.
    using Observer = std::function<void(const SoundTools::StereoFrame<double>* frames, int64_t position, unsigned n)>;
    // Also gives every frame decoded to `observer`, on the decoding thread as
    // it is decoded: a measurement of the input that costs the loop nothing.
    // What it measured is complete once the last frame has been read, and safe
    // to read on the caller's thread after close() or destruction. Set before
    // the first read.
    void setObserver(Observer observer) { mObserver = std::move(observer); }

protected:
    unsigned read(unsigned count, double* dest) override;

private:
    static constexpr unsigned kChunk = 16384;  // frames
    static constexpr size_t kDepth = 4;         // chunks decoded ahead
    struct Chunk {
        std::shared_ptr<SoundBuffer> frames;
        unsigned count = 0;
        bool last = false;    // the source had no more after it
        bool failed = false;  // the source failed: error says why
        QString error;
    };
    void start();
    void stop();
    void decode(bool own);

    std::unique_ptr<SoundReader> mSource;
    Observer mObserver;
    std::thread mThread;
    std::mutex mLock;
    std::condition_variable mChanged;
    std::deque<Chunk> mReady;                           // decoded, in order
    std::vector<std::shared_ptr<SoundBuffer>> mSpare;  // used chunks' storage
    bool mStopping = false;
    bool mSourceDone = false;  // the last chunk has been decoded
    // The chunk being handed out, on the caller's thread.
    Chunk mCurrent;
    unsigned mUsed = 0;
};

}  // namespace detail
}  // namespace SoundTools
