// Two-pass levelling of a recording with quiet and loud passages: analysis by
// RMSStepDetector, then SoundAlgoRMSAmplifier (smoothing off) and
// SoundAlgoLimiter in one chain.
#include <cmath>

#include "common/Recordings.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"

TEST(Levelling, QuietAndLoudPassagesReachTheTarget) {
    constexpr unsigned kRate = 44100;
    // dB full scale of each passage's louder channel; the room noise between the
    // fourth and fifth is noise. The last passage outlasts the final 10 s in which
    // falling steps are not cut.
    tk::Recording rec = tk::passages({{8, -32}, {9, -12}, {9, -21}, {10, -5}});
    rec.frames = tk::concat({rec.frames, tk::scaled(tk::noise(5 * kRate, 1.0, 42), tk::fromDb(-72) * std::sqrt(3.0)),
                             tk::track(14 * kRate, kRate, -20, 77)});
    auto det = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput, false);
    tk::run(*det, rec.frames, kRate, 4096);
    const double targetDb = -10, maxGainDb = 12, maxRamp = 3.0;
    SoundAlgoComposite chain("levelling");
    chain.pushAlgo(SoundRef<SoundAlgoRMSAmplifier>::make(targetDb, det.get(), maxRamp, 0, 10.0, maxGainDb).release());
    chain.pushAlgo(SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1).release());
    tk::Frames out = tk::run(chain, rec.frames, kRate, 1024);
    ASSERT_GE(out.size(), rec.frames.size());
    out.resize(rec.frames.size());
    // No sample above the clip trigger: a sample over it is always repaired to the ceiling.
    EXPECT_LE(tk::peak(out), SoundAlgoLimiter::kClipTrigger);

    const auto regions = det->getRegions();
    int levelled = 0, capped = 0, noise = 0;
    for (size_t i = 0; i + 1 < regions.size(); ++i) {
        const size_t begin = size_t(regions[i].BeginSample), end = begin + size_t(regions[i].SampleNb);
        if (regions[i].IsNoise) {
            // Unity gain: the output is the input (far below the limiter's ceiling).
            ++noise;
            EXPECT_TRUE(tk::framesNear(tk::Frames(out.begin() + long(begin), out.begin() + long(end)),
                                       tk::Frames(rec.frames.begin() + long(begin), rec.frames.begin() + long(end)), 0.0));
            continue;
        }
        if (regions[i].SampleNb < int(4 * kRate)) continue;  // a transition, not a passage
        // The steady part: past the longest ramp (or the slope it follows), up to
        // a window before the next change.
        const size_t from = begin + size_t(maxRamp * kRate) + kRate / 2, to = end - 8820;
        ASSERT_LT(from, to);
        double l = 0, r = 0;
        for (size_t s = from; s < to; ++s) l += out[s].l * out[s].l, r += out[s].r * out[s].r;
        const double level = tk::powerDb(regions[i].level()), outDb = tk::powerDb(std::max(l, r) / double(to - from));
        // The maximum gain caps a region too far below the target; the floor
        // never caps with smoothing off, so any other lands on the target.
        const bool isCapped = targetDb - level > maxGainDb;
        (isCapped ? capped : levelled)++;
        EXPECT_NEAR(outDb, isCapped ? level + maxGainDb : targetDb, 0.5) << "region at " << begin << " (" << level << " dB in)";
    }
    EXPECT_EQ(capped, 1);    // the -32 dB passage
    EXPECT_EQ(levelled, 4);  // -12, -21, -5 and -20 dB
    EXPECT_GE(noise, 1);
}
