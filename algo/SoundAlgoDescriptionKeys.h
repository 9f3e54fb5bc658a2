#pragma once
// Private to the library: reading the keys of an algorithm description
// (SoundAlgoDescription.h) in the builders of the JSON registry.
//
// Each read takes one key. A missing key takes its default when the read has
// one; a key of the wrong type, a number that is not finite or out of range,
// or a missing key without default is refused: the reader records the reason
// (the class, the key and what it must be) and every later read fails, so a
// builder can read all its keys and check once (ok()).
//
// Threading: a reader belongs to one build. The last reason refused on a thread
// is kept for that thread (buildFromDescription reports it).
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <initializer_list>
#include <optional>
#include <vector>

#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundFilter.h"

namespace SoundTools {

class DescriptionKeys {
public:
    DescriptionKeys(const QJsonObject& description, const char* className);

    bool ok() const { return mOk; }
    // A number in [lo, hi].
    double number(const char* key, double lo, double hi, std::optional<double> fallback = std::nullopt);
    // A whole number in [lo, hi].
    int integer(const char* key, int lo, int hi, std::optional<int> fallback = std::nullopt);
    bool boolean(const char* key, std::optional<bool> fallback = std::nullopt);
    // An array of numbers in [lo, hi]; `count` elements when it is not negative,
    // ascending when asked. Missing: empty when optional, else refused.
    std::vector<double> numbers(const char* key, double lo, double hi, bool optional, int count = -1,
                                bool ascending = false);
    // A filter type by name, one of `allowed`.
    FilterType filterType(const char* key, std::initializer_list<FilterType> allowed,
                          std::optional<FilterType> fallback = std::nullopt);
    // A text, one of `allowed` (its index), or the fallback index when missing.
    int choice(const char* key, std::initializer_list<const char*> allowed, std::optional<int> fallback = std::nullopt);
    int choice(const char* key, const QStringList& allowed, std::optional<int> fallback = std::nullopt);
    // An object or an array; missing: empty when optional, else refused.
    QJsonObject object(const char* key, bool optional);
    QJsonArray array(const char* key, bool optional);
    // An algorithm described under the key (null when missing and optional,
    // or refused); the caller owns it.
    SoundAlgo* algorithm(const char* key, bool optional);
    // Refuses the description with a reason of the builder's own about the key.
    void refuse(const char* key, const QString& reason);

    // The id ("Id"), set on a built algorithm.
    void applyId(SoundAlgo* algo) const;
    // The builder's result: the algorithm when every read succeeded, else null
    // (the algorithm is released).
    SoundAlgo* finish(SoundAlgo* algo);

    static QString filterTypeName(FilterType type);
    // The reason the last refused description on this thread was refused.
    static QString lastReason();
    static void clearReason();

private:
    QJsonValue value(const char* key) const { return mObject.value(QLatin1String(key)); }
    bool fails(const char* key, const QString& mustBe);

    const QJsonObject& mObject;
    const char* mClass;
    bool mOk = true;
};

// A builder of the registry that reads a description with DescriptionKeys.
// Instances are static and live for the life of the process.
class DescriptionBuilder : public SoundAlgo::SoundAlgoJSonBuilder {
public:
    using Build = SoundAlgo* (*)(DescriptionKeys& keys);
    DescriptionBuilder(const char* className, Build build);
    SoundAlgo* build(QJsonObject& object) override;
    QString getClassName() override { return QString::fromLatin1(mClass); }

private:
    const char* mClass;
    Build mBuild;
};

}  // namespace SoundTools
