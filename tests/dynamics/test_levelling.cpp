// Two-pass levelling of a recording with quiet and loud passages: analysis by
// RMSStepDetector, then SoundAlgoRMSAmplifier (smoothing off) and
// SoundAlgoLimiter in one chain.
#include <cmath>

#include "common/Recordings.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"

namespace {
constexpr unsigned kRate = 44100;

double louderRms(const tk::Frames& f, size_t from, size_t to) {
    double l = 0, r = 0;
    for (size_t i = from; i < to; ++i) {
        l += f[i].l * f[i].l;
        r += f[i].r * f[i].r;
    }
    return std::sqrt(std::max(l, r) / double(to - from));
}
}  // namespace

TEST(Levelling, QuietAndLoudPassagesReachTheTarget) {
    // dB full scale of each passage's louder channel; the room noise between the
    // fourth and fifth is noise. The last passage outlasts the final 10 s in which
    // falling steps are not cut.
    tk::Recording rec = tk::passages({{8, -32}, {9, -12}, {9, -21}, {10, -5}});
    const tk::Frames room = tk::scaled(tk::noise(5 * kRate, 1.0, 42), std::pow(10.0, -72 / 20.0) * std::sqrt(3.0));
    rec.frames.insert(rec.frames.end(), room.begin(), room.end());
    const tk::Frames last = tk::track(14 * kRate, kRate, -20, 77);
    rec.frames.insert(rec.frames.end(), last.begin(), last.end());

    auto det = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput, false);
    tk::run(*det, rec.frames, kRate, 4096);
    const double targetDb = -10, maxGainDb = 12, maxRamp = 3.0;
    auto amp = SoundRef<SoundAlgoRMSAmplifier>::make(targetDb, det.get(), maxRamp, 0, 10.0, maxGainDb);
    auto lim = SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1);
    SoundAlgoComposite chain("levelling");
    chain.pushAlgo(SoundRef<SoundAlgoRMSAmplifier>::share(amp.get()).release());
    chain.pushAlgo(SoundRef<SoundAlgoLimiter>::share(lim.get()).release());
    tk::Frames out = tk::run(chain, rec.frames, kRate, 1024);
    ASSERT_GE(out.size(), rec.frames.size());
    out.resize(rec.frames.size());

    // No sample above the clip trigger: a sample over it is always repaired to the ceiling.
    EXPECT_LE(tk::peak(out), SoundAlgoLimiter::kClipTrigger);

    const auto regions = det->getRegions();
    int levelled = 0, capped = 0, noise = 0;
    for (size_t i = 0; i + 1 < regions.size(); ++i) {
        const auto& r = regions[i];
        const size_t begin = size_t(r.BeginSample), end = size_t(r.BeginSample + r.SampleNb);
        if (r.IsNoise) {
            // Unity gain: the output is the input (far below the limiter's ceiling).
            ++noise;
            for (size_t s = begin; s < end; ++s) ASSERT_EQ(out[s].l, rec.frames[s].l) << s;
            continue;
        }
        if (r.SampleNb < int(4 * kRate)) continue;  // a transition, not a passage
        // The steady part: past the longest ramp (or the slope it follows), up to
        // a window before the next change.
        const size_t from = begin + size_t(maxRamp * kRate) + kRate / 2, to = end - 8820;
        ASSERT_LT(from, to);
        const double level = tk::db(std::sqrt(r.level()));
        const double outDb = tk::db(louderRms(out, from, to));
        if (targetDb - level > maxGainDb) {
            ++capped;  // the maximum gain caps it: level + 12 dB
            EXPECT_NEAR(outDb, level + maxGainDb, 0.5) << "region at " << begin;
        } else {
            ++levelled;  // the floor never caps with smoothing off: a region's gain lands it on the target
            EXPECT_NEAR(outDb, targetDb, 0.5) << "region at " << begin << " (" << level << " dB in)";
        }
    }
    EXPECT_EQ(capped, 1);     // the -32 dB passage
    EXPECT_EQ(levelled, 4);   // -12, -21, -5 and -20 dB
    EXPECT_GE(noise, 1);
}
