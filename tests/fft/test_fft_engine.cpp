// FFTARadix2 against the DFT by definition, and its bad sizes.
#include <algorithm>
#include <cmath>
#include <random>

#include "common/SpectrumKit.h"
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

std::vector<double> channel(const std::vector<double>& frames, int c) {
    std::vector<double> v(frames.size() / 2);
    for (size_t n = 0; n < v.size(); ++n) v[n] = frames[2 * n + size_t(c)];
    return v;
}

// Bin k of channel c in a spectrum frame of N points.
Complex bin(const std::vector<double>& spectrum, size_t N, int c, size_t k) {
    const double* p = spectrum.data() + size_t(c) * 2 * (N / 2 + 1) + 2 * k;
    return Complex(p[0], p[1]);
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
    std::sort(bins.begin(), bins.end());
    bins.erase(std::unique(bins.begin(), bins.end()), bins.end());
    bins.erase(std::remove_if(bins.begin(), bins.end(), [&](size_t k) { return k >= limit; }), bins.end());
    return bins;
}

}  // namespace

// directCompute packs the two real channels into one complex transform: each
// channel's half spectrum must be its own DFT. Relative error (largest bin error
// over largest bin) below 1e-12 for every size; every bin is checked up to 8192
// points, a sample of bins above.
TEST(FFTEngine, DirectComputeMatchesNaiveDftForEveryPowerOfTwo) {
    for (size_t N = 2; N <= 65536; N *= 2) {
        FFTARadix2 engine{int(N)};
        ASSERT_EQ(engine.getSize(), int(N));
        const std::vector<double> in = stereoNoise(N, uint32_t(N));
        std::vector<double> out(2 * N + 4, 7.0);
        engine.directCompute(in.data(), out.data());
        const std::vector<size_t> bins = binsToCheck(N, N / 2 + 1);
        for (int c = 0; c < 2; ++c) {
            const std::vector<double> x = channel(in, c);
            const std::vector<Complex> ref = tk::naiveDft(std::vector<Complex>(x.begin(), x.end()), bins);
            double err = 0.0, scale = 0.0;
            for (size_t i = 0; i < bins.size(); ++i) {
                err = std::max(err, std::abs(bin(out, N, c, bins[i]) - ref[i]));
                scale = std::max(scale, std::abs(ref[i]));
            }
            EXPECT_LT(err / scale, 1e-12) << "N = " << N << ", channel " << c;
        }
        // Bins 0 and N/2 of a real signal are real, exactly.
        for (int c = 0; c < 2; ++c) {
            EXPECT_EQ(bin(out, N, c, 0).imag(), 0.0);
            EXPECT_EQ(bin(out, N, c, N / 2).imag(), 0.0);
        }
    }
}

TEST(FFTEngine, ComplexAndRealTransformsMatchNaiveDft) {
    for (size_t N : {size_t(1), size_t(2), size_t(8), size_t(64), size_t(512), size_t(4096), size_t(32768)}) {
        FFTARadix2 engine{int(N)};
        const std::vector<double> in = stereoNoise(N, 99u + uint32_t(N));
        std::vector<Complex> z(N);
        for (size_t n = 0; n < N; ++n) z[n] = Complex(in[2 * n], in[2 * n + 1]);
        std::vector<double> out(2 * N);
        engine.complexCompute(in.data(), out.data());
        const std::vector<size_t> bins = binsToCheck(N, N);
        const std::vector<Complex> ref = tk::naiveDft(z, bins);
        double err = 0.0, scale = 0.0;
        for (size_t i = 0; i < bins.size(); ++i) {
            err = std::max(err, std::abs(Complex(out[2 * bins[i]], out[2 * bins[i] + 1]) - ref[i]));
            scale = std::max(scale, std::abs(ref[i]));
        }
        EXPECT_LT(err / scale, 1e-12) << "complex, N = " << N;

        const std::vector<double> x = channel(in, 0);
        std::vector<double> real(N + 2);
        engine.directComputeReal(x.data(), real.data());
        const std::vector<size_t> rbins = binsToCheck(N, N / 2 + 1);
        const std::vector<Complex> rref = tk::naiveDft(std::vector<Complex>(x.begin(), x.end()), rbins);
        err = 0.0;
        scale = 0.0;
        for (size_t i = 0; i < rbins.size(); ++i) {
            err = std::max(err, std::abs(Complex(real[2 * rbins[i]], real[2 * rbins[i] + 1]) - rref[i]));
            scale = std::max(scale, std::abs(rref[i]));
        }
        EXPECT_LT(err / scale, 1e-12) << "real, N = " << N;
    }
}

// The packed transform equals two separate real transforms, and inverse
// returns the frames it was given.
TEST(FFTEngine, PackedChannelsEqualSeparateTransformsAndInverseRoundTrips) {
    for (size_t N = 1; N <= 65536; N *= 2) {
        FFTARadix2 engine{int(N)};
        const std::vector<double> in = stereoNoise(N, 5u * uint32_t(N) + 1u);
        std::vector<double> packed(2 * N + 4);
        engine.directCompute(in.data(), packed.data());
        for (int c = 0; c < 2; ++c) {
            const std::vector<double> x = channel(in, c);
            std::vector<double> single(N + 2);
            engine.directComputeReal(x.data(), single.data());
            double err = 0.0;
            for (size_t k = 0; k <= N / 2; ++k)
                err = std::max(err, std::abs(bin(packed, N, c, k) - Complex(single[2 * k], single[2 * k + 1])));
            EXPECT_LT(err, 1e-12 * std::sqrt(double(N)) * 4.0) << "N = " << N << ", channel " << c;
        }
        std::vector<double> back(2 * N);
        engine.inverseCompute(packed.data(), back.data());
        double err = 0.0;
        for (size_t i = 0; i < 2 * N; ++i) err = std::max(err, std::fabs(back[i] - in[i]));
        EXPECT_LT(err, 1e-13 * std::log2(double(N) + 1.0) + 1e-15) << "N = " << N;
    }
}

TEST(FFTEngine, ConstantLeftChannelIsAllInBinZero) {
    const size_t N = 256;
    FFTARadix2 engine{int(N)};
    std::vector<double> in(2 * N, 0.0);
    for (size_t n = 0; n < N; ++n) in[2 * n] = 1.0;
    std::vector<double> out(2 * N + 4, 3.0);
    engine.directCompute(in.data(), out.data());
    EXPECT_DOUBLE_EQ(bin(out, N, 0, 0).real(), double(N));
    for (size_t k = 0; k <= N / 2; ++k) {
        if (k > 0) {
            EXPECT_NEAR(std::abs(bin(out, N, 0, k)), 0.0, 1e-12) << k;
        }
        EXPECT_NEAR(std::abs(bin(out, N, 1, k)), 0.0, 1e-12) << k;
    }
}

// Imaginary parts at bins 0 and N/2 cannot come from real frames; the inverse
// ignores them instead of mixing one channel into the other.
TEST(FFTEngine, InverseKeepsChannelsApartWhenEdgeBinsAreNotReal) {
    const size_t N = 16;
    FFTARadix2 engine{int(N)};
    std::vector<double> spectrum(2 * N + 4, 0.0);
    spectrum[0] = double(N);             // left DC
    spectrum[1] = 5.0;                   // stray imaginary part
    spectrum[2 * (N / 2 + 1) + N + 1] = -3.0;  // right bin N/2, stray imaginary part
    std::vector<double> out(2 * N);
    engine.inverseCompute(spectrum.data(), out.data());
    for (size_t n = 0; n < N; ++n) {
        EXPECT_NEAR(out[2 * n], 1.0, 1e-15);
        EXPECT_NEAR(out[2 * n + 1], 0.0, 1e-15);
    }
}

TEST(FFTEngine, BadSizesLeaveAnEmptyEngineAndSayWhy) {
    for (int n : {0, 3, 1000, -8, FFTARadix2::kMaxSize * 2}) {
        FFTARadix2 engine(n);
        EXPECT_EQ(engine.getSize(), 0) << n;
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(QString("FFT size %1 ").arg(n))) << n;
        // An empty engine transforms nothing and touches nothing.
        std::vector<double> buf(8, 1.5);
        engine.directCompute(buf.data(), buf.data());
        engine.inverseCompute(buf.data(), buf.data());
        engine.directComputeReal(buf.data(), buf.data());
        EXPECT_EQ(buf, std::vector<double>(8, 1.5));
    }
    FFTARadix2 engine(64);
    EXPECT_EQ(engine.setSize(64), SoundTools::Ok);
    EXPECT_EQ(engine.setSize(48), SoundTools::Error);
    EXPECT_EQ(engine.getSize(), 0);
    EXPECT_EQ(engine.setSize(32), SoundTools::Ok);
    EXPECT_EQ(engine.getSize(), 32);
}

TEST(FFTEngine, OnePointTransformIsTheIdentity) {
    FFTARadix2 engine(1);
    ASSERT_EQ(engine.getSize(), 1);
    const double in[2] = {0.25, -0.5};
    double spectrum[6] = {9, 9, 9, 9, 9, 9};
    engine.directCompute(in, spectrum);
    EXPECT_EQ(spectrum[0], 0.25);
    EXPECT_EQ(spectrum[1], 0.0);
    EXPECT_EQ(spectrum[2], -0.5);
    EXPECT_EQ(spectrum[3], 0.0);
    double back[2];
    engine.inverseCompute(spectrum, back);
    EXPECT_EQ(back[0], 0.25);
    EXPECT_EQ(back[1], -0.5);
}

TEST(FFTEngine, CopiesAreIndependentEngines) {
    FFTARadix2 a(128);
    FFTARadix2 b(a);
    FFTARadix2 c;
    c = a;
    a.setSize(64);
    const std::vector<double> in = stereoNoise(128, 3);
    std::vector<double> sb(2 * 128 + 4), sc(2 * 128 + 4);
    b.directCompute(in.data(), sb.data());
    c.directCompute(in.data(), sc.data());
    EXPECT_EQ(b.getSize(), 128);
    EXPECT_EQ(sb, sc);
}
