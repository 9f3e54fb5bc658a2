#pragma once
// Intrusive reference count carried by every algorithm, and SoundRef<T>, a smart
// pointer that holds one such reference.
//
// Ownership: an object is born with one reference, owned by its creator. Whoever
// stores the pointer beyond its creator (a composite keeping its members, an
// amplifier keeping its detector) takes a reference and drops it when done; the
// last drop destroys the object.
//
// Threading: the count is a plain integer. References are taken and dropped only
// by the thread that builds and destroys an algorithm graph.
#include <cstdint>
#include <utility>

#include "tonewright/Export.h"

class TONEWRIGHT_API SoundRefCounted {
public:
    SoundRefCounted() = default;
    SoundRefCounted(const SoundRefCounted&) = delete;
    SoundRefCounted& operator=(const SoundRefCounted&) = delete;
    virtual ~SoundRefCounted() = default;

    void addRef() { ++mRefCount; }
    // Drops one reference; destroys the object when none is left.
    void releaseRef() {
        if (--mRefCount == 0) destroy();
    }
    int32_t refCount() const { return mRefCount; }

private:
    // Out of line on purpose: with the deletion inlined into callers, GCC 12
    // speculatively devirtualises it to this base's own deleting destructor and
    // warns (-Wfree-nonheap-object) that the subobject is not the allocation.
    void destroy();

    int32_t mRefCount = 1;
};

// Holds one reference on a SoundRefCounted object.
//   auto scale = SoundRef<SoundAlgoScale>::make(-3.0);  // creator's reference
//   composite.pushAlgo(scale.release());                // handed over to the composite
template <typename T>
class SoundRef {
public:
    SoundRef() = default;
    SoundRef(std::nullptr_t) {}
    SoundRef(const SoundRef& o) : mPtr(o.mPtr) {
        if (mPtr) mPtr->addRef();
    }
    SoundRef(SoundRef&& o) noexcept : mPtr(o.mPtr) { o.mPtr = nullptr; }
    template <typename U>
    SoundRef(SoundRef<U>&& o) noexcept : mPtr(o.release()) {}
    ~SoundRef() { reset(); }

    SoundRef& operator=(SoundRef o) noexcept {
        std::swap(mPtr, o.mPtr);
        return *this;
    }

    // A new object; this SoundRef holds the creator's reference.
    template <typename... Args>
    static SoundRef make(Args&&... args) {
        return adopt(new T(std::forward<Args>(args)...));
    }
    // Takes over a reference the caller already holds (no count change).
    static SoundRef adopt(T* p) {
        SoundRef r;
        r.mPtr = p;
        return r;
    }
    // Takes a new reference of its own.
    static SoundRef share(T* p) {
        if (p) p->addRef();
        return adopt(p);
    }

    T* get() const { return mPtr; }
    T* operator->() const { return mPtr; }
    T& operator*() const { return *mPtr; }
    explicit operator bool() const { return mPtr != nullptr; }

    // Gives up the reference without dropping it; the caller now owns it.
    T* release() {
        T* p = mPtr;
        mPtr = nullptr;
        return p;
    }
    void reset() {
        if (mPtr) mPtr->releaseRef();
        mPtr = nullptr;
    }

private:
    T* mPtr = nullptr;
};
