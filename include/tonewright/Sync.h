#pragma once
// Lock and semaphore wrappers used by every threaded part of the library.
//
// Debian's Qt 5 implements QMutex, QReadWriteLock and QSemaphore on raw futexes
// inside libQt5Core, which ThreadSanitizer does not instrument: it would see the
// data these locks protect as unsynchronised. When the library itself is built
// with ThreadSanitizer, these wrappers tell the sanitizer about every acquire and
// release. The operations are compiled into the library only (core/Sync.cpp), so
// this header declares no sanitizer hooks and a program that includes it builds
// the same way whatever the library was built with.
//
// Threading: each object may be used from any number of threads, as the Qt
// primitive it wraps. Objects are neither copyable nor movable.
#include <QMutex>
#include <QReadWriteLock>
#include <QSemaphore>

#include "tonewright/Export.h"

namespace SoundTools {

class TONEWRIGHT_API Mutex {
public:
    enum RecursionMode { NonRecursive, Recursive };
    explicit Mutex(RecursionMode mode = NonRecursive)
        : mMutex(mode == Recursive ? QMutex::Recursive : QMutex::NonRecursive) {}
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    bool tryLock(int timeoutMs = 0);
    void unlock();

private:
    QMutex mMutex;
};

class TONEWRIGHT_API ReadWriteLock {
public:
    enum RecursionMode { NonRecursive, Recursive };
    explicit ReadWriteLock(RecursionMode mode = NonRecursive)
        : mLock(mode == Recursive ? QReadWriteLock::Recursive : QReadWriteLock::NonRecursive) {}
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    void lockForRead();
    void lockForWrite();
    bool tryLockForWrite(int timeoutMs = 0);
    // Readers release too: a later writer then synchronises with every reader
    // before it, which is what the real lock guarantees.
    void unlock();

private:
    QReadWriteLock mLock;
};

class TONEWRIGHT_API Semaphore {
public:
    explicit Semaphore(int n = 0) : mSem(n) {}
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void acquire(int n = 1);
    bool tryAcquire(int n = 1);
    bool tryAcquire(int n, int timeoutMs);
    void release(int n = 1);
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
