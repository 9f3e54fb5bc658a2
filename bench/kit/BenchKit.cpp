#include "BenchKit.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace bench {

void SynthReader::rewind() {
    resetAtEnd();
    mOffset = 0;
    mPos = 0;
}

unsigned SynthReader::read(unsigned count, double* dest) {
    const uint64_t n = std::min<uint64_t>(count, mFrames - mPos);
    const double w1 = 2 * M_PI * 220.0 / mRate, w2 = 2 * M_PI * 3520.0 / mRate;
    for (uint64_t i = 0; i < n; ++i, ++mPos) {
        mNoise = mNoise * 1664525u + 1013904223u;
        const double nz = (double(mNoise >> 8) / double(1u << 24) - 0.5) * 0.05;
        dest[2 * i] = 0.4 * std::sin(w1 * double(mPos)) + nz;
        dest[2 * i + 1] = 0.3 * std::sin(w2 * double(mPos)) - nz;
    }
    return unsigned(n);
}

LoopReader::LoopReader(uint64_t frames, unsigned rate, uint64_t soundFrames)
    : mFrames(frames), mRate(rate), mSoundFrames(soundFrames) {
    for (unsigned i = 0; i < 8192; ++i) {
        mBlock[2 * i] = 0.4 * std::sin(2 * M_PI * 220.0 * i / rate);
        mBlock[2 * i + 1] = 0.3 * std::sin(2 * M_PI * 3520.0 * i / rate);
    }
}

void LoopReader::rewind() {
    resetAtEnd();
    mOffset = 0;
    mPos = 0;
}

unsigned LoopReader::read(unsigned count, double* dest) {
    const uint64_t n = std::min<uint64_t>(count, mFrames - mPos);
    uint64_t done = 0;
    while (done < n) {
        const uint64_t at = (mPos + done) % 8192;
        const uint64_t chunk = std::min<uint64_t>(n - done, 8192 - at);
        std::memcpy(dest + 2 * done, mBlock + 2 * at, chunk * 2 * sizeof(double));
        done += chunk;
    }
    for (uint64_t i = mSoundFrames > mPos ? mSoundFrames - mPos : 0; i < n; ++i) dest[2 * i] = dest[2 * i + 1] = 0.0;
    mPos += n;
    return unsigned(n);
}

}  // namespace bench
