// FFTARadix2 against the DFT by definition, and its bad sizes.
#include <algorithm>
#include <cmath>
#include <random>

#include "common/FourierKit.h"
#include "common/TestKit.h"
#include "tonewright/FFTA.h"

using tk::Complex;

namespace {

// Two independent noise channels, interleaved as N stereo frames.
std::vector<double> stereoNoise(size_t N, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(2 * N);
    for (double& x : v) x = dist(gen);
    return v;
}

// The bins compared with the naive DFT: all of them up to 8192 points; above,
// where the naive transform costs N^2, the edges, the middle and 48 random bins.
std::vector<size_t> binsToCheck(size_t N, size_t limit) {
    std::vector<size_t> bins;
    if (N <= 8192) {
        for (size_t k = 0; k < limit; ++k) bins.push_back(k);
        return bins;
    }
    bins = {0, 1, 2, N / 4, N / 2 - 1, N / 2, limit - 1};
    std::mt19937 gen{unsigned(N)};
    std::uniform_int_distribution<size_t> pick(0, limit - 1);
    for (int i = 0; i < 48; ++i) bins.push_back(pick(gen));
    return bins;
}

// Largest bin error over largest bin of `got` (bin k at got[2 k]) against the
// naive DFT of x at `bins`.
double relativeError(const double* got, const std::vector<Complex>& x, const std::vector<size_t>& bins) {
    const std::vector<Complex> ref = tk::naiveDft(x, bins);
    double err = 0.0, scale = 0.0;
    for (size_t i = 0; i < bins.size(); ++i) {
        err = std::max(err, std::abs(Complex(got[2 * bins[i]], got[2 * bins[i] + 1]) - ref[i]));
        scale = std::max(scale, std::abs(ref[i]));
    }
    return err / scale;
}

}  // namespace

// Every transform against the DFT by its definition (relative error below
// 1e-12): directCompute packs the two real channels into one complex transform,
// and each channel's half spectrum must be its own DFT (bins 0 and N/2 real,
// exactly) and equal directComputeReal's; complexCompute is the full complex
// DFT; inverseCompute returns the frames directCompute was given.
TEST(FFTEngine, TransformsMatchTheNaiveDftAndInverseRoundTrips) {
    for (size_t N = 1; N <= 65536; N *= 2) {
        SCOPED_TRACE(N);
        FFTARadix2 engine{int(N)};
        ASSERT_EQ(engine.getSize(), int(N));
        const std::vector<double> in = stereoNoise(N, uint32_t(N));
        std::vector<double> packed(2 * N + 4, 7.0), single(N + 2), complex(2 * N), back(2 * N);
        engine.directCompute(in.data(), packed.data());
        const std::vector<size_t> bins = binsToCheck(N, N / 2 + 1);
        for (size_t c = 0; c < 2; ++c) {
            std::vector<double> x(N);
            for (size_t n = 0; n < N; ++n) x[n] = in[2 * n + c];
            const double* half = packed.data() + c * 2 * (N / 2 + 1);
            EXPECT_LT(relativeError(half, {x.begin(), x.end()}, bins), 1e-12) << "channel " << c;
            EXPECT_EQ(half[1], 0.0);
            EXPECT_EQ(half[2 * (N / 2) + 1], 0.0);
            engine.directComputeReal(x.data(), single.data());
            double err = 0.0;
            for (size_t k = 0; k < 2 * (N / 2 + 1); ++k) err = std::max(err, std::fabs(half[k] - single[k]));
            EXPECT_LT(err, 4e-12 * std::sqrt(double(N))) << "channel " << c;
        }
        std::vector<Complex> z(N);
        for (size_t n = 0; n < N; ++n) z[n] = Complex(in[2 * n], in[2 * n + 1]);
        engine.complexCompute(in.data(), complex.data());
        EXPECT_LT(relativeError(complex.data(), z, binsToCheck(N, N)), 1e-12);
        engine.inverseCompute(packed.data(), back.data());
        double err = 0.0;
        for (size_t i = 0; i < 2 * N; ++i) err = std::max(err, std::fabs(back[i] - in[i]));
        EXPECT_LT(err, 1e-13 * std::log2(double(N) + 1.0) + 1e-15);
    }
}

// Imaginary parts at bins 0 and N/2 cannot come from real frames; the inverse
// ignores them instead of mixing one channel into the other.
TEST(FFTEngine, InverseKeepsChannelsApartWhenEdgeBinsAreNotReal) {
    const size_t N = 16;
    FFTARadix2 engine{int(N)};
    std::vector<double> spectrum(2 * N + 4, 0.0);
    spectrum[0] = double(N);                   // left DC
    spectrum[1] = 5.0;                         // stray imaginary part
    spectrum[2 * (N / 2 + 1) + N + 1] = -3.0;  // right bin N/2, stray imaginary part
    std::vector<double> out(2 * N);
    engine.inverseCompute(spectrum.data(), out.data());
    for (size_t n = 0; n < N; ++n) {
        EXPECT_NEAR(out[2 * n], 1.0, 1e-15);
        EXPECT_NEAR(out[2 * n + 1], 0.0, 1e-15);
    }
}

// Bad sizes leave an empty engine that says why and touches nothing; copies are
// engines of their own.
TEST(FFTEngine, BadSizesAndCopies) {
    for (int n : {0, 3, 1000, -8, FFTARadix2::kMaxSize * 2}) {
        FFTARadix2 engine(n);
        EXPECT_EQ(engine.getSize(), 0) << n;
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(QString("FFT size %1 ").arg(n))) << n;
        std::vector<double> buf(8, 1.5);
        engine.directCompute(buf.data(), buf.data());
        engine.inverseCompute(buf.data(), buf.data());
        engine.directComputeReal(buf.data(), buf.data());
        EXPECT_EQ(buf, std::vector<double>(8, 1.5));
    }
    FFTARadix2 a(64);
    EXPECT_EQ(a.setSize(64), SoundTools::Ok);
    EXPECT_EQ(a.setSize(48), SoundTools::Error);
    EXPECT_EQ(a.getSize(), 0);
    EXPECT_EQ(a.setSize(128), SoundTools::Ok);
    FFTARadix2 b(a), c;
    c = a;
    a.setSize(64);
    const std::vector<double> in = stereoNoise(128, 3);
    std::vector<double> sb(2 * 128 + 4), sc(2 * 128 + 4);
    b.directCompute(in.data(), sb.data());
    c.directCompute(in.data(), sc.data());
    EXPECT_EQ(b.getSize(), 128);
    EXPECT_EQ(sb, sc);
}
