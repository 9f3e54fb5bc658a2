#include "tonewright/SoundReaderBuffer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

using SoundTools::MutexLocker;
using SoundTools::Status;
using SoundTools::WriteLocker;

namespace {
// Frames of a buffer from its start point to its end.
int64_t validFrames(const SoundBuffer& b) {
    return int64_t(b.getFrameNB()) - (int64_t(b.getStartPoint()) - b.getOrigin());
}

// How long a waiting consumer sleeps before it looks at the state again when no
// wake-up comes (ms). Pushes and state changes wake it at once.
constexpr int kConsumerPollMs = 5;
}  // namespace

// ---------------------------------------------------------------- life cycle

SoundReaderBuffer::SoundReaderBuffer(unsigned sampleRate, unsigned slotCount)
    : mFree(int(std::max(1u, slotCount))),
      mUsed(int(std::max(1u, slotCount))),
      mSlotCount(std::max(1u, slotCount)),
      mSampleRate(sampleRate) {
    mSlots.resize(mSlotCount);
    mSlotOverlap.assign(mSlotCount, 0);
    mSlotFrames.assign(mSlotCount, 0);
    WriteLocker lock(mLock);
    MutexLocker m(mMutex);
    resetVars();
}

SoundReaderBuffer::~SoundReaderBuffer() { close(); }

// Under mLock and mMutex, with the consumer outside read and no producer inside
// pushBuffer: the semaphore counts can then be set to what the slots say.
void SoundReaderBuffer::resetVars() {
    mReadIndex = 0;
    mWriteIndex = 0;
    mOffset = 0;
    mHolding = false;
    mMinQueued = 1;
    mOutOverlap.store(0, std::memory_order_relaxed);
    mReadPos = 0;
    mReadSignals = 0;
    mWriteSignals = 0;
    const int used = mUsed.available();
    if (used > 0) mUsed.tryAcquire(used);
    const int free = mFree.available();
    if (free > int(mSlotCount))
        mFree.tryAcquire(free - int(mSlotCount));
    else if (free < int(mSlotCount))
        mFree.release(int(mSlotCount) - free);
    for (auto& slot : mSlots) slot.reset();
    std::fill(mSlotOverlap.begin(), mSlotOverlap.end(), 0u);
    std::fill(mSlotFrames.begin(), mSlotFrames.end(), int64_t(0));
    mQueued = 0;
    mFreeSlots = mSlotCount;
    mQueuedFrames = 0;
    mEndPending = false;
    mDelivered.store(0, std::memory_order_release);
    mStatus.store(SoundTools::Error, std::memory_order_release);
}

Status SoundReaderBuffer::open(QString) {
    WriteLocker lock(mLock);
    for (;;) {
        {
            MutexLocker m(mMutex);
            if (mStatus.load() != SoundTools::Error) return SoundTools::Error;
            // A producer woken by the close may still be on its way out of
            // pushBuffer; the slots are replaced only once it has left.
            if (!mProducerBusy) {
                resetVars();
                for (auto& slot : mSlots) slot = SoundBuffer::createNew(mSampleRate);
                mStatus.store(SoundTools::Waiting, std::memory_order_release);
                return SoundTools::Ok;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void SoundReaderBuffer::close() {
    MutexLocker m(mMutex);
    interrupt();
    mStatus.store(SoundTools::Error, std::memory_order_release);
}

// ---------------------------------------------------------------- signalling

void SoundReaderBuffer::readSignalling(Status status) {
    MutexLocker m(mMutex);
    mStatus.store(status, std::memory_order_release);
    ++mReadSignals;
    mUsed.release(1);
}

void SoundReaderBuffer::writeSignalling() {
    MutexLocker m(mMutex);
    ++mWriteSignals;
    mFree.release(1);
}

// Takes back the consumer's wake-ups that are still in the semaphore. One may be
// missing: the consumer took it and is about to count it itself.
void SoundReaderBuffer::resetReadSignalling() {
    MutexLocker m(mMutex);
    while (mReadSignals > 0 && mUsed.tryAcquire(1)) --mReadSignals;
}

// Producer thread only, under mMutex.
void SoundReaderBuffer::takeBackWriteSignals() {
    while (mWriteSignals > 0 && mFree.tryAcquire(1)) --mWriteSignals;
}

void SoundReaderBuffer::finished() {
    MutexLocker m(mMutex);
    const Status s = mStatus.load();
    if (s == SoundTools::Ok || s == SoundTools::Finished || s == SoundTools::Waiting) readSignalling(SoundTools::Finished);
}

void SoundReaderBuffer::interrupt() {
    MutexLocker m(mMutex);
    if (mStatus.load() == SoundTools::Error) return;
    readSignalling(SoundTools::Interrupted);
    writeSignalling();
}

void SoundReaderBuffer::wait() {
    MutexLocker m(mMutex);
    if (mStatus.load() != SoundTools::Error) mStatus.store(SoundTools::Waiting, std::memory_order_release);
}

void SoundReaderBuffer::restart() {
    {
        MutexLocker m(mMutex);
        const Status s = mStatus.load();
        if (s == SoundTools::Interrupted) return;
        if (s != SoundTools::Error) {
            resetReadSignalling();
            mStatus.store(SoundTools::Waiting, std::memory_order_release);
            return;
        }
    }
    // Opening takes the consumer lock, which is always taken before mMutex: it
    // must not be called with mMutex held. open() checks again that the pipe is
    // still closed.
    open(QString());
}

unsigned SoundReaderBuffer::getFrameNB() const {
    MutexLocker m(mMutex);
    return mQueuedFrames > 0 ? unsigned(std::min<int64_t>(mQueuedFrames, UINT32_MAX)) : 0u;
}

// ---------------------------------------------------------------- producer

Status SoundReaderBuffer::pushBuffer(std::shared_ptr<SoundBuffer> buffer) {
    int64_t valid = 0;
    Status result = SoundTools::Ok;
    if (!admit(buffer, valid, result)) return result;
    unsigned index = 0;
    std::shared_ptr<SoundBuffer> slot;
    if (!waitForSlot(index, slot, result)) return result;
    // The slot is the producer's alone until it is published.
    *slot = *buffer;
    return publish(index, valid);
}

bool SoundReaderBuffer::admit(const std::shared_ptr<SoundBuffer>& buffer, int64_t& valid, Status& result) {
    MutexLocker m(mMutex);
    const Status s = mStatus.load();
    if (!isFlowing(s)) {
        takeBackWriteSignals();
        result = s;
        return false;
    }
    if (!buffer) {
        setError("null buffer", "SoundReaderBuffer::pushBuffer");
        result = SoundTools::Error;
        return false;
    }
    valid = validFrames(*buffer);
    if (valid <= 0) {
        result = SoundTools::Ok;
        return false;
    }
    if (!buffer->isStereo()) {
        setError(QString("%1 : only two-channel sound can be piped").arg(mName), "SoundReaderBuffer::pushBuffer");
        result = SoundTools::Error;
        return false;
    }
    // Positions are int frames on the stream timeline (2^31 - 1 frames, some
    // 13.5 hours at 44.1 kHz): frames past its end could not be delivered.
    if (int64_t(buffer->getOrigin()) + int64_t(buffer->getFrameNB()) > int64_t(INT32_MAX)) {
        setError(QString("%1 : the stream runs past the end of the timeline (2^31 - 1 frames)").arg(mName),
                 "SoundReaderBuffer::pushBuffer");
        result = SoundTools::Error;
        return false;
    }
    mProducerBusy = true;
    return true;
}

bool SoundReaderBuffer::waitForSlot(unsigned& index, std::shared_ptr<SoundBuffer>& slot, Status& result) {
    // The permit taken is a free slot when the accounting says one is free,
    // otherwise one of the wake-ups given by interrupt().
    for (;;) {
        mFree.acquire(1);
        MutexLocker m(mMutex);
        bool gotSlot = false;
        if (mFreeSlots > 0) {
            --mFreeSlots;
            gotSlot = true;
        } else {
            --mWriteSignals;
        }
        const Status s = mStatus.load();
        if (!isFlowing(s)) {
            if (gotSlot) {
                ++mFreeSlots;
                mFree.release(1);
            }
            takeBackWriteSignals();
            mProducerBusy = false;
            result = s;
            return false;
        }
        if (gotSlot) {
            index = mWriteIndex;
            slot = mSlots[index];
            return true;
        }
        // A wake-up left over from an interrupt that wait() has since undone:
        // the pipe flows again, so wait for a real slot.
    }
}

Status SoundReaderBuffer::publish(unsigned index, int64_t valid) {
    MutexLocker m(mMutex);
    mProducerBusy = false;
    const Status s = mStatus.load();
    if (!isFlowing(s)) {
        ++mFreeSlots;
        mFree.release(1);
        takeBackWriteSignals();
        return s;
    }
    mSlotOverlap[index] = mOutOverlap.load(std::memory_order_relaxed);
    mSlotFrames[index] = valid;
    mQueuedFrames += valid;
    ++mQueued;
    mWriteIndex = (index + 1) % mSlotCount;
    mUsed.release(1);
    mStatus.store(SoundTools::Ok, std::memory_order_release);
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- consumer

// Under mLock. Waits until a buffer is queued (Slot: it becomes the current
// slot), the queue is empty after finished() (End), or the pipe is stopped or
// closed (Stopped).
SoundReaderBuffer::Take SoundReaderBuffer::takeQueuedSlot() {
    for (;;) {
        bool took = false;
        {
            MutexLocker m(mMutex);
            if (int32_t(mQueued) >= mMinQueued) {
                // Permits are queued buffers plus wake-ups: one is there.
                mUsed.tryAcquire(1);
                took = true;
            } else {
                const Status s = mStatus.load();
                if (s == SoundTools::Finished && mQueued == 0) return Take::End;
                if (s == SoundTools::Error || s == SoundTools::Interrupted) return Take::Stopped;
            }
            if (took) {
                --mQueued;
                mQueuedFrames -= mSlotFrames[mReadIndex];
                break;
            }
        }
        // Open and empty: sleep until a push or a state change gives a permit.
        if (!mUsed.tryAcquire(1, kConsumerPollMs)) continue;
        MutexLocker m(mMutex);
        if (mQueued > 0) {
            --mQueued;
            mQueuedFrames -= mSlotFrames[mReadIndex];
            break;
        }
        // A wake-up, not a buffer: look at the state again. Taking it as a buffer
        // would replay whatever the next slot last held.
        --mReadSignals;
    }
    mHolding = true;
    mReadPos = mSlots[mReadIndex]->getStartPoint();
    return Take::Slot;
}

// Under mLock.
void SoundReaderBuffer::releaseCurrentSlot() {
    mHolding = false;
    mReadIndex = (mReadIndex + 1) % mSlotCount;
    MutexLocker m(mMutex);
    ++mFreeSlots;
    mFree.release(1);
}

unsigned SoundReaderBuffer::read(unsigned count, double* dest) {
    if (count == 0) return 0;
    unsigned got = 0;
    bool signal = false;
    {
        WriteLocker lock(mLock);
        ++mConsumerDepth;
        while (got < count) {
            const Status s = mStatus.load();
            if (s == SoundTools::Error || s == SoundTools::Interrupted) {
                mEndPending = true;
                resetReadSignalling();
                break;
            }
            if (mHolding) {
                SoundBuffer& current = *mSlots[mReadIndex];
                const int64_t end = int64_t(current.getOrigin()) + current.getFrameNB() - mSlotOverlap[mReadIndex];
                if (end > mReadPos) {
                    const unsigned take = unsigned(std::min<int64_t>(end - mReadPos, count - got));
                    std::memcpy(dest + 2 * size_t(got), current.getFrame(mReadPos), size_t(take) * 2 * sizeof(double));
                    mReadPos += int32_t(take);
                    got += take;
                    mDelivered.fetch_add(take, std::memory_order_acq_rel);
                    continue;
                }
                releaseCurrentSlot();
            }
            const Take t = takeQueuedSlot();
            if (t == Take::End) {
                mEndPending = true;
                break;
            }
            // Stopped while waiting: return what was copied; the next call meets
            // the stop at its first check and signals it.
            if (t == Take::Stopped) break;
        }
        --mConsumerDepth;
        if (mConsumerDepth == 0 && mEndPending) {
            mEndPending = false;
            signal = true;
        }
    }
    // Outside the lock: a receiver may reopen or close the pipe.
    if (signal) emit readFinished();
    return got;
}

unsigned SoundReaderBuffer::stereoReadLocked(std::shared_ptr<SoundBuffer> buffer, unsigned margin) {
    unsigned n = 0;
    bool signal = false;
    {
        WriteLocker lock(mLock);
        ++mConsumerDepth;
        n = stereoRead(std::move(buffer), margin);
        --mConsumerDepth;
        if (mConsumerDepth == 0 && mEndPending) {
            mEndPending = false;
            signal = true;
        }
    }
    if (signal) emit readFinished();
    return n;
}

// ---------------------------------------------------------------- writer face

SoundWriterBuffer::SoundWriterBuffer(SoundReaderBuffer* pipe)
    : SoundWriter(pipe ? pipe->getSampleRate() : 0u), mPipe(pipe) {}

Status SoundWriterBuffer::open(QString name) {
    if (!mPipe) return SoundTools::Error;
    return mPipe->open(std::move(name));
}

void SoundWriterBuffer::close() {
    if (mPipe) mPipe->close();
    mOverlapSet = false;
}

Status SoundWriterBuffer::writeBuffer(std::shared_ptr<SoundBuffer> buffer, unsigned holdBack) {
    if (!mPipe || !buffer) {
        setError("no pipe or no buffer", "SoundWriterBuffer::writeBuffer");
        return SoundTools::Error;
    }
    if (!mOverlapSet) {
        mPipe->setOutOverlap(holdBack);
        mOverlapSet = true;
    }
    mCurrentOffset += int32_t(validFrames(*buffer) - int64_t(holdBack));
    return mPipe->pushBuffer(std::move(buffer));
}
