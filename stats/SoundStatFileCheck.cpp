#include "stats/SoundStatFileCheck.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <cmath>
#include <cstdint>
#include <vector>

#include "tonewright/SoundReader.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatSource.h"
#include "tonewright/Utilities.h"

namespace SoundStatFileCheck {
namespace {

constexpr double kMaxInt32 = 2147483647.0;
constexpr double kMaxUInt32 = 4294967295.0;
constexpr double kMaxInteger = 9007199254740992.0;  // integers a double holds exactly

QString num(double v) { return QString::number(v, 'g', 12); }

// Walks one JSON object, naming the field of the first problem it meets.
// Every check returns false once a problem is recorded, so that checks chain.
class Fields {
public:
    Fields(const QJsonObject& object, QString path, QString* problem)
        : mObject(object), mPath(std::move(path)), mProblem(problem) {}

    QString name(const QString& key) const { return (mPath.isEmpty() ? "" : mPath + " ") + "\"" + key + "\""; }
    bool fail(const QString& key, const QString& what) {
        if (mProblem->isEmpty()) *mProblem = name(key) + " " + what;
        return false;
    }
    bool has(const char* key) const { return mObject.contains(key); }
    QJsonValue value(const char* key) const { return mObject.value(key); }

    bool text(const char* key, const char* expected = nullptr) {
        const QJsonValue v = mObject.value(key);
        if (!v.isString()) return fail(key, v.isUndefined() ? "is missing" : "is not a text");
        if (expected && v.toString() != QLatin1String(expected))
            return fail(key, QString("is not \"%1\"").arg(expected));
        return true;
    }
    bool optionalText(const char* key) { return !has(key) || text(key); }
    bool boolean(const char* key) {
        const QJsonValue v = mObject.value(key);
        return v.isBool() ? true : fail(key, v.isUndefined() ? "is missing" : "is not true or false");
    }
    // A number in [low, high]; integral when asked.
    bool number(const char* key, double low, double high, bool integral, double* out = nullptr) {
        const QJsonValue v = mObject.value(key);
        if (!v.isDouble()) return fail(key, v.isUndefined() ? "is missing" : "is not a number");
        const double d = v.toDouble();
        if (!(d >= low && d <= high))
            return fail(key, QString("is %1, outside %2 to %3").arg(num(d), num(low), num(high)));
        if (integral && std::floor(d) != d) return fail(key, QString("is %1, not a whole number").arg(num(d)));
        if (out) *out = d;
        return true;
    }
    // A measured quantity: at least 0, or NaN (what a recording of samples that
    // are not numbers measures).
    bool measure(const char* key, double* out = nullptr) {
        const QJsonValue v = mObject.value(key);
        if (!v.isDouble()) return fail(key, v.isUndefined() ? "is missing" : "is not a number");
        const double d = v.toDouble();
        if (!std::isnan(d) && !(d >= 0.0 && std::isfinite(d))) return fail(key, QString("is %1, not a level").arg(num(d)));
        if (out) *out = d;
        return true;
    }
    // A level in dB, or null for none (silence).
    bool levelOrNull(const char* key) {
        const QJsonValue v = mObject.value(key);
        if (v.isNull()) return true;
        if (!v.isDouble()) return fail(key, v.isUndefined() ? "is missing" : "is not a number");
        if (!(std::fabs(v.toDouble()) <= 1000.0)) return fail(key, QString("is %1, not a level").arg(num(v.toDouble())));
        return true;
    }
    bool rate(const char* key, double* out) {
        return number(key, double(SoundReader::kMinSampleRate), double(SoundReader::kMaxSampleRate), true, out);
    }
    bool array(const char* key, QJsonArray* out) {
        const QJsonValue v = mObject.value(key);
        if (!v.isArray()) return fail(key, v.isUndefined() ? "is missing" : "is not a list");
        *out = v.toArray();
        return true;
    }
    bool object(const char* key, QJsonObject* out) {
        const QJsonValue v = mObject.value(key);
        if (!v.isObject()) return fail(key, "is not an object");
        *out = v.toObject();
        return true;
    }

private:
    QJsonObject mObject;
    QString mPath;
    QString* mProblem;
};

// The object under `key` of the document, when there is one: *out is left
// empty and true returned when the key is absent, false (with the problem
// recorded) when it holds anything but an object with keys.
bool part(const QJsonObject& root, const char* key, QString* problem, QJsonObject* out) {
    Fields top(root, QString(), problem);
    if (!top.has(key)) return true;
    if (!top.object(key, out)) return false;
    return !out->isEmpty() || top.fail(key, "is empty");
}

QString element(const QString& path, int i) { return QString("%1[%2]").arg(path).arg(i); }

// What the parts say of the recording, gathered to be compared.
struct Recording {
    std::vector<std::pair<double, QString>> rates, lengths;
};

bool checkBands(const QJsonObject& root, Recording& rec, QString* problem) {
    Fields f(root, QString(), problem);
    std::vector<double> edges;
    if (f.has("BandFreqs")) {
        QJsonArray freqs;
        if (!f.array("BandFreqs", &freqs)) return false;
        for (int i = 0; i < freqs.size(); ++i) {
            const QJsonValue v = freqs[i];
            const QString at = element("\"BandFreqs\"", i);
            if (!v.isDouble()) return (*problem = at + " is not a number"), false;
            const double hz = v.toDouble();
            if (!(hz > 0.0 && hz <= 1.0e6)) return (*problem = at + QString(" is %1, not a frequency").arg(num(hz))), false;
            if (!edges.empty() && !(hz > edges.back()))
                return (*problem = at + " is not above the edge before it"), false;
            edges.push_back(hz);
        }
    }
    if (!f.has("BandStats")) return true;
    QJsonArray bands;
    if (!f.array("BandStats", &bands)) return false;
    if (!bands.isEmpty() && size_t(bands.size()) != edges.size() + 1)
        return (*problem = QString("\"BandStats\" holds %1 bands for %2 band edges (one more band than edges)")
                               .arg(bands.size())
                               .arg(edges.size())),
               false;
    for (int i = 0; i < bands.size(); ++i) {
        const QString at = element("\"BandStats\"", i);
        if (!bands[i].isObject()) return (*problem = at + " is not an object"), false;
        Fields b(bands[i].toObject(), at, problem);
        double count = 0, rate = 0, leftSqr = 0, rightSqr = 0, leftMax = 0, rightMax = 0;
        if (!b.text("Class", "SoundAlgoStats") || !b.optionalText("Id") || !b.number("OutputType", 0, 2, true) ||
            !b.number("WindowTime", 0, 60, false) || !b.number("TotalCount", 0, kMaxUInt32, true, &count) ||
            !b.measure("LeftSqr", &leftSqr) || !b.measure("RightSqr", &rightSqr) || !b.measure("LeftMax", &leftMax) ||
            !b.measure("RightMax", &rightMax) || !b.rate("SampleRate", &rate))
            return false;
        // A sum of squares cannot exceed the count times the square of the peak.
        const double slack = 1.0 + 1e-9;
        if (leftSqr > count * leftMax * leftMax * slack + 1e-300)
            return b.fail("LeftSqr", "exceeds what the count and the peak allow");
        if (rightSqr > count * rightMax * rightMax * slack + 1e-300)
            return b.fail("RightSqr", "exceeds what the count and the peak allow");
        rec.rates.emplace_back(rate, b.name("SampleRate"));
        rec.lengths.emplace_back(count, b.name("TotalCount"));
    }
    return true;
}

bool checkDetector(const QJsonObject& root, Recording& rec, QString* problem, double* regionsEnd) {
    QJsonObject o;
    if (!part(root, "StepDetector", problem, &o)) return false;
    if (o.isEmpty()) return true;
    Fields d(o, "\"StepDetector\"", problem);
    double rate = 0;
    if (!d.text("Class", "RMSStepDetector") || !d.optionalText("Id") ||
        !d.number("NoiseThreshold", -1000, 1000, false) || !d.number("RMSTime", 1e-4, 60, false) ||
        !d.number("MinSlopeTime", 0, 3600, false) || !d.number("OutputMode", 0, 3, true) ||
        !d.boolean("RealTimeMode") || !d.rate("SampleRate", &rate))
        return false;
    rec.rates.emplace_back(rate, d.name("SampleRate"));
    QJsonArray regions;
    if (d.has("Regions") && !d.array("Regions", &regions)) return false;
    double end = 0;
    for (int i = 0; i < regions.size(); ++i) {
        const QString at = element(d.name("Regions"), i);
        if (!regions[i].isObject()) return (*problem = at + " is not an object"), false;
        Fields r(regions[i].toObject(), at, problem);
        double begin = 0, length = 0;
        if (!r.number("BeginSample", 0, kMaxInt32, true, &begin) || !r.number("SampleNb", 0, kMaxInt32, true, &length) ||
            !r.measure("RMSSqrValue0") || !r.measure("RMSSqrValue1") || !r.number("MeanSmpl", 0, kMaxInt32, true) ||
            !r.boolean("IsNoise"))
            return false;
        if (begin < end) return r.fail("BeginSample", "lies inside the region before it");
        end = begin + length;
    }
    *regionsEnd = end;
    // The slopes, [begin, end] frame pairs in ascending order, within the regions.
    const QJsonValue slopes = root.value("Slopes");
    if (slopes.isUndefined()) return true;
    if (!slopes.isArray()) return (*problem = "\"Slopes\" is not an array"), false;
    double last = 0;
    const QJsonArray list = slopes.toArray();
    for (int i = 0; i < list.size(); ++i) {
        const QJsonArray pair = list[i].toArray();
        const double b = pair.size() == 2 ? pair[0].toDouble(-1) : -1, e = pair.size() == 2 ? pair[1].toDouble(-1) : -1;
        if (!(b >= last && e > b && e <= end + 1 && b == std::floor(b) && e == std::floor(e)))
            return (*problem = element("\"Slopes\"", i) + " is not a slope of the regions (frames [begin, end])"), false;
        last = b;
    }
    return true;
}

bool checkFFT(const QJsonObject& root, Recording& rec, QString* problem) {
    QJsonObject o;
    if (!part(root, "FFTStats", problem, &o)) return false;
    if (o.isEmpty()) return true;
    Fields f(o, "\"FFTStats\"", problem);
    double size = 0, rate = 0;
    QJsonArray stats;
    if (!f.text("Class", "SoundAlgoFFTStats") || !f.optionalText("Id") || !f.number("Size", 2, 1 << 24, true, &size) ||
        !f.boolean("Overlap") || !f.rate("SampleRate", &rate) || !f.number("StatCount", 0, kMaxInteger, true) ||
        !f.array("StatsArray", &stats))
        return false;
    const unsigned n = unsigned(size);
    if ((n & (n - 1)) != 0) return f.fail("Size", QString("is %1, not a power of two").arg(n));
    if (size_t(stats.size()) != n / 2 + 1)
        return f.fail("StatsArray", QString("holds %1 values, not the %2 of a transform of %3").arg(stats.size()).arg(n / 2 + 1).arg(n));
    for (int i = 0; i < stats.size(); ++i) {
        const double v = stats[i].toDouble(-1.0);
        if (!stats[i].isDouble() || !(std::isnan(v) || (v >= 0.0 && std::isfinite(v))))
            return (*problem = element(f.name("StatsArray"), i) + " is not a level"), false;
    }
    rec.rates.emplace_back(rate, f.name("SampleRate"));
    return true;
}

bool checkLoudness(const QJsonObject& root, Recording& rec, QString* problem) {
    QJsonObject o;
    if (!part(root, "Loudness", problem, &o)) return false;
    if (o.isEmpty()) return true;
    Fields l(o, "\"Loudness\"", problem);
    double frames = 0, rate = 0, step = 0;
    QJsonArray series;
    if (!l.text("Class", "SoundAlgoLoudness") || !l.optionalText("Id") || !l.levelOrNull("Integrated") ||
        !l.number("Range", 0, 1000, false) || !l.levelOrNull("MaxMomentary") || !l.levelOrNull("MaxShortTerm") ||
        !l.levelOrNull("SamplePeakLeft") || !l.levelOrNull("SamplePeakRight") || !l.levelOrNull("TruePeakLeft") ||
        !l.levelOrNull("TruePeakRight") || !l.number("FrameCount", 0, kMaxInteger, true, &frames) ||
        !l.rate("SampleRate", &rate) || !l.number("ShortTermStep", 0, 3600, false, &step) ||
        !l.array("ShortTerm", &series))
        return false;
    for (int i = 0; i < series.size(); ++i)
        if (!series[i].isNull() && !(series[i].isDouble() && std::fabs(series[i].toDouble()) <= 1000.0))
            return (*problem = element(l.name("ShortTerm"), i) + " is not a loudness"), false;
    // One value per step of the recording, and one more for a last part step.
    if (step > 0 && series.size() > frames / (rate * step) + 2)
        return l.fail("ShortTerm", QString("holds %1 values, more than a recording of %2 frames has").arg(series.size()).arg(num(frames)));
    rec.rates.emplace_back(rate, l.name("SampleRate"));
    rec.lengths.emplace_back(frames, l.name("FrameCount"));
    return true;
}

}  // namespace

QString checksum(QJsonObject root) {
    root.remove("Checksum");
    const QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Compact);
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha1).toHex());
}

QString problem(const QJsonObject& root) {
    QString found;
    if (root.contains("Checksum")) {
        const QJsonValue sum = root.value("Checksum");
        if (!sum.isString()) return "\"Checksum\" is not a text";
        if (sum.toString() != checksum(root))
            return "its content does not match its \"Checksum\" (it changed after it was written)";
    }
    Recording rec;
    double regionsEnd = -1;
    if (!checkBands(root, rec, &found) || !checkDetector(root, rec, &found, &regionsEnd) ||
        !checkFFT(root, rec, &found) || !checkLoudness(root, rec, &found))
        return found;
    QJsonObject o;
    if (!part(root, "Source", &found, &o)) return found;
    if (!o.isEmpty()) {
        SoundStatSource source;
        QString cause;
        if (!SoundStatSource::readFromJSon(o, source, &cause)) return "\"Source\" " + cause;
        rec.rates.emplace_back(source.sampleRate, "\"Source\" \"SampleRate\"");
        rec.lengths.emplace_back(double(source.frames), "\"Source\" \"Frames\"");
    }
    for (const auto& r : rec.rates)
        if (r.first != rec.rates.front().first)
            return QString("%1 (%2 Hz) disagrees with %3 (%4 Hz)")
                .arg(r.second, num(r.first), rec.rates.front().second, num(rec.rates.front().first));
    for (const auto& l : rec.lengths)
        if (l.first != rec.lengths.front().first)
            return QString("%1 (%2 frames) disagrees with %3 (%4 frames)")
                .arg(l.second, num(l.first), rec.lengths.front().second, num(rec.lengths.front().first));
    // The detector closes its list with a one-frame marker at the end of the recording.
    if (!rec.lengths.empty() && regionsEnd > rec.lengths.front().first + 1)
        return QString("\"StepDetector\" \"Regions\" run to frame %1, past the end of the recording (%2 frames)")
            .arg(num(regionsEnd), num(rec.lengths.front().first));
    return QString();
}

QString validate(const QString& path) {
    const QString name = SoundStatFile::getStatFileName(path);
    if (name.isEmpty()) return "\"" + path + "\" has no file name part";
    QString cause;
    const QJsonDocument document = Utilities::readJSONFromFile(name, true, &cause);
    if (document.isNull()) return cause;
    const QJsonObject root = document.object();
    if (root.isEmpty()) return name + " : not a statistics file (no JSON object)";
    const QJsonValue cls = root.value("Class");
    if (!cls.isString() || cls.toString() != QLatin1String("SoundStatFile"))
        return name + " : not a statistics file (\"Class\" is not \"SoundStatFile\")";
    if (!root.value("Version").isString()) return name + " : statistics file without a \"Version\" text";
    const QString found = problem(root);
    return found.isEmpty() ? found : name + " : damaged statistics file, " + found;
}

}  // namespace SoundStatFileCheck
