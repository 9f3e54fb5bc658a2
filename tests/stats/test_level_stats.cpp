// Level statistics: sums and peaks against direct computation, the sliding RMS
// against a naive centred window, and the JSON form.
#include <QJsonDocument>
#include <cmath>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoStats.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
}  // namespace

// Sums and peaks against direct computation, and the levels in dB they give.
TEST(LevelStats, SumsPeaksAndLevels) {
    const Frames in = tk::mixedStereo(7000, kRate);
    auto stats = SoundRef<SoundAlgoStats>::make(SoundAlgoStats::StatsOnly, 1.0);
    EXPECT_EQ(stats->getWindowTime(), 0.0);  // forced by the type
    EXPECT_EQ(stats->getInOverlap(kRate), 0u);
    EXPECT_EQ(stats->getDelay(kRate), 0u);
    EXPECT_TRUE(tk::framesNear(tk::run(*stats, in, kRate, 1001), in, 0.0));
    double l = 0, r = 0, ml = 0, mr = 0;
    for (const Frame& f : in) {
        l += f.l * f.l;
        r += f.r * f.r;
        ml = std::max(ml, std::fabs(f.l));
        mr = std::max(mr, std::fabs(f.r));
    }
    for (int run = 0; run < 2; ++run) {  // a second run starts from zero
        EXPECT_EQ(stats->getTotalCount(), in.size());
        EXPECT_NEAR(stats->getLeftSqr(), l, 1e-9 * l);
        EXPECT_NEAR(stats->getRightSqr(), r, 1e-9 * r);
        EXPECT_EQ(stats->getLeftMax(), ml);
        EXPECT_EQ(stats->getRightMax(), mr);
        tk::run(*stats, in, kRate, 64);
    }
    Frame rms(0, 0), max(0, 0);
    double full = 0.0;
    stats->getGlobalStats(rms, full, max);
    const double n = double(in.size());
    EXPECT_NEAR(rms.l, tk::powerDb(l / n), 1e-9);
    EXPECT_NEAR(rms.r, tk::powerDb(r / n), 1e-9);
    EXPECT_NEAR(max.l, tk::db(ml), 1e-9);
    EXPECT_NEAR(max.r, tk::db(mr), 1e-9);
    EXPECT_NEAR(full, tk::powerDb((l + r) / (2.0 * n)), 1e-9);
    EXPECT_NEAR(stats->getFullRMS(), full, 1e-9);
}

TEST(LevelStats, NothingBeforeTheFirstFrame) {
    SoundAlgoStats stats;
    EXPECT_EQ(stats.getOutputType(), SoundAlgoStats::StatsAndRMS);
    EXPECT_EQ(stats.getWindowTime(), 1.0);
    EXPECT_EQ(stats.getFullRMS(), 0.0);
    Frame rms(7.0, 8.0), max(1.0, 1.0);
    double full = 3.0;
    stats.getRMS(rms);
    EXPECT_EQ(rms.l, 7.0);
    stats.getGlobalStats(rms, full, max);
    EXPECT_EQ(full, 3.0);
    EXPECT_EQ(max.l, 1.0);
    stats.getMax(max);
    EXPECT_EQ(max.l, -100.0);
}

// The RMS output is centred on its window, in blocks far shorter than it (the
// running sum, which each block starts afresh, rounds: its square root shows
// ~1e-8 in silence after loud frames).
TEST(LevelStats, SlidingRmsIsACentredWindow) {
    const Frames in = tk::concat({tk::mixedStereo(3000, kRate), tk::silence(500), tk::noise(2000, 0.9, 4)});
    const double window = 0.005;  // 220.5 -> 221 frames (windows are always odd: 480 -> 481)
    EXPECT_EQ(SoundAlgoStats(SoundAlgoStats::StatsAndRMS, 0.01).getInOverlap(48000), 481u);
    const unsigned W = 221, half = 110;
    auto stats = SoundRef<SoundAlgoStats>::make(SoundAlgoStats::RMSOnly, window);
    ASSERT_EQ(stats->getInOverlap(kRate), W);
    ASSERT_EQ(stats->getDelay(kRate), half);
    const Frames ref = tk::run(*stats, in, kRate, 7);
    ASSERT_GE(ref.size(), in.size());
    EXPECT_EQ(stats->getTotalCount(), 0u);  // RMSOnly keeps no statistics
    for (size_t i = half; i + half < in.size(); i += 37) {
        double l = 0, r = 0;
        for (size_t k = i - half; k <= i + half; ++k) {
            l += in[k].l * in[k].l;
            r += in[k].r * in[k].r;
        }
        ASSERT_NEAR(ref[i].l, std::sqrt(l / W), 1e-7) << i;
        ASSERT_NEAR(ref[i].r, std::sqrt(r / W), 1e-7) << i;
    }
}

TEST(LevelStats, JsonRoundTripAndRegistry) {
    auto stats = SoundRef<SoundAlgoStats>::make(SoundAlgoStats::StatsAndRMS, 0.02);
    tk::run(*stats, tk::noise(4000, 0.3, 2), 48000);
    QJsonObject o;
    stats->writeToJSon(o);
    EXPECT_EQ(o.value("Class").toString(), "SoundAlgoStats");
    EXPECT_EQ(o.value("OutputType").toInt(), 0);
    EXPECT_EQ(o.value("SampleRate").toInt(), 48000);
    EXPECT_FALSE(o.contains("Id"));
    // Through text and back.
    const QJsonObject parsed = QJsonDocument::fromJson(QJsonDocument(o).toJson()).object();
    SoundRef<SoundAlgoStats> back = SoundRef<SoundAlgoStats>::adopt(SoundAlgoStats::createFromJSon(parsed));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->getOutputType(), SoundAlgoStats::StatsAndRMS);
    EXPECT_EQ(back->getWindowTime(), 0.02);
    EXPECT_EQ(back->getTotalCount(), stats->getTotalCount());
    EXPECT_EQ(back->getLeftSqr(), stats->getLeftSqr());
    EXPECT_EQ(back->getRightMax(), stats->getRightMax());
    EXPECT_EQ(back->getSampleRate(), 48000u);
    EXPECT_EQ(back->getFullRMS(), stats->getFullRMS());

    // The registry knows the class from the moment the library is loaded.
    QJsonObject withId = parsed;
    withId.insert("Id", "[60-120]");
    SoundRef<SoundAlgo> generic = SoundRef<SoundAlgo>::adopt(SoundAlgo::createFromJSon(withId));
    auto* rebuilt = dynamic_cast<SoundAlgoStats*>(generic.get());
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_EQ(rebuilt->getId(), "[60-120]");

    // Missing keys keep their values; a wrong or missing class, type or window fails.
    QJsonObject minimal{{"Class", "SoundAlgoStats"}, {"OutputType", 2}, {"WindowTime", 0.0}, {"TotalCount", "x"}};
    SoundRef<SoundAlgoStats> m = SoundRef<SoundAlgoStats>::adopt(SoundAlgoStats::createFromJSon(minimal));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->getTotalCount(), 0u);
    for (const QJsonObject& bad :
         {QJsonObject{{"Class", "Other"}, {"OutputType", 0}, {"WindowTime", 1.0}},
          QJsonObject{{"Class", "SoundAlgoStats"}, {"WindowTime", 1.0}},
          QJsonObject{{"Class", "SoundAlgoStats"}, {"OutputType", 0}, {"WindowTime", "1"}},
          QJsonObject{{"Class", "SoundAlgoStats"}, {"OutputType", 7}, {"WindowTime", 1.0}},
          QJsonObject{{"Class", "SoundAlgoStats"}, {"OutputType", 0}, {"WindowTime", -1.0}}})
        EXPECT_EQ(SoundAlgoStats::createFromJSon(bad), nullptr);
}
