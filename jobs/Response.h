#pragma once
// Frequency responses of processing chains as they run: an impulse is passed
// through the algorithm by the block loop and the response is the transform of
// what comes out. This measures the very chain a job would run (builders,
// output gains and clip filters included) through the public SoundAlgo
// contract alone.
//
// Threading: runs the algorithm on the calling thread; the algorithm must not
// be running elsewhere.
#include <vector>

class SoundAlgo;

namespace tonewright {
namespace detail {

// Magnitude response in dB of the left channel at each frequency (Hz), for a
// stream at `rate`. The impulse response is taken over `length` frames, enough
// for the slowest band of an equaliser to ring down. Empty when the run fails.
std::vector<double> measuredResponseDb(SoundAlgo& algo, unsigned rate, const std::vector<double>& freqs,
                                       unsigned length = 32768);

}  // namespace detail
}  // namespace tonewright
