#pragma once
// Private to the library: while a FlushDenormals lives, the calling thread's
// floating-point unit treats subnormal inputs as zero and flushes subnormal
// results to zero. A recursive filter fed digital silence after sound decays
// towards zero through subnormal numbers, which most processors handle tens of
// times slower than normal ones; flushing them changes nothing audible (they are
// below 1e-308) and keeps silence as cheap as sound.
//
// The mode is per thread: every thread that runs a processing loop or a share
// of a parallel loop (OpenMP workers included) takes its own guard. The guard
// restores the mode it found, so guards nest and a host's own setting survives.
#if defined(__SSE2__) || defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define TW_FLUSH_X86 1
#elif defined(__aarch64__)
#include <cstdint>
#define TW_FLUSH_ARM64 1
#endif

namespace SoundTools {

class FlushDenormals {
public:
    FlushDenormals() {
#if defined(TW_FLUSH_X86)
        mSaved = _mm_getcsr();
        _mm_setcsr(mSaved | kFtzDaz);
#elif defined(TW_FLUSH_ARM64)
        uint64_t fpcr;
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
        mSaved = fpcr;
        __asm__ __volatile__("msr fpcr, %0" : : "r"(fpcr | kFz));
#endif
    }
    ~FlushDenormals() {
#if defined(TW_FLUSH_X86)
        _mm_setcsr(mSaved);
#elif defined(TW_FLUSH_ARM64)
        __asm__ __volatile__("msr fpcr, %0" : : "r"(mSaved));
#endif
    }
    FlushDenormals(const FlushDenormals&) = delete;
    FlushDenormals& operator=(const FlushDenormals&) = delete;

private:
#if defined(TW_FLUSH_X86)
    static constexpr unsigned kFtzDaz = 0x8040;  // MXCSR flush-to-zero (bit 15) and denormals-are-zero (bit 6)
    unsigned mSaved = 0;
#elif defined(TW_FLUSH_ARM64)
    static constexpr uint64_t kFz = uint64_t(1) << 24;  // FPCR flush-to-zero
    uint64_t mSaved = 0;
#endif
};

}  // namespace SoundTools
