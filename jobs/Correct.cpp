// correct: moves the spectral balance of a recording towards a reference curve.
#include "tonewright/Correct.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <optional>

#include "jobs/Analysis.h"
#include "jobs/Ceiling.h"
#include "jobs/JobContext.h"
#include "jobs/LevelMeter.h"
#include "jobs/Statistics.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoLimiter.h"

namespace tonewright {

namespace {

using detail::badSetting;
using detail::within;

using detail::qpath;
using detail::qstr;

std::optional<JobError> check(const CorrectSettings& s) {
    if (s.input.empty()) return badSetting("input", "no input file");
    if (s.output.empty()) return badSetting("output", "no output file");
    if (!within(s.maxCorrection, 0.0, 40.0))
        return badSetting("maxCorrection", QString("the limit of a band's change lies from 0 to 40 dB, not %1")
                                               .arg(s.maxCorrection));
    if (!within(s.thresholdDb, -120.0, 0.0))
        return badSetting("thresholdDb", QString("the noise threshold lies from -120 to 0 dB, not %1").arg(s.thresholdDb));
    if (std::optional<JobError> e = detail::checkOutputSettings(s.truePeakDb, s.bitRate)) return e;
    if (!s.reference.empty()) {
        QString cause;
        const SoundStatReferenceCatalog& catalog = detail::referenceCatalog(&cause);
        // An unreadable catalog is the job's error, told when it is needed.
        if (cause.isEmpty() && catalog.getReference(qstr(s.reference)).isEmpty())
            return badSetting("reference", QString("no reference curve named '%1'").arg(qstr(s.reference)));
    }
    return std::nullopt;
}

bool correctOne(detail::JobContext& ctx, const CorrectSettings& settings, CorrectReport& out) {
    using namespace detail;
    out = CorrectReport();
    out.input = settings.input;
    out.output = settings.output;
    const QString input = qpath(settings.input), output = qpath(settings.output);

    clearError();
    if (!mayWrite(ctx, output, input)) return ctx.fail(JobError::Kind::Output, output, "will not write", lastError());
    // Band levels and spectrum only: the correction needs no regions (the
    // detector runs anyway, it carries the stream to the spectrum).
    AnalysisSettings bands;
    bands.envelope = false;
    bands.noiseThresholdDb = settings.thresholdDb;
    Analysis analysis;
    QString saved;
    if (!savedOrFreshAnalysis(ctx, input, bands, settings.reanalyse, analysis, &saved)) return false;
    out.statisticsFile = detail::fspath(saved);
    QString error;
    if (!findReference(analysis, qstr(settings.reference), settings.maxCorrection, 0, &error))
        return ctx.fail(JobError::Kind::Input, input, "cannot correct", error);
    const ReferenceResult& ref = analysis.reference;
    out.reference = str(ref.name);
    out.distance = ref.distance;
    out.frequencies = ref.frequencies;
    out.corrections = ref.corrections;
    out.changes = ref.changes;
    SoundRef<SoundAlgoFilter> eq = correctionFilter(analysis, settings.maxCorrection);
    if (!eq) return ctx.fail(JobError::Kind::Processing, input, "cannot build the correction equaliser", lastError());
    out.sections = int(eq->getBuilderNumber());
    out.makeUpDb = eq->getOutputGain();
    out.maxCorrection = settings.maxCorrection;

    SoundRef<LevelMeter> before, after;
    std::unique_ptr<SoundOutputFile> file;
    // One pass into a fresh temporary of the output (a later pass replaces it),
    // through an equaliser of its own.
    const auto correctPass = [&](double lowerDb, double trimDb) {
        std::unique_ptr<SoundReader> reader;
        std::unique_ptr<SoundWriter> writer;
        if (!openPass(ctx, input, output, settings.bitRate, reader, file, writer)) return false;
        writer->setDither(settings.dither);

        before = SoundRef<LevelMeter>::make();
        after = SoundRef<LevelMeter>::make();
        auto chain = SoundRef<SoundAlgoComposite>::make("correct");
        chain->pushAlgo(SoundRef<LevelMeter>::share(before.get()).release());
        SoundRef<SoundAlgoFilter> passEq = correctionFilter(analysis, settings.maxCorrection);
        if (!passEq)
            return ctx.fail(JobError::Kind::Processing, input, "cannot build the correction equaliser", lastError());
        chain->pushAlgo(passEq.release());
        // The output gain makes up for the cuts where the ear is most sensitive,
        // which can lift peaks past full scale: the limiter holds them.
        chain->pushAlgo(SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1).release());
        chain->pushAlgo(truePeakStage(settings.truePeakDb, output, lowerDb).release());
        if (trimDb < 0.0) chain->pushAlgo(SoundRef<SoundAlgoScale>::make(trimDb).release());
        chain->pushAlgo(SoundRef<LevelMeter>::share(after.get()).release());
        return runPass(ctx, *chain, *reader, writer.get(), output, "correct");
    };
    if (!passesWithinCeiling(output, settings.truePeakDb, correctPass, [&] { return file->path(); }) ||
        !commit(ctx, *file))
        return false;
    out.rmsBefore = before->rmsDb();
    out.rmsAfter = after->rmsDb();
    out.peakAfter = after->peakDb();
    out.warnings = ctx.warnings();
    return true;
}

QJsonArray roundedDb(const std::vector<double>& values) {
    QJsonArray a;
    for (double v : values) a.append(detail::roundDb(v));
    return a;
}

}  // namespace

JobResult<CorrectReport> correct(const CorrectSettings& settings, const JobControl& control) {
    if (std::optional<JobError> bad = check(settings)) return *bad;
    detail::JobContext ctx(control, 2);
    ctx.addInputs({qpath(settings.input)});
    CorrectReport report;
    if (!correctOne(ctx, settings, report)) return ctx.error();
    return report;
}

std::string toJson(const CorrectReport& r) {
    QJsonObject o;
    o["file"] = qpath(r.input);
    o["output"] = qpath(r.output);
    o["statisticsFile"] = r.statisticsFile.empty() ? QJsonValue() : QJsonValue(qpath(r.statisticsFile));
    o["reference"] = QJsonObject{{"name", qstr(r.reference)}, {"distance", detail::roundDb(r.distance)}};
    o["corrections"] = roundedDb(r.corrections);
    o["sections"] = r.sections;
    o["makeUpGain"] = detail::roundDb(r.makeUpDb);
    o["changes"] = roundedDb(r.changes);
    o["maxCorrection"] = r.maxCorrection;
    o["before"] = QJsonObject{{"rms", detail::roundDb(r.rmsBefore)}};
    o["after"] = QJsonObject{{"rms", detail::roundDb(r.rmsAfter)}, {"peak", detail::roundDb(r.peakAfter)}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

JobResult<std::vector<ReferenceCurve>> referenceCurves() {
    QString cause;
    const SoundStatReferenceCatalog& catalog = detail::referenceCatalog(&cause);
    if (!cause.isEmpty()) {
        JobError e;
        e.kind = JobError::Kind::Input;
        e.what = detail::str(cause);
        return e;
    }
    std::vector<ReferenceCurve> curves;
    for (const SoundStatReference& r : catalog.getReferenceList())
        curves.push_back({detail::str(r.getName()), r.getFrequencies(), r.getLevels()});
    return curves;
}

std::string toJson(const std::vector<ReferenceCurve>& curves) {
    QJsonArray list;
    for (const ReferenceCurve& c : curves) {
        QJsonArray levels, freqs;
        for (double v : c.levels) levels.append(v);
        for (double f : c.frequencies) freqs.append(f);
        list.append(QJsonObject{{"name", qstr(c.name)}, {"frequencies", freqs}, {"levels", levels}});
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace tonewright
