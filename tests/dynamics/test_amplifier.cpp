// SoundAlgoRMSAmplifier: the gain trajectory against a model of its ramps on
// hand-built regions, the bounds on the gain, the level queries, and bad input.
#include <cmath>

#include "common/Recordings.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"

namespace {
using tk::fromDb;
using tk::region;
constexpr unsigned kRate = 44100;

// Ramp length for a gain ratio q, as the amplifier plans it.
int32_t rampFrames(double q, double maxRampTime) {
    if (q < 1) q = 1 / q;
    double t = (q - std::pow(10.0, 0.05)) / (std::pow(10.0, 0.25) - std::pow(10.0, 0.05));
    t = std::max(0.0, std::min(1.0, t));
    return int32_t(std::floor(kRate * (1 + t * (maxRampTime - 1)) + 0.5));
}

// The expected gain per sample: constant within a region, a linear ramp that
// starts the sample after a region change (a switch when it has no length),
// unity from the first sample of a noise region.
std::vector<double> modelGains(const std::vector<RMSStepDetector::Region>& regions, size_t frames, double targetDb,
                               double maxRampTime, double maxGainDb) {
    auto gainOf = [&](const RMSStepDetector::Region& r) {
        if (r.IsNoise) return 1.0;
        const double a = std::sqrt(std::max(r.RMSSqrValue0, r.RMSSqrValue1));
        return std::min(fromDb(maxGainDb), fromDb(targetDb) / a);
    };
    std::vector<double> g(frames);
    double coeff = gainOf(regions[0]), target = coeff, step = 0;
    int32_t left = 0;
    size_t next = 1;
    for (size_t s = 0; s < frames; ++s) {
        const auto& cur = regions[next - 1];
        if (next < regions.size() && int64_t(s) > int64_t(cur.BeginSample) + cur.SampleNb - 1) {
            const auto& r = regions[next++];
            target = gainOf(r);
            if (r.IsNoise) {
                coeff = 1.0;
                left = 0;
            } else if ((left = std::max(0, rampFrames(target / coeff, maxRampTime))) == 0) {
                coeff = target;  // no ramp at all
            } else {
                step = (target - coeff) / left;
            }
        } else if (left > 0) {
            coeff = --left == 0 ? target : coeff + step;
        }
        g[s] = coeff;
    }
    return g;
}

tk::Frames dc(size_t n, double l, double r) { return tk::Frames(n, tk::Frame(l, r)); }
}  // namespace

TEST(RMSAmplifier, GainFollowsTheRamps) {
    const int S = int(kRate);
    // -20 dB, a 6 dB rise (full ramp), noise, then exactly 1 dB above the noise
    // region's unity (a 1 s ramp), a 12 dB drop capped by nothing, and the end marker.
    const std::vector<RMSStepDetector::Region> regions = {
        region(0, 3 * S, -20, -26), region(3 * S, 5 * S, -14, -14), region(8 * S, 2 * S, -70, -70, true),
        region(10 * S, 4 * S, -11, -11), region(14 * S, 4 * S, 1, 1), region(18 * S, 1, -100, -100, true)};
    const size_t frames = 18 * size_t(S);
    const tk::Frames in = dc(frames, 0.01, -0.02);
    const double targetDb = -10, maxGainDb = 12;
    EXPECT_EQ(rampFrames(fromDb(1), 2.5), S);  // 1 dB: one second
    auto det = tk::detectorFromList(regions);
    for (double maxRamp : {2.5, 0.0, -4.0}) {  // the longest ramp in seconds; none at all
        SCOPED_TRACE(maxRamp);
        const std::vector<double> model = modelGains(regions, frames, targetDb, maxRamp, maxGainDb);
        auto amp = SoundRef<SoundAlgoRMSAmplifier>::make(targetDb, det.get(), maxRamp, 0, 10.0, maxGainDb);
        const tk::Frames out = tk::run(*amp, in, kRate, 777);
        ASSERT_EQ(out.size(), frames);
        for (size_t s = 0; s < frames; ++s) {
            ASSERT_NEAR(out[s].l / 0.01, model[s], 1e-9 * model[s]) << "sample " << s;
            ASSERT_NEAR(out[s].r / -0.02, model[s], 1e-9 * model[s]) << "sample " << s;
        }
    }
}

// Smoothing holds quiet regions up; without a detector, or with one that holds
// no regions, the target is a fixed gain; the maximum gain caps a region short
// of the target, noise is left at 0 dB, a time before the last answer restarts
// the lookup, and before any run times are counted at the detector's rate.
TEST(RMSAmplifier, LevelQueriesAndGainBounds) {
    const int S = int(kRate);
    auto det = tk::detectorFromList({region(0, 5 * S, -22, -30), region(5 * S, 5 * S, -80, -80, true),
                                     region(10 * S, 5 * S, -6, -7), region(15 * S, 1, -100, -100, true)});
    // Smoothing pulls levels towards the loudest: the floor, 4 dB under the target, then holds quiet regions up.
    auto smooth = SoundRef<SoundAlgoRMSAmplifier>::make(-10.0, det.get(), 3.0, 1, 4.0, 30.0);
    tk::run(*smooth, dc(size_t(15 * S), 0.01, 0.01), kRate);
    EXPECT_NEAR(smooth->getLevel(1.0), -14.0 - -22.0, 1e-9);

    const tk::Frames in = tk::noise(20000, 0.3, 4);
    auto empty = SoundRef<RMSStepDetector>::make();
    for (RMSStepDetector* d : {static_cast<RMSStepDetector*>(nullptr), empty.get()}) {
        auto fixed = SoundRef<SoundAlgoRMSAmplifier>::make(-6.0, d);
        EXPECT_TRUE(tk::framesNear(tk::run(*fixed, in, kRate), tk::scaled(in, fromDb(-6)), 1e-15));
        EXPECT_NEAR(fixed->getLevel(3.0), d ? 0.0 : -6.0, 1e-12);
    }

    // A host that loads the regions asks for levels before playing: times are
    // counted at the detector's rate. Each answer by hand: the region holding the
    // time (the earlier one on a region's first sample), target minus its level,
    // 0 dB for noise.
    const int R = 48000;
    auto loaded = tk::detectorFromList({region(0, R, -30, -30), region(R, 5 * R, -10, -12),
                                        region(6 * R, 2 * R, -70, -70, true), region(8 * R, 2 * R, -16, -16),
                                        region(10 * R, 1, -100, -100, true)},
                                       false, R);
    // The maximum gain (6 dB) caps the first region short of the target; after a
    // run the same times are counted at the stream's rate.
    auto host = SoundRef<SoundAlgoRMSAmplifier>::make(-20.0, loaded.get(), 3.0, 0, 10.0, 6.0);
    const struct { double seconds, db; } rows[] = {{0.5, 6.0}, {1.0, 6.0}, {3.0, -20 - -10}, {7.0, 0.0},
                                                   {9.0, -20 - -16}, {2.0, -20 - -10}, {0.25, 6.0}};
    for (unsigned ran : {0u, 1u}) {
        if (ran) tk::run(*host, dc(size_t(11 * R), 0.01, 0.01), R);
        for (const auto& r : rows)
            EXPECT_NEAR(host->getLevel(r.seconds), r.db, 1e-12) << r.seconds << " s, run " << ran;
    }
}
