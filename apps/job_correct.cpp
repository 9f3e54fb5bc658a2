// correct: moves the spectral balance of recordings towards a reference curve.
#include "job_correct.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include "Batch.h"
#include "Ceiling.h"
#include "Cli.h"
#include "Meters.h"
#include "tonewright/SoundOutputFile.h"
#include "Progress.h"
#include "Statistics.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoLimiter.h"

namespace cli {

bool correctFile(const QString& input, const QString& output, const CorrectSettings& settings,
                 const Analysis* analysis, CorrectResult& out, int fileIndex, int pass, int passes) {
    out = CorrectResult();
    out.input = input;
    out.output = output;
    if (passes <= 0) passes = analysis ? 1 : 2;

    clearError();
    if (!mayWrite(output, input)) {
        printError(output, "will not write", lastError());
        return false;
    }
    Analysis own;
    if (!analysis) {
        // Band levels and spectrum only: the correction needs no regions (the
        // detector runs anyway, it carries the stream to the spectrum).
        AnalysisSettings bands;
        bands.envelope = false;
        bands.noiseThresholdDb = settings.thresholdDb;
        if (!savedOrFreshAnalysis(input, bands, settings.reanalyse, own, &out.savedAnalysis, fileIndex, pass, passes))
            return false;
        analysis = &own;
    }
    Analysis withReference = *analysis;
    QString error;
    if (!findReference(withReference, settings.reference, settings.maxCorrection, 0, &error)) {
        printError(input, "cannot correct", error);
        return false;
    }
    out.reference = withReference.reference;
    SoundRef<SoundAlgoFilter> eq = correctionFilter(withReference, settings.maxCorrection);
    if (!eq) {
        printError(input, "cannot build the correction equaliser", lastError());
        return false;
    }
    out.filters = int(eq->getBuilderNumber());
    out.makeUpDb = eq->getOutputGain();
    out.maxCorrection = settings.maxCorrection;

    SoundRef<LevelMeter> before, after;
    std::unique_ptr<SoundOutputFile> file;
    // One pass into a fresh temporary of the output (a later pass replaces it),
    // through an equaliser of its own.
    const auto correctPass = [&](double lowerDb, double trimDb) {
        std::unique_ptr<SoundReader> reader;
        std::unique_ptr<SoundWriter> writer;
        if (!openPass(input, output, settings.bitRate, reader, file, writer)) return false;
        writer->setDither(settings.dither);

        before = SoundRef<LevelMeter>::make();
        after = SoundRef<LevelMeter>::make();
        auto chain = SoundRef<SoundAlgoComposite>::make("correct");
        chain->pushAlgo(SoundRef<LevelMeter>::share(before.get()).release());
        SoundRef<SoundAlgoFilter> passEq = correctionFilter(withReference, settings.maxCorrection);
        if (!passEq) {
            printError(input, "cannot build the correction equaliser", lastError());
            return false;
        }
        chain->pushAlgo(passEq.release());
        // The output gain makes up for the cuts where the ear is most sensitive,
        // which can lift peaks past full scale: the limiter holds them.
        chain->pushAlgo(SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1).release());
        chain->pushAlgo(truePeakStage(settings.truePeakDb, output, lowerDb).release());
        if (trimDb < 0.0) chain->pushAlgo(SoundRef<SoundAlgoScale>::make(trimDb).release());
        chain->pushAlgo(SoundRef<LevelMeter>::share(after.get()).release());
        return runPass(*chain, *reader, *writer, output, "correct", fileIndex, pass, passes);
    };
    if (!passesWithinCeiling(output, settings.truePeakDb, correctPass, [&] { return file->path(); })) return false;
    if (!file->commit(options().overwrite)) {
        printError(output, "cannot write", lastError());
        return false;
    }
    out.rmsBefore = before->rmsDb();
    out.rmsAfter = after->rmsDb();
    out.peakAfter = after->peakDb();
    return true;
}

namespace {
QString gains(const std::vector<double>& values) {
    QStringList t;
    for (double v : values) t << QString::number(std::fabs(v) < 0.05 ? 0.0 : v, 'f', 1);
    return t.join(' ');
}
}  // namespace

QString correctSummary(const CorrectResult& r) {
    QString t = QString("%1 -> %2\n").arg(r.input, r.output);
    if (!r.savedAnalysis.isEmpty()) t += QString("  levels    from %1\n").arg(r.savedAnalysis);
    t += QString("  reference %1, distance %2\n").arg(r.reference.name, formatDb(r.reference.distance));
    t += QString("  cuts      %1 dB, %2 equaliser section%3\n")
             .arg(gains(r.reference.corrections))
             .arg(r.filters)
             .arg(r.filters == 1 ? "" : "s");
    t += QString("  make-up   %1 dB (the gain after the cuts)\n").arg(QString::number(r.makeUpDb, 'f', 1));
    t += QString("  change    %1 dB per band, make-up included, within +-%2 dB (the band above %3 Hz has no "
                 "reference level and is left as it is)\n")
             .arg(gains(r.reference.changes))
             .arg(r.maxCorrection)
             .arg(r.reference.frequencies.empty() ? 0.0 : r.reference.frequencies.back());
    t += QString("  level     RMS %1 -> %2, peak %3\n").arg(formatDb(r.rmsBefore), formatDb(r.rmsAfter), formatDb(r.peakAfter));
    return t;
}

QJsonObject correctToJson(const CorrectResult& r) {
    QJsonObject o;
    o["file"] = r.input;
    o["output"] = r.output;
    o["statisticsFile"] = r.savedAnalysis.isEmpty() ? QJsonValue() : QJsonValue(r.savedAnalysis);
    QJsonArray corrections;
    for (double v : r.reference.corrections) corrections.append(roundDb(v));
    o["reference"] = QJsonObject{{"name", r.reference.name}, {"distance", roundDb(r.reference.distance)}};
    o["corrections"] = corrections;
    o["sections"] = r.filters;
    o["makeUpGain"] = roundDb(r.makeUpDb);
    QJsonArray changes;
    for (double v : r.reference.changes) changes.append(roundDb(v));
    o["changes"] = changes;
    o["maxCorrection"] = r.maxCorrection;
    o["before"] = QJsonObject{{"rms", roundDb(r.rmsBefore)}};
    o["after"] = QJsonObject{{"rms", roundDb(r.rmsAfter)}, {"peak", roundDb(r.peakAfter)}};
    return o;
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

    QString catalogError;
    const SoundStatReferenceCatalog& catalog = cli::referenceCatalog(&catalogError);
    if (p.isSet(kList)) {
        if (parseOnly) return -1;
        if (!catalogError.isEmpty()) {
            cli::printError(QString(), catalogError);
            return cli::ProcessingError;
        }
        if (cli::options().json) {
            QJsonArray list;
            for (const SoundStatReference& r : catalog.getReferenceList()) {
                QJsonArray levels, freqs;
                for (double v : r.getLevels()) levels.append(v);
                for (double f : r.getFrequencies()) freqs.append(f);
                list.append(QJsonObject{{"name", r.getName()}, {"frequencies", freqs}, {"levels", levels}});
            }
            cli::printJson(list);
        } else {
            QString t;
            for (const SoundStatReference& r : catalog.getReferenceList()) t += r.getName() + "\n";
            cli::printOut(t);
        }
        return cli::Success;
    }
    const QStringList inputs = p.inputs();
    if (inputs.isEmpty()) return p.usageError("no input file");

    cli::CorrectSettings settings;
    double bitRate = 192;
    if (!p.number(kMaxCorrection, 0, 40, &settings.maxCorrection) ||
        !p.number(kThreshold, -120, 0, &settings.thresholdDb) || !p.number(kBitRate, 32, 320, &bitRate) ||
        !cli::readTruePeak(p, &settings.truePeakDb))
        return cli::UsageError;
    settings.bitRate = unsigned(bitRate);
    settings.reanalyse = p.isSet(kReanalyse);
    settings.dither = !p.isSet(cli::noDitherOption());
    if (!catalogError.isEmpty()) {
        cli::printError(QString(), catalogError);
        return cli::ProcessingError;
    }
    if (p.isSet(kReference)) {
        settings.reference = p.value(kReference);
        if (catalog.getReference(settings.reference).isEmpty())
            return p.usageError(QString("no reference curve named '%1' (see --list)").arg(settings.reference));
    }
    cli::OutputNaming names;
    const int naming = cli::readOutputNaming(p, kOutput, kFormat, "-corrected", &names);
    if (naming >= 0) return naming;
    if (parseOnly) return -1;
    const auto outputFor = [&](const QString& input) { return names.outputFor(input); };

    return cli::runBatch("correct", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        cli::CorrectResult r;
        if (!cli::correctFile(input, outputFor(input), settings, nullptr, r, index)) return out;
        out.ok = true;
        out.text = cli::correctSummary(r);
        out.json = cli::correctToJson(r);
        return out;
    });
}

cli::Job correct("correct", "moves recordings' spectral balance towards a reference curve",
               [](const QStringList& args) { return runCorrect(args, false); },
               [](const QStringList& args) { return runCorrect(args, true); });

}  // namespace
