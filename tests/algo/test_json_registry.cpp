#include <QJsonArray>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"

namespace {
// A buildable algorithm for registry tests: a scale whose gain comes from JSON.
class JsonScale : public SoundAlgoScale {
public:
    explicit JsonScale(double db) : SoundAlgoScale(db) {}
    bool load(QJsonObject& o) { return readFromJSon(o); }
};

struct JsonScaleBuilder : SoundAlgo::SoundAlgoJSonBuilder {
    QString name;
    int builds = 0;
    explicit JsonScaleBuilder(QString n) : name(std::move(n)) {}
    SoundAlgo* build(QJsonObject& o) override {
        ++builds;
        if (!o.value("Gain").isDouble()) return nullptr;
        auto algo = SoundRef<JsonScale>::make(o.value("Gain").toDouble());
        algo->load(o);
        return algo.release();
    }
    QString getClassName() override { return name; }
};

JsonScaleBuilder gBuilder("TestJsonScale");
}  // namespace

TEST(JsonRegistry, BuildsRegisteredClassesWithTheirId) {
    SoundAlgo::declareBuilder(&gBuilder);
    SoundRef<SoundAlgo> a =
        SoundRef<SoundAlgo>::adopt(SoundAlgo::createFromJSon(QJsonObject{{"Class", "TestJsonScale"}, {"Gain", -6.0}, {"Id", "g"}}));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->getId(), "g");
    QJsonObject written;
    a->writeToJSon(written);
    EXPECT_EQ(written.value("Id").toString(), "g");
}

TEST(JsonRegistry, RejectsObjectsWithoutAUsableClass) {
    SoundAlgo::declareBuilder(&gBuilder);
    SoundDebuggableClass::setError("before");
    EXPECT_EQ(SoundAlgo::createFromJSon(QJsonObject{{"Gain", 1.0}}), nullptr);
    EXPECT_EQ(SoundAlgo::createFromJSon(QJsonObject{{"Class", 5}}), nullptr);
    EXPECT_EQ(SoundDebuggableClass::getError(), "before");  // silent

    EXPECT_EQ(SoundAlgo::createFromJSon(QJsonObject{{"Class", "NoSuchAlgo"}}), nullptr);
    EXPECT_EQ(SoundDebuggableClass::getError(), "SoundAlgo::createFromJSon : Unknown class NoSuchAlgo");

    EXPECT_EQ(SoundAlgo::createFromJSon(QJsonObject{{"Class", "TestJsonScale"}}), nullptr);
    EXPECT_EQ(SoundDebuggableClass::getError(), "SoundAlgo::createFromJSon : Unable to build TestJsonScale");
}

TEST(JsonRegistry, ArraysSkipWhatCannotBeBuilt) {
    SoundAlgo::declareBuilder(&gBuilder);
    const QJsonArray array{3, QJsonObject{{"Class", "TestJsonScale"}, {"Gain", 0.0}},
                           QJsonObject{{"Class", "Unregistered"}}, "text"};
    std::vector<SoundAlgo*> algos = SoundAlgo::createFromJSon(array);
    ASSERT_EQ(algos.size(), 1u);
    EXPECT_NE(dynamic_cast<JsonScale*>(algos[0]), nullptr);
    for (SoundAlgo* a : algos) a->releaseRef();
}

TEST(JsonRegistry, ALaterBuilderReplacesTheFirst) {
    JsonScaleBuilder second("TestJsonScale");
    SoundAlgo::declareBuilder(&gBuilder);
    SoundAlgo::declareBuilder(&second);
    SoundRef<SoundAlgo> a =
        SoundRef<SoundAlgo>::adopt(SoundAlgo::createFromJSon(QJsonObject{{"Class", "TestJsonScale"}, {"Gain", 1.0}}));
    EXPECT_TRUE(a);
    EXPECT_EQ(second.builds, 1);
    SoundAlgo::declareBuilder(&gBuilder);  // the registry outlives `second`
}
