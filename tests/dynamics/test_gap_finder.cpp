// SoundAlgoGapFinder: the same gaps whatever the block size, the stream passed
// through untouched, and its JSON description read back through the registry.
#include <gtest/gtest.h>

#include <QJsonArray>

#include "common/Recordings.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoGapFinder.h"

namespace {

using tk::Frames;

bool sameGaps(const SoundAlgoGapFinder& a, const SoundAlgoGapFinder& b) {
    if (a.getGaps().size() != b.getGaps().size() || a.getSoundBegin() != b.getSoundBegin() ||
        a.getSoundEnd() != b.getSoundEnd())
        return false;
    for (size_t k = 0; k < a.getGaps().size(); ++k)
        if (a.getGaps()[k].begin != b.getGaps()[k].begin || a.getGaps()[k].frames != b.getGaps()[k].frames)
            return false;
    return true;
}

TEST(GapFinder, BlockSizeDoesNotMatterAndTheStreamPassesUntouched) {
    const unsigned rate = 44100;
    const Frames in = tk::concat({tk::silence(rate / 3), tk::track(rate * 2, rate, -12, 1), tk::silence(rate / 2),
                                  tk::track(rate + 123, rate, -20, 2), tk::silence(rate), tk::track(rate, rate, -9, 3)});
    SoundAlgoGapFinder whole(0.3);
    EXPECT_EQ(tk::maxAbsDiff(tk::run(whole, in, rate, unsigned(in.size())), in), 0.0);
    ASSERT_EQ(whole.getGaps().size(), 2u);
    EXPECT_EQ(whole.getFrameCount(), int64_t(in.size()));
    for (unsigned block : {64u, 30011u}) {
        SCOPED_TRACE(block);
        SoundAlgoGapFinder finder(0.3);
        EXPECT_EQ(tk::maxAbsDiff(tk::run(finder, in, rate, block), in), 0.0);
        EXPECT_TRUE(sameGaps(finder, whole));
        EXPECT_DOUBLE_EQ(finder.getLevel(), whole.getLevel());
        EXPECT_DOUBLE_EQ(finder.levelOf(0, int64_t(in.size())), whole.levelOf(0, int64_t(in.size())));
    }
}

TEST(GapFinder, DescriptionReadBackThroughTheRegistry) {
    const unsigned rate = 22050;
    SoundAlgoGapFinder finder(0.5, -35, 8, -55);
    tk::run(finder, tk::concat({tk::track(rate, rate, -10, 4), tk::silence(rate), tk::track(rate, rate, -10, 5)}), rate);
    QJsonObject o;
    finder.writeToJSon(o);
    SoundRef<SoundAlgo> back = SoundRef<SoundAlgo>::adopt(SoundAlgo::createFromJSon(o));
    auto* read = dynamic_cast<SoundAlgoGapFinder*>(back.get());
    ASSERT_TRUE(read);
    EXPECT_TRUE(sameGaps(*read, finder));
    EXPECT_EQ(read->getMinSilence(), 0.5);
    EXPECT_EQ(read->getThreshold(), -35);
    EXPECT_EQ(read->getFloorMargin(), 8);
    EXPECT_EQ(read->getMaxFloor(), -55);
    ASSERT_EQ(read->getGaps().size(), 1u);

    // Settings out of range, and gaps that overlap, describe nothing.
    const std::pair<const char*, QJsonValue> bad[] = {
        {"MinSilence", -1}, {"Threshold", 3}, {"FloorMargin", "x"}, {"MaxFloor", QJsonValue()}};
    for (const auto& b : bad) {
        QJsonObject c = o;
        c[b.first] = b.second;
        EXPECT_EQ(SoundAlgoGapFinder::createFromJSon(c), nullptr) << b.first;
    }
    QJsonObject overlapping = o;
    QJsonArray gaps = o["Gaps"].toArray();
    gaps.append(gaps.first());
    overlapping["Gaps"] = gaps;
    EXPECT_EQ(SoundAlgoGapFinder::createFromJSon(overlapping), nullptr);
}

}  // namespace
