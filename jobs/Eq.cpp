// eq: the player's equaliser run offline over a recording: a preset or band
// gains, the bass-boost band, an output gain; the limiters hold the peaks.
#include "tonewright/Eq.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "jobs/Ceiling.h"
#include "jobs/Equaliser.h"
#include "jobs/JobContext.h"
#include "jobs/LevelMeter.h"
#include "jobs/Response.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoLimiter.h"

namespace tonewright {

namespace {

using detail::badSetting;
using detail::qpath;
using detail::qstr;

std::optional<JobError> check(const EqSettings& s) {
    if (s.input.empty()) return badSetting("input", "no input file");
    if (s.output.empty()) return badSetting("output", "no output file");
    if (std::optional<JobError> e = detail::checkEqualiser(s)) return e;
    if (std::optional<JobError> e = detail::checkOutputSettings(s.truePeakDb, s.bitRate)) return e;
    return std::nullopt;
}

QJsonObject equaliserObject(const detail::EqChoice& c) {
    const EqualiserLayout& l = equaliserLayout();
    QJsonArray bands;
    for (size_t i = 0; i < l.bands.size() && i < c.gains.size(); ++i)
        bands.append(QJsonObject{{"frequency", l.bands[i].frequency}, {"gain", c.gains[i]}});
    QJsonObject o{{"bands", bands},
                  {"bassBoost", c.bassBoost ? QJsonValue(c.bassBoostGain) : QJsonValue()},
                  {"gain", c.outputGain}};
    o["preset"] = c.preset >= 0 ? QJsonValue(qstr(l.presets[size_t(c.preset)].name)) : QJsonValue();
    return o;
}

// The report's equaliser as a choice again (the preset by its name).
detail::EqChoice choiceOf(const EqReport& r) {
    detail::EqChoice c;
    c.preset = r.preset.empty() ? -1 : findEqPreset(r.preset);
    for (const EqBand& b : r.bands) c.gains.push_back(b.gain);
    c.bassBoost = r.bassBoost;
    c.bassBoostGain = r.bassBoostGain;
    c.outputGain = r.outputGain;
    return c;
}

}  // namespace

JobResult<EqReport> eq(const EqSettings& settings, const JobControl& control) {
    if (std::optional<JobError> bad = check(settings)) return *bad;
    const detail::EqChoice choice = detail::resolveEqualiser(settings);
    const EqualiserLayout& layout = equaliserLayout();
    EqReport report;
    report.input = settings.input;
    report.output = settings.output;
    if (choice.preset >= 0) report.preset = layout.presets[size_t(choice.preset)].name;
    for (size_t i = 0; i < layout.bands.size(); ++i)
        report.bands.push_back({layout.bands[i].frequency, layout.bands[i].width, choice.gains[i]});
    report.bassBoost = choice.bassBoost;
    report.bassBoostGain = choice.bassBoost ? choice.bassBoostGain : 0.0;
    report.outputGain = choice.outputGain;

    detail::JobContext ctx(control, 1);
    const QString input = qpath(settings.input), output = qpath(settings.output);
    ctx.addInputs({input});
    detail::clearError();
    if (!detail::mayWrite(ctx, output, input)) {
        ctx.fail(JobError::Kind::Output, output, "will not write", detail::lastError());
        return ctx.error();
    }
    SoundRef<detail::LevelMeter> before, after;
    std::unique_ptr<SoundOutputFile> file;
    // One pass into a fresh temporary of the output (a later pass replaces it).
    const auto eqPass = [&](double lowerDb, double trimDb) {
        std::unique_ptr<SoundReader> reader;
        std::unique_ptr<SoundWriter> writer;
        if (!detail::openPass(ctx, input, output, settings.bitRate, reader, file, writer)) return false;
        writer->setDither(settings.dither);

        before = SoundRef<detail::LevelMeter>::make();
        after = SoundRef<detail::LevelMeter>::make();
        auto chain = SoundRef<SoundAlgoComposite>::make("eq");
        chain->pushAlgo(SoundRef<detail::LevelMeter>::share(before.get()).release());
        chain->pushAlgo(detail::buildEqualiser(choice).release());
        // Raised bands can lift peaks past full scale.
        chain->pushAlgo(SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1).release());
        chain->pushAlgo(detail::truePeakStage(settings.truePeakDb, output, lowerDb).release());
        if (trimDb < 0.0) chain->pushAlgo(SoundRef<SoundAlgoScale>::make(trimDb).release());
        chain->pushAlgo(SoundRef<detail::LevelMeter>::share(after.get()).release());
        return detail::runPass(ctx, *chain, *reader, writer.get(), output, "equalise");
    };
    if (!detail::passesWithinCeiling(output, settings.truePeakDb, eqPass, [&] { return file->path(); }) ||
        !detail::commit(ctx, *file))
        return ctx.error();
    report.rmsBefore = before->rmsDb();
    report.peakBefore = before->peakDb();
    report.rmsAfter = after->rmsDb();
    report.peakAfter = after->peakDb();
    report.warnings = ctx.warnings();
    return report;
}

std::string toJson(const EqReport& r) {
    const QJsonObject o{
        {"file", qpath(r.input)},
        {"output", qpath(r.output)},
        {"equaliser", equaliserObject(choiceOf(r))},
        {"before", QJsonObject{{"rms", detail::roundDb(r.rmsBefore)}, {"peak", detail::roundDb(r.peakBefore)}}},
        {"after", QJsonObject{{"rms", detail::roundDb(r.rmsAfter)}, {"peak", detail::roundDb(r.peakAfter)}}}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

std::string equaliserJson(const EqSettings& settings) {
    if (detail::checkEqualiser(settings)) return std::string();
    return QJsonDocument(equaliserObject(detail::resolveEqualiser(settings)))
        .toJson(QJsonDocument::Compact)
        .toStdString();
}

std::vector<double> equaliserResponseDb(const EqSettings& settings, unsigned rate,
                                        const std::vector<double>& frequencies) {
    if (detail::checkEqualiser(settings) || rate == 0) return {};
    SoundRef<SoundAlgoFilter> eq = detail::buildEqualiser(detail::resolveEqualiser(settings));
    return detail::measuredResponseDb(*eq, rate, frequencies);
}

}  // namespace tonewright
