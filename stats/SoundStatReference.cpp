#include "tonewright/SoundStatReference.h"

#if defined(__unix__) || defined(__APPLE__)
#include <dlfcn.h>
#define TW_HAVE_DLADDR 1
#endif

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <memory>

#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundFilterBuilders.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundTools.h"
#include "tonewright/Utilities.h"

namespace {
const char* const kReferenceClass = "SoundStatReference";
const char* const kDefaultCatalogName = "reference-curves.json";

bool usableFrequency(double f) { return std::isfinite(f) && f > 0.0; }

void appendNumbers(const QJsonArray& array, std::vector<double>& out) {
    for (const QJsonValue& v : array) out.push_back(v.isDouble() ? v.toDouble() : 0.0);
}
}  // namespace

// ---------------------------------------------------------------- SoundStatReference

bool SoundStatReference::readFromJSon(QJsonObject object, QString nameKey) {
    const QJsonValue cls = object.value("Class");
    if (!cls.isString() || cls.toString() != QLatin1String(kReferenceClass)) return false;
    const QJsonValue localName = object.value(nameKey);
    if (localName.isString()) {
        mName = localName.toString();
    } else {
        const QJsonValue name = object.value("Name");
        if (!name.isString()) return false;
        mName = name.toString();
    }
    const QJsonValue frequencies = object.value("Frequency");
    if (!frequencies.isArray()) return false;
    appendNumbers(frequencies.toArray(), mFrequencies);
    const QJsonValue levels = object.value("RelativeLevel");
    if (!levels.isArray()) return false;
    appendNumbers(levels.toArray(), mLevels);
    const QJsonValue version = object.value("Version");
    if (!version.isString()) return false;
    mVersion = version.toString();
    return true;
}

bool SoundStatReference::isEmpty() const {
    return mFrequencies.empty() || mLevels.empty() || mFrequencies.size() != mLevels.size();
}

std::vector<double> SoundStatReference::getDefaultFrequencies() {
    return {250.0, 500.0, 1000.0, 2000.0, 3000.0, 4000.0, 6000.0, 8000.0, 10000.0};
}

std::vector<double> SoundStatReference::getCorrectedLevels(const SoundStatFile& stats, double maxCorrection) const {
    const std::vector<double> measured = stats.getRelativeLevels();
    const size_t n = std::min(mLevels.size(), measured.size());
    const double limit = std::isnan(maxCorrection) ? 0.0 : std::fabs(maxCorrection);
    std::vector<double> d(n, 0.0);
    double highest = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double diff = mLevels[i] - measured[i];
        d[i] = std::isnan(diff) ? 0.0 : std::max(-limit, std::min(limit, diff));
        highest = std::max(highest, d[i]);
    }
    for (double& c : d) c -= highest;
    return d;
}

namespace {
double distanceTo(const std::vector<double>& levels, const std::vector<double>& measured) {
    const size_t n = std::min(levels.size(), measured.size());
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) sum += (levels[i] - measured[i]) * (levels[i] - measured[i]);
    return std::sqrt(sum);
}
}  // namespace

double SoundStatReference::getDistance(const SoundStatFile& stats) const {
    return distanceTo(mLevels, stats.getRelativeLevels());
}

// Correction i belongs to statistics band i, the band that ends at frequency
// i. The peaking band between frequencies i and i+1 therefore covers band
// i+1: it is added when correction i+1 is not 0 and takes that correction as
// its gain. The shelves take the first and the last correction: the low shelf
// covers band 0 (below the first frequency), the high shelf carries the last
// band's correction on above the last frequency.
SoundAlgoFilter* SoundStatReference::buildCorrectionFilter(const SoundStatFile& stats, double maxCorrection,
                                                           bool setOutputGain) const {
    const char* const function = "SoundStatReference::buildCorrectionFilter";
    if (isEmpty()) {
        SoundDebuggableClass::setError("reference \"" + mName + "\" has no curve (frequencies " +
                                           QString::number(mFrequencies.size()) + ", levels " +
                                           QString::number(mLevels.size()) + ")",
                                       function);
        return nullptr;
    }
    const std::vector<double> d = getCorrectedLevels(stats, maxCorrection);
    const size_t n = std::min(d.size(), mFrequencies.size());
    if (n == 0) {
        SoundDebuggableClass::setError("the statistics hold no band levels to correct towards \"" + mName + "\"",
                                       function);
        return nullptr;
    }
    const std::vector<double>& f = mFrequencies;
    using SoundTools::BiquadEqBuilder;
    auto filter = SoundRef<SoundAlgoFilter>::make();
    if (d[0] != 0.0 && usableFrequency(f[0]))
        filter->pushFilter(std::make_shared<BiquadEqBuilder>(SoundTools::LowShelf, f[0], 1.0, d[0]));
    if (d[n - 1] != 0.0 && usableFrequency(f[n - 1]))
        filter->pushFilter(std::make_shared<BiquadEqBuilder>(SoundTools::HighShelf, f[n - 1], 1.0, d[n - 1]));

    double rangeLow = 0.0, rangeHigh = 0.0;
    SoundTools::get_minmax(2800.0, 3.5, rangeLow, rangeHigh);
    double weight = 0.0, power = 0.0;
    for (size_t i = 0; i + 1 < n; ++i) {
        const double lo = f[i], hi = f[i + 1];
        if (!usableFrequency(lo) || !usableFrequency(hi)) continue;
        const double gain = d[i + 1];
        if (gain != 0.0) {
            double centre = 0.0, width = 0.0;
            SoundTools::get_fco(lo, hi, centre, width);
            filter->pushFilter(std::make_shared<BiquadEqBuilder>(SoundTools::BandEq, centre, width, gain));
        }
        // The part of the band inside the range, in octaves, weighs its power gain.
        const double from = std::max(lo, rangeLow), to = std::min(hi, rangeHigh);
        if (to > from) {
            const double octaves = std::log2(to / from);
            weight += octaves;
            power += octaves * std::pow(10.0, gain / 10.0);
        }
    }
    // The corrections are all cuts; the output gain gives back the mean power
    // they take from the range, on a logarithmic frequency axis. (Summing the
    // bands' linear gains as root of squares would mix factors with decibels
    // and grow with the number of bands; a mean of power gains does neither.)
    if (setOutputGain && weight > 0.0 && power > 0.0) filter->setOutputGain(-10.0 * std::log10(power / weight));
    return filter.release();
}

// ---------------------------------------------------------------- SoundStatReferenceCatalog

bool SoundStatReferenceCatalog::readJSonFile(QString path, QString nameKey) {
    const char* const function = "SoundStatReferenceCatalog::readJSonFile";
    QString cause;
    const QJsonDocument document = Utilities::readJSONFromFile(path, true, &cause);
    if (document.isNull()) {
        SoundDebuggableClass::setError(cause, function);
        return false;
    }
    const QJsonArray array = document.array();
    if (!document.isArray() || array.isEmpty()) {
        SoundDebuggableClass::setError(path + (document.isArray() ? " : the catalog holds no reference"
                                                                  : " : a catalog is a JSON array, not an object"),
                                       function);
        return false;
    }
    int index = 0;
    for (const QJsonValue& element : array) {
        if (!element.isObject()) {
            SoundDebuggableClass::setError(path + " : element " + QString::number(index) + " is not an object",
                                           function);
            return false;
        }
        SoundStatReference reference;
        reference.readFromJSon(element.toObject(), nameKey);
        mReferences.push_back(reference);
        ++index;
    }
    return true;
}

QString SoundStatReferenceCatalog::getDefaultCatalogPath() {
    QStringList candidates;
#ifdef TW_HAVE_DLADDR
    // The folder of the library file itself, so that an installation moved to
    // another prefix finds its own data.
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&SoundStatReferenceCatalog::getDefaultCatalogPath), &info) != 0 &&
        info.dli_fname) {
        const QString libDir = QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
        candidates << QDir(libDir).filePath(QStringLiteral(TONEWRIGHT_LIBDIR_TO_DATADIR "/") + kDefaultCatalogName);
    }
#endif
    candidates << QStringLiteral(TONEWRIGHT_SOURCE_SHARE "/") + kDefaultCatalogName;
    candidates << QStringLiteral(TONEWRIGHT_DATADIR "/") + kDefaultCatalogName;
    for (const QString& candidate : candidates)
        if (QFileInfo(candidate).isFile()) return QDir::cleanPath(candidate);
    return QString();
}

bool SoundStatReferenceCatalog::readDefaultCatalog(QString nameKey) {
    const QString path = getDefaultCatalogPath();
    if (path.isEmpty()) {
        SoundDebuggableClass::setError(
            QStringLiteral("the default reference catalog ") + kDefaultCatalogName + " is not installed",
            "SoundStatReferenceCatalog::readDefaultCatalog");
        return false;
    }
    return readJSonFile(path, nameKey);
}

QStringList SoundStatReferenceCatalog::getNameList() const {
    QStringList names;
    for (const SoundStatReference& r : mReferences) names << r.getName();
    std::sort(names.begin(), names.end());
    return names;
}

SoundStatReference SoundStatReferenceCatalog::getReference(const QString& name) const {
    for (const SoundStatReference& r : mReferences)
        if (r.getName() == name) return r;
    return SoundStatReference();
}

SoundStatReference SoundStatReferenceCatalog::getNearestReference(const SoundStatFile& stats) const {
    double best = 1e6;
    const SoundStatReference* nearest = nullptr;
    const QString version = stats.getVersion();
    const std::vector<double> measured = stats.getRelativeLevels();
    if (measured.empty()) return SoundStatReference();  // nothing to be near to
    for (const SoundStatReference& r : mReferences) {
        if (r.getVersion() != version || r.isEmpty()) continue;
        const double distance = distanceTo(r.getLevels(), measured);
        if (distance < best) {
            best = distance;
            nearest = &r;
        }
    }
    return nearest ? *nearest : SoundStatReference();
}
