// level: two-pass levelling of recordings to a target RMS, with the limiter.
#include <QFileInfo>

#include "Analysis.h"
#include "Batch.h"
#include "Ceiling.h"
#include "Cli.h"
#include "JobHost.h"
#include "JobPaths.h"
#include "Progress.h"
#include "Reports.h"

namespace cli {

QString levelSummary(const tonewright::LevelReport& r) {
    const double rate = r.rate ? r.rate : 1;
    QString t = QString("%1 -> %2\n").arg(pathText(r.input), pathText(r.output));
    const QString regions = QString::number(r.regions) + (r.regions == 1 ? " region" : " regions");
    if (!r.statisticsFile.empty()) t += QString("  regions   from %1\n").arg(pathText(r.statisticsFile));
    if (r.silent)
        t += "  target    none: the recording is silent (-inf LUFS), no gain applied\n";
    else if (r.album)
        t += QString("  target    %1 for the album, one gain of %2\n")
                 .arg(formatLoudness(r.target, "LUFS"), formatDb(r.regionTarget));
    else if (r.loudnessTarget)
        t += QString("  target    %1 integrated: %2 RMS per region, %3\n")
                 .arg(formatLoudness(r.target, "LUFS"), formatDb(r.regionTarget), regions);
    else
        t += QString("  target    %1 RMS per region, %2\n").arg(formatDb(r.target), regions);
    t += QString("  before    RMS %1, peak %2").arg(formatDb(r.rmsBefore), formatDb(r.peakBefore));
    t += r.loudnessBeforeMeasured ? QString(", loudness %1\n").arg(formatLoudness(r.loudnessBefore, "LUFS"))
                                  : QString("\n");
    t += QString("  after     RMS %1, peak %2, loudness %3, true peak %4\n")
             .arg(formatDb(r.rmsAfter), formatDb(r.peakAfter), formatLoudness(r.loudnessAfter, "LUFS"),
                  formatLoudness(r.truePeakAfter, "dBTP"));
    for (size_t i = 0; i < r.stretches.size(); ++i) {
        const tonewright::LevelStretch& s = r.stretches[i];
        t += QString("  %1%2 +%3  %4 -> %5\n")
                 .arg(i == 0 ? "stretches " : "          ")
                 .arg(formatTime(s.begin / rate), formatTime(s.frames / rate), formatDb(s.before), formatDb(s.after));
    }
    return t;
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

    tonewright::LevelSettings settings;
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
    tonewright::LevelAlbum albumMeasured;
    if (album) {
        std::vector<std::filesystem::path> paths;
        for (const QString& i : inputs) paths.push_back(cli::jobPath(i));
        tonewright::JobControl control = cli::jobControl(0);
        // One measuring pass per track: the first half of each file's bar.
        control.progress = [](const tonewright::JobProgress& p) {
            cli::progress::set(p.pass, p.total > 0 ? 0.5 * std::min(1.0, double(p.done) / double(p.total)) : 0.0);
            return !cli::interrupted();
        };
        tonewright::JobResult<tonewright::LevelAlbum> measured = tonewright::measureAlbum(paths, settings, control);
        if (!measured) {
            if (!cli::interrupted()) cli::printJobError(measured.error());
            return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
        }
        albumMeasured = std::move(*measured);
    }

    return cli::runBatch("level", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        tonewright::LevelSettings s = settings;
        s.input = cli::jobPath(input);
        s.output = cli::jobPath(outputFor(input));
        const tonewright::JobResult<tonewright::LevelReport> r =
            album ? tonewright::levelAlbumTrack(s, albumMeasured,
                                                cli::jobControl(index, [](double f) { return 0.5 + 0.5 * f; }))
                  : tonewright::level(s, cli::jobControl(index));
        if (!r) {
            cli::printJobError(r.error());
            return out;
        }
        out.ok = true;
        out.text = cli::levelSummary(*r);
        out.json = cli::jsonObject(tonewright::toJson(*r));
        return out;
    });
}
cli::Job level("level", "levels recordings to a loudness or an RMS target, region by region, with the limiter",
               [](const QStringList& args) { return runLevel(args, false); },
               [](const QStringList& args) { return runLevel(args, true); });

}  // namespace
