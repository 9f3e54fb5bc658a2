// correct: moves the spectral balance of recordings towards a reference curve.
#include <QJsonDocument>
#include <cmath>

#include "Batch.h"
#include "Ceiling.h"
#include "Cli.h"
#include "JobHost.h"
#include "JobPaths.h"
#include "Reports.h"
#include "tonewright/Correct.h"

namespace cli {

namespace {
QString gains(const std::vector<double>& values) {
    QStringList t;
    for (double v : values) t << QString::number(std::fabs(v) < 0.05 ? 0.0 : v, 'f', 1);
    return t.join(' ');
}
}  // namespace

QString correctSummary(const tonewright::CorrectReport& r) {
    QString t = QString("%1 -> %2\n").arg(pathText(r.input), pathText(r.output));
    if (!r.statisticsFile.empty()) t += QString("  levels    from %1\n").arg(pathText(r.statisticsFile));
    t += QString("  reference %1, distance %2\n").arg(qtext(r.reference), formatDb(r.distance));
    t += QString("  cuts      %1 dB, %2 equaliser section%3\n")
             .arg(gains(r.corrections))
             .arg(r.sections)
             .arg(r.sections == 1 ? "" : "s");
    t += QString("  make-up   %1 dB (the gain after the cuts)\n").arg(QString::number(r.makeUpDb, 'f', 1));
    t += QString("  change    %1 dB per band, make-up included, within +-%2 dB (the band above %3 Hz has no "
                 "reference level and is left as it is)\n")
             .arg(gains(r.changes))
             .arg(r.maxCorrection)
             .arg(r.frequencies.empty() ? 0.0 : r.frequencies.back());
    t += QString("  level     RMS %1 -> %2, peak %3\n").arg(formatDb(r.rmsBefore), formatDb(r.rmsAfter), formatDb(r.peakAfter));
    return t;
}

}  // namespace cli

namespace {

const QCommandLineOption kOutput({"o", "output"},
                                 "Output file (one input), or an existing folder for the outputs. Default: "
                                 "'<name>-corrected.<ext>' beside each input.",
                                 "name");
const QCommandLineOption kFormat({"f", "format"}, "Output format: wav, flac, ogg or mp3 (default: the input's).", "ext");
const QCommandLineOption kReference({"r", "reference"}, "Reference curve to correct towards (default: the nearest).",
                                    "name");
const QCommandLineOption kList("list", "List the reference curves of the catalog and stop.");
const QCommandLineOption kMaxCorrection("max-correction", "Limit of each band's change, make-up gain included, in dB (default 12). The differences from the reference are limited to it and lowered so that all are cuts; the make-up gain then raises every band, held so that no band changes by more than the limit either way. The band above the highest reference frequency has no reference level and is left as it is.", "dB", "12");
const QCommandLineOption kThreshold("threshold", "Noise threshold in dB below the loudest region (default -40).",
                                    "dB", "-40");
const QCommandLineOption kBitRate("bitrate", cli::bitRateHelp("output"), "kbit/s", "192");
const QCommandLineOption kReanalyse("reanalyse", "Measure the band levels even when a statistics file of the input "
                                                 "(saved by analyse) holds them.");

// parseOnly: read and check the command line, and stop there (Cli.h, JobInfo::parse).
int runCorrect(const QStringList& args, bool parseOnly) {
    cli::JobParser p("correct",
                     "Corrects the spectral balance of recordings towards the nearest (or a named) reference curve "
                     "of the catalog, with an equaliser of cuts and a make-up gain, the limiter after it.",
                     cli::JobParser::Json | cli::JobParser::Batch | cli::JobParser::Writes);
    for (const QCommandLineOption& o :
         {kOutput, kFormat, kReference, kList, kMaxCorrection, kThreshold, kBitRate, kReanalyse})
        p.addOption(o);
    p.addOption(cli::truePeakOption());
    p.addOption(cli::noDitherOption());
    p.addInputs("Recordings to correct (wav, flac, ogg, mp3).", "files...");
    const int early = p.parse(args);
    if (early >= 0) return early;

    const tonewright::JobResult<std::vector<tonewright::ReferenceCurve>> curves = tonewright::referenceCurves();
    if (p.isSet(kList)) {
        if (parseOnly) return -1;
        if (!curves) {
            cli::printJobError(curves.error());
            return cli::ProcessingError;
        }
        if (cli::options().json) {
            cli::printJson(QJsonDocument::fromJson(QByteArray::fromStdString(tonewright::toJson(*curves))).array());
        } else {
            QString t;
            for (const tonewright::ReferenceCurve& r : *curves) t += cli::qtext(r.name) + "\n";
            cli::printOut(t);
        }
        return cli::Success;
    }
    const QStringList inputs = p.inputs();
    if (inputs.isEmpty()) return p.usageError("no input file");

    tonewright::CorrectSettings settings;
    double bitRate = 192;
    if (!p.number(kMaxCorrection, 0, 40, &settings.maxCorrection) ||
        !p.number(kThreshold, -120, 0, &settings.thresholdDb) || !p.number(kBitRate, 32, 320, &bitRate) ||
        !cli::readTruePeak(p, &settings.truePeakDb))
        return cli::UsageError;
    settings.bitRate = unsigned(bitRate);
    settings.reanalyse = p.isSet(kReanalyse);
    settings.dither = !p.isSet(cli::noDitherOption());
    if (!curves) {
        cli::printJobError(curves.error());
        return cli::ProcessingError;
    }
    if (p.isSet(kReference)) {
        const QString name = p.value(kReference);
        bool known = false;
        for (const tonewright::ReferenceCurve& r : *curves) known = known || cli::qtext(r.name) == name;
        if (!known) return p.usageError(QString("no reference curve named '%1' (see --list)").arg(name));
        settings.reference = name.toStdString();
    }
    cli::OutputNaming names;
    const int naming = cli::readOutputNaming(p, kOutput, kFormat, "-corrected", &names);
    if (naming >= 0) return naming;
    if (parseOnly) return -1;
    const auto outputFor = [&](const QString& input) { return names.outputFor(input); };

    return cli::runBatch("correct", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        tonewright::CorrectSettings s = settings;
        s.input = cli::jobPath(input);
        s.output = cli::jobPath(outputFor(input));
        const tonewright::JobResult<tonewright::CorrectReport> r = tonewright::correct(s, cli::jobControl(index));
        if (!r) {
            cli::printJobError(r.error());
            return out;
        }
        out.ok = true;
        out.text = cli::correctSummary(*r);
        out.json = cli::jsonObject(tonewright::toJson(*r));
        return out;
    });
}

cli::Job correct("correct", "moves recordings' spectral balance towards a reference curve",
               [](const QStringList& args) { return runCorrect(args, false); },
               [](const QStringList& args) { return runCorrect(args, true); });

}  // namespace
