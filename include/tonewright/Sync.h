#pragma once
// Lock and semaphore wrappers used by every threaded part of the library.
//
// Debian's Qt 5 implements QMutex, QReadWriteLock and QSemaphore on raw futexes
// inside libQt5Core, which ThreadSanitizer does not instrument: it would see the
// data these locks protect as unsynchronised. In ThreadSanitizer builds these
// wrappers tell the sanitizer about every acquire and release; in other builds
// they are the bare Qt primitives with no added cost.
//
// Threading: each object may be used from any number of threads, as the Qt
// primitive it wraps. Objects are neither copyable nor movable.
#include <QMutex>
#include <QReadWriteLock>
#include <QSemaphore>

#include "tonewright/Export.h"

#if defined(__SANITIZE_THREAD__)
#define TONEWRIGHT_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TONEWRIGHT_TSAN 1
#endif
#endif

#if defined(TONEWRIGHT_TSAN)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace SoundTools {

namespace detail {
inline void syncAcquired(const void* p) {
#if defined(TONEWRIGHT_TSAN)
    __tsan_acquire(const_cast<void*>(p));
#else
    (void)p;
#endif
}
inline void syncReleasing(const void* p) {
#if defined(TONEWRIGHT_TSAN)
    __tsan_release(const_cast<void*>(p));
#else
    (void)p;
#endif
}
}  // namespace detail

class Mutex {
public:
    enum RecursionMode { NonRecursive, Recursive };
    explicit Mutex(RecursionMode mode = NonRecursive)
        : mMutex(mode == Recursive ? QMutex::Recursive : QMutex::NonRecursive) {}
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() {
        mMutex.lock();
        detail::syncAcquired(this);
    }
    bool tryLock(int timeoutMs = 0) {
        if (!mMutex.tryLock(timeoutMs)) return false;
        detail::syncAcquired(this);
        return true;
    }
    void unlock() {
        detail::syncReleasing(this);
        mMutex.unlock();
    }

private:
    QMutex mMutex;
};

class ReadWriteLock {
public:
    enum RecursionMode { NonRecursive, Recursive };
    explicit ReadWriteLock(RecursionMode mode = NonRecursive)
        : mLock(mode == Recursive ? QReadWriteLock::Recursive : QReadWriteLock::NonRecursive) {}
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    void lockForRead() {
        mLock.lockForRead();
        detail::syncAcquired(this);
    }
    void lockForWrite() {
        mLock.lockForWrite();
        detail::syncAcquired(this);
    }
    bool tryLockForWrite(int timeoutMs = 0) {
        if (!mLock.tryLockForWrite(timeoutMs)) return false;
        detail::syncAcquired(this);
        return true;
    }
    // Readers release too: a later writer then synchronises with every reader
    // before it, which is what the real lock guarantees.
    void unlock() {
        detail::syncReleasing(this);
        mLock.unlock();
    }

private:
    QReadWriteLock mLock;
};

class Semaphore {
public:
    explicit Semaphore(int n = 0) : mSem(n) {}
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void acquire(int n = 1) {
        mSem.acquire(n);
        detail::syncAcquired(this);
    }
    bool tryAcquire(int n = 1) {
        if (!mSem.tryAcquire(n)) return false;
        detail::syncAcquired(this);
        return true;
    }
    bool tryAcquire(int n, int timeoutMs) {
        if (!mSem.tryAcquire(n, timeoutMs)) return false;
        detail::syncAcquired(this);
        return true;
    }
    void release(int n = 1) {
        detail::syncReleasing(this);
        mSem.release(n);
    }
    int available() const { return mSem.available(); }

private:
    QSemaphore mSem;
};

class MutexLocker {
public:
    explicit MutexLocker(Mutex& m) : mMutex(m) { mMutex.lock(); }
    ~MutexLocker() { mMutex.unlock(); }
    MutexLocker(const MutexLocker&) = delete;
    MutexLocker& operator=(const MutexLocker&) = delete;

private:
    Mutex& mMutex;
};

class ReadLocker {
public:
    explicit ReadLocker(ReadWriteLock& l) : mLock(l) { mLock.lockForRead(); }
    ~ReadLocker() { mLock.unlock(); }
    ReadLocker(const ReadLocker&) = delete;
    ReadLocker& operator=(const ReadLocker&) = delete;

private:
    ReadWriteLock& mLock;
};

class WriteLocker {
public:
    explicit WriteLocker(ReadWriteLock& l) : mLock(l) { mLock.lockForWrite(); }
    ~WriteLocker() { mLock.unlock(); }
    WriteLocker(const WriteLocker&) = delete;
    WriteLocker& operator=(const WriteLocker&) = delete;

private:
    ReadWriteLock& mLock;
};

}  // namespace SoundTools
