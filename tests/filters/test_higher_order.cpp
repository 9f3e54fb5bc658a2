// Butterworth builders against an independent bilinear Butterworth design (poles
// placed on the prewarped circle and mapped with z = (1 + s) / (1 - s)), and the
// A weighting against the standard curve.
#include <cmath>
#include <complex>
#include <iomanip>
#include <sstream>

#include "common/FilterKit.h"
#include "common/MessageCapture.h"
#include "tonewright/SoundFilterBuilders.h"

using namespace SoundTools;
using cd = std::complex<double>;
using tk::Frame;
using tk::Frames;

namespace {
const unsigned kRates[] = {22050, 44100, 48000, 96000};

// Real polynomial (in z^-1, leading 1) with the given roots.
std::valarray<double> fromRoots(const std::vector<cd>& roots) {
    std::vector<cd> p = {1.0};
    for (const cd& r : roots) {
        std::vector<cd> q(p.size() + 1, 0.0);
        for (size_t i = 0; i < p.size(); ++i) {
            q[i] += p[i];
            q[i + 1] -= r * p[i];
        }
        p = q;
    }
    std::valarray<double> out(p.size());
    for (size_t i = 0; i < p.size(); ++i) out[i] = p[i].real();
    return out;
}

// Bilinear Butterworth of order n: b (unnormalised shape times gain) and a.
void butterworth(int n, bool lowPass, double fc, double fs, std::valarray<double>& b, std::valarray<double>& a) {
    const double wc = std::tan(M_PI * fc / fs);
    std::vector<cd> poles, zeros;
    for (int k = 0; k < n; ++k) {
        const cd p = std::polar(1.0, M_PI * (2.0 * k + n + 1) / (2.0 * n));  // left half plane
        const cd s = lowPass ? wc * p : wc / p;                               // LP -> HP: s -> wc^2 / s
        poles.push_back((1.0 + s) / (1.0 - s));
        zeros.push_back(lowPass ? -1.0 : 1.0);
    }
    a = fromRoots(poles);
    b = fromRoots(zeros);
    // Unity gain in the pass band (DC for a low-pass, Nyquist for a high-pass).
    const double at = lowPass ? 0.0 : fs / 2.0;
    b /= std::abs(tk::response(b, a, at, fs));
}

// The standard A-weighting curve (dB).
double aWeighting(double f) {
    const double f2 = f * f;
    const double ra = 12194.0 * 12194.0 * f2 * f2 /
                      ((f2 + 20.6 * 20.6) * std::sqrt((f2 + 107.7 * 107.7) * (f2 + 737.9 * 737.9)) *
                       (f2 + 12194.0 * 12194.0));
    return 20.0 * std::log10(ra) + 2.0;
}
}  // namespace

TEST(HigherOrder, ButterworthBuildersMatchABilinearButterworthDesign) {
    struct Case {
        int order;
        std::function<std::shared_ptr<FilterBuilder>(FilterType, double)> make;
    };
    const Case cases[] = {
        {1, [](FilterType t, double f) { return std::make_shared<Order1FilterBuilder>(t, f); }},
        {4, [](FilterType t, double f) { return std::make_shared<Order4FilterBuilder>(t, f); }},
        {6, [](FilterType t, double f) { return std::make_shared<Order6FilterBuilder>(t, f); }},
    };
    for (const Case& c : cases)
        for (FilterType type : {LowPass, HighPass})
            for (unsigned fs : kRates)
                for (double fc : {80.0, 1000.0, 6000.0}) {
                    SCOPED_TRACE(::testing::Message() << "order " << c.order << " type " << type << " fs " << fs
                                                      << " fc " << fc);
                    auto filter = c.make(type, fc)->buildFilter(fs);
                    ASSERT_EQ(filter->size(), unsigned(c.order + 1));
                    std::valarray<double> b, a;
                    butterworth(c.order, type == LowPass, fc, fs, b, a);
                    // Normalise the built lists to a0 = 1 (the first-order high-pass is not).
                    // Poles: the section Qs are given to 7 digits, so the lists agree
                    // to ~1e-6. Zeros: the binomial shape, exactly (the scale is
                    // checked by the responses below).
                    const double a0 = filter->getACoeff()[0];
                    const double b0 = filter->getBCoeff()[0];
                    for (size_t k = 0; k < b.size(); ++k) {
                        EXPECT_NEAR(filter->getACoeff()[k] / a0, a[k], 2e-6 * std::max(1.0, std::fabs(a[k])));
                        EXPECT_NEAR(filter->getBCoeff()[k] / b0, b[k] / b[0], 1e-9 * std::fabs(b[k] / b[0]) + 1e-12);
                    }
                    for (double r : {0.1, 0.5, 1.0, 2.0, 4.0}) {
                        const double f = fc * r;
                        if (f >= 0.49 * fs) continue;
                        const double w = std::tan(M_PI * f / fs) / std::tan(M_PI * fc / fs);
                        const double w2n = std::pow(w, 2 * c.order);
                        const double expect = type == LowPass ? 1.0 / (1.0 + w2n) : w2n / (1.0 + w2n);
                        const double got = std::norm(tk::response(filter->getBCoeff(), filter->getACoeff(), f, fs));
                        // A high-order direct form with poles (and, for a high-pass,
                        // zeros) crowding z = 1 is ill-conditioned: rounding its
                        // coefficients moves the magnitude by about
                        // eps * (sum|a_k| / |A(f)| + sum|b_k| / |B(f)|), relative.
                        auto sumAbs = [](const std::valarray<double>& p) {
                            double sum = 0.0;
                            for (double v : p) sum += std::fabs(v);
                            return sum;
                        };
                        const auto& fa = filter->getACoeff();
                        const auto& fb = filter->getBCoeff();
                        // |B| exactly: b0 |1 -+ z^-1|^n.
                        const double zeroFactor =
                            2.0 * (type == LowPass ? std::cos(M_PI * f / fs) : std::sin(M_PI * f / fs));
                        const double condB = sumAbs(fb) / (std::fabs(fb[0]) * std::pow(zeroFactor, c.order));
                        const double condA = sumAbs(fa) / std::abs(tk::response(fa, {1.0}, f, fs));
                        const double rel = 4.0 * 2.2e-16 * (condA + condB);
                        const double tol = 1e-6 + ((1.0 + rel) * (1.0 + rel) - 1.0) * expect;
                        EXPECT_NEAR(got, expect, tol) << "f " << f;
                    }
                }
}

// The crossover pair: -3.01 dB at the corner, DC gain 1, and the two outputs sum
// in power to unity across the band.
TEST(HigherOrder, FourthOrderPairIsPowerComplementary) {
    for (unsigned fs : kRates) {
        for (double fc : {100.0, 1000.0, 5000.0}) {
            auto lp = Order4FilterBuilder(LowPass, fc).buildFilter(fs);
            auto hp = Order4FilterBuilder(HighPass, fc).buildFilter(fs);
            EXPECT_NEAR(tk::responseDb(lp->getBCoeff(), lp->getACoeff(), fc, fs), -3.0103, 1e-4);
            EXPECT_NEAR(tk::responseDb(lp->getBCoeff(), lp->getACoeff(), 0.0, fs), 0.0, 1e-5);
            for (double f = 10.0; f < fs / 2.0; f *= 1.25) {
                const double sum = std::norm(tk::response(lp->getBCoeff(), lp->getACoeff(), f, fs)) +
                                   std::norm(tk::response(hp->getBCoeff(), hp->getACoeff(), f, fs));
                ASSERT_NEAR(sum, 1.0, 1e-5) << "fs " << fs << " fc " << fc << " f " << f;
            }
        }
    }
}

TEST(HigherOrder, CornersAtNyquistPassThrough) {
    for (auto builder : std::vector<std::shared_ptr<FilterBuilder>>{
             std::make_shared<Order1FilterBuilder>(LowPass, 22050.0),
             std::make_shared<Order1FilterBuilder>(HighPass, 30000.0),
             std::make_shared<Order4FilterBuilder>(LowPass, 22050.0),
             std::make_shared<Order6FilterBuilder>(HighPass, 22050.0)}) {
        auto f = builder->buildFilter(44100);
        const Frames in = tk::noise(500, 0.5, 3);
        EXPECT_TRUE(tk::framesNear(tk::filterInChunks(*f, in, {500}), in, 0.0));
    }
}

TEST(HigherOrder, UnsupportedTypesAreReported) {
    {
        tk::MessageCapture log;
        auto f = Order1FilterBuilder(BandEq, 1000.0).buildFilter(44100);
        ASSERT_EQ(log.messages(QtCriticalMsg).size(), 1);
        EXPECT_EQ(log.messages(QtCriticalMsg)[0], "Unsupported FirstOrderFilter Eq mode : 5");
        const Frames in = tk::noise(300);
        EXPECT_TRUE(tk::framesNear(tk::filterInChunks(*f, in, {300}), in, 0.0));  // pass-through
    }
    {
        // The fourth-order builder hands the type to its biquad sections.
        tk::MessageCapture log;
        auto f = Order4FilterBuilder(BandStop, 1000.0).buildFilter(44100);
        EXPECT_EQ(log.messages(QtCriticalMsg).size(), 2);
        EXPECT_TRUE(log.contains("Unsupported Biquad Eq mode : 2"));
        Frames x = tk::noise(300);
        f->filter(x.data(), x.data(), 300);
        EXPECT_EQ(tk::peak(x), 0.0);
    }
}

// A weighting: largest coefficient exactly 1, within 0.025 dB of the standard
// curve at 1 kHz, and within 0.1 dB of it at the third-octave frequencies from
// 10 Hz up to a limit set by the bilinear transform's frequency warping (no
// prewarping): 3.2 kHz at 22050 Hz (worst 0.053 dB), 4 kHz at 44100 Hz
// (0.039 dB), 5 kHz at 48000 Hz (0.089 dB), 6.3 kHz at 96000 Hz (0.052 dB).
// Above those the response falls away: at 10 kHz it is 1.5 dB low at 44100 Hz.
TEST(HigherOrder, AWeightingFollowsTheStandardCurve) {
    // IEC 61672 A-weighting table (dB, rounded to 0.1) at the exact base-ten
    // third-octave frequencies 1000 * 10^(k/10), k = -20 .. 13.
    const double table[] = {-70.4, -63.4, -56.7, -50.5, -44.7, -39.4, -34.6, -30.2, -26.2, -22.5, -19.1, -16.1,
                            -13.4, -10.9, -8.6,  -6.6,  -4.8,  -3.2,  -1.9,  -0.8,  0.0,   0.6,   1.0,   1.2,
                            1.3,   1.2,   1.0,   0.5,   -0.1,  -1.1,  -2.5,  -4.3,  -6.6,  -9.3};
    struct Limit {
        unsigned fs;
        double fmax;  // highest table frequency held to 0.1 dB
    };
    const Limit limits[] = {{22050, 3200.0}, {44100, 4000.0}, {48000, 5100.0}, {96000, 6400.0}};
    std::ostringstream report;
    for (const Limit& lim : limits) {
        auto f = WeightingFilterBuilder().buildFilter(lim.fs);
        double m = 0.0;
        for (double v : f->getBCoeff()) m = std::max(m, std::fabs(v));
        for (double v : f->getACoeff()) m = std::max(m, std::fabs(v));
        EXPECT_EQ(m, 1.0);
        EXPECT_EQ(f->size(), 7u);
        EXPECT_NEAR(tk::responseDb(f->getBCoeff(), f->getACoeff(), 1000.0, lim.fs), 0.0, 0.025) << lim.fs;
        double worst = 0.0;
        for (int k = -20; k <= 13; ++k) {
            const double freq = 1000.0 * std::pow(10.0, k / 10.0);
            if (freq >= lim.fs / 2.0) break;
            const double got = tk::responseDb(f->getBCoeff(), f->getACoeff(), freq, lim.fs);
            if (freq > lim.fmax) continue;
            worst = std::max(worst, std::fabs(got - aWeighting(freq)));
            EXPECT_NEAR(got, aWeighting(freq), 0.1) << "fs " << lim.fs << " f " << freq;
            EXPECT_NEAR(got, table[k + 20], 0.15) << "fs " << lim.fs << " f " << freq;  // table rounding
        }
        report << lim.fs << " Hz: worst " << std::setprecision(3) << worst << " dB up to " << lim.fmax << " Hz; ";
    }
    RecordProperty("AWeightingDeviation", report.str());
}

// Corners so low that the multiplied-out denominator would put poles outside
// the unit circle are raised (with a warning) until it does not; zero, negative
// and NaN corners and corners at or above Nyquist give finite output too.
TEST(HigherOrder, BadCornersNeverProduceNonFiniteOutput) {
    tk::MessageCapture log;
    const Frames in = tk::noise(200000, 0.5, 13);
    int raised = 0;
    for (unsigned fs : kRates)
        for (double fc : {-100.0, 0.0, 1.0, 5.0, 20.0, double(NAN), fs / 2.0, 1e12})
            for (FilterType type : {LowPass, HighPass})
                for (int order : {1, 4, 6}) {
                    std::shared_ptr<Filter> f;
                    if (order == 1) f = Order1FilterBuilder(type, fc).buildFilter(fs);
                    if (order == 4) f = Order4FilterBuilder(type, fc).buildFilter(fs);
                    if (order == 6) f = Order6FilterBuilder(type, fc).buildFilter(fs);
                    Frames x = in;
                    f->filter(x.data(), x.data(), unsigned(x.size()));
                    double peak = 0.0;
                    for (const Frame& fr : x) peak = std::max(peak, fr.absmax());
                    ASSERT_LT(peak, 10.0) << "order " << order << " type " << type << " fc " << fc << " fs " << fs;
                }
    for (const QString& m : log.messages(QtWarningMsg)) raised += m.contains("is too low for a direct-form filter");
    EXPECT_GT(raised, 0);
    // Usual corners are designed as asked.
    log.clear();
    Order4FilterBuilder(HighPass, 20.0).buildFilter(96000);
    Order6FilterBuilder(LowPass, 60.0).buildFilter(96000);
    Order6FilterBuilder(LowPass, 30.0).buildFilter(44100);
    EXPECT_TRUE(log.messages().isEmpty());
}
