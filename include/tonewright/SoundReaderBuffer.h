#pragma once
// The in-memory pipe between two processing threads.
//
// SoundReaderBuffer is a ring of a fixed number of buffer slots. A producer pushes
// the output buffers of one chain into it (pushBuffer, usually through
// SoundWriterBuffer, the producer's face of the pipe); a consumer pulls frames out
// of it as an ordinary SoundReader and feeds them to the next chain. Both ends
// block: the producer while every slot is full, the consumer while nothing is
// queued. The pipe's state (getStatus) tells both ends whether to go on:
//
//   Error        closed (after construction, close(), and every reset)
//   Waiting      open, no data yet or waiting for more (open, wait, restart)
//   Ok           buffers are flowing (each successful pushBuffer)
//   Finished     the producer is done; the consumer drains the queue, then ends
//   Interrupted  stopped; both ends return at once (interrupt, close)
//
// The consumer ends (a short or empty read) on Error, on Interrupted, and on
// Finished once the queue is empty, and then emits readFinished() on its own
// thread, once per read call that meets the end.
//
// Ownership: the pipe owns its slot buffers; pushed buffers are copied into them
// and stay the caller's. SoundWriterBuffer does not own the pipe it writes to.
//
// Threading: one producer thread (pushBuffer), one consumer thread (read through
// stereoRead or stereoReadLocked, getOffset) and any number of control threads
// (open, close, finished, interrupt, wait, restart, getStatus, getFrameNB) may use
// a pipe at once. setName and setOutOverlap belong to the set-up, before the ends
// run. Destroy the pipe only once both ends have left it.
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundTools.h"
#include "tonewright/SoundWriter.h"
#include "tonewright/Sync.h"

class TONEWRIGHT_API SoundReaderBuffer : public QObject, public SoundReader {
    Q_OBJECT
public:
    // sampleRate: the rate of every buffer carried; slotCount: buffers that can be
    // queued (at least 1). The pipe starts closed.
    SoundReaderBuffer(unsigned sampleRate, unsigned slotCount);
    ~SoundReaderBuffer() override;
    SoundReaderBuffer(const SoundReaderBuffer&) = delete;
    SoundReaderBuffer& operator=(const SoundReaderBuffer&) = delete;

    // Opens a closed pipe (the name is ignored): fresh slots, state Waiting. Error,
    // and no change, when the pipe is not closed.
    SoundTools::Status open(QString name) override;
    // Interrupts both ends, then closes.
    void close() override;
    // Frames queued and not yet started by the consumer.
    unsigned getFrameNB() const override;
    unsigned getSampleRate() const override { return mSampleRate; }
    void rewind() override {}
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Double; }

    // stereoRead, with the consumer's position updated under the pipe's consumer
    // lock: use it when the pipe may be reopened by another thread while this
    // consumer runs (the streaming device's output does).
    unsigned stereoReadLocked(std::shared_ptr<SoundBuffer> buffer, unsigned margin);
    // Frames delivered to the consumer since the pipe was opened; any thread.
    int64_t getDeliveredFrames() const { return mDelivered.load(std::memory_order_acquire); }

    // Producer side. Copies the buffer's frames from its start point into the next
    // free slot, blocking while all are full. Returns Ok, or the pipe's state when
    // it is neither Ok nor Waiting (the buffer is then dropped and the producer
    // must stop). A buffer without valid frames is accepted and dropped; a buffer
    // that is not two-channel time-domain sound is refused with Error.
    SoundTools::Status pushBuffer(std::shared_ptr<SoundBuffer> buffer);

    // The producer has no more buffers: the consumer drains the queue, then ends.
    // Ignored by a closed or interrupted pipe.
    void finished();
    // Stops both ends: a blocked producer or consumer wakes and returns. Ignored
    // by a closed pipe.
    void interrupt();
    // Back to waiting for the producer. Ignored by a closed pipe.
    void wait();
    // Makes a used pipe ready for the next producer: a closed pipe is opened, a
    // finished or flowing one goes back to Waiting with its queue kept (the
    // consumer plays on into the next source). An interrupted pipe stays
    // interrupted until it is closed.
    void restart();

    // Frames at the end of every buffer pushed from now on that the consumer does
    // not deliver (they come again at the front of the next buffer).
    void setOutOverlap(unsigned overlap) { mOutOverlap.store(overlap, std::memory_order_relaxed); }
    void setName(QString name) { mName = std::move(name); }
    QString getName() const { return mName; }
    SoundTools::Status getStatus() const { return mStatus.load(std::memory_order_acquire); }
    unsigned getSlotCount() const { return mSlotCount; }

signals:
    // The consumer met the end of the data or a stop. Emitted on the consumer's
    // thread, outside the pipe's locks.
    void readFinished();

protected:
    unsigned read(unsigned count, double* dest) override;

    // Each under mMutex.
    void readSignalling(SoundTools::Status status);
    void resetReadSignalling();
    void writeSignalling();

private:
    enum class Take { Slot, End, Stopped };
    Take takeQueuedSlot();
    void releaseCurrentSlot();
    void takeBackWriteSignals();
    // The producer's three steps. admit: the state and the buffer's checks; true
    // when the buffer is to be queued (the producer is then marked busy),
    // otherwise `result` is what pushBuffer returns. waitForSlot: blocks for a
    // free slot; false with the state that ended the wait. publish: queues the
    // filled slot, unless the pipe stopped meanwhile.
    bool admit(const std::shared_ptr<SoundBuffer>& buffer, int64_t& valid, SoundTools::Status& result);
    bool waitForSlot(unsigned& index, std::shared_ptr<SoundBuffer>& slot, SoundTools::Status& result);
    SoundTools::Status publish(unsigned index, int64_t valid);
    void resetVars();
    static bool isFlowing(SoundTools::Status s) { return s == SoundTools::Ok || s == SoundTools::Waiting; }

    // Permits for free slots plus wake-ups given to the producer (mWriteSignals).
    SoundTools::Semaphore mFree;
    // Permits for queued buffers plus wake-ups given to the consumer (mReadSignals).
    SoundTools::Semaphore mUsed;
    std::vector<std::shared_ptr<SoundBuffer>> mSlots;
    // Hold-back of the buffer in each slot, fixed when it was pushed.
    std::vector<unsigned> mSlotOverlap;
    const unsigned mSlotCount;
    unsigned mReadIndex = 0;   // consumer, under mLock
    unsigned mWriteIndex = 0;  // producer, under mMutex
    int32_t mMinQueued = 1;
    std::atomic<unsigned> mOutOverlap{0};
    bool mHolding = false;  // consumer, under mLock
    std::atomic<SoundTools::Status> mStatus{SoundTools::Error};
    const unsigned mSampleRate;
    // Held by the consumer for a whole read and by the reset; recursive so that
    // stereoReadLocked can wrap stereoRead, which calls read.
    SoundTools::ReadWriteLock mLock{SoundTools::ReadWriteLock::Recursive};
    int32_t mReadPos = 0;  // consumer, under mLock
    // Wake-ups given and not yet taken back; under mMutex.
    int32_t mReadSignals = 0;
    int32_t mWriteSignals = 0;
    // Guards the state changes, the wake-up counts and the slot accounting below.
    mutable SoundTools::Mutex mMutex{SoundTools::Mutex::Recursive};
    QString mName;

    // Slot accounting, under mMutex. The semaphores count permits; these say what
    // the permits stand for, so that a wake-up is never taken for a buffer (and a
    // stale slot replayed) nor a free slot for a wake-up.
    unsigned mQueued = 0;        // buffers queued, not yet started by the consumer
    unsigned mFreeSlots = 0;     // slots neither queued, nor being read, nor being filled
    int64_t mQueuedFrames = 0;   // valid frames in the queued buffers
    std::vector<int64_t> mSlotFrames;  // valid frames of the buffer in each slot
    bool mProducerBusy = false;  // a pushBuffer is between its first check and its end
    bool mEndPending = false;    // consumer, under mLock: emit readFinished once unlocked
    int mConsumerDepth = 0;      // consumer, under mLock: nesting of stereoReadLocked and read
    std::atomic<int64_t> mDelivered{0};
};

// The producer's face of a pipe: a SoundWriter whose writeBuffer pushes into it.
// Threading: the producer's thread; open and close as the pipe's.
class TONEWRIGHT_API SoundWriterBuffer : public SoundWriter {
public:
    // The pipe is not owned and must outlive the writer.
    explicit SoundWriterBuffer(SoundReaderBuffer* pipe);

    SoundTools::Status open(QString name) override;
    void close() override;
    // The first call after construction or close fixes the pipe's out overlap to
    // holdBack. Returns the pipe's pushBuffer result. No range, rate or channel
    // check: the pipe carries what the chain produces.
    SoundTools::Status writeBuffer(std::shared_ptr<SoundBuffer> buffer, unsigned holdBack) override;

protected:
    unsigned write(unsigned, double*) override { return 0; }

private:
    SoundReaderBuffer* mPipe;
    bool mOverlapSet = false;
};
