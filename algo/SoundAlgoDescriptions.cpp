// The description reader (SoundAlgoDescriptionKeys.h), buildFromDescription,
// and the descriptions of the elementary algorithms and the composite.
#include <QJsonDocument>
#include <QStringList>
#include <cmath>

#include "algo/SoundAlgoDescriptionKeys.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoDescription.h"
#include "tonewright/SoundAlgoElementary.h"

namespace SoundTools {

namespace {
thread_local QString tReason;

QString shown(const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Undefined: return QStringLiteral("missing");
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double: return QString::number(v.toDouble(), 'g', 10);
    case QJsonValue::String: return '"' + v.toString() + '"';
    case QJsonValue::Array: return QStringLiteral("an array");
    case QJsonValue::Object: return QStringLiteral("an object");
    }
    return QString();
}

QString range(double lo, double hi) {
    return QString("a number from %1 to %2").arg(lo, 0, 'g', 10).arg(hi, 0, 'g', 10);
}

const char* const kTypeNames[] = {"LowPass", "BandPass", "BandStop", "HighPass", "LowShelf", "BandEq", "HighShelf"};
}  // namespace

DescriptionKeys::DescriptionKeys(const QJsonObject& description, const char* className)
    : mObject(description), mClass(className) {}

bool DescriptionKeys::fails(const char* key, const QString& mustBe) {
    if (!mOk) return true;
    mOk = false;
    tReason = QString("%1: \"%2\" must be %3, not %4").arg(mClass, key, mustBe, shown(value(key)));
    return true;
}

void DescriptionKeys::refuse(const char* key, const QString& reason) {
    if (!mOk) return;
    mOk = false;
    tReason = QString("%1: \"%2\": %3").arg(mClass, key, reason);
}

double DescriptionKeys::number(const char* key, double lo, double hi, std::optional<double> fallback) {
    const QJsonValue v = value(key);
    if (v.isUndefined() && fallback) return *fallback;
    const double x = v.toDouble(std::nan(""));
    if (!v.isDouble() || !std::isfinite(x) || x < lo || x > hi) {
        fails(key, range(lo, hi));
        return fallback.value_or(lo);
    }
    return x;
}

int DescriptionKeys::integer(const char* key, int lo, int hi, std::optional<int> fallback) {
    const QJsonValue v = value(key);
    if (v.isUndefined() && fallback) return *fallback;
    const double x = v.toDouble(std::nan(""));
    if (!v.isDouble() || !(x >= lo && x <= hi) || x != std::floor(x)) {
        fails(key, QString("a whole number from %1 to %2").arg(lo).arg(hi));
        return fallback.value_or(lo);
    }
    return int(x);
}

bool DescriptionKeys::boolean(const char* key, std::optional<bool> fallback) {
    const QJsonValue v = value(key);
    if (v.isUndefined() && fallback) return *fallback;
    if (!v.isBool()) {
        fails(key, QStringLiteral("true or false"));
        return fallback.value_or(false);
    }
    return v.toBool();
}

std::vector<double> DescriptionKeys::numbers(const char* key, double lo, double hi, bool optional, int count,
                                             bool ascending) {
    std::vector<double> out;
    const QJsonValue v = value(key);
    if (v.isUndefined() && optional) return out;
    QString mustBe = "an array of " + (count >= 0 ? QString::number(count) + " " : QString()) +
                     QString("numbers from %1 to %2").arg(lo, 0, 'g', 10).arg(hi, 0, 'g', 10) +
                     (ascending ? ", ascending" : "");
    if (!v.isArray() || (count >= 0 && v.toArray().size() != count)) {
        fails(key, mustBe);
        return out;
    }
    for (const QJsonValue& e : v.toArray()) {
        const double x = e.toDouble(std::nan(""));
        if (!e.isDouble() || !std::isfinite(x) || x < lo || x > hi || (ascending && !out.empty() && x <= out.back())) {
            fails(key, mustBe);
            return {};
        }
        out.push_back(x);
    }
    return out;
}

FilterType DescriptionKeys::filterType(const char* key, std::initializer_list<FilterType> allowed,
                                       std::optional<FilterType> fallback) {
    const QJsonValue v = value(key);
    if (v.isUndefined() && fallback) return *fallback;
    QStringList names;
    for (FilterType t : allowed) {
        names << filterTypeName(t);
        if (v.toString() == filterTypeName(t)) return t;
    }
    fails(key, "one of " + names.join(", "));
    return fallback.value_or(*allowed.begin());
}

int DescriptionKeys::choice(const char* key, std::initializer_list<const char*> allowed, std::optional<int> fallback) {
    QStringList names;
    for (const char* name : allowed) names << QString::fromLatin1(name);
    return choice(key, names, fallback);
}

int DescriptionKeys::choice(const char* key, const QStringList& allowed, std::optional<int> fallback) {
    const QJsonValue v = value(key);
    if (v.isUndefined() && fallback) return *fallback;
    const int i = v.isString() ? int(allowed.indexOf(v.toString())) : -1;
    if (i >= 0) return i;
    fails(key, "one of " + allowed.join(", "));
    return fallback.value_or(0);
}

QJsonObject DescriptionKeys::object(const char* key, bool optional) {
    const QJsonValue v = value(key);
    if ((v.isUndefined() || v.isNull()) && optional) return {};
    if (!v.isObject()) fails(key, QStringLiteral("an object"));
    return v.toObject();
}

QJsonArray DescriptionKeys::array(const char* key, bool optional) {
    const QJsonValue v = value(key);
    if (v.isUndefined() && optional) return {};
    if (!v.isArray()) fails(key, QStringLiteral("an array"));
    return v.toArray();
}

SoundAlgo* DescriptionKeys::algorithm(const char* key, bool optional) {
    const QJsonValue v = value(key);
    if ((v.isUndefined() || v.isNull()) && optional) return nullptr;
    if (!mOk) return nullptr;
    if (!v.isObject()) {
        fails(key, QStringLiteral("a description"));
        return nullptr;
    }
    QString why;
    SoundAlgo* algo = buildFromDescription(v.toObject(), &why);
    if (!algo) {
        mOk = false;
        tReason = QString("%1: \"%2\": %3").arg(mClass, key, why);
    }
    return algo;
}

void DescriptionKeys::applyId(SoundAlgo* algo) const {
    const QJsonValue id = value("Id");
    if (algo && id.isString()) algo->setId(id.toString());
}

SoundAlgo* DescriptionKeys::finish(SoundAlgo* algo) {
    if (!mOk) {
        if (algo) algo->releaseRef();
        return nullptr;
    }
    applyId(algo);
    return algo;
}

QString DescriptionKeys::filterTypeName(FilterType type) {
    const int i = int(type);
    return i >= 0 && i < int(std::size(kTypeNames)) ? QString::fromLatin1(kTypeNames[i]) : QString::number(i);
}

QString DescriptionKeys::lastReason() { return tReason; }
void DescriptionKeys::clearReason() { tReason.clear(); }

DescriptionBuilder::DescriptionBuilder(const char* className, Build build) : mClass(className), mBuild(build) {
    SoundAlgo::declareBuilder(this);
}

SoundAlgo* DescriptionBuilder::build(QJsonObject& object) {
    DescriptionKeys keys(object, mClass);
    SoundAlgo* algo = mBuild(keys);
    return keys.finish(algo);
}

SoundAlgo* buildFromDescription(const QJsonObject& description, QString* why) {
    QString reason;
    SoundAlgo* algo = nullptr;
    const QJsonValue cls = description.value("Class");
    if (!cls.isString()) {
        reason = "a description needs a \"Class\" text";
    } else if (SoundAlgo::SoundAlgoJSonBuilder* builder = SoundAlgo::jsonBuilders().value(cls.toString(), nullptr)) {
        DescriptionKeys::clearReason();
        QJsonObject copy = description;
        algo = builder->build(copy);
        if (!algo) {
            reason = DescriptionKeys::lastReason();
            if (reason.isEmpty()) reason = "not a valid " + cls.toString() + " description";
        }
    } else {
        reason = "unknown class \"" + cls.toString() + "\"";
    }
    if (why) *why = reason;
    return algo;
}

QStringList describedClasses() {
    QStringList names = SoundAlgo::jsonBuilders().keys();
    names.sort();
    return names;
}

// ---------------------------------------------------------------- the elementary algorithms

namespace {
constexpr int kMaxInputs = 64;

std::vector<double> weights(DescriptionKeys& k, int inputs) {
    std::vector<double> w = k.numbers("Weights", -1e6, 1e6, true, inputs);
    if (w.empty()) w.assign(size_t(inputs), 1.0);
    return w;
}

const DescriptionBuilder kScale("SoundAlgoScale", [](DescriptionKeys& k) -> SoundAlgo* {
    return new SoundAlgoScale(k.number("Gain", -200.0, 200.0));
});

const DescriptionBuilder kAdd("SoundAlgoAdd", [](DescriptionKeys& k) -> SoundAlgo* {
    const int inputs = k.integer("Inputs", 2, kMaxInputs, 2);
    const std::vector<double> w = weights(k, inputs);
    return new SoundAlgoAdd(inputs, true, w.data());
});

const DescriptionBuilder kAddSqr("SoundAlgoAddSqr", [](DescriptionKeys& k) -> SoundAlgo* {
    const int inputs = k.integer("Inputs", 2, kMaxInputs, 2);
    const std::vector<double> w = weights(k, inputs);
    return new SoundAlgoAddSqr(inputs, true, w.data());
});

const DescriptionBuilder kSub("SoundAlgoSub", [](DescriptionKeys& k) -> SoundAlgo* {
    return new SoundAlgoSub(k.integer("Inputs", 2, kMaxInputs, 2), true);
});

const DescriptionBuilder kDelay("SoundAlgoDelay", [](DescriptionKeys& k) -> SoundAlgo* {
    const double seconds = k.number("Seconds", 0.0, 60.0);
    return new SoundAlgoDelay(seconds, k.boolean("AsOverlap", false));
});

const DescriptionBuilder kComposite("SoundAlgoComposite", [](DescriptionKeys& k) -> SoundAlgo* {
    const bool shared = k.boolean("SharedInputs", true);
    const bool parallel = k.boolean("ParallelBranches", true);
    const QJsonArray branches = k.array("Branches", false);
    if (!k.ok()) return nullptr;
    auto composite = SoundRef<SoundAlgoComposite>::make(QString(), shared);
    composite->setParallelBranches(parallel);
    for (int b = 0; b < branches.size(); ++b) {
        if (!branches[b].isArray() || branches[b].toArray().isEmpty()) {
            k.refuse("Branches", "branch " + QString::number(b) + " is not a non-empty array of descriptions");
            return nullptr;
        }
        composite->addNewBranch();
        for (const QJsonValue& member : branches[b].toArray()) {
            QString why;
            SoundAlgo* algo = member.isObject() ? buildFromDescription(member.toObject(), &why) : nullptr;
            if (!algo) {
                k.refuse("Branches", "branch " + QString::number(b) + ": " +
                                         (why.isEmpty() ? QStringLiteral("a member is not an object") : why));
                return nullptr;
            }
            composite->pushAlgo(algo);
        }
    }
    return composite.release();
});
}  // namespace

}  // namespace SoundTools
