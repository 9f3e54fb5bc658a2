// Level statistics: sums and peaks against direct computation, the sliding RMS
// against a naive centred window, and the JSON form.
#include <QJsonObject>
#include <cmath>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoStats.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
}  // namespace

// Sums and peaks against direct computation, and the levels in dB they give;
// a second run starts from zero. Before the first frame there is nothing to
// report: the levels given are left as they were (the peaks read -100 dB).
TEST(LevelStats, SumsPeaksAndLevels) {
    SoundAlgoStats fresh;
    Frame rms(7.0, 8.0), max(1.0, 1.0);
    double full = 3.0;
    fresh.getGlobalStats(rms, full, max);
    EXPECT_TRUE(rms.l == 7.0 && full == 3.0 && max.l == 1.0 && fresh.getFullRMS() == 0.0);
    fresh.getMax(max);
    EXPECT_EQ(max.l, -100.0);

    const Frames in = tk::mixedStereo(7000, kRate);
    auto stats = SoundRef<SoundAlgoStats>::make(SoundAlgoStats::StatsOnly, 1.0);
    EXPECT_EQ(stats->getInOverlap(kRate) + stats->getDelay(kRate), 0u);  // no window: the type has none
    EXPECT_TRUE(tk::framesNear(tk::run(*stats, in, kRate, 1001), in, 0.0));
    double l = 0, r = 0, ml = 0, mr = 0;
    for (const Frame& f : in) {
        l += f.l * f.l;
        r += f.r * f.r;
        ml = std::max(ml, std::fabs(f.l));
        mr = std::max(mr, std::fabs(f.r));
    }
    for (int run = 0; run < 2; ++run, tk::run(*stats, in, kRate, 64)) {
        EXPECT_EQ(stats->getTotalCount(), in.size());
        EXPECT_NEAR(stats->getLeftSqr(), l, 1e-9 * l);
        EXPECT_NEAR(stats->getRightSqr(), r, 1e-9 * r);
        EXPECT_TRUE(stats->getLeftMax() == ml && stats->getRightMax() == mr);
    }
    stats->getGlobalStats(rms, full, max);
    const double n = double(in.size());
    EXPECT_NEAR(rms.l, tk::powerDb(l / n), 1e-9);
    EXPECT_NEAR(rms.r, tk::powerDb(r / n), 1e-9);
    EXPECT_NEAR(max.l, tk::db(ml), 1e-9);
    EXPECT_NEAR(max.r, tk::db(mr), 1e-9);
    EXPECT_NEAR(full, tk::powerDb((l + r) / (2.0 * n)), 1e-9);
}

// The RMS output is centred on its window, in blocks far shorter than it (the
// running sum, which each block starts afresh, rounds: its square root shows
// ~1e-8 in silence after loud frames). 5 ms are 220.5 -> 221 frames: windows
// are always odd (10 ms at 48 kHz: 480 -> 481).
TEST(LevelStats, SlidingRmsIsACentredWindow) {
    const Frames in = tk::concat({tk::mixedStereo(3000, kRate), tk::silence(500), tk::noise(2000, 0.9, 4)});
    EXPECT_EQ(SoundAlgoStats(SoundAlgoStats::StatsAndRMS, 0.01).getInOverlap(48000), 481u);
    const unsigned W = 221, half = 110;
    auto stats = SoundRef<SoundAlgoStats>::make(SoundAlgoStats::RMSOnly, 0.005);
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

// Through the registry (which knows the class from the moment the library is
// loaded) a description builds the same statistics, with its id; missing keys
// keep their values, and a wrong class, type or window builds nothing. (The
// round trip of measured statistics: the statistics-file tests.)
TEST(LevelStats, JsonRegistryAndRefusals) {
    auto stats = SoundRef<SoundAlgoStats>::make(SoundAlgoStats::StatsAndRMS, 0.02);
    tk::run(*stats, tk::noise(4000, 0.3, 2), 48000);
    QJsonObject o;
    stats->writeToJSon(o);
    o.insert("Id", "[60-120]");
    auto generic = SoundRef<SoundAlgo>::adopt(SoundAlgo::createFromJSon(o));
    auto* back = dynamic_cast<SoundAlgoStats*>(generic.get());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->getId(), "[60-120]");
    EXPECT_EQ(back->getFullRMS(), stats->getFullRMS());
    auto minimal = SoundRef<SoundAlgoStats>::adopt(SoundAlgoStats::createFromJSon(
        QJsonObject{{"Class", "SoundAlgoStats"}, {"OutputType", 2}, {"WindowTime", 0.0}, {"TotalCount", "x"}}));
    ASSERT_TRUE(minimal);
    EXPECT_EQ(minimal->getTotalCount(), 0u);
    for (const QJsonObject& bad : {QJsonObject{{"Class", "Other"}, {"OutputType", 0}, {"WindowTime", 1.0}},
                                   QJsonObject{{"Class", "SoundAlgoStats"}, {"OutputType", 7}, {"WindowTime", 1.0}},
                                   QJsonObject{{"Class", "SoundAlgoStats"}, {"OutputType", 0}, {"WindowTime", -1.0}}})
        EXPECT_EQ(SoundAlgoStats::createFromJSon(bad), nullptr);
}
