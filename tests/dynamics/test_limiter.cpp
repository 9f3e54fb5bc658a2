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
tk::Frames runCut(SoundAlgo& algo, const tk::Frames& in, unsigned block = 777) {
    tk::Frames out = tk::run(algo, in, kRate, block);
    for (size_t i = in.size(); i < out.size(); ++i) EXPECT_EQ(tk::peak({out[i]}), 0.0);
    out.resize(std::min(out.size(), in.size()));
    return out;
}
}  // namespace

// Below the ceiling both limiters pass the stream untouched; above it they hold
// it under the ceiling, whatever their look-ahead and release times.
TEST(Limiter, TransparentBelowTheCeilingAndHoldsHardSignalsUnderIt) {
    tk::Frames impulse = tk::silence(20000), square(40000);
    impulse[12345] = tk::Frame(1.0, 1.0);
    for (size_t i = 0; i < square.size(); ++i) square[i] = tk::Frame((i / 50) % 2 ? -2.0 : 2.0, (i / 50) % 2 ? 2.0 : -2.0);
    struct Case { const char* what; tk::Frames in; bool transparent; };
    const Case cases[] = {
        {"noise and a sine below full scale", tk::concat({tk::noise(30000, 0.6, 3), tk::sine(30000, kRate, 440, 0.975)}), true},
        {"full-scale impulse", impulse, false},
        {"square at +6 dB", square, false},
        {"white noise at +12 dB", tk::noise(40000, 4.0, 11), false},
        {"steps from quiet to +12 dB", tk::concat({tk::noise(5000, 0.1, 1), tk::noise(5000, 4.0, 2), tk::noise(5000, 0.3, 3)}), false},
    };
    struct Times { double lookAhead, release; };
    for (const Case& c : cases)
        for (const Times t : {Times{0.005, 0.1}, Times{0.0, 0.0}, Times{-1.0, -0.5}, Times{0.0, 0.1}}) {
            SCOPED_TRACE(std::string(c.what) + ", look-ahead " + std::to_string(t.lookAhead));
            auto lim = SoundRef<SoundAlgoLimiter>::make(0.0, t.lookAhead, t.release);
            auto simple = SoundRef<SoundAlgoSimpleLimiter>::make(t.lookAhead);
            const tk::Frames out = runCut(*lim, c.in), simpleOut = runCut(*simple, c.in);
            ASSERT_EQ(out.size(), c.in.size());
            if (c.transparent) {
                EXPECT_TRUE(tk::framesNear(out, c.in, 0.0));
                EXPECT_TRUE(tk::framesNear(simpleOut, c.in, 0.0));
                EXPECT_EQ(lim->getClippings(), 0);
            }
            EXPECT_LE(tk::peak(out), SoundAlgoLimiter::kClipTrigger);
            EXPECT_LE(tk::peak(simpleOut), 1.0);
        }
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
    EXPECT_NEAR(tk::run(*slow, in, kRate, 1000)[at + 4410].l / 0.01, 0.98 + 0.1 * 4410 / kRate, 1e-9);
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

// The true-peak stage holds a ceiling that sample peaks alone miss (a tone at a
// quarter of the rate sampled at 45 degrees peaks 3 dB above its samples), by
// the loudness meter's own oversampling, without silencing; a stream below the
// ceiling passes untouched. (The host's ceiling is measured by ffmpeg in the
// level command's tests.)
TEST(TruePeakLimiter, HoldsTheCeilingBetweenSamplesAndLeavesQuietSoundAlone) {
    constexpr unsigned rate = 48000;
    const tk::Frames hot = tk::concat({tk::sine(rate / 2, rate, rate / 4.0, 0.95, 3.14159265358979 / 4),
                                       tk::scaled(tk::mixedStereo(rate, rate), 3.0)});
    auto limiter = SoundRef<SoundAlgoTruePeakLimiter>::make(-1.0);
    auto meter = SoundRef<SoundAlgoLoudness>::make(0.0);
    tk::run(*meter, tk::run(*limiter, hot, rate, 1000), rate);
    EXPECT_LE(meter->getTruePeak(), -1.0);
    EXPECT_GT(meter->getTruePeak(), -1.5);
    const tk::Frames quiet = tk::scaled(tk::mixedStereo(rate, rate), 0.1);
    EXPECT_EQ(tk::maxAbsDiff(tk::run(*limiter, quiet, rate, 777), quiet), 0.0);
}
