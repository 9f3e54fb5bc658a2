#pragma once
// Value types shared by every part of the library: the stereo frame, the status
// code of processing and I/O operations, and the band-edge helpers.
//
// Threading: all types here are plain values. get_fco builds a process-wide
// table on its first call; make that first call before starting threads that
// may call it concurrently (the library itself does so at load time).
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "tonewright/Export.h"

namespace SoundTools {

// Result of every processing and I/O operation. Stored and passed as a 32-bit int.
enum Status : int {
    Ok = 0,           // success; a loop goes on with the next block
    Error = 1,        // failure; SoundDebuggableClass::getError() holds the text
    Interrupted = 2,  // stopped on request
    Finished = 3,     // end of the input stream
    Waiting = 4       // an in-memory pipe waits for its producer
};

// One frame of two channels: left then right, nothing else, so that a two-channel
// SoundBuffer can be walked as an array of StereoFrame<double>.
template <typename T>
struct StereoFrame {
    T l;
    T r;

    StereoFrame() = default;  // samples left uninitialised on purpose (hot loops)
    StereoFrame(T left, T right) : l(left), r(right) {}

    T& operator[](int i) { return i == 0 ? l : r; }
    T operator[](int i) const { return i == 0 ? l : r; }
    T* operator*() { return &l; }
    const T* operator*() const { return &l; }

    StereoFrame operator+(const StereoFrame& o) const { return StereoFrame(l + o.l, r + o.r); }
    StereoFrame operator-(const StereoFrame& o) const { return StereoFrame(l - o.l, r - o.r); }
    StereoFrame operator*(const StereoFrame& o) const { return StereoFrame(l * o.l, r * o.r); }
    StereoFrame& operator+=(const StereoFrame& o) { l += o.l; r += o.r; return *this; }
    StereoFrame& operator-=(const StereoFrame& o) { l -= o.l; r -= o.r; return *this; }
    StereoFrame& operator*=(const StereoFrame& o) { l *= o.l; r *= o.r; return *this; }

    // Either channel greater / smaller: a < b and a > b can both hold.
    bool operator>(const StereoFrame& o) const { return l > o.l || r > o.r; }
    bool operator>(T x) const { return l > x || r > x; }
    bool operator<(const StereoFrame& o) const { return l < o.l || r < o.r; }

    StereoFrame sqr() const { return StereoFrame(l * l, r * r); }
    StereoFrame sqroot() const { return StereoFrame(std::sqrt(l), std::sqrt(r)); }
    T getmax() const { return l > r ? l : r; }
    T getmin() const { return r < l ? r : l; }
    T absmax() const {
        const T al = l < 0 ? -l : l;
        const T ar = r < 0 ? -r : r;
        return al > ar ? al : ar;
    }
    T toMono() const { return (l + r) * T(0.5); }
};

static_assert(sizeof(StereoFrame<double>) == 2 * sizeof(double), "StereoFrame<double> must be two packed doubles");
static_assert(sizeof(StereoFrame<short>) == 2 * sizeof(short), "StereoFrame<short> must be two packed shorts");
static_assert(std::is_trivially_copyable<StereoFrame<double>>::value, "StereoFrame must be trivially copyable");
static_assert(std::is_standard_layout<StereoFrame<double>>::value, "StereoFrame must be standard layout");

// Band [fmin, fmax] (Hz) to centre frequency (Hz) and width (octaves), quantised
// to steps of 15/4096 octave.
TONEWRIGHT_API void get_fco(double fmin, double fmax, double& fco, double& width);
// Centre frequency and width (octaves) back to the band edges.
TONEWRIGHT_API void get_minmax(double fco, double width, double& fmin, double& fmax);

}  // namespace SoundTools
