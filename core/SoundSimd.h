#pragma once
// Private to the library: marks the hot numeric kernels that are worth compiling
// once per x86-64 vector level. The loader picks the best clone for the running
// processor (AVX-512, AVX2+FMA, or the baseline); elsewhere the kernels are
// compiled once, for the target the build asks for.
//
// Kernels must be plain functions (no templates, no virtual members); helpers
// they call should be inline so that each clone gets its own vector code.

// Sanitizer builds compile one version: the loader runs the clone resolvers
// while relocating, before a sanitizer's runtime is ready to see them.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TONEWRIGHT_NO_CLONES 1
#endif
// clang says so through __has_feature; coverage instrumentation (fuzzing
// builds) has the same trouble with resolvers that run before its runtime.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(coverage_sanitizer)
#define TONEWRIGHT_NO_CLONES 1
#endif
#endif

#if defined(__GNUC__) && defined(__x86_64__) && defined(__ELF__) && !defined(TONEWRIGHT_NO_CLONES)
#define TW_KERNEL __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define TW_KERNEL
#endif

#if defined(__GNUC__)
#define TW_INLINE inline __attribute__((always_inline))
#else
#define TW_INLINE inline
#endif
