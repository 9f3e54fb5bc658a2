// Limiters: transparency below the ceiling, the planned attack and release
// against their closed form, hard signals held under the ceiling, and bad input.
#include <cmath>

#include "common/Recordings.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoTruePeakLimiter.h"

namespace {
constexpr unsigned kRate = 44100;

// The loop hands a look-ahead algorithm's writer the zero frames it was fed at
// the end as well; only the stream's own length is compared.
tk::Frames runCut(SoundAlgo& algo, const tk::Frames& in, unsigned block = 1024) {
    tk::Frames out = tk::run(algo, in, kRate, block);
    for (size_t i = in.size(); i < out.size(); ++i) EXPECT_EQ(tk::peak({out[i]}), 0.0);
    out.resize(std::min(out.size(), in.size()));
    return out;
}

tk::Frames square(size_t n, double amp, size_t period) {
    tk::Frames f(n);
    for (size_t i = 0; i < n; ++i) {
        const double v = (i / (period / 2)) % 2 ? -amp : amp;
        f[i] = tk::Frame(v, -v);
    }
    return f;
}
}  // namespace

TEST(Limiter, TransparentBelowItsCeiling) {
    const tk::Frames in = tk::concat({tk::noise(30000, 0.6, 3), tk::sine(30000, kRate, 440, 0.975)});
    auto lim = SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1);
    EXPECT_TRUE(tk::framesNear(runCut(*lim, in, 333), in, 0.0));
    EXPECT_EQ(lim->getClippings(), 0);
    auto simple = SoundRef<SoundAlgoSimpleLimiter>::make();
    EXPECT_TRUE(tk::framesNear(runCut(*simple, in), in, 0.0));
}

TEST(Limiter, ImpulseIsMetByALinearAttackAndALinearRelease) {
    const size_t at = 20000;
    tk::Frames in(60000, tk::Frame(0.01, -0.01));  // a small constant shows the gain
    in[at] = tk::Frame(1.0, -0.5);
    auto lim = SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.05);
    const tk::Frames out = tk::run(*lim, in, kRate, 1000);
    const int A = 221, R = 2205;
    EXPECT_NEAR(out[at].l, 0.98, 1e-12);
    for (int k = 0; k <= A; ++k) {
        const double expected = 1.0 - 0.02 * k / A;  // falls from the level to 0.98 over A samples
        ASSERT_NEAR(out[at - size_t(A) + size_t(k)].r / -0.01 * (k == A ? 0.01 / 0.5 : 1.0), expected, 1e-9) << k;
    }
    for (int k = 1; k < R - 1; ++k) ASSERT_NEAR(out[at + size_t(k)].l / 0.01, 0.98 + 0.02 * k / R, 1e-9) << k;
    EXPECT_NEAR(out[at + size_t(R) + 5].l, 0.01, 1e-12);
    EXPECT_EQ(out[at - size_t(A) - 1].l, 0.01);
    EXPECT_EQ(lim->getClippings(), 0);

    // A capped release rate slows the return: 10^(-20/20) gain units per second.
    auto slow = SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.05);
    slow->SetSlopeMax(-20.0);
    const tk::Frames out2 = tk::run(*slow, in, kRate, 1000);
    EXPECT_NEAR(out2[at + 4410].l / 0.01, 0.98 + 0.1 * 4410 / kRate, 1e-9);
}

TEST(Limiter, HoldsHardSignalsUnderTheCeiling) {
    struct Case {
        const char* what;
        tk::Frames in;
    };
    tk::Frames impulse = tk::silence(20000);
    impulse[12345] = tk::Frame(1.0, 1.0);
    const Case cases[] = {
        {"full-scale impulse", impulse},
        {"square at +6 dB", square(40000, 2.0, 100)},
        {"white noise at +12 dB", tk::noise(40000, 4.0, 11)},
        {"steps from quiet to +12 dB", tk::concat({tk::noise(5000, 0.1, 1), tk::noise(5000, 4.0, 2), tk::noise(5000, 0.3, 3)})},
    };
    for (const Case& c : cases) {
        auto lim = SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1);
        EXPECT_LE(tk::peak(runCut(*lim, c.in, 777)), SoundAlgoLimiter::kClipTrigger) << c.what;
        auto simple = SoundRef<SoundAlgoSimpleLimiter>::make();
        EXPECT_LE(tk::peak(runCut(*simple, c.in, 777)), 1.0) << c.what;
    }
}

TEST(Limiter, APeakTooEarlyToForeseeIsRepairedOnTheSpot) {
    // The look-ahead cannot see a peak on the stream's first samples; the clip
    // repair brings it to the ceiling, the very first sample included.
    for (size_t at : {size_t(0), size_t(5), size_t(100)}) {
        tk::Frames in(5000, tk::Frame(0.01, 0.01));
        in[at] = tk::Frame(1.0, -1.0);
        auto lim = SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1);
        const tk::Frames out = runCut(*lim, in);
        EXPECT_NEAR(out[at].l, 0.98, 1e-12) << at;
        EXPECT_LE(tk::peak(out), SoundAlgoLimiter::kClipTrigger) << at;
        EXPECT_EQ(lim->getClippings(), 1) << at;
    }
    // A make-up gain goes up to the ceiling, not past it.
    auto loud = SoundRef<SoundAlgoLimiter>::make(12.0, 0.005, 0.1);
    const tk::Frames out = runCut(*loud, tk::sine(20000, kRate, 1000, 0.5));
    EXPECT_LE(tk::peak(out), SoundAlgoLimiter::kClipTrigger);
    EXPECT_GT(tk::peak(out), 0.97);
    EXPECT_NEAR(loud->getLevel(0), 12.0, 1e-12);
}

TEST(Limiter, DegenerateTimes) {
    const tk::Frames loud = tk::noise(20000, 3.0, 5);
    for (double lookAhead : {0.0, -1.0}) {
        for (double release : {0.0, -0.5, 0.1}) {
            auto lim = SoundRef<SoundAlgoLimiter>::make(0.0, lookAhead, release);
            const tk::Frames out = runCut(*lim, loud, 1000);
            ASSERT_EQ(out.size(), loud.size());
            EXPECT_LE(tk::peak(out), SoundAlgoLimiter::kClipTrigger) << lookAhead << " " << release;
        }
    }
    auto simple = SoundRef<SoundAlgoSimpleLimiter>::make(0.0);
    EXPECT_LE(tk::peak(runCut(*simple, loud)), 1.0);
}

// The true-peak stage holds a ceiling that sample peaks alone miss: a tone at a
// quarter of the rate sampled at 45 degrees peaks 3 dB above its samples,
// measured by the loudness meter's own oversampling; a stream below the ceiling
// passes untouched.
TEST(TruePeakLimiter, HoldsTheCeilingBetweenSamplesAndLeavesQuietSoundAlone) {
    constexpr unsigned rate = 48000;
    const tk::Frames hot = tk::concat({tk::sine(rate / 2, rate, rate / 4.0, 0.95, 3.14159265358979 / 4),
                                       tk::scaled(tk::mixedStereo(rate, rate), 3.0)});
    for (double ceiling : {-1.0, -3.0}) {
        auto limiter = SoundRef<SoundAlgoTruePeakLimiter>::make(ceiling);
        const tk::Frames out = tk::run(*limiter, hot, rate, 1000);
        auto before = SoundRef<SoundAlgoLoudness>::make(0.0), after = SoundRef<SoundAlgoLoudness>::make(0.0);
        tk::run(*before, hot, rate);
        tk::run(*after, out, rate);
        EXPECT_GT(before->getTruePeak(), before->getSamplePeak() + 1.0);
        EXPECT_LE(after->getTruePeak(), ceiling) << ceiling;
        EXPECT_GT(after->getTruePeak(), ceiling - 0.5) << ceiling;  // limited, not silenced
    }
    const tk::Frames quiet = tk::scaled(tk::mixedStereo(rate, rate), 0.1);
    auto limiter = SoundRef<SoundAlgoTruePeakLimiter>::make(-1.0);
    EXPECT_EQ(tk::maxAbsDiff(tk::run(*limiter, quiet, rate, 777), quiet), 0.0);
}
