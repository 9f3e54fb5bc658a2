#include "tonewright/Analyse.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <optional>

#include "jobs/Analysis.h"
#include "jobs/JobContext.h"
#include "jobs/Statistics.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundUnits.h"

namespace tonewright {

class LoudnessGating {
public:
    explicit LoudnessGating(SoundRef<SoundAlgoLoudness> meter) : mMeter(std::move(meter)) {}
    SoundAlgoLoudness* meter() const { return mMeter.get(); }

private:
    SoundRef<SoundAlgoLoudness> mMeter;
};

namespace {

using detail::qpath;
using detail::qstr;
using detail::str;

JobError badSetting(const char* name, const std::string& cause) {
    return JobError{JobError::Kind::Setting, name, "is not a valid setting", cause};
}

// Not a number or outside [low, high]: the error naming the setting.
std::optional<JobError> outOfRange(const char* name, double value, double low, double high, const char* unit) {
    if (value >= low && value <= high) return std::nullopt;
    QString range = QString("must be from %1 to %2%3").arg(low).arg(high).arg(unit);
    range += std::isnan(value) ? QString(", not a number") : QString(", not %1").arg(value);
    return badSetting(name, str(range));
}

std::optional<JobError> check(const AnalyseSettings& s) {
    if (s.input.empty()) return badSetting("input", "no file named");
    if (auto e = outOfRange("thresholdDb", s.thresholdDb, -120.0, 0.0, " dB")) return e;
    if (auto e = outOfRange("envelopeStep", s.envelopeStep, 0.001, 10.0, " s")) return e;
    if (auto e = outOfRange("maxCorrection", s.maxCorrection, 0.0, 40.0, " dB")) return e;
    if (auto e = outOfRange("responsePoints", s.responsePoints, 0, 10000, "")) return e;
    if (s.reference && !s.bands) return badSetting("reference", "a reference curve is matched to the band levels (bands)");
    return std::nullopt;
}

AnalyseReport reportOf(const detail::Analysis& a) {
    AnalyseReport r;
    r.sampleRate = a.rate;
    r.frames = a.frames;
    r.length = str(a.length);
    r.levelMeasured = a.envelopeStep > 0;
    r.rmsDb = a.rmsDb;
    r.rmsLeftDb = a.leftRmsDb;
    r.rmsRightDb = a.rightRmsDb;
    r.peakDb = a.peakDb;
    r.peakLeftDb = a.leftPeakDb;
    r.peakRightDb = a.rightPeakDb;
    r.envelopeDb = a.envelopeDb;
    r.envelopeStep = a.envelopeStep;

    const detail::LoudnessResult& l = a.loudness;
    r.loudness.measured = l.measured;
    r.loudness.tooShort = l.tooShort;
    r.loudness.integrated = l.integrated;
    r.loudness.range = l.range;
    r.loudness.maxMomentary = l.maxMomentary;
    r.loudness.maxShortTerm = l.maxShortTerm;
    r.loudness.truePeak = l.truePeak;
    r.loudness.truePeakLeft = l.truePeakLeft;
    r.loudness.truePeakRight = l.truePeakRight;
    r.loudness.samplePeak = l.samplePeak;
    r.loudness.shortTerm = l.shortTerm;
    r.loudness.shortTermStep = l.shortTermStep;

    r.frequencies = a.frequencies;
    for (const detail::BandResult& b : a.bands)
        r.bands.push_back({b.low, b.high, b.rmsDb, b.peakDb, b.relativeDb, b.fftRelativeDb});
    r.hasSpectrum = a.hasFft;
    for (const detail::RegionResult& g : a.regions)
        r.regions.push_back({g.begin, g.frames, g.levelDb, g.leftDb, g.rightDb, g.noise});
    for (const auto& s : a.slopes) r.slopes.push_back({s.first, s.second});
    for (const detail::Stretch& s : a.stretches) r.stretches.push_back({s.begin, s.frames, s.levelDb});
    r.signalStart = a.signalStart;
    r.signalEnd = a.signalEnd;

    if (!a.reference.isEmpty()) {
        const detail::ReferenceResult& f = a.reference;
        ReferenceMatch m;
        m.name = str(f.name);
        m.distanceDb = f.distance;
        m.frequencies = f.frequencies;
        m.levels = f.levels;
        m.corrections = f.corrections;
        m.makeUpDb = f.makeUpDb;
        m.changes = f.changes;
        m.responseFrequencies = f.responseFreqs;
        m.responseDb = f.responseDb;
        r.reference = std::move(m);
    }
    r.statisticsFile = a.statisticsFile.toStdString();
    return r;
}

}  // namespace

JobResult<AnalyseReport> analyse(const AnalyseSettings& settings, const JobControl& control) {
    if (std::optional<JobError> e = check(settings)) return *e;
    detail::JobContext ctx(control, 1);
    const QString input = qpath(settings.input);
    ctx.addInputs({input});

    detail::AnalysisSettings fresh;
    fresh.bands = settings.bands;
    fresh.fft = settings.spectrum;
    fresh.envelope = settings.level;
    fresh.loudness = settings.loudness;
    fresh.noiseThresholdDb = settings.thresholdDb;
    fresh.envelopeStep = settings.envelopeStep;

    detail::Analysis a;
    QString reused;
    const bool ok = settings.reuse ? detail::savedOrFreshAnalysis(ctx, input, fresh, false, a, &reused)
                                   : detail::analyseFile(ctx, input, fresh, a, "analyse");
    if (!ok) return ctx.error();

    QString why;
    if (settings.reference &&
        !detail::findReference(a, qstr(settings.referenceName), settings.maxCorrection, settings.responsePoints, &why))
        ctx.warn(input, why);

    bool kept = false;
    QString statisticsError;
    if (settings.save && reused.isEmpty()) {
        switch (detail::saveStatistics(ctx, a)) {
        case detail::SaveOutcome::Written:
            break;
        case detail::SaveOutcome::Kept:
            kept = true;
            ctx.warn(input, SoundStatFile::getStatFileName(input) + " exists, kept (use -y to replace it)");
            break;
        case detail::SaveOutcome::Shared:
            ctx.warn(input, "not saved: " + SoundStatFile::getStatFileName(input) +
                                " is the statistics file of another input of the same name, earlier in the run");
            break;
        case detail::SaveOutcome::Failed: {
            if (!settings.saveIsOptional) {
                ctx.fail(JobError::Kind::Output, input, "cannot write the statistics file", detail::lastError());
                return ctx.error();
            }
            // The cause, without the file's name when it leads (it is said here).
            const QString name = SoundStatFile::getStatFileName(input);
            QString cause = detail::lastError();
            if (cause.startsWith(name + " : ")) cause = cause.mid(name.size() + 3);
            statisticsError = "cannot write the statistics file " + name + ": " + cause;
            ctx.warn(input, statisticsError);
            break;
        }
        }
    }

    AnalyseReport report = reportOf(a);
    report.file = settings.input;
    report.referenceProblem = str(why);
    report.statisticsReused = !reused.isEmpty();
    report.statisticsKept = kept;
    report.statisticsError = str(statisticsError);
    report.warnings = ctx.warnings();
    if (a.loudnessAlgo && reused.isEmpty()) report.gating = std::make_shared<const LoudnessGating>(a.loudnessAlgo);
    return report;
}

AlbumLoudness albumLoudness(const std::vector<const AnalyseReport*>& tracks) {
    std::vector<SoundAlgoLoudness*> measured;
    for (const AnalyseReport* r : tracks)
        if (r && r->gating && r->gating->meter()) measured.push_back(r->gating->meter());
    AlbumLoudness album;
    album.tracks = int(measured.size());
    album.integrated = SoundAlgoLoudness::albumLoudness(measured);
    album.range = SoundAlgoLoudness::albumRange(measured);
    album.truePeak = SoundAlgoLoudness::albumTruePeak(measured);
    return album;
}

std::string referenceCatalogProblem() {
    QString cause;
    detail::referenceCatalog(&cause);
    return str(cause);
}

// ---------------------------------------------------------------- JSON
namespace {

double seconds(int64_t frames, unsigned rate) { return rate ? detail::roundSeconds(double(frames) / rate) : 0.0; }
// Loudness figures: null where there is none (silence, too short).
QJsonValue lufs(double v) { return std::isfinite(v) ? QJsonValue(std::round(v * 100.0) / 100.0) : QJsonValue(); }
std::string compact(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString(); }

}  // namespace

std::string toJson(const AlbumLoudness& a) {
    return compact(QJsonObject{{"tracks", a.tracks},
                               {"integrated", lufs(a.integrated)},
                               {"range", lufs(a.range)},
                               {"truePeak", lufs(a.truePeak)}});
}

std::string toJson(const AnalyseReport& a) {
    using detail::roundDb;
    QJsonObject o;
    o["file"] = qpath(a.file);
    o["sampleRate"] = int(a.sampleRate);
    o["frames"] = double(a.frames);
    o["seconds"] = seconds(a.frames, a.sampleRate);
    o["length"] = qstr(a.length);
    if (a.levelMeasured && (std::isfinite(a.peakDb) || a.frames > 0)) {
        QJsonObject level;
        level["rms"] = roundDb(a.rmsDb);
        level["rmsLeft"] = roundDb(a.rmsLeftDb);
        level["rmsRight"] = roundDb(a.rmsRightDb);
        level["peak"] = roundDb(a.peakDb);
        level["peakLeft"] = roundDb(a.peakLeftDb);
        level["peakRight"] = roundDb(a.peakRightDb);
        o["level"] = level;
    }
    if (a.loudness.measured) {
        const LoudnessFigures& l = a.loudness;
        QJsonArray shortTerm;
        for (double v : l.shortTerm) shortTerm.append(lufs(v));
        o["loudness"] = QJsonObject{{"integrated", lufs(l.integrated)},
                                    {"tooShort", l.tooShort},
                                    {"range", lufs(l.range)},
                                    {"maxMomentary", lufs(l.maxMomentary)},
                                    {"maxShortTerm", lufs(l.maxShortTerm)},
                                    {"truePeak", lufs(l.truePeak)},
                                    {"truePeakLeft", lufs(l.truePeakLeft)},
                                    {"truePeakRight", lufs(l.truePeakRight)},
                                    {"samplePeak", lufs(l.samplePeak)},
                                    {"shortTermStep", l.shortTermStep},
                                    {"shortTerm", shortTerm}};
    }
    QJsonArray freqs;
    for (double f : a.frequencies) freqs.append(f);
    o["frequencies"] = freqs;
    QJsonArray bands;
    for (const AnalyseBand& b : a.bands) {
        QJsonObject j;
        j["low"] = b.lowHz;
        j["high"] = b.highHz;
        j["rms"] = roundDb(b.rmsDb);
        j["peak"] = roundDb(b.peakDb);
        j["relative"] = roundDb(b.relativeDb);
        if (a.hasSpectrum) j["fftRelative"] = roundDb(b.spectrumRelativeDb);
        bands.append(j);
    }
    o["bands"] = bands;
    QJsonArray regions;
    for (const AnalyseRegion& r : a.regions) {
        QJsonObject j;
        j["start"] = seconds(r.begin, a.sampleRate);
        j["length"] = seconds(r.frames, a.sampleRate);
        j["level"] = roundDb(r.levelDb);
        j["levelLeft"] = roundDb(r.leftDb);
        j["levelRight"] = roundDb(r.rightDb);
        j["noise"] = r.noise;
        regions.append(j);
    }
    o["regions"] = regions;
    QJsonArray slopes;
    for (const AnalyseSlope& s : a.slopes)
        slopes.append(QJsonObject{{"start", seconds(s.begin, a.sampleRate)}, {"end", seconds(s.end, a.sampleRate)}});
    o["slopes"] = slopes;
    QJsonArray stretches;
    for (const AnalyseStretch& s : a.stretches) {
        QJsonObject j;
        j["start"] = seconds(s.begin, a.sampleRate);
        j["length"] = seconds(s.frames, a.sampleRate);
        j["level"] = roundDb(s.levelDb);
        stretches.append(j);
    }
    o["stretches"] = stretches;
    o["signalStart"] = a.signalStart >= 0 ? QJsonValue(seconds(a.signalStart, a.sampleRate)) : QJsonValue();
    o["signalEnd"] = a.signalEnd >= 0 ? QJsonValue(seconds(a.signalEnd, a.sampleRate)) : QJsonValue();
    if (!a.reference) {
        o["reference"] = QJsonValue();
    } else {
        const ReferenceMatch& m = *a.reference;
        QJsonArray levels, corrections, changes;
        for (double v : m.levels) levels.append(roundDb(v));
        for (double v : m.corrections) corrections.append(roundDb(v));
        for (double v : m.changes) changes.append(roundDb(v));
        o["reference"] = QJsonObject{{"name", qstr(m.name)},
                                     {"distance", roundDb(m.distanceDb)},
                                     {"levels", levels},
                                     {"corrections", corrections},
                                     {"makeUpGain", roundDb(m.makeUpDb)},
                                     {"changes", changes}};
    }
    o["statisticsFile"] = a.statisticsFile.empty() ? QJsonValue() : QJsonValue(qpath(a.statisticsFile));
    return compact(o);
}

}  // namespace tonewright
