// RMSStepDetector: region boundaries, noise marking and slopes on generated
// recordings with a known structure, block-size and real-time independence,
// the step rules on hand-made steps, the JSON form, and the post-processing of
// a finished list.
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cmath>
#include <sstream>

#include "common/Recordings.h"
#include "tonewright/RMSStepDetector.h"

namespace {
using Region = RMSStepDetector::Region;
constexpr unsigned kRate = 44100;

SoundRef<RMSStepDetector> analyse(const tk::Frames& frames, unsigned block = 1024, bool realTime = false,
                                  RMSStepDetector::OutputMode mode = RMSStepDetector::NoOutput,
                                  tk::Frames* out = nullptr) {
    auto det = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, mode, realTime);
    tk::Frames o = tk::run(*det, frames, kRate, block);
    if (out) *out = o;
    return det;
}

// A steady 1 kHz tone: 0.2 s windows hold whole periods, so its window power is flat.
tk::Frames tone(double seconds, double db) {
    return tk::sine(size_t(std::llround(seconds * kRate)), kRate, 1000.0, std::sqrt(2.0) * tk::fromDb(db),
                    0.3);
}

double regionDb(const Region& r) { return 10.0 * std::log10(std::max(r.level(), 1e-30)); }
using tk::detectorFromList;
using tk::region;
}  // namespace

TEST(StepDetector, FindsTheStructureOfAGeneratedAlbum) {
    const tk::Recording rec = tk::album(kRate);
    auto det = analyse(rec.frames);
    const int N = det->getWindowLength();
    ASSERT_EQ(N, 8820);
    const std::vector<Region> regions = det->getRegions();
    ASSERT_GE(regions.size(), 2u);

    // Every true step has a boundary within one window, and every boundary sits
    // at a true step (the end marker aside).
    std::vector<size_t> steps;
    for (size_t i = 1; i + 2 < rec.pieces.size(); ++i) steps.push_back(rec.pieces[i].begin);
    for (size_t step : steps) {
        const bool found = std::any_of(regions.begin(), regions.end(), [&](const Region& r) {
            return std::abs(double(r.BeginSample) - double(step)) <= N;
        });
        EXPECT_TRUE(found) << "no boundary near the step at " << step;
    }
    for (size_t i = 0; i + 1 < regions.size(); ++i) {
        const bool atStep = std::any_of(steps.begin(), steps.end(), [&](size_t step) {
            return std::abs(double(regions[i].BeginSample) - double(step)) <= N;
        });
        EXPECT_TRUE(atStep) << "region " << i << " starts at " << regions[i].BeginSample << ", far from any step";
    }
    // The regions tile the stream up to the end marker.
    for (size_t i = 0; i + 1 < regions.size(); ++i)
        EXPECT_EQ(regions[i].BeginSample + regions[i].SampleNb, regions[i + 1].BeginSample);
    EXPECT_EQ(det->getFullLength(), rec.frames.size());

    // Silence and room noise are noise; the tracks are not, and carry their level.
    for (const Region& r : regions) {
        const size_t mid = size_t(r.BeginSample) + size_t(r.SampleNb) / 2;
        for (const tk::Piece& p : rec.pieces) {
            if (mid < p.begin || mid >= p.end || r.SampleNb < N) continue;
            if (p.kind == tk::Piece::Silence || p.kind == tk::Piece::RoomNoise) {
                EXPECT_TRUE(r.IsNoise) << "region at " << r.BeginSample << " lies in a quiet passage";
            }
            if (p.kind == tk::Piece::Track) {
                EXPECT_FALSE(r.IsNoise) << "region at " << r.BeginSample << " lies in a track";
                EXPECT_NEAR(regionDb(r), p.levelDb, 0.3);
            }
        }
    }
    EXPECT_EQ(det->getSegmentsNumber(), 3);

    // The signal bounds bracket the music: from the first track to the end of the fade.
    const int start = det->getSignalStart(0.0);
    EXPECT_LE(start, int(rec.pieces[1].begin));
    EXPECT_GE(start, int(rec.pieces[1].begin) - N);
    EXPECT_GE(det->getSignalEnd(0.0), int(rec.fadeEnd()) - 1);
    EXPECT_LT(det->getSignalEnd(0.0), int(rec.frames.size()));
    EXPECT_EQ(det->getSignalStart(0.5), start - int(kRate / 2));
    EXPECT_NEAR(det->getCurrentMax(), tk::fromDb(-8), 0.02);

    // The fade is followed as one falling slope, and no falling region is cut in it.
    bool fadeTracked = false;
    for (const auto& s : det->getSlopes())
        if (s.begin <= int(rec.fadeBegin() + kRate) && s.end >= int(rec.fadeEnd()) - N - int(kRate / 2))
            fadeTracked = true;
    EXPECT_TRUE(fadeTracked);
    for (const Region& r : regions)
        EXPECT_FALSE(r.BeginSample > int(rec.fadeBegin()) && r.BeginSample < int(rec.frames.size()))
            << "falling region cut in the fade at " << r.BeginSample;
}

namespace {
// Records how many regions the detector shows after each block.
class WatchingWriter : public SoundWriter {
public:
    WatchingWriter(RMSStepDetector& d) : SoundWriter(kRate), mDetector(d) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    std::vector<int> counts;

protected:
    unsigned write(unsigned count, double*) override {
        counts.push_back(mDetector.size());
        return count;
    }

private:
    RMSStepDetector& mDetector;
};
}  // namespace

TEST(StepDetector, StepRulesWeighLevelChangeAgainstDuration) {
    struct Case {
        const char* what;
        double firstSeconds, firstDb, secondDb;
        size_t regions;  // real regions, end marker excluded
    };
    const Case cases[] = {
        {"3 dB after 3 s merges", 3, -20, -17, 1},
        {"3 dB after 6 s stays", 6, -20, -17, 2},
        {"1.5 dB after 6 s merges", 6, -20, -18.5, 1},
        {"1.5 dB after 11 s stays", 11, -20, -18.5, 2},
        {"6 dB after 2.5 s stays", 2.5, -20, -14, 2},
        {"equal levels merge", 12, -20, -20, 1},
    };
    for (const Case& c : cases) {
        const tk::Frames in = tk::concat({tone(c.firstSeconds, c.firstDb), tone(12, c.secondDb)});
        auto det = analyse(in);
        const auto regions = det->getRegions();
        ASSERT_FALSE(regions.empty());
        EXPECT_EQ(regions.size() - 1, c.regions) << c.what;
        if (c.regions == 2) {
            EXPECT_NEAR(regions[1].BeginSample, c.firstSeconds * kRate, det->getWindowLength()) << c.what;
            EXPECT_NEAR(regionDb(regions[0]), c.firstDb, 0.5) << c.what;
            EXPECT_NEAR(regionDb(regions[1]), c.secondDb, 0.3) << c.what;
        }
    }
}

TEST(StepDetector, LeadingSilenceBelongsToNoRegionWhateverTheBlocks) {
    const size_t lead = 3 * kRate + 123;
    const tk::Frames in = tk::concat({tk::silence(lead), tone(12, -20)});
    for (unsigned block : {1024u, 9000u, 100000u}) {
        auto det = analyse(in, block);
        ASSERT_GE(det->size(), 1);
        EXPECT_EQ(det->getRegion(0).BeginSample, int(lead) - det->getWindowLength() + 1) << "block " << block;
        EXPECT_FALSE(det->getRegion(0).IsNoise);
    }
}

TEST(StepDetector, ShortLastRegionAbsorbsTheEndMarker) {
    const tk::Frames in = tk::concat({tone(12, -20), tone(1.5, -5)});
    auto det = analyse(in);
    const auto regions = det->getRegions();
    ASSERT_EQ(regions.size(), 2u);
    EXPECT_EQ(det->getFullLength(), unsigned(regions.back().BeginSample));
    EXPECT_NEAR(regions.back().BeginSample, 12.0 * kRate, det->getWindowLength());

    // A long last region gets its own end marker at the end of the stream.
    auto det2 = analyse(tone(12, -20));
    EXPECT_EQ(det2->getFullLength(), 12u * kRate);
    EXPECT_TRUE(det2->getRegion(det2->size() - 1).IsNoise);
}

TEST(StepDetector, FadeInTheLastTenSecondsCutsNoFallingRegion) {
    tk::Frames fading = tone(8, -10);
    for (size_t i = 0; i < fading.size(); ++i) fading[i] = fading[i] * tk::Frame(1 - double(i) / fading.size(), 1 - double(i) / fading.size());
    auto det = analyse(tk::concat({tone(15, -10), fading}));
    EXPECT_EQ(det->size(), 2);  // one region and the end marker
    // A rise there still cuts a region.
    auto up = analyse(tk::concat({tone(15, -30), tone(6, -10)}));
    EXPECT_EQ(up->size(), 3);
}

TEST(StepDetector, OutputModes) {
    const tk::Frames in = tk::concat({tone(3, -20), tone(3, -6)});
    tk::Frames out;
    analyse(in, 1024, false, RMSStepDetector::PassThrough, &out);
    ASSERT_GE(out.size(), in.size());
    EXPECT_TRUE(tk::framesNear(tk::Frames(out.begin(), out.begin() + long(in.size())), in, 0.0));

    analyse(in, 1024, false, RMSStepDetector::RegionRMS, &out);
    EXPECT_NEAR(out[kRate].l, tk::fromDb(-20), 1e-6);
    EXPECT_NEAR(out[5 * kRate].r, tk::fromDb(-6), 5e-3);

    // Window mean squares of the latest tick: ticks fall every window from sample 0.
    analyse(in, 1024, false, RMSStepDetector::WindowMeanSquare, &out);
    const double p20 = std::pow(10.0, -20 / 10.0);
    EXPECT_NEAR(out[10].l, p20, 1e-9);
    EXPECT_NEAR(out[2 * 8820 + 5].r, p20, 1e-9);
    EXPECT_NEAR(out[5 * kRate].l, std::pow(10.0, -6 / 10.0), 1e-6);
}

TEST(StepDetector, NoiseThresholdIsRelativeOfflineAndAbsoluteInRealTime) {
    const std::vector<Region> list = {region(0, 100000, -6, -8), region(100000, 100000, -50, -50),
                                      region(200000, 100000, -45, -47), region(300000, 100000, -35, -38)};
    auto offline = detectorFromList(list, false);
    offline->applyNoise(-40);  // 40 dB below -8 dB: -48 dB
    std::vector<bool> flags;
    for (const Region& r : offline->getRegions()) flags.push_back(r.IsNoise);
    EXPECT_EQ(flags, (std::vector<bool>{false, true, false, false}));
    auto live = detectorFromList(list, true);
    live->applyNoise(-40);
    flags.clear();
    for (const Region& r : live->getRegions()) flags.push_back(r.IsNoise);
    EXPECT_EQ(flags, (std::vector<bool>{false, true, true, false}));
    EXPECT_DOUBLE_EQ(live->getNoiseThreshold(), -40.0);
}

TEST(StepDetector, SignalBoundsOfAnAllNoiseList) {
    auto det = detectorFromList({region(0, 1000, -80, -80, true), region(1000, 1, -100, -100, true)});
    EXPECT_EQ(det->getSignalStart(0), 2147483647);
    EXPECT_EQ(det->getSignalEnd(0), 0);
    EXPECT_EQ(det->getSegmentsNumber(), 0);
    // An all-silent stream ends with its end marker alone.
    auto silent = analyse(tk::silence(3 * kRate));
    ASSERT_EQ(silent->size(), 1);
    EXPECT_TRUE(silent->getRegion(0).IsNoise);
    EXPECT_EQ(silent->getSignalStart(0), 2147483647);
    // Compression finds no signal to level: the list stays as it was.
    const std::vector<Region> list = det->getRegions();
    EXPECT_EQ(det->compressDynamic(3.0), -100.0);
    EXPECT_EQ(det->getRegions(), list);
}

TEST(StepDetector, JsonRoundTripKeepsEveryField) {
    const tk::Recording rec = tk::album(kRate, 0.5);
    auto det = analyse(rec.frames);
    QJsonObject o;
    det->writeToJSon(o);
    EXPECT_EQ(o.value("Class").toString(), "RMSStepDetector");
    EXPECT_EQ(o.value("SampleRate").toInt(), int(kRate));
    const QByteArray text = QJsonDocument(o).toJson();
    SoundRef<SoundAlgo> back = SoundRef<SoundAlgo>::adopt(SoundAlgo::createFromJSon(QJsonDocument::fromJson(text).object()));
    auto* copy = dynamic_cast<RMSStepDetector*>(back.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->getRegions(), det->getRegions());
    EXPECT_EQ(copy->getRegions(true), det->getRegions());  // the backup is the loaded list
    const std::vector<Region> original = det->getRegions();
    EXPECT_GT(std::count_if(original.begin(), original.end(), [](const Region& r) { return r.IsNoise; }), 1);
    EXPECT_EQ(copy->getSampleRate(), kRate);
    EXPECT_DOUBLE_EQ(copy->getNoiseThreshold(), -40.0);
    // The loaded list's loudest region; the analysis also saw transitions that merged away.
    EXPECT_NEAR(copy->getCurrentMax(), det->getCurrentMax(), 0.01);

    // Missing or mistyped keys give no detector; a bad region fails the read only.
    for (const char* key : {"Class", "NoiseThreshold", "RMSTime", "MinSlopeTime", "OutputMode", "RealTimeMode"}) {
        QJsonObject broken = o;
        broken.remove(key);
        EXPECT_EQ(RMSStepDetector::createFromJSon(broken), nullptr) << key;
        broken.insert(key, "text");
        EXPECT_EQ(RMSStepDetector::createFromJSon(broken), nullptr) << key;
    }
    QJsonObject badRegion = o;
    QJsonArray regions = o.value("Regions").toArray();
    regions.append(QJsonObject{{"BeginSample", 1}, {"SampleNb", 2}});
    badRegion.insert("Regions", regions);
    auto partial = SoundRef<RMSStepDetector>::make();
    EXPECT_FALSE(partial->readFromJSon(badRegion));
    EXPECT_EQ(partial->size(), det->size());
}

TEST(StepDetector, ASlowRiseIsASlopeEndingInTheLouderRegion) {
    // Tones and noise, so that steady stretches end the slopes the rise is not part of.
    tk::Frames rise = tk::track(4 * kRate, kRate, -10, 8);
    for (size_t i = 0; i < rise.size(); ++i) {
        const double g = std::pow(10.0, -20.0 * (1.0 - double(i) / double(rise.size())) / 20.0);
        rise[i] = rise[i] * tk::Frame(g, g);
    }
    const tk::Frames in = tk::concat({tk::track(12 * kRate, kRate, -30, 7), rise, tk::track(14 * kRate, kRate, -10, 9)});
    auto det = analyse(in);
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

TEST(RegionPost, MergeJoinsNeighboursOfOneKind) {
    auto det = detectorFromList({region(0, 100, -10, -12, false, 50), region(100, 300, -20, -22, false, 150),
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
    auto alt = detectorFromList(alternating);
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
        auto det = detectorFromList(list);
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
            EXPECT_NEAR(tk::powerDb(r[size_t(i)].RMSSqrValue0), expected, 1e-9) << "ratio " << ratio << " region " << i;
            EXPECT_NEAR(tk::powerDb(r[size_t(i)].RMSSqrValue1), expected - 2, 1e-9);
            const double gain = std::pow(10.0, (1 - e) * (-6 - actual[i]) / 10);  // against the global peak
            W += weights[i];
            G += weights[i] * gain;
        }
        EXPECT_NEAR(correction, 10 * std::log10(G / W), 1e-9) << "ratio " << ratio;
    }
}

TEST(RegionPost, CompressionLevelsAFadeOutFromItsFirstLoudRegion) {
    auto det = detectorFromList({region(0, 10000, -90, -90, true), region(10000, 100000, -6, -6),
                                     region(110000, 10000, -8, -8), region(120000, 10000, -10, -10),
                                     region(130000, 100000, -20, -20), region(230000, 1, -100, -100, true)});
    det->compressDynamic(2.0);  // e = 0.25: a region keeps a quarter of its distance to -6 dB
    const auto r = det->getRegions();
    for (int i = 1; i <= 3; ++i) EXPECT_NEAR(tk::powerDb(r[size_t(i)].RMSSqrValue0), -6.0, 1e-9) << i;
    EXPECT_NEAR(tk::powerDb(r[4].RMSSqrValue0), -6 - 0.25 * 14, 1e-9);
}

TEST(RegionPost, NoiseEstimates) {
    // 10 minutes: the budget is 2 × a seconds.
    const int rate = 44100;
    auto det = detectorFromList({region(0, 300 * rate, -6, -9), region(300 * rate, 5 * rate, -50, -50),
                                     region(305 * rate, 295 * rate, -7, -8), region(600 * rate, 1, -100, -100, true)});
    // The quiet region lies above the SNR floor and covers the budget.
    // The answer is relative to the loudest region's weaker channel (-9 dB).
    EXPECT_NEAR(det->estimateNoise(1.0, 60), 20 * std::log10(1.05) + (-50 - -9), 1e-9);
    // Below the floor it is passed over; the next region above it becomes the estimate.
    EXPECT_NEAR(det->estimateNoise(1.0, 30), 20 * std::log10(1.05) + (-7 - -9), 1e-9);
    // When the walk reaches the loudest region itself the answer is exactly -snr.
    auto plain = detectorFromList({region(0, 600 * rate, -6, -9), region(600 * rate, 5 * rate, -50, -50),
                                       region(605 * rate, 1, -100, -100, true)});
    EXPECT_EQ(plain->estimateNoise(1.0, 30), -30.0);
    EXPECT_EQ(plain->estimateNoise(0.0, 30), -30.0);
    // Absolute threshold from the loudest weaker channel.
    EXPECT_NEAR(det->getNoiseFromSNR(40), -8 - 40, 1e-9);
}

TEST(RegionPost, SplitMarksAQuietPassageInsideALongRun) {
    const int rate = 44100;
    auto det = detectorFromList({region(0, 45 * rate, -6, -6), region(45 * rate, 3 * rate, -50, -50),
                                     region(48 * rate, 45 * rate, -6, -6), region(93 * rate, 1, -100, -100, true)});
    det->split(1.0, 10.0, 60.0);
    const auto r = det->getRegions();
    EXPECT_FALSE(r[0].IsNoise);
    EXPECT_TRUE(r[1].IsNoise);
    EXPECT_FALSE(r[2].IsNoise);
    EXPECT_EQ(det->getSegmentsNumber(), 2);

    // A run shorter than the minimum is left alone.
    auto shortRun = detectorFromList({region(0, 4 * rate, -6, -6), region(4 * rate, rate, -50, -50),
                                          region(5 * rate, 4 * rate, -6, -6), region(9 * rate, 1, -100, -100, true)});
    shortRun->split(1.0, 10.0, 60.0);
    EXPECT_FALSE(shortRun->getRegion(1).IsNoise);
}
