// The JSON registry: one table of descriptions, each built through the registry
// and, when it builds, written back and compared with what it was built from.
#include <QJsonArray>
#include <functional>

#include "common/Recordings.h"
#include "common/TestKit.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoGapFinder.h"

namespace {
// A scale whose gain comes from JSON and goes back into it.
struct JsonScale : SoundAlgoScale {
    explicit JsonScale(QJsonObject& o) : SoundAlgoScale(o.value("Gain").toDouble()), db(o.value("Gain").toDouble()) { readFromJSon(o); }
    void writeToJSon(QJsonObject& o) const override {
        SoundAlgoScale::writeToJSon(o);
        o.insert("Class", "TestJsonScale");
        o.insert("Gain", db);
    }
    double db;
};
struct JsonScaleBuilder : SoundAlgo::SoundAlgoJSonBuilder {
    int builds = 0;
    SoundAlgo* build(QJsonObject& o) override {
        ++builds;
        return o.value("Gain").isDouble() ? SoundRef<JsonScale>::make(o).release() : nullptr;
    }
    QString getClassName() override { return "TestJsonScale"; }
} gBuilder;

QJsonObject described(const SoundAlgo& a) {
    QJsonObject o;
    a.writeToJSon(o);
    return o;
}
// `o` with `key` set to `v`, or removed when `v` is undefined.
QJsonObject with(QJsonObject o, const QString& key, const QJsonValue& v) {
    o.remove(key);
    if (!v.isUndefined()) o[key] = v;
    return o;
}
}  // namespace

TEST(JsonRegistry, DescriptionsBuildAndReadBackOrAreRefused) {
    SoundAlgo::declareBuilder(&gBuilder);
    SoundAlgoGapFinder finder(0.5, -35, 8, -55);
    tk::run(finder, tk::concat({tk::track(22050, 22050, -10, 4), tk::silence(22050), tk::track(22050, 22050, -10, 5)}),
            22050);
    auto det = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput, false);
    tk::run(*det, tk::album(44100, 0.5).frames, 44100);
    const QJsonObject gaps = described(finder), regions = described(*det);
    const QJsonArray gapList = gaps["Gaps"].toArray(), regionList = regions["Regions"].toArray();
    ASSERT_EQ(gapList.size(), 1);
    ASSERT_GT(regionList.size(), 3);

    // back: what the built algorithm describes; empty: nothing is built
    // error: the error left behind; empty: the one before stays
    struct Row { QString what; QJsonObject in; QJsonObject back; QString error; };
    const QString unable = "SoundAlgo::createFromJSon : Unable to build ";
    const QJsonObject scale{{"Class", "TestJsonScale"}, {"Gain", -6.0}, {"Id", "g"}};
    std::vector<Row> rows = {
        {"a registered class, with its id", scale, scale, ""},
        {"no class", {{"Gain", 1.0}}, {}, ""},
        {"a class that is no text", {{"Class", 5}}, {}, ""},
        {"an unknown class", {{"Class", "NoSuchAlgo"}}, {}, "SoundAlgo::createFromJSon : Unknown class NoSuchAlgo"},
        {"a class its builder refuses", {{"Class", "TestJsonScale"}}, {}, unable + "TestJsonScale"},
        {"gaps", gaps, gaps, ""},
        {"overlapping gaps", with(gaps, "Gaps", QJsonArray(gapList) << gapList[0]), {},
         unable + "SoundAlgoGapFinder"},
        {"a region list", regions, regions, ""},
        {"a region list with a bad region, skipped",
         with(regions, "Regions", QJsonArray(regionList) << QJsonObject{{"BeginSample", 1}}), regions, ""},
    };
    const std::pair<const char*, QJsonValue> badGaps[] = {
        {"MinSilence", -1}, {"Threshold", 3}, {"FloorMargin", "x"}, {"MaxFloor", QJsonValue()}};
    for (const auto& b : badGaps)
        rows.push_back({QString("gaps, bad ") + b.first, with(gaps, b.first, b.second), {}, unable + "SoundAlgoGapFinder"});
    for (const char* key : {"NoiseThreshold", "RMSTime", "MinSlopeTime", "OutputMode", "RealTimeMode"})
        for (const QJsonValue& v : {QJsonValue(QJsonValue::Undefined), QJsonValue("text")})
            rows.push_back({QString("a region list, bad ") + key, with(regions, key, v), {}, unable + "RMSStepDetector"});

    QJsonArray all{3, "text"};
    size_t buildable = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what.toStdString());
        SoundDebuggableClass::setError("before");
        SoundRef<SoundAlgo> a = SoundRef<SoundAlgo>::adopt(SoundAlgo::createFromJSon(r.in));
        EXPECT_EQ(a ? described(*a) : QJsonObject(), r.back);
        EXPECT_EQ(SoundDebuggableClass::getError(), r.error.isEmpty() ? "before" : r.error);
        all.append(r.in);
        buildable += a ? 1 : 0;
    }
    // Each class's own reader refuses the other's description.
    EXPECT_EQ(RMSStepDetector::createFromJSon(gaps), nullptr);
    EXPECT_EQ(SoundAlgoGapFinder::createFromJSon(regions), nullptr);
    // An array builds what it can and skips the rest.
    std::vector<SoundAlgo*> algos = SoundAlgo::createFromJSon(all);
    EXPECT_EQ(algos.size(), buildable);
    for (SoundAlgo* a : algos) a->releaseRef();

    // A builder declared later for the same class replaces the first.
    JsonScaleBuilder second;
    SoundAlgo::declareBuilder(&second);
    EXPECT_TRUE(SoundRef<SoundAlgo>::adopt(SoundAlgo::createFromJSon(scale)));
    EXPECT_EQ(second.builds, 1);
    SoundAlgo::declareBuilder(&gBuilder);  // the registry outlives `second`
}
