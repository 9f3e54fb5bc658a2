// Noise gate, integrator and bass boost: the gate and the integrator against
// models written from their definitions (whole-stream sums, no sliding state),
// run in small odd-sized blocks; the bass boost's structure and what it does to
// a spectrum; bad times and factors.
#include <cmath>
#include <limits>

#include "common/FilterKit.h"
#include "common/FourierKit.h"
#include "tonewright/SoundAlgoBassBoost.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoNoiseGate.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

Frames constant(size_t n, double l, double r) { return Frames(n, Frame(l, r)); }

// The gate by its definition: the mean square of each channel over frames
// i .. i+W-1 (zeros past the end), taken from prefix sums in extended precision;
// the gain falls by 1/N per frame below the threshold, and is 1 otherwise.
struct GateModel {
    Frames out;
    std::vector<double> gain;
};
GateModel gateModel(const Frames& in, double thresholdDb, double fadeTime, double windowTime) {
    const double w = std::floor(kRate * windowTime + 0.5);
    const size_t W = size_t(w >= 1 ? w : 0) | 1u;
    const double nf = std::floor(kRate * fadeTime + 0.5);
    const long N = nf >= 1 ? long(nf) : 1;
    const double t = tk::fromDb(thresholdDb);
    auto clean = [](double x) { return std::isfinite(x) ? x : 0.0; };
    std::vector<long double> pl(in.size() + 1, 0.0L), pr(in.size() + 1, 0.0L);
    for (size_t i = 0; i < in.size(); ++i) {
        pl[i + 1] = pl[i] + (long double)clean(in[i].l) * clean(in[i].l);
        pr[i + 1] = pr[i] + (long double)clean(in[i].r) * clean(in[i].r);
    }
    GateModel m;
    long closedSteps = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        const size_t end = std::min(in.size(), i + W);
        const double ml = std::sqrt(double((pl[end] - pl[i]) / (long double)W));
        const double mr = std::sqrt(double((pr[end] - pr[i]) / (long double)W));
        if (std::max(ml, mr) < t)
            closedSteps = std::min(closedSteps + 1, N);
        else
            closedSteps = 0;
        const double g = double(N - closedSteps) / double(N);
        m.gain.push_back(g);
        m.out.emplace_back(clean(in[i].l) * g, clean(in[i].r) * g);
    }
    return m;
}

// The integrator by its definition, over the whole stream at once.
Frames integratorModel(const Frames& in, double factor) {
    auto mono = [&](size_t i) {
        if (i >= in.size()) return 0.0;
        auto c = [](double x) { return std::isfinite(x) ? x : 0.0; };
        return (c(in[i].l) + c(in[i].r)) / 2.0;
    };
    Frames out;
    double acc = 0.0;
    for (size_t i = 0; i < in.size(); ++i) {
        acc += std::fabs(mono(i));
        const double v = factor * acc - 0.25;
        out.emplace_back(v, v);
        if (mono(i) < 0 && mono(i + 1) >= 0) acc = 0.0;
    }
    return out;
}

// Energy of the left channel between lo and hi (Hz) over n frames from `from`.
double bandEnergy(const Frames& f, size_t from, size_t n, double lo, double hi) {
    std::vector<double> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = f[from + i].l;
    const double binHz = double(kRate) / double(n);
    const size_t bins = size_t(hi / binHz) + 1;
    const std::vector<tk::Complex> X = tk::naiveDftReal(x, bins);
    double e = 0.0;
    for (size_t k = 0; k < bins; ++k)
        if (k * binHz >= lo && k * binHz < hi) e += std::norm(X[k]);
    return e;
}
}  // namespace

// ---------------------------------------------------------------- noise gate

TEST(NoiseGate, FollowsItsDefinition) {
    struct Case {
        const char* what;
        Frames in;
        double thresholdDb, fade, window;
    };
    const Case cases[] = {
        {"steady tone above the threshold", tk::sine(30000, kRate, 440, 0.1), -30, 0.01, 0.3},
        {"step down to silence and back up",
         tk::concat({tk::noise(20000, 0.5, 1), tk::silence(30000), tk::noise(20000, 0.5, 2)}), -30, 0.01, 0.3},
        {"step down to quiet noise and back up",
         tk::concat({tk::mixedStereo(15000, kRate), tk::noise(25000, 0.005, 3), tk::sine(15000, kRate, 200, 0.3)}),
         -30, 0.02, 0.1},
        {"one channel loud", tk::concat({constant(8000, 0.0, 0.2), constant(8000, 0.0, 0.001)}), -40, 0.005, 0.05},
        {"quiet from the start", tk::noise(12000, 0.001, 4), -30, 0.01, 0.3},
        {"bursts shorter than the window",
         tk::concat({tk::noise(3000, 0.4, 5), tk::silence(9000), tk::noise(500, 0.4, 6), tk::silence(9000)}), -30,
         0.01, 0.05},
    };
    for (const Case& c : cases) {
        auto gate = SoundRef<SoundAlgoNoiseGate>::make(c.thresholdDb, c.fade, c.window);
        const Frames out = tk::run(*gate, c.in, kRate, 61);
        EXPECT_TRUE(tk::framesNear(out, gateModel(c.in, c.thresholdDb, c.fade, c.window).out, 1e-12)) << c.what;
    }
}

TEST(NoiseGate, ClosesLinearlyInTheFadeTimeAndOpensAtOnce) {
    // A constant level shows the gain itself: out / in.
    const size_t down = 20000, up = 50000, end = 80000;
    const Frames in = tk::concat({constant(down, 0.5, 0.5), tk::silence(up - down), constant(end - up, 0.5, 0.5)});
    auto gate = SoundRef<SoundAlgoNoiseGate>::make(-30.0, 0.01, 0.3);
    const size_t W = gate->getInOverlap(kRate), N = 441;
    EXPECT_EQ(W, 13231u) << "floor(0.3 * 44100 + 0.5), made odd";
    const Frames out = tk::run(*gate, in, kRate, 1000);
    ASSERT_EQ(out.size(), in.size());
    // The window looks ahead: it falls below -30 dB while k loud frames remain in
    // it, 0.25 k / W < 0.001, i.e. from k = 52 on. From there the gain falls by
    // 1/N per frame and the gate is silent N frames after its first step.
    const size_t closeStart = down - 52;
    for (size_t i = 0; i < closeStart; ++i) ASSERT_EQ(out[i].l, 0.5) << i;
    for (size_t j = 1; closeStart + j - 1 < down; ++j)
        ASSERT_NEAR(out[closeStart + j - 1].l / 0.5, 1.0 - double(j) / N, 1e-12) << j;
    const GateModel model = gateModel(in, -30, 0.01, 0.3);
    EXPECT_GT(model.gain[closeStart + N - 2], 0.0);
    for (size_t i = closeStart + N - 1; i < up - W + 53; ++i) ASSERT_EQ(model.gain[i], 0.0) << i;
    for (size_t i = down; i < up; ++i) ASSERT_EQ(out[i].l, 0.0) << i;
    // Fully open on the first window that reaches the threshold (53 loud frames
    // ahead), well before the sound comes back.
    EXPECT_EQ(model.gain[up - W + 53], 1.0);
    EXPECT_EQ(model.gain[up - W + 52], 0.0);
    // Open until the window runs into the silence that follows the stream.
    for (size_t i = up; i < end - 52; ++i) ASSERT_EQ(out[i].l, 0.5) << i;
    EXPECT_LT(out[end - 1].l, 0.5);
    EXPECT_TRUE(tk::framesNear(out, model.out, 1e-12));
}

TEST(NoiseGate, ThresholdChangesBetweenRuns) {
    const Frames quiet = tk::noise(20000, 0.01, 8);  // about -45 dB
    auto gate = SoundRef<SoundAlgoNoiseGate>::make();
    EXPECT_NEAR(gate->getThreshold(), tk::fromDb(-30.0), 1e-15);
    EXPECT_EQ(tk::rms(tk::run(*gate, quiet, kRate), 1000), 0.0);
    gate->SetThreshold(-60.0);
    // Up to where the window meets the silence after the end of the stream.
    const Frames out = tk::run(*gate, quiet, kRate);
    const size_t W = gate->getInOverlap(kRate);
    EXPECT_TRUE(tk::framesNear(Frames(out.begin(), out.end() - W), Frames(quiet.begin(), quiet.end() - W), 0.0));
    gate->SetThreshold(kNaN);
    EXPECT_TRUE(tk::framesNear(tk::run(*gate, tk::noise(5000, 1e-6, 2), kRate), tk::noise(5000, 1e-6, 2), 0.0))
        << "a NaN threshold never closes the gate";
}

TEST(NoiseGate, BadTimes) {
    const Frames in = tk::concat({tk::noise(10000, 0.3, 1), tk::silence(20000), tk::noise(10000, 0.3, 2)});
    struct Times {
        double fade, window;
    };
    for (const Times t : {Times{0.01, 0.3}, Times{0.0, 0.0}, Times{-1.0, -2.0}, Times{kNaN, kNaN},
                          Times{1e300, 1e300}}) {
        auto gate = SoundRef<SoundAlgoNoiseGate>::make(-30.0, t.fade, t.window);
        EXPECT_GE(gate->getInOverlap(kRate), 1u);
        EXPECT_EQ(gate->getInOverlap(kRate) % 2, 1u);
        EXPECT_LE(gate->getInOverlap(kRate), SoundAlgoNoiseGate::kMaxWindowFrames);
        // Blocks are far shorter than the largest window, which every block carries.
        const Frames out = tk::run(*gate, in, kRate, t.window > 1.0 ? 8192 : 777);
        ASSERT_EQ(out.size(), in.size()) << t.fade;
        EXPECT_TRUE(tk::allFinite(out)) << t.fade;
        if (!(t.window >= 1.0)) {  // windows capped at about 24 s are left out
            EXPECT_TRUE(tk::framesNear(out, gateModel(in, -30.0, t.fade, t.window).out, 1e-12)) << t.fade;
        }
    }
    // A window of one frame and a fade of one frame: the gain of each frame is
    // its own level.
    auto instant = SoundRef<SoundAlgoNoiseGate>::make(-20.0, 0.0, 0.0);
    const Frames steps = {Frame(0.5, 0), Frame(0.01, 0), Frame(0, 0.2), Frame(0.05, 0.05)};
    const Frames out = tk::run(*instant, steps, kRate);
    EXPECT_TRUE(tk::framesNear(out, {Frame(0.5, 0), Frame(0, 0), Frame(0, 0.2), Frame(0, 0)}, 0.0));
}

// ---------------------------------------------------------------- integrator

TEST(FWIntegrator, RampsFromMinusAQuarterAndRestartsAtRisingZeroCrossings) {
    const Frames silence = tk::silence(3000);
    auto integ = SoundRef<SoundAlgoFWIntegrator>::make(0.01);
    EXPECT_EQ(integ->getInOverlap(kRate), 1u);
    EXPECT_TRUE(tk::framesNear(tk::run(*integ, silence, kRate), constant(3000, -0.25, -0.25), 0.0));

    // A 100 Hz sine, opposite channels partly cancelling in the mono mix.
    Frames sine = tk::sine(8820, kRate, 100.0, 0.6);
    for (Frame& f : sine) f.r = -0.5 * f.l;
    auto i2 = SoundRef<SoundAlgoFWIntegrator>::make(0.01);
    EXPECT_TRUE(tk::framesNear(tk::run(*i2, sine, kRate, 7), integratorModel(sine, 0.01), 1e-12));
    // After each rising zero crossing the ramp starts again from -0.25.
    auto mono = [&](size_t i) { return (sine[i].l + sine[i].r) / 2; };
    int restarts = 0;
    const Frames out = tk::run(*integ, sine, kRate);
    for (size_t i = 0; i + 1 < sine.size(); ++i)
        if (mono(i) < 0 && mono(i + 1) >= 0) {
            ASSERT_NEAR(out[i + 1].l, 0.01 * std::fabs(mono(i + 1)) - 0.25, 1e-15) << i;
            ++restarts;
        }
    EXPECT_EQ(restarts, 19) << "20 periods, the last crossing past the end";
}

TEST(FWIntegrator, BadFactors) {
    const Frames in = tk::sine(4410, kRate, 50.0, 0.5);
    for (double factor : {kNaN, kInf, -kInf}) {
        auto bad = SoundRef<SoundAlgoFWIntegrator>::make(factor);
        EXPECT_EQ(bad->getFactor(), 0.0);
        EXPECT_TRUE(tk::framesNear(tk::run(*bad, in, kRate), constant(in.size(), -0.25, -0.25), 0.0));
    }
}

// ---------------------------------------------------------------- bass boost

// What the chain does is checked on spectra below; here, that it is sealed and
// ends with the limiter that keeps the sum under full scale.
TEST(BassBoost, IsSealed) {
    auto boost = SoundRef<SoundAlgoBassBoost>::make(6.0, 100.0, 300.0, 0.004);
    EXPECT_FALSE(boost->isWritable());
    ASSERT_EQ(boost->getBranchNumber(), 1u);
    ASSERT_EQ(boost->getBranch(0).size(), 3u);
    EXPECT_NE(dynamic_cast<SoundAlgoSimpleLimiter*>(boost->getBranch(0)[2]), nullptr);
    auto extra = SoundRef<SoundAlgoScale>::make(0.0);
    boost->pushAlgo(extra.get());  // ignored: the caller keeps its reference
    EXPECT_EQ(boost->getBranch(0).size(), 3u);
}

TEST(BassBoost, AddsBassAndLeavesOneKilohertzAlone) {
    const size_t n = 3 * kRate;
    const size_t from = kRate, window = 4410;  // after the gate and limiters settle; 10 Hz bins
    struct Case {
        double gain, freq, upper, factor, bass;
    };
    // Bass tones within the peaking band's octave of the boost frequency.
    for (const Case c : {Case{6.0, 100.0, 300.0, 0.004, 80.0}, Case{10.0, 150.0, 500.0, 0.002, 110.0},
                         Case{3.0, 80.0, 250.0, 0.01, 50.0}}) {
        Frames in = tk::sine(n, kRate, 1000.0, 0.25);
        const Frames bass = tk::sine(n, kRate, c.bass, 0.2);
        for (size_t i = 0; i < n; ++i) in[i] = Frame(in[i].l + bass[i].l, in[i].r + bass[i].r);
        auto boost = SoundRef<SoundAlgoBassBoost>::make(c.gain, c.freq, c.upper, c.factor);
        const Frames out = tk::run(*boost, in, kRate, 1024);
        ASSERT_EQ(out.size(), in.size());
        EXPECT_TRUE(tk::allFinite(out));
        EXPECT_LE(tk::peak(out), 1.0);
        const double kHz = tk::db(tk::toneAmplitude(out, from, window, 1000.0, kRate) / tk::toneAmplitude(in, from, window, 1000.0, kRate));
        EXPECT_LT(std::fabs(kHz), 0.5) << "1 kHz moved by " << kHz << " dB, freq " << c.freq;
        const double below =
            tk::powerDb(bandEnergy(out, from, window, 20.0, c.freq) / bandEnergy(in, from, window, 20.0, c.freq));
        EXPECT_GT(below, 1.0) << "energy below " << c.freq << " Hz rose by " << below << " dB";
        // The ramp's harmonics between the two frequencies, absent from the input.
        const double added = bandEnergy(out, from, window, c.freq, c.upper) / bandEnergy(in, from, window, 20.0, c.freq);
        EXPECT_GT(tk::powerDb(added), -20.0) << "harmonics of " << c.bass << " Hz";
    }
}
