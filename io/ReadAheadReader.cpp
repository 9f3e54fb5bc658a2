#include "io/ReadAheadReader.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "core/ThreadError.h"

namespace SoundTools {
namespace detail {

ReadAheadReader::ReadAheadReader(std::unique_ptr<SoundReader> source) : mSource(std::move(source)) {
    if (mSource) mOffset = mSource->getOffset();
}

ReadAheadReader::~ReadAheadReader() { stop(); }

SoundTools::Status ReadAheadReader::open(QString) { return SoundTools::Error; }

void ReadAheadReader::close() {
    stop();
    if (mSource) mSource->close();
}

SoundTools::SoundFormat ReadAheadReader::getInputFormat() const {
    return mSource ? mSource->getInputFormat() : SoundTools::SoundFormat{};
}

bool ReadAheadReader::getTags(SoundIDTag& tag) {
    stop();  // the source is this thread's while it answers
    return mSource && mSource->getTags(tag);
}

void ReadAheadReader::rewind() {
    stop();
    mReady.clear();
    mCurrent = Chunk();
    mUsed = 0;
    mSourceDone = false;
    if (!mSource) return;
    mSource->rewind();
    mOffset = mSource->getOffset();
    resetAtEnd();
}

void ReadAheadReader::start() {
    mStopping = false;
    try {
        mThread = std::thread([this] { decode(true); });
    } catch (const std::system_error&) {
        decode(false);  // no thread to be had: one chunk at a time on this one
    }
}

void ReadAheadReader::stop() {
    if (!mThread.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(mLock);
        mStopping = true;
    }
    mChanged.notify_all();
    mThread.join();
    mStopping = false;
}

// On the decoding thread (own), or without one on the caller's: then one chunk.
void ReadAheadReader::decode(bool own) {
    for (;;) {
        std::shared_ptr<SoundBuffer> buffer;
        {
            std::unique_lock<std::mutex> guard(mLock);
            mChanged.wait(guard, [this] { return mStopping || mReady.size() < kDepth; });
            if (mStopping) return;
            if (!mSpare.empty()) {
                buffer = std::move(mSpare.back());
                mSpare.pop_back();
            }
        }
        if (!buffer) {
            buffer = std::make_shared<SoundBuffer>(mSource->getSampleRate());
            buffer->alloc(kChunk, 2);
        }
        clearThreadError();
        Chunk chunk;
        const int64_t position = mSource->getOffset();
        chunk.count = mSource->stereoRead(buffer, 0);
        if (mObserver && chunk.count > 0) mObserver(buffer->getRelStereoFrame(0), position, chunk.count);
        chunk.frames = std::move(buffer);
        chunk.failed = mSource->hasFailed();
        chunk.last = chunk.failed || chunk.count < kChunk || mSource->atEnd();
        if (chunk.failed) chunk.error = threadError();
        const bool last = chunk.last;
        {
            std::lock_guard<std::mutex> guard(mLock);
            mReady.push_back(std::move(chunk));
            if (last) mSourceDone = true;
        }
        mChanged.notify_all();
        if (last || !own) return;
    }
}

unsigned ReadAheadReader::read(unsigned count, double* dest) {
    if (!mSource) return 0;
    unsigned done = 0;
    while (done < count) {
        if (mUsed < mCurrent.count) {
            const unsigned n = std::min(count - done, mCurrent.count - mUsed);
            std::memcpy(dest + 2 * size_t(done), mCurrent.frames->getRelFrame(int(mUsed)), 2 * sizeof(double) * n);
            done += n;
            mUsed += n;
            continue;
        }
        if (mCurrent.last) break;
        // The next chunk; the decoding (re)started when none is coming.
        {
            std::unique_lock<std::mutex> guard(mLock);
            if (mCurrent.frames) mSpare.push_back(std::move(mCurrent.frames));
        }
        // (Not running: nothing else touches the queue.)
        if (!mThread.joinable() && !mSourceDone && mReady.empty()) start();
        {
            std::unique_lock<std::mutex> guard(mLock);
            mChanged.wait(guard, [this] { return !mReady.empty(); });
            mCurrent = std::move(mReady.front());
            mReady.pop_front();
        }
        mChanged.notify_all();
        mUsed = 0;
        if (mCurrent.failed) {
            markFailed();
            noteThreadError(mCurrent.error);
        }
    }
    return done;
}

}  // namespace detail
}  // namespace SoundTools
