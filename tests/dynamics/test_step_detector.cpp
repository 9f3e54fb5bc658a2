// RMSStepDetector and SoundAlgoGapFinder: region boundaries, noise marking,
// slopes, sound bounds and levels on a generated album with a known structure,
// the step rules on hand-made steps, and the post-processing of a finished
// region list against closed-form results.
#include <algorithm>
#include <cmath>

#include "common/Recordings.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoGapFinder.h"

namespace {
using Region = RMSStepDetector::Region;
using tk::detectorFromList;
using tk::region;
constexpr unsigned kRate = 44100;

SoundRef<RMSStepDetector> analyse(const tk::Frames& frames, RMSStepDetector::OutputMode mode = RMSStepDetector::NoOutput,
                                  tk::Frames* out = nullptr) {
    auto det = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, mode, false);
    tk::Frames o = tk::run(*det, frames, kRate);
    if (out) *out = o;
    return det;
}

// A steady 1 kHz tone: 0.2 s windows hold whole periods, so its window power is flat.
tk::Frames tone(double seconds, double db) {
    return tk::sine(size_t(std::llround(seconds * kRate)), kRate, 1000.0, std::sqrt(2.0) * tk::fromDb(db), 0.3);
}

double regionDb(const Region& r) { return 10.0 * std::log10(std::max(r.level(), 1e-30)); }
std::vector<bool> noiseFlags(const RMSStepDetector& d) {
    std::vector<bool> flags;
    for (const Region& r : d.getRegions()) flags.push_back(r.IsNoise);
    return flags;
}
}  // namespace

TEST(StepDetector, DetectorAndGapFinderFindTheStructureOfAGeneratedAlbum) {
    const tk::Recording rec = tk::album(kRate);
    auto det = analyse(rec.frames);
    const int N = det->getWindowLength();
    ASSERT_EQ(N, 8820);
    const std::vector<Region> regions = det->getRegions();
    // Every true step has a boundary within one window, and every boundary sits
    // at a true step (the end marker aside); the regions tile the stream.
    std::vector<double> steps, bounds;
    for (size_t i = 1; i + 2 < rec.pieces.size(); ++i) steps.push_back(double(rec.pieces[i].begin));
    for (size_t i = 0; i + 1 < regions.size(); ++i) {
        bounds.push_back(regions[i].BeginSample);
        EXPECT_EQ(regions[i].BeginSample + regions[i].SampleNb, regions[i + 1].BeginSample);
    }
    auto allNear = [N](const std::vector<double>& a, const std::vector<double>& b) {
        for (double x : a)
            if (std::none_of(b.begin(), b.end(), [&](double y) { return std::abs(x - y) <= N; })) return x;
        return -1.0;
    };
    EXPECT_EQ(allNear(steps, bounds), -1.0) << "a step without a boundary";
    EXPECT_EQ(allNear(bounds, steps), -1.0) << "a boundary far from any step";
    EXPECT_EQ(det->getFullLength(), rec.frames.size());

    // Silence and room noise are noise; the tracks are not, and carry their level.
    for (const Region& r : regions) {
        const size_t mid = size_t(r.BeginSample) + size_t(r.SampleNb) / 2;
        for (const tk::Piece& p : rec.pieces) {
            if (mid < p.begin || mid >= p.end || r.SampleNb < N || p.kind == tk::Piece::Fade) continue;
            EXPECT_EQ(r.IsNoise, p.kind != tk::Piece::Track) << "region at " << r.BeginSample;
            if (p.kind != tk::Piece::Track) continue;
            EXPECT_NEAR(regionDb(r), p.levelDb, 0.3);
        }
    }
    EXPECT_EQ(det->getSegmentsNumber(), 3);

    // The signal bounds bracket the music: from the first track to the end of the fade.
    const int start = det->getSignalStart(0.0), first = int(rec.pieces[1].begin), end = det->getSignalEnd(0.0);
    EXPECT_TRUE(start <= first && start >= first - N) << start;
    EXPECT_TRUE(end >= int(rec.fade().end) - 1 && end < int(rec.frames.size())) << end;
    EXPECT_EQ(det->getSignalStart(0.5), start - int(kRate / 2));
    EXPECT_NEAR(det->getCurrentMax(), tk::fromDb(-8), 0.02);

    // The fade is followed as one falling slope (no boundary cuts it: none is
    // far from a step, above).
    const auto slopes = det->getSlopes();
    EXPECT_TRUE(std::any_of(slopes.begin(), slopes.end(), [&](const SoundRMSSlopeDetector::Region& s) {
        return s.begin <= int(rec.fade().begin + kRate) && s.end >= int(rec.fade().end) - N - int(kRate / 2);
    }));

    // SoundAlgoGapFinder on the same album: the sound's bounds and levels (the
    // louder channel's mean square: each track's, the loudest overall). (Where
    // the gaps lie, within 50 ms, on gaps of every kind: test_gap_finder.cpp.)
    SoundAlgoGapFinder finder;
    tk::run(finder, rec.frames, rec.rate, 777);
    EXPECT_EQ(finder.getFrameCount(), int64_t(rec.frames.size()));
    const double hop = SoundAlgoGapFinder::kHopTime * rec.rate;
    EXPECT_EQ(finder.getGaps().size(), 2u);  // the silence and the room noise between tracks
    EXPECT_NEAR(double(finder.getSoundBegin()), double(rec.pieces[1].begin), hop);
    EXPECT_GE(finder.getSoundEnd(), int64_t(rec.fade().begin));
    EXPECT_LE(finder.getSoundEnd(), int64_t(rec.fade().end) + int64_t(hop));
    for (const tk::Piece& p : rec.pieces) {
        if (p.kind != tk::Piece::Track) continue;
        EXPECT_NEAR(finder.levelOf(int64_t(p.begin), int64_t(p.end)), p.levelDb, 0.5);
    }
    EXPECT_NEAR(finder.getLevel(), -8.0, 0.5);
}

// Two steady tones: whether the step between them cuts a region depends on the
// level change and on how long the first lasted; a rise cuts one even in the
// last 10 s, where falls are not cut. The end marker sits at the end of the
// stream, or takes the place of a short last region; leading silence belongs to
// no region, and an all-silent stream is its end marker alone.
TEST(StepDetector, StepRulesAndEdges) {
    // regions: real regions, end marker excluded; end: where the marker begins (s)
    struct Case {
        const char* what;
        double firstSeconds, firstDb, secondSeconds, secondDb;
        size_t regions;
        double end;
    };
    const double lead = 3 + 123.0 / kRate, none = -INFINITY;
    const Case cases[] = {
        {"3 dB after 3 s merges", 3, -20, 12, -17, 1, 15},
        {"3 dB after 6 s stays", 6, -20, 12, -17, 2, 18},
        {"1.5 dB after 6 s merges", 6, -20, 12, -18.5, 1, 18},
        {"1.5 dB after 11 s stays", 11, -20, 12, -18.5, 2, 23},
        {"6 dB after 2.5 s stays", 2.5, -20, 12, -14, 2, 14.5},
        {"equal levels merge", 12, -20, 12, -20, 1, 24},
        {"a rise in the last 10 s", 15, -30, 6, -10, 2, 21},
        {"a short last region", 12, -20, 1.5, -5, 1, 12},
        {"leading silence", lead, none, 12, -20, 1, lead + 12},
        {"silence only", 1.5, none, 1.5, none, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto det = analyse(tk::concat({tone(c.firstSeconds, c.firstDb), tone(c.secondSeconds, c.secondDb)}));
        const auto regions = det->getRegions();
        const int N = det->getWindowLength();
        ASSERT_EQ(regions.size() - 1, c.regions);
        EXPECT_NEAR(regions.back().BeginSample, c.end * kRate, c.end == c.firstSeconds ? N : 0.5);
        EXPECT_FALSE(regions.front().IsNoise && c.regions > 0);
        if (c.firstDb == none || c.secondDb == none) { EXPECT_TRUE(regions.back().IsNoise); }
        if (c.firstDb == none && c.regions > 0) {
            EXPECT_EQ(regions[0].BeginSample, std::lround(lead * kRate) - N + 1);
        }
        if (c.regions == 2) {
            EXPECT_NEAR(regions[1].BeginSample, c.firstSeconds * kRate, N);
            EXPECT_NEAR(regionDb(regions[0]), c.firstDb, 0.5);
            EXPECT_NEAR(regionDb(regions[1]), c.secondDb, 0.3);
        }
    }
}

// The stream itself, each region's level, or the window mean square of the
// latest tick (ticks fall every window from sample 0).
TEST(StepDetector, OutputModes) {
    const tk::Frames in = tk::concat({tone(3, -20), tone(3, -6)});
    tk::Frames out;
    analyse(in, RMSStepDetector::PassThrough, &out);
    ASSERT_GE(out.size(), in.size());
    EXPECT_TRUE(tk::framesNear(tk::Frames(out.begin(), out.begin() + long(in.size())), in, 0.0));
    analyse(in, RMSStepDetector::RegionRMS, &out);
    EXPECT_NEAR(out[kRate].l, tk::fromDb(-20), 1e-6);
    EXPECT_NEAR(out[5 * kRate].r, tk::fromDb(-6), 5e-3);
    analyse(in, RMSStepDetector::WindowMeanSquare, &out);
    EXPECT_NEAR(out[10].l, tk::fromDb(-40), 1e-9);
    EXPECT_NEAR(out[2 * 8820 + 5].r, tk::fromDb(-40), 1e-9);
    EXPECT_NEAR(out[5 * kRate].l, tk::fromDb(-12), 1e-6);
}

TEST(StepDetector, ASlowRiseIsASlopeEndingInTheLouderRegion) {
    // Tones and noise, so that steady stretches end the slopes the rise is not part of.
    tk::Frames rise = tk::track(4 * kRate, kRate, -10, 8);
    for (size_t i = 0; i < rise.size(); ++i) {
        const double g = tk::fromDb(-20.0 * (1.0 - double(i) / double(rise.size())));
        rise[i] = rise[i] * tk::Frame(g, g);
    }
    auto det = analyse(tk::concat({tk::track(12 * kRate, kRate, -30, 7), rise, tk::track(14 * kRate, kRate, -10, 9)}));
    const int mid = int(14 * kRate);
    Region end;
    const auto* slope = det->getSlopeRegion(mid, 0, end);
    ASSERT_NE(slope, nullptr);
    EXPECT_LE(slope->begin, mid);
    EXPECT_GE(slope->end, mid);
    // The region where the slope ends is the loud one, and reaches past its end.
    EXPECT_NEAR(regionDb(end), -10, 1.5);
    EXPECT_GE(end.BeginSample + end.SampleNb - 1, slope->end);
}

// ---------------------------------------------------------------- post-processing
// of a finished region list, on hand-built lists checked against closed-form results.
// Noise is relative to the loudest region offline and absolute in real time;
// a quiet passage inside a long run is noise, in a run shorter than the minimum
// it is left alone; merging joins neighbours of one kind.
TEST(RegionPost, NoiseMarkingSplitAndMerge) {
    const std::vector<Region> list = {region(0, 100000, -6, -8), region(100000, 100000, -50, -50),
                                      region(200000, 100000, -45, -47), region(300000, 100000, -35, -38)};
    auto offline = detectorFromList(list, false), live = detectorFromList(list, true);
    offline->applyNoise(-40);  // 40 dB below -8 dB: -48 dB
    live->applyNoise(-40);
    EXPECT_EQ(noiseFlags(*offline), (std::vector<bool>{false, true, false, false}));
    EXPECT_EQ(noiseFlags(*live), (std::vector<bool>{false, true, true, false}));
    EXPECT_DOUBLE_EQ(live->getNoiseThreshold(), -40.0);
    for (int run : {45, 4}) {
        const int S = 44100, q = run > 10 ? 3 : 1;
        auto det = detectorFromList({region(0, run * S, -6, -6), region(run * S, q * S, -50, -50),
                                     region((run + q) * S, run * S, -6, -6),
                                     region((2 * run + q) * S, 1, -100, -100, true)});
        det->split(1.0, 10.0, 60.0);
        EXPECT_EQ(noiseFlags(*det), (std::vector<bool>{false, run > 10, false, true})) << run;
        EXPECT_EQ(det->getSegmentsNumber(), run > 10 ? 2 : 1);
    }
    auto merged = detectorFromList({region(0, 100, -10, -12, false, 50),
                                    region(100, 300, -20, -22, false, 150), region(400, 50, -70, -70, true),
                                    region(450, 50, -80, -80, true), region(500, 1000, -6, -6)});
    merged->mergeRegions();
    const auto r = merged->getRegions();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].BeginSample, 0);
    EXPECT_EQ(r[0].SampleNb, 400);
    EXPECT_EQ(r[0].MeanSmpl, 200);
    EXPECT_NEAR(r[0].RMSSqrValue0, (50 * 0.1 + 150 * 0.01) / 200, 1e-15);
    EXPECT_NEAR(r[0].RMSSqrValue1, (50 * std::pow(10, -1.2) + 150 * std::pow(10, -2.2)) / 200, 1e-15);
    EXPECT_TRUE(r[1].IsNoise);
    EXPECT_EQ(r[1].SampleNb, 100);
    EXPECT_EQ(r[2].BeginSample, 500);
}

TEST(RegionPost, CompressionMovesEachRegionTowardsItsRunsLoudest) {
    // Two runs split by noise. Region levels in dB (louder channel); the right
    // channel sits 2 dB lower and must follow the same gain. The last run's last
    // region is its louder, which keeps it clear of fade-out levelling.
    const double actual[] = {-6, -12, -20, -90, -16, -10}, runMax[] = {-6, -6, -6, 0, -10, -10};
    const int weights[] = {100, 300, 200, 50, 400, 100};
    std::vector<Region> list;
    for (int i = 0; i < 6; ++i) list.push_back(region(i * 100000, 100000, actual[i], actual[i] - 2, i == 3, weights[i]));
    for (double ratio : {0.5, 1.0, 2.0, 4.0}) {
        auto det = detectorFromList(list);
        const double correction = det->compressDynamic(ratio);
        const double c = std::max(1.0, ratio), e = (1 - 1 / c) * (1 - 1 / c);
        const auto r = det->getRegions();
        double W = 0, G = 0;
        for (size_t i = 0; i < 6; ++i) {
            if (list[i].IsNoise) {
                EXPECT_EQ(r[i], list[i]);
                continue;
            }
            const double expected = actual[i] + (1 - e) * (runMax[i] - actual[i]);
            EXPECT_NEAR(tk::powerDb(r[i].RMSSqrValue0), expected, 1e-9) << "ratio " << ratio << " region " << i;
            EXPECT_NEAR(tk::powerDb(r[i].RMSSqrValue1), expected - 2, 1e-9);
            W += weights[i];
            G += weights[i] * std::pow(10.0, (1 - e) * (-6 - actual[i]) / 10);  // against the global peak
        }
        EXPECT_NEAR(correction, 10 * std::log10(G / W), 1e-9) << "ratio " << ratio;
    }

    // A fade-out is levelled from its first loud region: at e = 0.25 a region
    // keeps a quarter of its distance to -6 dB.
    auto fade = detectorFromList({region(0, 10000, -90, -90, true), region(10000, 100000, -6, -6),
                                  region(110000, 10000, -8, -8), region(120000, 10000, -10, -10),
                                  region(130000, 100000, -20, -20), region(230000, 1, -100, -100, true)});
    fade->compressDynamic(2.0);
    const auto r = fade->getRegions();
    for (size_t i = 1; i <= 3; ++i) EXPECT_NEAR(tk::powerDb(r[i].RMSSqrValue0), -6.0, 1e-9) << i;
    EXPECT_NEAR(tk::powerDb(r[4].RMSSqrValue0), -6 - 0.25 * 14, 1e-9);

    // An all-noise list has no signal, no segment, and nothing to level.
    auto none = detectorFromList({region(0, 1000, -80, -80, true), region(1000, 1, -100, -100, true)});
    EXPECT_EQ(none->getSignalStart(0), 2147483647);
    EXPECT_EQ(none->getSignalEnd(0), 0);
    EXPECT_EQ(none->getSegmentsNumber(), 0);
    const std::vector<Region> before = none->getRegions();
    EXPECT_EQ(none->compressDynamic(3.0), -100.0);
    EXPECT_EQ(none->getRegions(), before);
}

TEST(RegionPost, NoiseEstimates) {
    // 10 minutes: the budget is 2 × a seconds.
    const int rate = 44100;
    auto det = detectorFromList({region(0, 300 * rate, -6, -9), region(300 * rate, 5 * rate, -50, -50),
                                 region(305 * rate, 295 * rate, -7, -8), region(600 * rate, 1, -100, -100, true)});
    // The quiet region lies above the SNR floor and covers the budget. The answer
    // is relative to the loudest region's weaker channel (-9 dB); below the floor
    // it is passed over and the next region above it becomes the estimate.
    EXPECT_NEAR(det->estimateNoise(1.0, 60), 20 * std::log10(1.05) + (-50 - -9), 1e-9);
    EXPECT_NEAR(det->estimateNoise(1.0, 30), 20 * std::log10(1.05) + (-7 - -9), 1e-9);
    // When the walk reaches the loudest region itself the answer is exactly -snr.
    auto plain = detectorFromList({region(0, 600 * rate, -6, -9), region(600 * rate, 5 * rate, -50, -50),
                                   region(605 * rate, 1, -100, -100, true)});
    for (double a : {1.0, 0.0}) EXPECT_EQ(plain->estimateNoise(a, 30), -30.0) << a;
    // Absolute threshold from the loudest weaker channel.
    EXPECT_NEAR(det->getNoiseFromSNR(40), -8 - 40, 1e-9);
}
