#pragma once
// FFTA, the abstract FFT engine, and FFTARadix2, the library's power-of-two
// engine.
//
// Data layouts (all doubles):
//  - stereo frames: N frames of (left, right), 2N values;
//  - spectrum frame: left bins 0..N/2 then right bins 0..N/2, each bin (re, im),
//    2N+4 values (N >= 2); bin k stands for k * sampleRate / N;
//  - real spectrum: bins 0..N/2 of one real signal, N+2 values;
//  - complex sequence: N values (re, im), 2N values.
// Forward transforms compute X[k] = sum x[n] e^(-2 pi i k n / N) without scaling;
// the inverse scales by 1/N so that inverse(direct(x)) = x.
//
// Ownership: an engine owns its tables and its work buffer; neither is shared.
//
// Threading: the work buffer makes every transform a write to the engine. One
// engine serves one thread at a time; use one engine per thread for parallel
// transforms. A copy builds its own tables and work buffer.
#include <cstdint>
#include <memory>
#include <valarray>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundTools.h"

class TONEWRIGHT_API FFTA {
public:
    FFTA() = default;
    FFTA(const FFTA&) = default;
    FFTA& operator=(const FFTA&) = default;
    virtual ~FFTA();

    // N stereo frames -> one spectrum frame (the two real channels share one
    // complex transform).
    virtual void directCompute(const double* in, double* out) = 0;
    // One spectrum frame -> N stereo frames, scaled by 1/N.
    virtual void inverseCompute(const double* in, double* out) = 0;
    // N real samples -> N/2+1 bins.
    virtual void directComputeReal(const double* in, double* out) = 0;
    // Rebuilds the engine for n points. Error (with the error text set) when the
    // engine cannot transform n points; the engine is then empty (size 0).
    virtual SoundTools::Status setSize(int n) = 0;

    // 0 for an empty engine: its transforms do nothing.
    int getSize() const { return mSize; }

protected:
    int32_t mSize = 0;
};

class TONEWRIGHT_API FFTARadix2 : public FFTA {
public:
    // Largest size accepted (2^26 points: a 1 GiB work buffer).
    static constexpr int kMaxSize = 1 << 26;

    FFTARadix2() = default;
    // n must be a power of two, 1 <= n <= kMaxSize; otherwise the engine is empty
    // and the error text names the size.
    explicit FFTARadix2(int n);
    FFTARadix2(const FFTARadix2& other);
    FFTARadix2& operator=(const FFTARadix2& other);
    ~FFTARadix2() override;

    void directCompute(const double* in, double* out) override;
    void inverseCompute(const double* in, double* out) override;
    void directComputeReal(const double* in, double* out) override;
    // Nothing when n is the current size.
    SoundTools::Status setSize(int n) override;

    // N complex values (re, im) -> their forward transform, unscaled. in and out
    // may be the same array.
    void complexCompute(const double* in, double* out);

    static bool isPowerOfTwo(int n) { return n > 0 && (n & (n - 1)) == 0; }

private:
    struct FreeDeleter {
        void operator()(double* p) const;
    };

    // A complex sequence as separate real and imaginary arrays.
    struct Split {
        double* re;
        double* im;
    };

    // Forward transform of the first split buffer of the work memory, natural
    // order in and out; returns the split buffer that holds the result.
    Split core();
    Split runPasses(Split x, Split y, size_t n, size_t s, bool withRadix2);
    void buildTables(int n);
    void clear();

    std::valarray<double> mCos;  // cos(2 pi k / N), k < N/2
    std::valarray<double> mSin;  // sin(2 pi k / N), k < N/2
    int mLog2 = 0;
    // Two buffers of N complex values, each stored as N real parts then N
    // imaginary parts so that butterflies run on contiguous lanes; the passes
    // read one and write the other. Allocated aligned (malloc family).
    std::unique_ptr<double[], FreeDeleter> mWork;
    int mAllocated = 0;  // complex values each work buffer holds
    // Twiddles of every radix-4 pass, one group per block length L = 4q: for
    // j < q the values W^j, W^2j, W^3j (W = e^(-2 pi i / L)), each as q real
    // parts then q imaginary parts. mTwiddleAt[log2 L] is the group's offset.
    std::vector<double> mTwiddles;
    std::vector<size_t> mTwiddleAt;
};
