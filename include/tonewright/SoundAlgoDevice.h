#pragma once
// SoundAlgoDevice: a read-only QIODevice from which a platform audio output pulls
// 16-bit stereo PCM.
//
// Behind it a processing thread runs an algorithm chain over a SoundReader and
// pushes the result into an in-memory pipe of 3 slots. When a post-processing
// chain is set, a second thread runs it from that pipe into a second pipe of 5
// slots. readData, on the audio output's thread, reads the last pipe and turns
// the doubles into interleaved little-endian signed 16-bit samples, left then
// right, 4 bytes per frame, at the reader's sample rate. Processing runs ahead of
// playback by at most the pipes' slots, and a host can hand over the next
// recording (setReader) without stopping the output.
//
// Ownership: the device takes a reference on the processing chain (a null chain
// is replaced by a bypass the device owns) and takes over the reference handed
// with setPostProcessingChain; both are dropped by the destructor. The reader is
// shared with the host.
//
// Threading:
// - the host's thread: construction, start, stop, setReader, setPostProcessingChain,
//   setContinuousPlaying, lockAlgo/unlockAlgo, destruction;
// - the processing and post-processing threads, detached, started by start() or
//   setReader() and ended by stop() (or by the end of the source);
// - the audio output's thread: readData (through QIODevice::read), and the
//   readChannelFinished() signal it may emit.
// start, stop and the thread launch each run under a recursive mutex shared by
// all devices of the process. On the device's threads the chains run their
// parallel branches one after the other (no OpenMP team): playback blocks are
// small, and spinning workers would take the cores the pipes' other ends need. Signals are emitted on the thread named in their
// comment; receivers that touch a user interface connect with queued
// connections. Do not destroy the device from a slot connected directly to its
// own signals, nor while the output still reads it; stop() called from such a
// slot does not wait for the very thread it runs on.
#include <QIODevice>
#include <atomic>
#include <memory>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundReaderBuffer.h"
#include "tonewright/SoundTools.h"
#include "tonewright/Sync.h"

class TONEWRIGHT_API SoundAlgoDevice : public QIODevice {
    Q_OBJECT
public:
    // reader: the source (may be null; start() then fails); algo: the processing
    // chain, null for none. Status Ok, no thread running.
    SoundAlgoDevice(std::shared_ptr<SoundReader> reader, SoundAlgo* algo);
    ~SoundAlgoDevice() override;
    SoundAlgoDevice(const SoundAlgoDevice&) = delete;
    SoundAlgoDevice& operator=(const SoundAlgoDevice&) = delete;

    // Begins a playback from the reader's start point: opens the device and
    // starts the threads. Does nothing while a thread runs. A new playback starts
    // with status Ok, whatever ended the previous one.
    void start();
    // Ends the playback: stops the threads and returns once they have ended,
    // closes the pipes and the device. Safe before start() and when repeated.
    void stop();
    // Starts the threads that are not running.
    void launchThread();

    // Replaces the source. False, and no change, when the new or the current
    // reader is null or their sample rates differ (the output format is fixed).
    // While the device is open and the processing thread has ended (after
    // loadFinished), the new source is processed behind what is still queued and
    // the output plays on without a gap; it is read from where it stands.
    bool setReader(std::shared_ptr<SoundReader> reader);
    SoundReader* getReader() { return mReader.get(); }

    // Installs a second chain run on its own thread between the two pipes; takes
    // over one reference of it from the caller and drops the chain held before.
    // Only while no thread runs: otherwise refused (the reference is dropped).
    void setPostProcessingChain(SoundAlgo* chain);
    bool hasPostProcessing() const { return mPostProcessingChain.load(std::memory_order_acquire) != nullptr; }

    // With continuous playing on, the end of a source is not reported by
    // readChannelFinished(): the output keeps pulling while the host supplies the
    // next reader.
    void setContinuousPlaying(bool on) { mContinuousPlaying.store(on, std::memory_order_relaxed); }
    bool getContinuousPlaying() const { return mContinuousPlaying.load(std::memory_order_relaxed); }

    // The reader's rate (the output format), 44100 when built without a reader.
    unsigned getSampleRate() const { return mSampleRate; }
    // Ok while playing; the first other status met sticks until the next start().
    SoundTools::Status getStatus() const { return mStatus.load(std::memory_order_acquire); }
    bool isRunning() const { return mRunning.load(std::memory_order_acquire) != 0; }
    // Marks the playback finished and ends the processing pipe's stream.
    void statusFinished();

    // For hosts that change a running chain's settings among themselves
    // (recursive, taken for writing).
    void lockAlgo() { mAlgoLock.lockForWrite(); }
    void unlockAlgo() { mAlgoLock.unlock(); }

    bool atEnd() const override;
    // Bytes of PCM queued in the pipe that readData reads (0 once the status is
    // not Ok).
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

    // The conversion readData applies: `samples` doubles to 16-bit integers
    // (little-endian) at dest, full scale 32768, truncated toward zero and held
    // within [-32768, 32767].
    static void toPcm16(const double* src, size_t samples, char* dest);

signals:
    // The processing thread has processed the whole source; time: the position
    // (s) its consumer had reached then. Emitted on the processing thread.
    void loadFinished(double time);
    // The last running thread has ended (the stream is fully queued, or the
    // threads were stopped). Emitted on that thread; the output may still be
    // playing what is queued.
    void threadsEnded();

protected:
    // Blocks until the pipe gives the frames, ends or is stopped; returns whole
    // frames (a multiple of 4 bytes).
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return 0; }

    // Sets the status only while it is Ok.
    void setStatus(SoundTools::Status status);
    void resetStatus() { mStatus.store(SoundTools::Ok, std::memory_order_release); }

private slots:
    // The processing pipe's consumer met its end; runs on that consumer's thread.
    void readFinished();

private:
    void resetVars();
    void MTStart(std::shared_ptr<SoundReader> reader);
    void MTStartPostProcessing();
    void stopThread();
    // Called last by each thread body: nothing of the device is touched after it.
    void threadLeft() { mAlive.fetch_sub(1, std::memory_order_acq_rel); }
    SoundReaderBuffer& outputPipe() { return hasPostProcessing() ? mPostProcessingPipe : mProcessingPipe; }

    SoundAlgo* mAlgo;
    std::shared_ptr<SoundReader> mReader;
    std::atomic<SoundTools::Status> mStatus{SoundTools::Ok};
    SoundTools::ReadWriteLock mAlgoLock{SoundTools::ReadWriteLock::Recursive};
    // Bit 0: the processing thread runs; bit 1: the post-processing thread runs.
    std::atomic<int> mRunning{0};
    std::shared_ptr<SoundBuffer> mBuffer;
    const unsigned mSampleRate;
    SoundReaderBuffer mProcessingPipe;
    SoundReaderBuffer mPostProcessingPipe;
    std::atomic<bool> mContinuousPlaying{false};
    std::atomic<SoundAlgo*> mPostProcessingChain{nullptr};
    // Thread bodies not yet returned; the destructor waits for none to be left.
    std::atomic<int> mAlive{0};
    // Given by each thread as it ends, so that stopThread wakes without delay.
    SoundTools::Semaphore mThreadEnded;
};
