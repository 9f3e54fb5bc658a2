#pragma once
// Symbol visibility for the tonewright shared library. The library is built with
// hidden visibility; only declarations marked TONEWRIGHT_API are exported.
#if defined(TONEWRIGHT_STATIC)
#define TONEWRIGHT_API
#elif defined(_WIN32)
#if defined(TONEWRIGHT_BUILDING)
#define TONEWRIGHT_API __declspec(dllexport)
#else
#define TONEWRIGHT_API __declspec(dllimport)
#endif
#else
#define TONEWRIGHT_API __attribute__((visibility("default")))
#endif
