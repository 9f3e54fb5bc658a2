// level: two-pass levelling of recordings to a target RMS, with the limiter.
#include "job_level.h"

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
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"

namespace cli {

namespace {
// The written loudness may miss the target by this much before another pass
// corrects it (independent meters agree with the library's within a few
// hundredths).
constexpr double kLoudnessToleranceLu = 0.25;
}  // namespace

bool levelFile(const QString& input, const QString& output, const LevelSettings& settings, const Analysis* analysis,
               LevelResult& out, int fileIndex, int pass, int passes) {
    out = LevelResult();
    out.input = input;
    out.output = output;
    out.loudnessTarget = settings.loudnessTarget;
    out.targetDb = settings.loudnessTarget ? settings.targetLufs : settings.targetDb;
    out.album = std::isfinite(settings.albumGainDb);
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
        AnalysisSettings fresh = regionsOnly(settings.thresholdDb);
        fresh.loudness = settings.loudnessTarget;
        if (!savedOrFreshAnalysis(input, fresh, settings.reanalyse, own,
                                  &out.savedAnalysis, fileIndex, pass, passes))
            return false;
        analysis = &own;
    }
    out.rate = analysis->rate;
    out.regions = int(analysis->regions.size());
    out.stretches = analysis->stretches;
    out.lufsBefore = analysis->loudness.integrated;
    out.lufsBeforeMeasured = analysis->loudness.measured;

    // The region target that gives the loudness asked for: levelled regions all
    // have the RMS T, so the recording's loudness moves by T - R, R the RMS of
    // its sound (noise regions keep their level and count for little).
    double ampTargetDb = settings.targetDb;
    RMSStepDetector* detector = analysis->detector.get();
    const bool album = std::isfinite(settings.albumGainDb);
    if (settings.loudnessTarget || album) {
        if (analysis->loudness.tooShort) {
            printError(input, "cannot be levelled to a loudness",
                       "the recording is shorter than one 400 ms gating block, so it has no integrated loudness");
            return false;
        }
        if (!std::isfinite(analysis->loudness.integrated)) {
            out.silent = true;  // nothing to measure: no gain at all
            ampTargetDb = 0.0;
            detector = nullptr;
        } else if (album) {
            ampTargetDb = settings.albumGainDb;  // without regions the amplifier is this fixed gain
            detector = nullptr;
        } else {
            double sum = 0, frames = 0;
            for (const RegionResult& r : analysis->regions)
                if (!r.noise && std::isfinite(r.levelDb)) {
                    sum += double(r.frames) * std::pow(10.0, r.levelDb / 10.0);
                    frames += double(r.frames);
                }
            const double soundRms = frames > 0 ? 10.0 * std::log10(sum / frames) : analysis->loudness.integrated;
            ampTargetDb = settings.targetLufs - (analysis->loudness.integrated - soundRms);
        }
    }

    SoundIDTag tag;
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const Stretch& s : out.stretches) spans.emplace_back(s.begin, s.begin + s.frames);
    SoundRef<LevelMeter> before, after;
    SoundRef<SoundAlgoLoudness> loudness;
    // One levelling pass into a fresh temporary of the output (a later pass
    // replaces an earlier one's); false after printing the error.
    std::unique_ptr<SoundOutputFile> file;
    auto levelPass = [&](double regionTargetDb, double lowerDb, double trimDb) {
        std::unique_ptr<SoundReader> reader;
        std::unique_ptr<SoundWriter> writer;
        if (!openPass(input, output, settings.bitRate, reader, file, writer, &tag)) return false;
        writer->setDither(settings.dither);
        before = SoundRef<LevelMeter>::make();
        after = SoundRef<LevelMeter>::make();
        loudness = SoundRef<SoundAlgoLoudness>::make(0.0);
        loudness->setTruePeakRate(kCheckRate);
        after->setStretches(spans);
        before->setStretches(spans);

        auto chain = SoundRef<SoundAlgoComposite>::make("level");
        chain->pushAlgo(SoundRef<LevelMeter>::share(before.get()).release());
        chain->pushAlgo(
            SoundRef<SoundAlgoRMSAmplifier>::make(regionTargetDb, detector, 3.0, 0, 10.0, settings.maxGainDb).release());
        chain->pushAlgo(SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1).release());
        chain->pushAlgo(truePeakStage(settings.truePeakDb, output, lowerDb).release());
        if (trimDb < 0.0) chain->pushAlgo(SoundRef<SoundAlgoScale>::make(trimDb).release());
        chain->pushAlgo(SoundRef<LevelMeter>::share(after.get()).release());
        chain->pushAlgo(SoundRef<SoundAlgoLoudness>::share(loudness.get()).release());
        return runPass(*chain, *reader, *writer, output, "level", fileIndex, pass, passes);
    };
    // Limiting and the gain bounds move the loudness a little, and a lossy
    // encoder changes both the loudness and the peaks of what it is given (the
    // MP3 writer also feeds it 95% of full scale): the output is measured as
    // written, decoded when the format is lossy, and further passes correct the
    // region target by the loudness missing and lower the limiter by what the
    // encoder added above the ceiling. The encoder's overshoot grows with the
    // level it is given, which the limiter alone may not hold: the last pass of
    // a lossy output never raises the level, and when the peaks are still too
    // high it scales the whole output down by their excess, which holds the
    // ceiling whatever the encoder does (the loudness then falls short).
    const bool lossy = isLossy(QFileInfo(output).suffix());
    const int passLimit = lossy ? 4 : 2;
    double lowerDb = 0.0, trimDb = 0.0;
    double wanted = settings.targetLufs;
    WrittenFigures written;
    for (int attempt = 0;; ++attempt) {
        if (!levelPass(ampTargetDb, lowerDb, trimDb)) return false;
        written.integrated = loudness->getIntegrated();
        written.truePeak = loudness->getTruePeak();
        // An album keeps the loudness its one gain gives in the chain; only
        // what the writing loses is made up.
        if (attempt == 0 && album) wanted = written.integrated;
        WrittenFigures decoded;
        const bool measured = lossy && measureWritten(file->path(), &decoded);
        if (measured) written = decoded;
        if (out.silent || attempt + 1 == passLimit || (lossy && !measured)) break;
        const bool toLoudness =
            (settings.loudnessTarget || album) && std::isfinite(written.integrated) && std::isfinite(wanted);
        double missing = toLoudness ? wanted - written.integrated : 0.0;
        const double excess = measured ? ceilingCorrectionDb(written.truePeak, settings.truePeakDb) : 0.0;
        const bool last = lossy && attempt + 2 == passLimit;
        if (last) missing = std::min(missing, 0.0);
        if (std::fabs(missing) <= kLoudnessToleranceLu && excess == 0.0) break;
        if (last && excess > 0.0) {
            trimDb -= excess;
        } else {
            ampTargetDb += missing;
            lowerDb += excess;
        }
    }
    if (!file->commit(options().overwrite)) {
        printError(output, "cannot write", lastError());
        return false;
    }
    out.regionTargetDb = ampTargetDb;
    out.lufsAfter = written.integrated;
    out.truePeakAfter = written.truePeak;
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
    const QString regions = QString::number(r.regions) + (r.regions == 1 ? " region" : " regions");
    if (!r.savedAnalysis.isEmpty()) t += QString("  regions   from %1\n").arg(r.savedAnalysis);
    if (r.silent)
        t += "  target    none: the recording is silent (-inf LUFS), no gain applied\n";
    else if (r.album)
        t += QString("  target    %1 for the album, one gain of %2\n")
                 .arg(formatLoudness(r.targetDb, "LUFS"), formatDb(r.regionTargetDb));
    else if (r.loudnessTarget)
        t += QString("  target    %1 integrated: %2 RMS per region, %3\n")
                 .arg(formatLoudness(r.targetDb, "LUFS"), formatDb(r.regionTargetDb), regions);
    else
        t += QString("  target    %1 RMS per region, %2\n").arg(formatDb(r.targetDb), regions);
    t += QString("  before    RMS %1, peak %2").arg(formatDb(r.rmsBefore), formatDb(r.peakBefore));
    t += r.lufsBeforeMeasured ? QString(", loudness %1\n").arg(formatLoudness(r.lufsBefore, "LUFS")) : QString("\n");
    t += QString("  after     RMS %1, peak %2, loudness %3, true peak %4\n")
             .arg(formatDb(r.rmsAfter), formatDb(r.peakAfter), formatLoudness(r.lufsAfter, "LUFS"),
                  formatLoudness(r.truePeakAfter, "dBTP"));
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
    o["targetUnit"] = r.loudnessTarget ? "LUFS" : "dB";
    o["album"] = r.album;
    o["silent"] = r.silent;
    o["regionTarget"] = std::isfinite(r.regionTargetDb) ? QJsonValue(roundDb(r.regionTargetDb)) : QJsonValue();
    const auto lufs = [](double v) { return std::isfinite(v) ? QJsonValue(std::round(v * 100.0) / 100.0) : QJsonValue(); };
    o["statisticsFile"] = r.savedAnalysis.isEmpty() ? QJsonValue() : QJsonValue(r.savedAnalysis);
    o["regions"] = r.regions;
    o["before"] = QJsonObject{{"rms", roundDb(r.rmsBefore)}, {"peak", roundDb(r.peakBefore)}, {"loudness", lufs(r.lufsBefore)}};
    o["after"] = QJsonObject{{"rms", roundDb(r.rmsAfter)},
                             {"peak", roundDb(r.peakAfter)},
                             {"loudness", lufs(r.lufsAfter)},
                             {"truePeak", lufs(r.truePeakAfter)}};
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
const QCommandLineOption kTarget({"t", "target"},
                                 "Target: an integrated loudness such as -14LUFS (from -70 to 0), or the RMS each "
                                 "region is brought to in dB (default -14).",
                                 "level", "-14");
const QCommandLineOption kAlbum("album", "Level the inputs as one album to a loudness target: one gain for all, so the "
                                         "differences between the tracks stay.");
const QCommandLineOption kMaxGain("max-gain", "Largest gain a region gets, in dB (default 12).", "dB", "12");
const QCommandLineOption kThreshold("threshold", "Noise threshold in dB below the loudest region (default -40).",
                                    "dB", "-40");
const QCommandLineOption kBitRate("bitrate", cli::bitRateHelp("output"), "kbit/s", "192");
const QCommandLineOption kReanalyse("reanalyse", "Find the regions again even when a statistics file of the input "
                                                 "(saved by analyse) holds them.");

// parseOnly: read and check the command line, and stop there (Cli.h, JobInfo::parse).
int runLevel(const QStringList& args, bool parseOnly) {
    cli::JobParser p("level",
                     "Levels recordings region by region to an integrated loudness (-14LUFS) or a target RMS (two "
                     "passes: regions and loudness, then the RMS amplifier and the limiter); noise regions keep their "
                     "level.",
                     cli::JobParser::Json | cli::JobParser::Batch | cli::JobParser::Writes);
    for (const QCommandLineOption& o : {kOutput, kFormat, kTarget, kAlbum, kMaxGain, kThreshold, kBitRate, kReanalyse}) p.addOption(o);
    p.addOption(cli::truePeakOption());
    p.addOption(cli::noDitherOption());
    p.addInputs("Recordings to level (wav, flac, ogg, mp3).", "files...");
    const int early = p.parse(args);
    if (early >= 0) return early;
    const QStringList inputs = p.inputs();
    if (inputs.isEmpty()) return p.usageError("no input file");

    cli::LevelSettings settings;
    double bitRate = 192;
    QString target = p.value(kTarget).trimmed();
    if (target.endsWith("LUFS", Qt::CaseInsensitive)) {
        bool ok = false;
        settings.targetLufs = target.left(target.size() - 4).trimmed().toDouble(&ok);
        if (!ok || !(settings.targetLufs >= -70.0 && settings.targetLufs <= 0.0))
            return p.usageError("--target " + target + ": a loudness target must lie from -70 to 0 LUFS");
        settings.loudnessTarget = true;
    } else {
        if (target.endsWith("dB", Qt::CaseInsensitive)) target.chop(2);
        bool ok = false;
        settings.targetDb = target.trimmed().toDouble(&ok);
        if (!ok || !(settings.targetDb >= -60.0 && settings.targetDb <= 0.0))
            return p.usageError("--target " + p.value(kTarget) + ": give dB from -60 to 0, or a loudness such as -14LUFS");
    }
    if (!cli::readTruePeak(p, &settings.truePeakDb)) return cli::UsageError;
    const bool album = p.isSet(kAlbum);
    if (album && !settings.loudnessTarget) return p.usageError("--album levels to a loudness: give --target in LUFS");
    if (!p.number(kMaxGain, 0, 40, &settings.maxGainDb) ||
        !p.number(kThreshold, -120, 0, &settings.thresholdDb) || !p.number(kBitRate, 32, 320, &bitRate))
        return cli::UsageError;
    settings.bitRate = unsigned(bitRate);
    settings.reanalyse = p.isSet(kReanalyse);
    settings.dither = !p.isSet(cli::noDitherOption());
    cli::OutputNaming names;
    const int naming = cli::readOutputNaming(p, kOutput, kFormat, "-levelled", &names);
    if (naming >= 0) return naming;
    if (parseOnly) return -1;
    const auto outputFor = [&](const QString& input) { return names.outputFor(input); };

    // An album is measured first, all tracks, for its loudness; then each track
    // gets the one gain that brings the album to the target.
    std::vector<cli::Analysis> tracks(album ? size_t(inputs.size()) : 0);
    if (album) {
        cli::AnalysisSettings s = cli::regionsOnly(settings.thresholdDb);
        s.loudness = true;
        std::vector<const cli::Analysis*> measured;
        for (int i = 0; i < inputs.size(); ++i) {
            if (!cli::analyseFile(inputs[i], s, tracks[size_t(i)], i, 0, 2)) {
                if (!cli::interrupted()) cli::printError(inputs[i], "cannot measure the loudness", cli::lastError());
                return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
            }
            measured.push_back(&tracks[size_t(i)]);
        }
        const cli::AlbumLoudness figures = cli::albumLoudness(measured);
        // A silent album gets no gain.
        settings.albumGainDb = std::isfinite(figures.integrated) ? settings.targetLufs - figures.integrated : 0.0;
    }

    return cli::runBatch("level", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        cli::LevelResult r;
        const cli::Analysis* analysis = album ? &tracks[size_t(index)] : nullptr;
        if (!cli::levelFile(input, outputFor(input), settings, analysis, r, index, album ? 1 : 0, album ? 2 : 0))
            return out;
        out.ok = true;
        out.text = cli::levelSummary(r);
        out.json = cli::levelToJson(r);
        return out;
    });
}

cli::Job level("level", "levels recordings to a loudness or an RMS target, region by region, with the limiter",
               [](const QStringList& args) { return runLevel(args, false); },
               [](const QStringList& args) { return runLevel(args, true); });

}  // namespace
