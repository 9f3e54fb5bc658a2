// Post-processing of a finished region list, on hand-built lists checked
// against closed-form results.
#include <cmath>

#include "common/Recordings.h"
#include "tonewright/RMSStepDetector.h"

namespace {
using Region = RMSStepDetector::Region;
using tk::region;

double db(double meanSquare) { return 10.0 * std::log10(meanSquare); }
}  // namespace

TEST(RegionPost, MergeJoinsNeighboursOfOneKind) {
    auto det = tk::detectorFromList({region(0, 100, -10, -12, false, 50), region(100, 300, -20, -22, false, 150),
                                     region(400, 50, -70, -70, true), region(450, 50, -80, -80, true),
                                     region(500, 1000, -6, -6)});
    det->mergeRegions();
    const auto r = det->getRegions();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].BeginSample, 0);
    EXPECT_EQ(r[0].SampleNb, 400);
    EXPECT_EQ(r[0].MeanSmpl, 200);
    EXPECT_NEAR(r[0].RMSSqrValue0, (50 * 0.1 + 150 * 0.01) / 200, 1e-15);
    EXPECT_NEAR(r[0].RMSSqrValue1, (50 * std::pow(10, -1.2) + 150 * std::pow(10, -2.2)) / 200, 1e-15);
    EXPECT_TRUE(r[1].IsNoise);
    EXPECT_EQ(r[1].SampleNb, 100);
    EXPECT_EQ(r[2].BeginSample, 500);

    const std::vector<Region> alternating = {region(0, 10, -10, -10), region(10, 10, -90, -90, true),
                                             region(20, 10, -12, -12), region(30, 10, -90, -90, true)};
    auto alt = tk::detectorFromList(alternating);
    alt->mergeRegions();
    EXPECT_EQ(alt->getRegions(), alternating);
}

TEST(RegionPost, CompressionMovesEachRegionTowardsItsRunsLoudest) {
    // Two runs split by noise. Region levels in dB (louder channel); the right
    // channel sits 2 dB lower and must follow the same gain.
    const double levels[] = {-6, -12, -20, -90, -10, -16};
    const bool noise[] = {false, false, false, true, false, false};
    const int weights[] = {100, 300, 200, 50, 400, 100};
    std::vector<Region> list;
    for (int i = 0; i < 6; ++i) list.push_back(region(i * 100000, 100000, levels[i], levels[i] - 2, noise[i], weights[i]));
    // Keep the last run clear of fade-out levelling: its last region is the louder.
    std::swap(list[4].RMSSqrValue0, list[5].RMSSqrValue0);
    std::swap(list[4].RMSSqrValue1, list[5].RMSSqrValue1);
    const double runMax[] = {-6, -6, -6, 0, -10, -10};
    const double actual[] = {-6, -12, -20, -90, -16, -10};

    for (double ratio : {0.5, 1.0, 2.0, 4.0}) {
        auto det = tk::detectorFromList(list);
        const double correction = det->compressDynamic(ratio);
        const double c = std::max(1.0, ratio), e = (1 - 1 / c) * (1 - 1 / c);
        const auto r = det->getRegions();
        double W = 0, G = 0;
        for (int i = 0; i < 6; ++i) {
            if (noise[i]) {
                EXPECT_EQ(r[size_t(i)], list[size_t(i)]);
                continue;
            }
            const double expected = actual[i] + (1 - e) * (runMax[i] - actual[i]);
            EXPECT_NEAR(db(r[size_t(i)].RMSSqrValue0), expected, 1e-9) << "ratio " << ratio << " region " << i;
            EXPECT_NEAR(db(r[size_t(i)].RMSSqrValue1), expected - 2, 1e-9);
            const double gain = std::pow(10.0, (1 - e) * (-6 - actual[i]) / 10);  // against the global peak
            W += weights[i];
            G += weights[i] * gain;
        }
        EXPECT_NEAR(correction, 10 * std::log10(G / W), 1e-9) << "ratio " << ratio;
    }
}

TEST(RegionPost, CompressionLevelsAFadeOutFromItsFirstLoudRegion) {
    auto det = tk::detectorFromList({region(0, 10000, -90, -90, true), region(10000, 100000, -6, -6),
                                     region(110000, 10000, -8, -8), region(120000, 10000, -10, -10),
                                     region(130000, 100000, -20, -20), region(230000, 1, -100, -100, true)});
    det->compressDynamic(2.0);  // e = 0.25: a region keeps a quarter of its distance to -6 dB
    const auto r = det->getRegions();
    for (int i = 1; i <= 3; ++i) EXPECT_NEAR(db(r[size_t(i)].RMSSqrValue0), -6.0, 1e-9) << i;
    EXPECT_NEAR(db(r[4].RMSSqrValue0), -6 - 0.25 * 14, 1e-9);
}

TEST(RegionPost, CompressionWithoutSignalChangesNothing) {
    const std::vector<Region> list = {region(0, 100, -80, -80, true), region(100, 1, -100, -100, true)};
    auto det = tk::detectorFromList(list);
    EXPECT_EQ(det->compressDynamic(3.0), -100.0);
    EXPECT_EQ(det->getRegions(), list);
}

TEST(RegionPost, NoiseEstimates) {
    // 10 minutes: the budget is 2 × a seconds.
    const int rate = 44100;
    auto det = tk::detectorFromList({region(0, 300 * rate, -6, -9), region(300 * rate, 5 * rate, -50, -50),
                                     region(305 * rate, 295 * rate, -7, -8), region(600 * rate, 1, -100, -100, true)});
    // The quiet region lies above the SNR floor and covers the budget.
    // The answer is relative to the loudest region's weaker channel (-9 dB).
    EXPECT_NEAR(det->estimateNoise(1.0, 60), 20 * std::log10(1.05) + (-50 - -9), 1e-9);
    // Below the floor it is passed over; the next region above it becomes the estimate.
    EXPECT_NEAR(det->estimateNoise(1.0, 30), 20 * std::log10(1.05) + (-7 - -9), 1e-9);
    // When the walk reaches the loudest region itself the answer is exactly -snr.
    auto plain = tk::detectorFromList({region(0, 600 * rate, -6, -9), region(600 * rate, 5 * rate, -50, -50),
                                       region(605 * rate, 1, -100, -100, true)});
    EXPECT_EQ(plain->estimateNoise(1.0, 30), -30.0);
    EXPECT_EQ(plain->estimateNoise(0.0, 30), -30.0);
    // Absolute threshold from the loudest weaker channel.
    EXPECT_NEAR(det->getNoiseFromSNR(40), -8 - 40, 1e-9);
}

TEST(RegionPost, SplitMarksAQuietPassageInsideALongRun) {
    const int rate = 44100;
    auto det = tk::detectorFromList({region(0, 45 * rate, -6, -6), region(45 * rate, 3 * rate, -50, -50),
                                     region(48 * rate, 45 * rate, -6, -6), region(93 * rate, 1, -100, -100, true)});
    det->split(1.0, 10.0, 60.0);
    const auto r = det->getRegions();
    EXPECT_FALSE(r[0].IsNoise);
    EXPECT_TRUE(r[1].IsNoise);
    EXPECT_FALSE(r[2].IsNoise);
    EXPECT_EQ(det->getSegmentsNumber(), 2);

    // A run shorter than the minimum is left alone.
    auto shortRun = tk::detectorFromList({region(0, 4 * rate, -6, -6), region(4 * rate, rate, -50, -50),
                                          region(5 * rate, 4 * rate, -6, -6), region(9 * rate, 1, -100, -100, true)});
    shortRun->split(1.0, 10.0, 60.0);
    EXPECT_FALSE(shortRun->getRegion(1).IsNoise);
}
