// The lock wrappers' operations. They live here, not in the public header, so
// that the ThreadSanitizer annotations follow the library's own build: a
// sanitized library reports every acquire and release of its locks, including
// those a host takes through the wrappers, and a host built without the
// sanitizer (or with it, against a plain library) never sees the hooks.
#include "tonewright/Sync.h"

#if defined(__SANITIZE_THREAD__)
#define TW_SYNC_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TW_SYNC_TSAN 1
#endif
#endif

#if defined(TW_SYNC_TSAN)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace {
inline void acquired(const void* p) {
#if defined(TW_SYNC_TSAN)
    __tsan_acquire(const_cast<void*>(p));
#else
    (void)p;
#endif
}
inline void releasing(const void* p) {
#if defined(TW_SYNC_TSAN)
    __tsan_release(const_cast<void*>(p));
#else
    (void)p;
#endif
}
}  // namespace

namespace SoundTools {

void Mutex::lock() {
    mMutex.lock();
    acquired(this);
}

bool Mutex::tryLock(int timeoutMs) {
    if (!mMutex.tryLock(timeoutMs)) return false;
    acquired(this);
    return true;
}

void Mutex::unlock() {
    releasing(this);
    mMutex.unlock();
}

void ReadWriteLock::lockForRead() {
    mLock.lockForRead();
    acquired(this);
}

void ReadWriteLock::lockForWrite() {
    mLock.lockForWrite();
    acquired(this);
}

bool ReadWriteLock::tryLockForWrite(int timeoutMs) {
    if (!mLock.tryLockForWrite(timeoutMs)) return false;
    acquired(this);
    return true;
}

void ReadWriteLock::unlock() {
    releasing(this);
    mLock.unlock();
}

void Semaphore::acquire(int n) {
    mSem.acquire(n);
    acquired(this);
}

bool Semaphore::tryAcquire(int n) {
    if (!mSem.tryAcquire(n)) return false;
    acquired(this);
    return true;
}

bool Semaphore::tryAcquire(int n, int timeoutMs) {
    if (!mSem.tryAcquire(n, timeoutMs)) return false;
    acquired(this);
    return true;
}

void Semaphore::release(int n) {
    releasing(this);
    mSem.release(n);
}

}  // namespace SoundTools
