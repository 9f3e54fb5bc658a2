#pragma once
// Private to the library (not installed), beside SoundSimd.h: the vector helpers
// any kernel of the library may use.
// A stereo frame as one two-lane vector, so that the left and right recursions of
// a filter run side by side in one register. Every lane operation is the same
// IEEE operation that the scalar code does on each channel, so results are
// identical to channel-by-channel arithmetic.
#include <cstring>

#include "tonewright/SoundTools.h"

namespace SoundTools {
namespace detail {

#if defined(__GNUC__) || defined(__clang__)
typedef double V2 __attribute__((vector_size(16)));
inline V2 splat(double x) { return V2{x, x}; }
#else
// Portable fallback with the same interface.
struct V2 {
    double v[2];
    V2() = default;
    V2(double a, double b) : v{a, b} {}
    friend V2 operator+(V2 x, V2 y) { return V2(x.v[0] + y.v[0], x.v[1] + y.v[1]); }
    friend V2 operator-(V2 x, V2 y) { return V2(x.v[0] - y.v[0], x.v[1] - y.v[1]); }
    friend V2 operator*(V2 x, V2 y) { return V2(x.v[0] * y.v[0], x.v[1] * y.v[1]); }
    V2& operator+=(V2 y) { return *this = *this + y; }
};
inline V2 splat(double x) { return V2(x, x); }
#endif

inline V2 load(const StereoFrame<double>& f) {
    V2 v;
    std::memcpy(&v, &f, sizeof v);
    return v;
}
inline void store(StereoFrame<double>& f, V2 v) { std::memcpy(&f, &v, sizeof v); }

}  // namespace detail
}  // namespace SoundTools
