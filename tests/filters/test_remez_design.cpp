// The Remez exchange design, judged on the frequency response of the taps it
// returns (evaluated from the coefficients, independently of the design's grid):
// equiripple, optimal (alternation), ripple against the targets of the FIR
// equaliser and the FFT filter, degenerate bands and bad arguments.
#include <algorithm>
#include <functional>
#include <cmath>
#include <cstdio>

#include "common/EqualiserKit.h"
#include "common/FourierKit.h"
#include "tonewright/RemezDesign.h"

using SoundTools::RemezBand;
using SoundTools::RemezDesign;
using SoundTools::RemezReport;
using Kind = SoundTools::FilterType;
using SoundTools::BandPass;
using SoundTools::BandStop;
using SoundTools::HighPass;
using SoundTools::LowPass;

namespace {

const double kDeltaP = tk::equaliserPassRipple();  // 0.5 dB peak to peak

std::vector<RemezBand> bandsFor(Kind kind, double f1, double f2, double transition, double stopWeight) {
    switch (kind) {
        case LowPass: return RemezDesign::lowPass(f1, transition, stopWeight);
        case HighPass: return RemezDesign::highPass(f1, transition, stopWeight);
        case BandPass: return RemezDesign::bandPass(f1, f2, transition, stopWeight);
        default: return RemezDesign::bandStop(f1, f2, transition, stopWeight);
    }
}

// One filter as the FFT filter designs it: 447 taps, transition 0.005, stop
// ripple 1e-3, edges clamped to [0.005, 0.5].
struct Design {
    std::string name;
    std::vector<RemezBand> bands;
    unsigned taps;
    double deltaS;
};

Design fftFilter(Kind kind, double low, double high, double rate) {
    const double deltaS = 1e-3;
    const double f1 = std::min(0.5, std::max(0.005, low / rate));
    const double f2 = std::min(0.5, std::max(0.005, high / rate));
    char name[128];
    std::snprintf(name, sizeof name, "FFT filter %s %g-%g Hz at %g Hz", tk::filterTypeName(kind).c_str(), low, high,
                  rate);
    return {name, bandsFor(kind, f1, f2, 0.005, kDeltaP / deltaS), 447, deltaS};
}

// One filter as the FIR equaliser designs it: transition 2 low / fs (low-pass,
// band-stop) or low / 2 fs (band-pass, high-pass), stop ripple 1e-2, the length
// from the estimate.
Design firEqualiser(Kind kind, double low, double high, double rate) {
    const double deltaS = 1e-2;
    const double transition = (kind == LowPass || kind == BandStop) ? 2.0 * low / rate : 0.5 * low / rate;
    const double f1 = std::min(0.5, low / rate);
    const double f2 = std::min(0.5, high / rate);
    char name[128];
    std::snprintf(name, sizeof name, "FIR equaliser %s %g-%g Hz at %g Hz", tk::filterTypeName(kind).c_str(), low,
                  high, rate);
    return {name, bandsFor(kind, f1, f2, transition, kDeltaP / deltaS),
            RemezDesign::estimateTaps(kDeltaP, deltaS, transition), deltaS};
}

// Zero-phase amplitude of symmetric taps: H(f) e^(i pi f (N-1)).
double amplitude(const std::vector<double>& h, double f) {
    const tk::Complex H = tk::firResponse(h, f);
    const double a = M_PI * f * double(h.size() - 1);
    return (H * tk::Complex(std::cos(a), std::sin(a))).real();
}

struct Measured {
    double pass = 0.0;          // largest |A - 1| over the pass bands
    double stop = 0.0;          // largest |A| over the stop bands
    unsigned alternations = 0;  // sign alternations of the weighted error at the level `level`
};

// Samples every band at 16 points per 1/taps of frequency, band edges included.
// Extrema of the weighted error are refined by a parabola through the samples
// around them; alternations count the changes of sign among the extrema that
// reach `level`.
Measured measure(const std::vector<double>& h, const std::vector<RemezBand>& bands, double level) {
    Measured m;
    int sign = 0;
    for (const RemezBand& b : bands) {
        const size_t points = std::max<size_t>(32, size_t(std::ceil((b.high - b.low) * 16.0 * double(h.size()))));
        std::vector<double> e(points + 1);
        for (size_t i = 0; i <= points; ++i) {
            const double f = b.low + (b.high - b.low) * double(i) / double(points);
            const double a = amplitude(h, f);
            if (b.desired > 0.5)
                m.pass = std::max(m.pass, std::fabs(a - b.desired));
            else
                m.stop = std::max(m.stop, std::fabs(a));
            e[i] = b.weight * (b.desired - a);
        }
        for (size_t i = 0; i <= points; ++i) {
            const double left = i > 0 ? std::fabs(e[i - 1]) : 0.0;
            const double right = i < points ? std::fabs(e[i + 1]) : 0.0;
            const double mid = std::fabs(e[i]);
            if (mid < left || mid < right) continue;
            double peak = mid;
            if (i > 0 && i < points) {
                const double curvature = left - 2.0 * mid + right;
                if (curvature < 0.0) peak = mid - (right - left) * (right - left) / (8.0 * curvature);
            }
            if (peak < level) continue;
            const int s = e[i] > 0 ? 1 : -1;
            if (s != sign) ++m.alternations;
            sign = s;
        }
    }
    return m;
}

bool symmetric(const std::vector<double>& h) {
    for (size_t i = 0; i < h.size(); ++i)
        if (h[i] != h[h.size() - 1 - i] || !std::isfinite(h[i])) return false;
    return true;
}

// Checks one design at its own length: equiripple and optimal. (How far the
// ripples land from the targets is bounded by the equalisers' own tests.)
void checkOptimal(const Design& d) {
    std::vector<double> h;
    RemezReport report;
    EXPECT_EQ(RemezDesign::design(d.taps, d.bands, h, &report), SoundTools::Ok) << d.name;
    EXPECT_EQ(h.size(), d.taps) << d.name;
    EXPECT_TRUE(symmetric(h)) << d.name;
    EXPECT_TRUE(report.converged) << d.name;
    EXPECT_LE(report.iterations, RemezDesign::kMaxIterations) << d.name;
    const Measured m = measure(h, report.bands, 0.98 * report.deviation);
    const double stopWeight = kDeltaP / d.deltaS;
    // Equiripple: the response shows the design's deviation in the pass bands and
    // the deviation over the stop-band weight in the stop bands (between the
    // points of the design's grid the error may peak a little higher).
    EXPECT_NEAR(m.pass, report.deviation, 0.05 * report.deviation) << d.name;
    EXPECT_NEAR(m.stop, report.deviation / stopWeight, 0.05 * report.deviation / stopWeight) << d.name;
    // Optimal: at least r + 1 alternations of the weighted error, r being the
    // number of free coefficients: taps/2 + 1 for odd lengths (so taps/2 + 2
    // alternations), taps/2 for even ones.
    const unsigned r = d.taps % 2 ? d.taps / 2 + 1 : d.taps / 2;
    EXPECT_GE(m.alternations, r + 1) << d.name;
}

}  // namespace

// The designs of the FFT filter (447 taps from a length estimate that does not
// look at where the bands lie) and of the FIR equaliser, on the bands their rules
// give; TargetsAreMetWithEnoughTaps shows the targets reached once the length
// suffices.
TEST(RemezDesign, EqualiserDesignsAreOptimalEquiripple) {
    struct Family {
        const char* name;
        std::function<Design(Kind, double, double)> design;
        std::vector<double> rates, lows;
        double highFactor;
        bool clampsEdges;
    };
    const Family families[] = {
        {"FFT filter", [](Kind k, double low, double rate) { return fftFilter(k, low, 3.0 * low, rate); },
         {44100.0, 96000.0}, {300.0, 2000.0, 9000.0}, 3.0, true},
        {"FIR equaliser", [](Kind k, double low, double rate) { return firEqualiser(k, low, 8.0 * low, rate); },
         {44100.0, 48000.0}, {250.0, 1000.0, 3000.0}, 8.0, false},
    };
    for (const Family& family : families)
        for (double rate : family.rates)
            for (double low : family.lows)
                for (Kind kind : {LowPass, HighPass, BandPass, BandStop}) {
                    const Design d = family.design(kind, low, rate);
                    std::vector<double> h;
                    RemezReport report;
                    // A stop band left empty by the clamped edges: a high-pass or
                    // band-stop then passes everything, exactly.
                    const bool noLowStop = low / rate <= 0.005 && (kind == HighPass || kind == BandPass);
                    const bool noNotch = kind == BandStop && family.highFactor * low / rate - 0.005 <=
                                                                 std::max(0.005, low / rate) + 0.005;
                    if (family.clampsEdges && (noLowStop || noNotch)) {
                        ASSERT_EQ(RemezDesign::design(d.taps, d.bands, h, &report), SoundTools::Ok) << d.name;
                        EXPECT_TRUE(report.converged) << d.name;
                        if (kind != BandPass) {
                            EXPECT_LT(report.deviation, 1e-9) << d.name;
                            EXPECT_NEAR(amplitude(h, 0.01), 1.0, 1e-9) << d.name;
                        }
                        continue;
                    }
                    // An even length cannot pass half the sample rate: its
                    // response is zero there, whatever the design.
                    bool passesHalf = false;
                    for (const RemezBand& b : d.bands) passesHalf = passesHalf || (b.desired > 0.5 && b.high >= 0.5);
                    if (passesHalf && d.taps % 2 == 0) {
                        ASSERT_EQ(RemezDesign::design(d.taps, d.bands, h), SoundTools::Ok) << d.name;
                        EXPECT_NEAR(amplitude(h, 0.5), 0.0, 1e-12) << d.name;
                        continue;
                    }
                    checkOptimal(d);
                }
    // With N = 512 the FFT filter is limited to N/2 = 256 taps: an even length,
    // whose optimum alternates taps/2 + 1 times.
    Design even = fftFilter(LowPass, 2000.0, 0.0, 44100.0);
    even.taps = 256;
    checkOptimal(even);
}

TEST(RemezDesign, LengthEstimate) {
    EXPECT_EQ(RemezDesign::estimateTaps(kDeltaP, 1e-2, 2000.0 / 44100.0), 35u);
    EXPECT_EQ(RemezDesign::estimateTaps(kDeltaP, 1e-2, 500.0 / 44100.0), 137u);
    EXPECT_EQ(RemezDesign::estimateTaps(kDeltaP, 1e-3, 0.005), 447u);
    EXPECT_EQ(RemezDesign::estimateTaps(kDeltaP, 1e-3, 0.0), 0u);
    EXPECT_EQ(RemezDesign::estimateTaps(kDeltaP, 1e-3, -0.1), 0u);
    EXPECT_EQ(RemezDesign::estimateTaps(kDeltaP, 1e-3, std::nan("")), 0u);
    EXPECT_EQ(RemezDesign::estimateTaps(0.0, 1e-3, 0.01), 0u);
    EXPECT_EQ(RemezDesign::estimateTaps(kDeltaP, 1e-3, 1e-9), RemezDesign::kMaxTaps);
    EXPECT_EQ(RemezDesign::estimateTaps(kDeltaP, 1e-2, 10.0), 1u);
}

// Edges outside 0 .. 0.5, out of order, collapsed or overlapping: the design is
// made of what is left and returns at once.
TEST(RemezDesign, DegenerateBandsNeitherHangNorCrash) {
    struct Case {
        const char* name;
        std::vector<RemezBand> bands;
        unsigned taps;
        double passAt;  // a frequency where the result must pass (negative: none)
        double stopAt;  // a frequency where it must stop (negative: none)
    };
    const double w = 28.0;
    const std::vector<Case> cases = {
        {"low-pass at 0.5: no stop band left", RemezDesign::lowPass(0.5, 0.1, w), 31, 0.3, -1},
        {"low-pass above 0.5", RemezDesign::lowPass(0.7, 0.05, w), 31, 0.45, -1},
        {"high-pass at 0: no stop band left", RemezDesign::highPass(0.0, 0.05, w), 31, 0.2, -1},
        {"high-pass edge below 0", RemezDesign::highPass(0.02, 0.05, w), 31, 0.3, -1},
        {"band-pass reaching past both ends", RemezDesign::bandPass(0.01, 0.49, 0.05, w), 31, 0.25, -1},
        {"band-stop narrower than its transitions", RemezDesign::bandStop(0.2, 0.22, 0.05, w), 31, 0.1, -1},
        {"bands given in reverse", {{0.3, 0.5, 0.0, w}, {0.0, 0.2, 1.0, 1.0}}, 41, 0.1, -1},
        {"edges of one band swapped", {{0.2, 0.0, 1.0, 1.0}, {0.25, 0.5, 0.0, w}}, 41, -1, 0.4},
        // No transition band: a poor filter, but a filter.
        {"overlapping bands", {{0.0, 0.3, 1.0, 1.0}, {0.2, 0.5, 0.0, w}}, 41, -1, -1},
        {"touching bands", {{0.0, 0.25, 1.0, 1.0}, {0.25, 0.5, 0.0, w}}, 41, -1, -1},
        {"a single all-pass band", {{0.0, 0.5, 1.0, 1.0}}, 25, 0.37, -1},
        {"a single stop band", {{-1.0, 2.0, 0.0, 1.0}}, 25, -1, 0.2},
        {"zero-width bands among good ones", {{0.0, 0.1, 1.0, 1.0}, {0.15, 0.15, 0.0, w}, {0.2, 0.5, 0.0, w}}, 41, 0.05, 0.3},
    };
    for (const Case& c : cases) {
        std::vector<double> h;
        RemezReport report;
        ASSERT_EQ(RemezDesign::design(c.taps, c.bands, h, &report), SoundTools::Ok) << c.name;
        ASSERT_EQ(h.size(), c.taps) << c.name;
        EXPECT_TRUE(symmetric(h)) << c.name;
        for (const RemezBand& b : report.bands) {
            EXPECT_GE(b.low, 0.0) << c.name;
            EXPECT_LE(b.high, 0.5) << c.name;
            EXPECT_LT(b.low, b.high) << c.name;
        }
        if (c.passAt >= 0) {
            EXPECT_NEAR(amplitude(h, c.passAt), 1.0, 0.05) << c.name;
        }
        if (c.stopAt >= 0) {
            EXPECT_NEAR(amplitude(h, c.stopAt), 0.0, 0.05) << c.name;
        }
    }
}

TEST(RemezDesign, BadArgumentsGiveAnError) {
    const std::vector<RemezBand> good = RemezDesign::lowPass(0.1, 0.05, 10.0);
    struct Case {
        const char* name;
        unsigned taps;
        std::vector<RemezBand> bands;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"no taps", 0, good, "0 taps"},
        {"too many taps", RemezDesign::kMaxTaps + 1, good, "taps cannot be designed"},
        {"no band", 31, {}, "no band"},
        {"bands outside 0 .. 0.5", 31, {{0.6, 0.9, 1.0, 1.0}, {-0.5, -0.1, 0.0, 1.0}}, "no band"},
        {"zero weight", 31, {{0.0, 0.2, 1.0, 0.0}, {0.3, 0.5, 0.0, 1.0}}, "weight 0 is not positive"},
        {"negative weight", 31, {{0.0, 0.2, 1.0, -2.0}}, "is not positive"},
        {"not a number", 31, {{0.0, std::nan(""), 1.0, 1.0}}, "finite"},
        {"infinite gain", 31, {{0.0, 0.2, INFINITY, 1.0}}, "finite"},
        {"too few grid points", 101, {{0.1, 0.1001, 1.0, 1.0}}, "grid points"},
    };
    for (const Case& c : cases) {
        std::vector<double> h(5, 1.0);
        EXPECT_EQ(RemezDesign::design(c.taps, c.bands, h), SoundTools::Error) << c.name;
        EXPECT_TRUE(h.empty()) << c.name;
        EXPECT_TRUE(SoundDebuggableClass::getError().startsWith("RemezDesign::design : ")) << c.name;
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(c.message))
            << c.name << ": " << SoundDebuggableClass::getError().toStdString();
    }
}

TEST(RemezDesign, ShortFiltersAndTheArrayForm) {
    const std::vector<RemezBand> bands = RemezDesign::lowPass(0.1, 0.15, 5.0);
    for (unsigned taps = 1; taps <= 8; ++taps) {
        std::vector<double> h;
        RemezReport report;
        ASSERT_EQ(RemezDesign::design(taps, bands, h, &report), SoundTools::Ok) << taps;
        ASSERT_EQ(h.size(), taps);
        EXPECT_TRUE(symmetric(h)) << taps;
        // Never worse than no filter at all (weighted error 1 in the pass band).
        EXPECT_LE(report.deviation, 1.0 + 1e-12) << taps;
        if (taps >= 5) {
            EXPECT_GT(amplitude(h, 0.0), 0.5) << taps;
        }
    }
    const double edges[] = {0.0, 0.1, 0.25, 0.5};
    const double desired[] = {1.0, 0.0};
    const double weights[] = {1.0, 5.0};
    std::vector<double> a, b;
    ASSERT_EQ(RemezDesign::design(63, 2, edges, desired, weights, a), SoundTools::Ok);
    ASSERT_EQ(RemezDesign::design(63, bands, b), SoundTools::Ok);
    EXPECT_EQ(a, b);
    EXPECT_EQ(RemezDesign::design(63, 2, nullptr, desired, weights, a), SoundTools::Error);
}
