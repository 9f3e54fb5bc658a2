#include "tonewright/SoundStatFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtGlobal>
#include <algorithm>

#include "core/ThreadError.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/Utilities.h"
#include "stats/SoundStatFileCheck.h"

namespace {
const char* const kClassName = "SoundStatFile";

template <typename T>
void release(T*& algo) {
    if (algo) algo->releaseRef();
    algo = nullptr;
}

void reportError(const QString& message, const char* function) { SoundDebuggableClass::setError(message, function); }
}  // namespace

SoundStatFile::SoundStatFile() : mVersion(QStringLiteral("1")) {}

SoundStatFile::SoundStatFile(const SoundStatFile& other) { copyFrom(other); }

SoundStatFile& SoundStatFile::operator=(const SoundStatFile& other) {
    if (this != &other) {
        // Take the new references before dropping the old ones: the two files
        // may share algorithms whose last reference this one holds.
        SoundStatFile old;
        old.mStepDetector = mStepDetector;
        old.mBandStats.swap(mBandStats);
        old.mFFTStats = mFFTStats;
        old.mLoudness = mLoudness;
        mStepDetector = nullptr;
        mFFTStats = nullptr;
        mLoudness = nullptr;
        copyFrom(other);
    }
    return *this;
}

SoundStatFile::~SoundStatFile() { clear(); }

// Every copy drops its references when it goes, so every copy takes its own:
// copying the bare pointers would release each algorithm once per copy.
void SoundStatFile::copyFrom(const SoundStatFile& other) {
    mBandFreqs = other.mBandFreqs;
    mBandStats = other.mBandStats;
    for (SoundAlgoStats* s : mBandStats) s->addRef();
    mFFTStats = other.mFFTStats;
    if (mFFTStats) mFFTStats->addRef();
    mStepDetector = other.mStepDetector;
    if (mStepDetector) mStepDetector->addRef();
    mLoudness = other.mLoudness;
    if (mLoudness) mLoudness->addRef();
    mVersion = other.mVersion;
    mSource = other.mSource;
}

QString SoundStatFile::getExtension() { return QStringLiteral("ssf"); }

// Only the last folder separator matters: a colon or a dot in a folder name
// stays part of the folder.
QString SoundStatFile::getStatFileName(const QString& path) {
    int slash = path.lastIndexOf(QLatin1Char('/'));
#ifdef _WIN32
    slash = std::max(slash, path.lastIndexOf(QLatin1Char('\\')));
#endif
    const QString file = path.mid(slash + 1);
    if (file.isEmpty() || file == QLatin1String(".") || file == QLatin1String("..")) return QString();
    const int dot = file.lastIndexOf(QLatin1Char('.'));
    const QString base = dot > 0 ? file.left(dot) : file;
    return path.left(slash + 1) + base + QLatin1Char('.') + getExtension();
}

// ---------------------------------------------------------------- content

void SoundStatFile::clearStats() {
    for (SoundAlgoStats*& s : mBandStats) release(s);
    mBandStats.clear();
    release(mFFTStats);
}

void SoundStatFile::clearStepDetector() { release(mStepDetector); }

void SoundStatFile::clear() {
    clearStats();
    clearStepDetector();
    release(mLoudness);
    mSource = SoundStatSource();
}

void SoundStatFile::setStats(const std::vector<double>& freqs, const std::vector<SoundAlgoStats*>& stats, bool addRef) {
    clearStats();
    const bool hasNull = std::find(stats.begin(), stats.end(), nullptr) != stats.end();
    if (stats.size() != freqs.size() + 1 || hasNull) {
        qCritical().noquote().nospace() << "SoundStatFile::setStats : incoherent input sizes stats=" << stats.size()
                                        << " freqs=" << freqs.size();
        return;
    }
    mBandFreqs = freqs;
    mBandStats = stats;
    if (addRef)
        for (SoundAlgoStats* s : mBandStats) s->addRef();
}

void SoundStatFile::setStats(const std::vector<double>& freqs, SoundAlgoFFTStats* fftStats, bool addRef) {
    clearStats();
    mBandFreqs = freqs;
    setFFTStats(fftStats, addRef);
}

void SoundStatFile::setFFTStats(SoundAlgoFFTStats* fftStats, bool addRef) {
    if (fftStats && addRef) fftStats->addRef();  // before the release: it may be the same object
    release(mFFTStats);
    mFFTStats = fftStats;
}

void SoundStatFile::setStepDetector(RMSStepDetector* detector, bool addRef) {
    if (detector && addRef) detector->addRef();
    release(mStepDetector);
    mStepDetector = detector;
}

void SoundStatFile::setLoudness(SoundAlgoLoudness* loudness, bool addRef) {
    if (loudness && addRef) loudness->addRef();
    release(mLoudness);
    mLoudness = loudness;
}

void SoundStatFile::getStats(std::vector<double>& freqs, std::vector<SoundAlgoStats*>& stats) const {
    freqs = mBandFreqs;
    stats = mBandStats;
}

unsigned SoundStatFile::getSampleRate() const {
    unsigned rate = 0;
    if (!mBandStats.empty())
        rate = mBandStats.front()->getSampleRate();
    else if (mFFTStats)
        rate = mFFTStats->getSampleRate();
    return rate != 0 ? rate : 44100u;
}

std::vector<double> SoundStatFile::getRelativeLevels() const {
    if (mFFTStats) return mFFTStats->getStats(mBandFreqs);
    std::vector<double> levels;
    levels.reserve(mBandStats.size());
    double loudest = -100.0;
    for (SoundAlgoStats* s : mBandStats) {
        levels.push_back(s->getFullRMS());
        loudest = std::max(loudest, levels.back());
    }
    for (double& l : levels) l -= loudest;
    return levels;
}

// ---------------------------------------------------------------- file

bool SoundStatFile::writeJSonFile(QString path) {
    const QString name = getStatFileName(path);
    if (name.isEmpty()) {
        reportError("\"" + path + "\" has no file name part", "SoundStatFile::writeJSonFile");
        return false;
    }
    QJsonObject root;
    root.insert("Class", QLatin1String(kClassName));
    root.insert("Version", mVersion);
    QJsonArray freqs;
    for (double f : mBandFreqs) freqs.append(f);
    root.insert("BandFreqs", freqs);
    QJsonArray bands;
    for (const SoundAlgoStats* s : mBandStats) {
        QJsonObject o;
        s->writeToJSon(o);
        bands.append(o);
    }
    root.insert("BandStats", bands);
    if (mStepDetector) {
        QJsonObject o;
        mStepDetector->writeToJSon(o);
        root.insert("StepDetector", o);
        // The detector's JSON holds its regions only; levelling follows the
        // slopes too, so a job reading this file levels as a fresh pass would.
        QJsonArray slopes;
        for (const SoundRMSSlopeDetector::Region& s : mStepDetector->getSlopes())
            slopes.append(QJsonArray{s.begin, s.end});
        root.insert("Slopes", slopes);
    }
    if (mFFTStats) {
        QJsonObject o;
        mFFTStats->writeToJSon(o);
        root.insert("FFTStats", o);
    }
    if (mLoudness) {
        QJsonObject o;
        mLoudness->writeToJSon(o);
        root.insert("Loudness", o);
    }
    if (!mSource.isEmpty()) {
        QJsonObject o;
        mSource.writeToJSon(o);
        root.insert("Source", o);
    }
    // Sealed last: a value changed by damage after writing reads as damage,
    // not as a measurement.
    root.insert("Checksum", SoundStatFileCheck::checksum(root));
    SoundTools::detail::clearThreadError();
    if (!Utilities::writeJSONToFile(QJsonDocument(root), name, true)) {
        const QString cause = SoundTools::detail::threadError();
        reportError(name + " : " + (cause.isEmpty() ? QString("the statistics file cannot be written") : cause),
                    "SoundStatFile::writeJSonFile");
        return false;
    }
    return true;
}

bool SoundStatFile::readJSonFile(QString path) {
    const char* const function = "SoundStatFile::readJSonFile";
    const QString name = getStatFileName(path);
    if (name.isEmpty()) {
        reportError("\"" + path + "\" has no file name part", function);
        return false;
    }
    QString cause;
    const QJsonDocument document = Utilities::readJSONFromFile(name, true, &cause);
    if (document.isNull()) {
        reportError(cause, function);
        return false;
    }
    const QJsonObject root = document.object();
    if (root.isEmpty()) {
        reportError(name + " : not a statistics file (no JSON object)", function);
        return false;
    }
    const QJsonValue cls = root.value("Class");
    if (!cls.isString() || cls.toString() != QLatin1String(kClassName)) {
        reportError(name + " : not a statistics file (\"Class\" is not \"SoundStatFile\")", function);
        return false;
    }
    const QJsonValue version = root.value("Version");
    if (!version.isString()) {
        reportError(name + " : statistics file without a \"Version\" text", function);
        return false;
    }

    // From here on the file is a statistics file and what it holds replaces
    // the current content: keys that are missing, of another type or that
    // describe no valid measurement are left out, never a refusal. Whether the
    // file can be trusted as a whole is SoundStatFileCheck::validate's to say.
    SoundStatFile loaded;
    const QJsonValue freqs = root.value("BandFreqs");
    if (freqs.isArray())
        for (const QJsonValue& f : freqs.toArray()) loaded.mBandFreqs.push_back(f.isDouble() ? f.toDouble() : 0.0);
    for (const QJsonValue& b : root.value("BandStats").toArray())
        if (SoundAlgoStats* s = b.isObject() ? SoundAlgoStats::createFromJSon(b.toObject()) : nullptr)
            loaded.mBandStats.push_back(s);
    const QJsonValue detector = root.value("StepDetector");
    if (detector.isObject()) loaded.mStepDetector = RMSStepDetector::createFromJSon(detector.toObject());
    if (loaded.mStepDetector && root.value("Slopes").isArray()) {
        std::vector<SoundRMSSlopeDetector::Region> slopes;
        for (const QJsonValue& s : root.value("Slopes").toArray()) {
            const QJsonArray pair = s.toArray();
            const double b = pair.size() == 2 ? pair[0].toDouble(-1) : -1, e = pair.size() == 2 ? pair[1].toDouble(-1) : -1;
            // Frame pairs in ascending order, within 32 bits; others are left out.
            if (b >= 0 && e > b && e <= 2147483647.0 && (slopes.empty() || b >= slopes.back().begin))
                slopes.push_back({int32_t(b), int32_t(e)});
        }
        loaded.mStepDetector->restoreSlopes(std::move(slopes));
    }
    const QJsonValue fft = root.value("FFTStats");
    if (fft.isObject()) loaded.mFFTStats = SoundAlgoFFTStats::createFromJSon(fft.toObject());
    // Files written before loudness was measured, or before the recording was
    // described, have no such keys.
    const QJsonValue loudness = root.value("Loudness");
    if (loudness.isObject()) loaded.mLoudness = SoundAlgoLoudness::createFromJSon(loudness.toObject());
    const QJsonValue source = root.value("Source");
    if (source.isObject()) SoundStatSource::readFromJSon(source.toObject(), loaded.mSource, nullptr);
    loaded.mVersion = version.toString();
    *this = loaded;
    return true;
}
