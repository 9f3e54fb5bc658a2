// level: two-pass levelling of recordings to a target RMS, with the limiter.
#include "job_level.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include "Batch.h"
#include "Cli.h"
#include "Meters.h"
#include "OutputFiles.h"
#include "Progress.h"
#include "Statistics.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"

namespace cli {

bool levelFile(const QString& input, const QString& output, const LevelSettings& settings, const Analysis* analysis,
               LevelResult& out, int fileIndex, int pass, int passes) {
    out = LevelResult();
    out.input = input;
    out.output = output;
    out.targetDb = settings.targetDb;
    if (passes <= 0) passes = analysis ? 1 : 2;

    // Refused before the first pass, so that no time is spent on a file that
    // cannot be written.
    clearError();
    if (!mayWrite(output, input)) {
        printError(output, "will not write", lastError());
        return false;
    }
    Analysis own;
    if (!analysis) {
        if (!savedOrFreshAnalysis(input, regionsOnly(settings.thresholdDb), settings.reanalyse, own,
                                  &out.savedAnalysis, fileIndex, pass, passes))
            return false;
        analysis = &own;
    }
    out.rate = analysis->rate;
    out.regions = int(analysis->regions.size());
    out.stretches = analysis->stretches;

    std::unique_ptr<SoundReader> reader = openReader(input);
    if (!reader) {
        printError(input, "cannot read", lastError());
        return false;
    }
    OutputFile file(output);
    std::unique_ptr<SoundWriter> writer;
    if (file.ok())
        writer = openWriter(file.path(), reader->getSampleRate(),
                            formatFor(QFileInfo(output).suffix(), reader->getInputFormat()), settings.bitRate,
                            outputChannels(*reader), reader->getFrameNB());
    if (!writer) {
        printError(output, "cannot write", lastError());
        return false;
    }
    SoundIDTag tag;
    if (reader->getTags(tag) && (tag.hasText() || !tag.cover.isEmpty())) writer->setTags(tag);

    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const Stretch& s : out.stretches) spans.emplace_back(s.begin, s.begin + s.frames);
    auto before = SoundRef<LevelMeter>::make();
    auto after = SoundRef<LevelMeter>::make();
    after->setStretches(spans);
    before->setStretches(spans);

    auto chain = SoundRef<SoundAlgoComposite>::make("level");
    chain->pushAlgo(SoundRef<LevelMeter>::share(before.get()).release());
    chain->pushAlgo(SoundRef<SoundAlgoRMSAmplifier>::make(settings.targetDb, analysis->detector.get(), 3.0, 0, 10.0,
                                                          settings.maxGainDb)
                        .release());
    chain->pushAlgo(SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1).release());
    chain->pushAlgo(SoundRef<LevelMeter>::share(after.get()).release());
    SoundTools::Status status;
    {
        PassWatch watch(*chain, fileIndex, pass, passes);
        clearError();
        status = chain->processAll(*reader, writer.get());
    }
    writer->close();
    if (status != SoundTools::Ok || writer->hasFailed()) {
        if (status != SoundTools::Interrupted) printError(output, "cannot level", lastError());
        return false;
    }
    writer.reset();
    if (!file.commit()) {
        printError(output, "cannot write", lastError());
        return false;
    }
    out.rmsBefore = before->rmsDb();
    out.peakBefore = before->peakDb();
    out.rmsAfter = after->rmsDb();
    out.peakAfter = after->peakDb();
    out.stretchAfter = after->stretchRmsDb();
    return true;
}

QString levelSummary(const LevelResult& r) {
    const double rate = r.rate ? r.rate : 1;
    QString t = QString("%1 -> %2\n").arg(r.input, r.output);
    if (!r.savedAnalysis.isEmpty()) t += QString("  regions   from %1\n").arg(r.savedAnalysis);
    t += QString("  target    %1 RMS per region, %2 regions\n").arg(formatDb(r.targetDb)).arg(r.regions);
    t += QString("  before    RMS %1, peak %2\n").arg(formatDb(r.rmsBefore), formatDb(r.peakBefore));
    t += QString("  after     RMS %1, peak %2\n").arg(formatDb(r.rmsAfter), formatDb(r.peakAfter));
    for (size_t i = 0; i < r.stretches.size(); ++i) {
        const Stretch& s = r.stretches[i];
        t += QString("  %1%2 +%3  %4 -> %5\n")
                 .arg(i == 0 ? "stretches " : "          ")
                 .arg(formatTime(s.begin / rate), formatTime(s.frames / rate), formatDb(s.levelDb),
                      formatDb(i < r.stretchAfter.size() ? r.stretchAfter[i] : -INFINITY));
    }
    return t;
}

QJsonObject levelToJson(const LevelResult& r) {
    const double rate = r.rate ? r.rate : 1;
    QJsonObject o;
    o["file"] = r.input;
    o["output"] = r.output;
    o["target"] = r.targetDb;
    o["statisticsFile"] = r.savedAnalysis.isEmpty() ? QJsonValue() : QJsonValue(r.savedAnalysis);
    o["regions"] = r.regions;
    o["before"] = QJsonObject{{"rms", roundDb(r.rmsBefore)}, {"peak", roundDb(r.peakBefore)}};
    o["after"] = QJsonObject{{"rms", roundDb(r.rmsAfter)}, {"peak", roundDb(r.peakAfter)}};
    QJsonArray stretches;
    for (size_t i = 0; i < r.stretches.size(); ++i) {
        const Stretch& s = r.stretches[i];
        stretches.append(QJsonObject{{"start", roundSeconds(s.begin / rate)},
                                     {"length", roundSeconds(s.frames / rate)},
                                     {"before", roundDb(s.levelDb)},
                                     {"after", roundDb(i < r.stretchAfter.size() ? r.stretchAfter[i] : -INFINITY)}});
    }
    o["stretches"] = stretches;
    return o;
}

}  // namespace cli

namespace {

const QCommandLineOption kOutput({"o", "output"},
                                 "Output file (one input), or an existing folder for the outputs. Default: "
                                 "'<name>-levelled.<ext>' beside each input.",
                                 "name");
const QCommandLineOption kFormat({"f", "format"}, "Output format: wav, flac, ogg or mp3 (default: the input's).", "ext");
const QCommandLineOption kTarget({"t", "target"}, "RMS each region is brought to, in dB (default -14).", "dB", "-14");
const QCommandLineOption kMaxGain("max-gain", "Largest gain a region gets, in dB (default 12).", "dB", "12");
const QCommandLineOption kThreshold("threshold", "Noise threshold in dB below the loudest region (default -40).",
                                    "dB", "-40");
const QCommandLineOption kBitRate("bitrate", cli::bitRateHelp("output"), "kbit/s", "192");
const QCommandLineOption kReanalyse("reanalyse", "Find the regions again even when a statistics file of the input "
                                                 "(saved by analyse) holds them.");

int runLevel(const QStringList& args) {
    cli::JobParser p("level",
                     "Levels recordings region by region to a target RMS (two passes: regions, then the RMS "
                     "amplifier and the limiter); noise regions keep their level.",
                     cli::JobParser::Json | cli::JobParser::Batch | cli::JobParser::Writes);
    for (const QCommandLineOption& o : {kOutput, kFormat, kTarget, kMaxGain, kThreshold, kBitRate, kReanalyse}) p.addOption(o);
    p.addInputs("Recordings to level (wav, flac, ogg, mp3).", "files...");
    const int early = p.parse(args);
    if (early >= 0) return early;
    const QStringList inputs = p.inputs();
    if (inputs.isEmpty()) return p.usageError("no input file");

    cli::LevelSettings settings;
    double bitRate = 192;
    if (!p.number(kTarget, -60, 0, &settings.targetDb) || !p.number(kMaxGain, 0, 40, &settings.maxGainDb) ||
        !p.number(kThreshold, -120, 0, &settings.thresholdDb) || !p.number(kBitRate, 32, 320, &bitRate))
        return cli::UsageError;
    settings.bitRate = unsigned(bitRate);
    settings.reanalyse = p.isSet(kReanalyse);
    cli::OutputNaming names;
    const int naming = cli::readOutputNaming(p, kOutput, kFormat, "-levelled", &names);
    if (naming >= 0) return naming;
    const auto outputFor = [&](const QString& input) { return names.outputFor(input); };

    return cli::runBatch("level", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        cli::LevelResult r;
        if (!cli::levelFile(input, outputFor(input), settings, nullptr, r, index)) return out;
        out.ok = true;
        out.text = cli::levelSummary(r);
        out.json = cli::levelToJson(r);
        return out;
    });
}

cli::Job level("level", "levels recordings to a target RMS, region by region, with the limiter", runLevel);

}  // namespace
