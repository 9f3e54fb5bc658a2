// Noise gate, integrator and bass boost: the gate and the integrator against
// models written from their definitions (whole-stream sums, no sliding state),
// run in small odd-sized blocks; the bass boost's structure and what it does to
// a spectrum; bad times and factors.
#include <cmath>
#include <limits>

#include "common/FourierKit.h"
#include "tonewright/SoundAlgoBassBoost.h"
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
Frames gateModel(const Frames& in, double thresholdDb, double fadeTime, double windowTime) {
    const double w = std::floor(kRate * windowTime + 0.5);
    const size_t W = size_t(w >= 1 ? w : 0) | 1u;
    const double nf = std::floor(kRate * fadeTime + 0.5);
    const long N = nf >= 1 ? long(nf) : 1;
    std::vector<long double> pl(in.size() + 1, 0.0L), pr(in.size() + 1, 0.0L);
    for (size_t i = 0; i < in.size(); ++i) {
        pl[i + 1] = pl[i] + (long double)in[i].l * in[i].l;
        pr[i + 1] = pr[i] + (long double)in[i].r * in[i].r;
    }
    Frames out;
    long closedSteps = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        const size_t end = std::min(in.size(), i + W);
        const double ml = std::sqrt(double((pl[end] - pl[i]) / (long double)W));
        const double mr = std::sqrt(double((pr[end] - pr[i]) / (long double)W));
        closedSteps = std::max(ml, mr) < tk::fromDb(thresholdDb) ? std::min(closedSteps + 1, N) : 0;
        const double g = double(N - closedSteps) / double(N);
        out.emplace_back(in[i].l * g, in[i].r * g);
    }
    return out;
}

// The integrator by its definition, over the whole stream at once: the mono
// mix's absolute values summed from the last rising zero crossing, scaled, less
// a quarter.
Frames integratorModel(const Frames& in, double factor) {
    auto mono = [&](size_t i) { return i < in.size() ? (in[i].l + in[i].r) / 2.0 : 0.0; };
    Frames out;
    double acc = 0.0;
    for (size_t i = 0; i < in.size(); ++i) {
        acc += std::fabs(mono(i));
        out.emplace_back(factor * acc - 0.25, factor * acc - 0.25);
        if (mono(i) < 0 && mono(i + 1) >= 0) acc = 0.0;
    }
    return out;
}

}  // namespace

// Steps, bursts, one loud channel, and times or a threshold that are zero,
// negative, not a number or far too long (the window is then capped at an odd
// length); each threshold is set between two runs.
TEST(NoiseGate, FollowsItsDefinition) {
    struct Case { const char* what; Frames in; double thresholdDb, fade, window; };
    const Frames gaps = tk::concat({tk::noise(10000, 0.3, 1), tk::silence(20000), tk::noise(10000, 0.3, 2)});
    const Case cases[] = {
        {"steady tone above the threshold", tk::sine(30000, kRate, 440, 0.1), -30, 0.01, 0.3},
        {"step down to silence and back up", tk::concat({constant(20000, 0.5, 0.5), tk::silence(30000), constant(30000, 0.5, 0.5)}),
         -30, 0.01, 0.3},
        {"step down to quiet noise and back up",
         tk::concat({tk::mixedStereo(15000, kRate), tk::noise(25000, 0.005, 3), tk::sine(15000, kRate, 200, 0.3)}), -30, 0.02, 0.1},
        {"one channel loud", tk::concat({constant(8000, 0.0, 0.2), constant(8000, 0.0, 0.001)}), -40, 0.005, 0.05},
        {"quiet from the start", tk::noise(12000, 0.001, 4), -30, 0.01, 0.3},
        {"bursts shorter than the window",
         tk::concat({tk::noise(3000, 0.4, 5), tk::silence(9000), tk::noise(500, 0.4, 6), tk::silence(9000)}), -30, 0.01, 0.05},
        {"zero times", gaps, -30, 0.0, 0.0},
        {"negative times", gaps, -30, -1.0, -2.0},
        {"times not a number", gaps, -30, kNaN, kNaN},
        {"times far too long", gaps, -30, 1e300, 1e300},
        {"a threshold that is no number never closes", tk::noise(5000, 1e-6, 2), kNaN, 0.01, 0.3},
        {"one-frame window and fade: each frame's own level",
         {Frame(0.5, 0), Frame(0.01, 0), Frame(0, 0.2), Frame(0.05, 0.05)}, -20, 0.0, 0.0},
    };
    auto dflt = SoundRef<SoundAlgoNoiseGate>::make();
    EXPECT_NEAR(dflt->getThreshold(), tk::fromDb(-30.0), 1e-15);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto gate = SoundRef<SoundAlgoNoiseGate>::make(c.thresholdDb + 20, c.fade, c.window);
        const unsigned block = c.window > 1.0 ? 8192 : 61;
        tk::run(*gate, c.in, kRate, block);
        gate->SetThreshold(c.thresholdDb);
        EXPECT_EQ(gate->getInOverlap(kRate) % 2, 1u);
        EXPECT_LE(gate->getInOverlap(kRate), SoundAlgoNoiseGate::kMaxWindowFrames);
        const Frames out = tk::run(*gate, c.in, kRate, block);
        if (c.window > 1.0) {  // a window capped at about 24 s, which every block carries
            EXPECT_EQ(out.size(), c.in.size());
            EXPECT_TRUE(tk::allFinite(out));
        } else {
            EXPECT_TRUE(tk::framesNear(out, gateModel(c.in, c.thresholdDb, c.fade, c.window), 1e-12));
        }
    }
}

// Silence, and a 100 Hz sine whose opposite channels partly cancel in the mono
// mix; a factor that is no finite number is 0.
TEST(FWIntegrator, RampsFromMinusAQuarterAndRestartsAtRisingZeroCrossings) {
    Frames sine = tk::sine(8820, kRate, 100.0, 0.6);
    for (Frame& f : sine) f.r = -0.5 * f.l;
    auto integ = SoundRef<SoundAlgoFWIntegrator>::make(0.01);
    EXPECT_EQ(integ->getInOverlap(kRate), 1u);
    EXPECT_TRUE(tk::framesNear(tk::run(*integ, tk::silence(3000), kRate), constant(3000, -0.25, -0.25), 0.0));
    EXPECT_TRUE(tk::framesNear(tk::run(*integ, sine, kRate, 7), integratorModel(sine, 0.01), 1e-12));
    for (double factor : {kNaN, kInf, -kInf}) {
        auto bad = SoundRef<SoundAlgoFWIntegrator>::make(factor);
        EXPECT_EQ(bad->getFactor(), 0.0);
        EXPECT_TRUE(tk::framesNear(tk::run(*bad, sine, kRate), constant(sine.size(), -0.25, -0.25), 0.0));
    }
}

// The boost keeps the sum under full scale, raises the bass below the boost
// frequency, adds the ramp's harmonics between the two frequencies (absent from
// the input) and leaves 1 kHz alone.
TEST(BassBoost, AddsBassAndLeavesOneKilohertzAlone) {
    const size_t n = 3 * kRate;
    const size_t from = kRate, window = 4410;  // after the gate and limiters settle; 100 periods of 1 kHz
    struct Case { double gain, freq, upper, factor, bass; };
    // Bass tones within the peaking band's octave of the boost frequency.
    for (const Case c : {Case{6.0, 100.0, 300.0, 0.004, 80.0}, Case{10.0, 150.0, 500.0, 0.002, 110.0},
                         Case{3.0, 80.0, 250.0, 0.01, 50.0}}) {
        SCOPED_TRACE(c.freq);
        Frames in = tk::sine(n, kRate, 1000.0, 0.25);
        const Frames bass = tk::sine(n, kRate, c.bass, 0.2);
        for (size_t i = 0; i < n; ++i) in[i] = Frame(in[i].l + bass[i].l, in[i].r + bass[i].r);
        auto boost = SoundRef<SoundAlgoBassBoost>::make(c.gain, c.freq, c.upper, c.factor);
        const Frames out = tk::run(*boost, in, kRate, 1024);
        ASSERT_EQ(out.size(), in.size());
        EXPECT_LE(tk::peak(out), 1.0);
        const double kHz = tk::toneAmplitude(out, from, window, 1000.0, kRate) / tk::toneAmplitude(in, from, window, 1000.0, kRate);
        EXPECT_LT(std::fabs(tk::db(kHz)), 0.5);
        // Band powers over 4096 frames (10.8 Hz bins): below 20 Hz, the bass, the harmonics, the rest.
        const std::vector<double> edges = {20.0, c.freq, c.upper};
        const auto before = tk::bandPowers(in, from, 4096, kRate, edges);
        const auto after = tk::bandPowers(out, from, 4096, kRate, edges);
        EXPECT_GT(tk::powerDb(after[1] / before[1]), 1.0);
        EXPECT_GT(tk::powerDb(after[2] / before[1]), -20.0);
    }
}
