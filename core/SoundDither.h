#pragma once
// Private to the library (not installed): TPDF dither for the writers that round
// to integer samples of 16 bits or fewer.
//
// Each value is the sum of two independent uniform values of +-0.5 LSB: a
// triangular density of +-1 LSB peak, which makes the mean and the power of the
// rounding error independent of the signal (its variance is that of the dither,
// 1/6 LSB^2, plus that of the rounding, 1/12 LSB^2: 1/4 LSB^2 in all).
//
// The generator is a fixed-seed 64-bit sequence (splitmix64) drawn one value per
// sample in stream order, so that a file written twice is the same file, however
// the stream was cut into blocks. Plain value type; one writer per object.
#include <cstdint>

namespace SoundTools {

class TpdfDither {
public:
    static constexpr uint64_t kDefaultSeed = 0x746f6e6577726967ull;

    explicit TpdfDither(uint64_t seed = kDefaultSeed) : mSeed(seed), mState(seed) {}
    // Back to the start of the sequence (a new file).
    void reset() { mState = mSeed; }
    // The next dither value in LSB, in [-1, 1).
    double next() { return uniform() + uniform() - 1.0; }

    // For a writer that draws many values at once: value i from now is
    // uniformAt(state() + (2i + 1) * kStep) + uniformAt(state() + (2i + 2) * kStep) - 1,
    // the value next() would give; skip(n) then moves past the n values.
    static constexpr uint64_t kStep = 0x9e3779b97f4a7c15ull;
    uint64_t state() const { return mState; }
    void skip(uint64_t n) { mState += 2 * n * kStep; }
    // Uniform in [0, 1) with 53 random bits, from the counter value z.
    static double uniformAt(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        return double(int64_t(z >> 11)) * (1.0 / 9007199254740992.0);
    }

private:
    double uniform() { return uniformAt(mState += kStep); }

    uint64_t mSeed;
    uint64_t mState;
};

}  // namespace SoundTools
