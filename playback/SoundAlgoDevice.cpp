#include "tonewright/SoundAlgoDevice.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <system_error>
#include <thread>

#if defined(_OPENMP)
#include <omp.h>
#endif

#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundDebuggableClass.h"

using SoundTools::MutexLocker;
using SoundTools::Status;

namespace {
constexpr int kProcessingBit = 1;
constexpr int kPostProcessingBit = 2;
constexpr unsigned kProcessingSlots = 3;
constexpr unsigned kPostProcessingSlots = 5;
// How long stopThread sleeps between two looks at the running bits (ms); a
// thread that ends wakes it earlier.
constexpr int kStopPollMs = 5;
// Largest request readData serves in one call (frames, about 24 s at 44.1 kHz):
// it bounds the conversion buffer whatever size a caller asks for.
constexpr unsigned kMaxFramesPerRead = 1u << 20;

// Process-wide, shared by all devices.
SoundTools::Mutex& startMutex() {
    static SoundTools::Mutex m(SoundTools::Mutex::Recursive);
    return m;
}
SoundTools::Mutex& stopMutex() {
    static SoundTools::Mutex m(SoundTools::Mutex::Recursive);
    return m;
}
SoundTools::Mutex& stopThreadMutex() {
    static SoundTools::Mutex m(SoundTools::Mutex::Recursive);
    return m;
}
SoundTools::Mutex& launchMutex() {
    static SoundTools::Mutex m(SoundTools::Mutex::Recursive);
    return m;
}

// The device and running bit of the thread body the current thread runs, so that
// a stop() issued from a slot on that thread does not wait for itself.
thread_local const SoundAlgoDevice* tDevice = nullptr;
thread_local int tDeviceBit = 0;

void dropReference(SoundAlgo* algo) {
    if (algo) algo->releaseRef();
}

// Set up by each thread body on entry.
struct ThreadMark {
    ThreadMark(const SoundAlgoDevice* d, int bit) {
        tDevice = d;
        tDeviceBit = bit;
#if defined(_OPENMP)
        // The chains' parallel branches run one after the other on the device's
        // threads. A playback block is small work, and OpenMP workers that wait
        // by spinning after each block take the cores that the other end of the
        // pipe needs: with them the device delivered a fraction of what it does
        // serially on a two-core machine. Offline runs keep their parallelism:
        // this setting belongs to this thread alone.
        omp_set_num_threads(1);
#endif
    }
    ~ThreadMark() {
        tDevice = nullptr;
        tDeviceBit = 0;
    }
};
}  // namespace

SoundAlgoDevice::SoundAlgoDevice(std::shared_ptr<SoundReader> reader, SoundAlgo* algo)
    : mAlgo(algo),
      mReader(std::move(reader)),
      mSampleRate(mReader ? mReader->getSampleRate() : 44100u),
      mProcessingPipe(mSampleRate, kProcessingSlots),
      mPostProcessingPipe(mSampleRate, kPostProcessingSlots) {
    if (mAlgo)
        mAlgo->addRef();
    else
        mAlgo = SoundRef<SoundAlgoBypass>::make().release();
    mBuffer = SoundBuffer::createNew(mSampleRate);
    mProcessingPipe.setName("Processing reader");
    mPostProcessingPipe.setName("Post-Processing reader");
    resetVars();
}

SoundAlgoDevice::~SoundAlgoDevice() {
    stop();
    // A thread that has cleared its running bit may still be emitting
    // loadFinished; the device must outlive that.
    while (mAlive.load(std::memory_order_acquire) > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    dropReference(mAlgo);
    dropReference(mPostProcessingChain.exchange(nullptr));
}

void SoundAlgoDevice::resetVars() {
    mStatus.store(SoundTools::Ok, std::memory_order_release);
    mRunning.store(0, std::memory_order_release);
}

void SoundAlgoDevice::setStatus(Status status) {
    Status expected = SoundTools::Ok;
    mStatus.compare_exchange_strong(expected, status, std::memory_order_acq_rel);
}

void SoundAlgoDevice::statusFinished() {
    mStatus.store(SoundTools::Finished, std::memory_order_release);
    mProcessingPipe.finished();
}

// ---------------------------------------------------------------- control

void SoundAlgoDevice::start() {
    MutexLocker lock(startMutex());
    if (mRunning.load(std::memory_order_acquire) > 0) return;
    if (!mReader) {
        SoundDebuggableClass::setError("no reader to play", "SoundAlgoDevice::start");
        mStatus.store(SoundTools::Error, std::memory_order_release);
        return;
    }
    // A new playback: whatever ended the last one (a stop's Interrupted, a
    // failure, the end of the source) no longer applies.
    resetStatus();
    mReader->rewind();
    mProcessingPipe.open(QString());
    connect(&mProcessingPipe, &SoundReaderBuffer::readFinished, this, &SoundAlgoDevice::readFinished,
            Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
    if (getStatus() != SoundTools::Ok) return;
    // Unbuffered: the output gets the frames as they come out of the chain, with
    // no hidden read-ahead that would delay live changes of the chain.
    if (!isOpen()) open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    launchThread();
}

void SoundAlgoDevice::launchThread() {
    MutexLocker lock(launchMutex());
    const int running = mRunning.load(std::memory_order_acquire);
    if (!(running & kProcessingBit) && mReader) {
        mRunning.fetch_or(kProcessingBit, std::memory_order_acq_rel);
        mProcessingPipe.restart();
        std::shared_ptr<SoundReader> reader = mReader;
        mAlive.fetch_add(1, std::memory_order_acq_rel);
        try {
            std::thread([this, reader] { MTStart(reader); }).detach();
        } catch (const std::system_error& e) {
            mAlive.fetch_sub(1, std::memory_order_acq_rel);
            mRunning.fetch_and(~kProcessingBit, std::memory_order_acq_rel);
            SoundDebuggableClass::setError(QString("cannot start the processing thread: %1").arg(e.what()),
                                           "SoundAlgoDevice::launchThread");
            setStatus(SoundTools::Error);
            mProcessingPipe.finished();
        }
    }
    if (hasPostProcessing() && !(running & kPostProcessingBit)) {
        mRunning.fetch_or(kPostProcessingBit, std::memory_order_acq_rel);
        mPostProcessingPipe.restart();
        mAlive.fetch_add(1, std::memory_order_acq_rel);
        try {
            std::thread([this] { MTStartPostProcessing(); }).detach();
        } catch (const std::system_error& e) {
            mAlive.fetch_sub(1, std::memory_order_acq_rel);
            mRunning.fetch_and(~kPostProcessingBit, std::memory_order_acq_rel);
            SoundDebuggableClass::setError(QString("cannot start the post-processing thread: %1").arg(e.what()),
                                           "SoundAlgoDevice::launchThread");
            setStatus(SoundTools::Error);
            mPostProcessingPipe.finished();
        }
    }
}

void SoundAlgoDevice::stop() {
    MutexLocker lock(stopMutex());
    stopThread();
    mProcessingPipe.close();
    mPostProcessingPipe.close();
    disconnect(&mProcessingPipe, &SoundReaderBuffer::readFinished, this, &SoundAlgoDevice::readFinished);
    if (isOpen()) close();
}

void SoundAlgoDevice::stopThread() {
    MutexLocker lock(stopThreadMutex());
    if (mRunning.load(std::memory_order_acquire) == 0) return;
    // Both pipes, whichever thread runs: each thread blocks only in a pipe, and
    // an interrupted pipe returns at once to both its ends.
    mProcessingPipe.interrupt();
    mPostProcessingPipe.interrupt();
    // Called from a slot on one of this device's own threads: that thread ends
    // once the slot returns, so only the other one is waited for.
    const int own = tDevice == this ? tDeviceBit : 0;
    while ((mRunning.load(std::memory_order_acquire) & ~own) != 0) mThreadEnded.tryAcquire(1, kStopPollMs);
}

bool SoundAlgoDevice::setReader(std::shared_ptr<SoundReader> reader) {
    if (!reader || !mReader) {
        SoundDebuggableClass::setError("no reader to replace or none given", "SoundAlgoDevice::setReader");
        return false;
    }
    if (reader->getSampleRate() != mSampleRate) {
        SoundDebuggableClass::setError(QString("the new reader runs at %1 Hz, the output at %2 Hz")
                                           .arg(reader->getSampleRate())
                                           .arg(mSampleRate),
                                       "SoundAlgoDevice::setReader");
        return false;
    }
    mReader = std::move(reader);
    // Before start() or after stop() the reader only waits for the next start():
    // threads started now would fill pipes nobody reads.
    if (isOpen()) launchThread();
    return true;
}

void SoundAlgoDevice::setPostProcessingChain(SoundAlgo* chain) {
    if (isRunning()) {
        SoundDebuggableClass::setError("the post-processing chain cannot change while the device plays",
                                       "SoundAlgoDevice::setPostProcessingChain");
        dropReference(chain);
        return;
    }
    dropReference(mPostProcessingChain.exchange(chain, std::memory_order_acq_rel));
}

// ---------------------------------------------------------------- threads

void SoundAlgoDevice::MTStart(std::shared_ptr<SoundReader> reader) {
    ThreadMark mark(this, kProcessingBit);
    Status st = SoundTools::Ok;
    {
        SoundWriterBuffer writer(&mProcessingPipe);
        st = mAlgo->processAll(*reader, &writer);
    }
    if (!hasPostProcessing()) {
        setStatus(st);
    } else if (st == SoundTools::Error || st == SoundTools::Interrupted) {
        // A failure stays a failure for the host even though the post-processing
        // run, cut short by the interrupt, ends Interrupted.
        if (st == SoundTools::Error) setStatus(SoundTools::Error);
        mProcessingPipe.interrupt();
    }
    // The pipe is told before the running bit is cleared: once the bit is clear
    // a stop() and start() may reopen the pipe for the next playback, which a
    // late finished() would end before it began.
    mProcessingPipe.finished();
    const double time = mSampleRate ? double(mProcessingPipe.getDeliveredFrames()) / double(mSampleRate) : 0.0;
    const bool last = (mRunning.fetch_and(~kProcessingBit, std::memory_order_acq_rel) & ~kProcessingBit) == 0;
    mThreadEnded.release(1);
    if (st == SoundTools::Ok || st == SoundTools::Finished) emit loadFinished(time);
    if (last) emit threadsEnded();
    threadLeft();
}

void SoundAlgoDevice::MTStartPostProcessing() {
    ThreadMark mark(this, kPostProcessingBit);
    SoundAlgo* chain = mPostProcessingChain.load(std::memory_order_acquire);
    for (;;) {
        Status st = SoundTools::Ok;
        {
            SoundWriterBuffer writer(&mPostProcessingPipe);
            st = chain->processAll(mProcessingPipe, &writer);
        }
        // The chain sees a stopped pipe as the end of its input: report the stop.
        const Status in = mProcessingPipe.getStatus();
        if ((st == SoundTools::Ok || st == SoundTools::Finished) &&
            (in == SoundTools::Error || in == SoundTools::Interrupted))
            st = SoundTools::Interrupted;
        MutexLocker lock(launchMutex());
        // The next source was handed over while this run was ending: the
        // processing pipe flows again and only this thread will read it.
        const Status now = mProcessingPipe.getStatus();
        if ((st == SoundTools::Ok || st == SoundTools::Finished) && (now == SoundTools::Waiting || now == SoundTools::Ok))
            continue;
        setStatus(st);
        // Nobody reads the processing pipe any more: release its producer rather
        // than leave it blocked on a full pipe until stop().
        if (st == SoundTools::Error || st == SoundTools::Interrupted) mProcessingPipe.interrupt();
        mPostProcessingPipe.finished();
        const bool last =
            (mRunning.fetch_and(~kPostProcessingBit, std::memory_order_acq_rel) & ~kPostProcessingBit) == 0;
        mThreadEnded.release(1);
        if (last) emit threadsEnded();
        break;
    }
    threadLeft();
}

// ---------------------------------------------------------------- output

void SoundAlgoDevice::toPcm16(const double* src, size_t samples, char* dest) {
    for (size_t i = 0; i < samples; ++i) {
        const double v = src[i] * 32768.0;
        int s;
        // Held within range rather than wrapped: a full-scale sample that wrapped
        // to the opposite end would be a loud click in the output.
        if (v >= 32767.0)
            s = 32767;
        else if (v <= -32768.0)
            s = -32768;
        else if (v != v)
            s = 0;  // NaN
        else
            s = int(v);  // toward zero
        dest[2 * i] = char(s & 0xff);
        dest[2 * i + 1] = char((s >> 8) & 0xff);
    }
}

qint64 SoundAlgoDevice::readData(char* data, qint64 maxSize) {
    if (maxSize <= 0 || !data) return 0;
    const uint64_t bytes = std::min<uint64_t>(uint64_t(maxSize), UINT32_MAX);
    const unsigned frames = std::min<unsigned>(unsigned(bytes / 4), kMaxFramesPerRead);
    if (frames == 0) return 0;
    mBuffer->alloc(frames, 2, 1, 1);
    const unsigned n = outputPipe().stereoReadLocked(mBuffer, 0);
    toPcm16(mBuffer->data(), size_t(n) * 2, data);
    return qint64(n) * 4;
}

void SoundAlgoDevice::readFinished() {
    if (getStatus() == SoundTools::Error || !getContinuousPlaying()) emit readChannelFinished();
}

bool SoundAlgoDevice::atEnd() const { return getStatus() != SoundTools::Ok; }

qint64 SoundAlgoDevice::bytesAvailable() const {
    if (getStatus() != SoundTools::Ok) return 0;
    const SoundReaderBuffer& pipe = hasPostProcessing() ? mPostProcessingPipe : mProcessingPipe;
    return qint64(pipe.getFrameNB()) * 4 + QIODevice::bytesAvailable();
}
