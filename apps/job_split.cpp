// split: one file per piece of recordings, cut inside the gaps between them.
#include <QDir>
#include <QFileInfo>

#include "Batch.h"
#include "Cli.h"
#include "JobHost.h"
#include "JobPaths.h"
#include "tonewright/SoundNameTemplate.h"
#include "tonewright/Split.h"

namespace cli {

QString splitSummary(const tonewright::SplitReport& r) {
    const double rate = r.rate ? r.rate : 1;
    QString t = QString("%1: %2 %3 file%4, cut at %5\n")
                    .arg(qtext(r.input))
                    .arg(r.dryRun ? "would write" : "wrote")
                    .arg(r.pieces.size())
                    .arg(r.pieces.size() == 1 ? "" : "s")
                    .arg(r.cutsFrom == "gaps" ? QString("%1 gap%2").arg(r.gaps.size()).arg(r.gaps.size() == 1 ? "" : "s")
                                              : "the tracks of " + qtext(r.cutsFrom));
    for (const std::string& n : r.notes) t += "  note: " + qtext(n) + "\n";
    for (const tonewright::SplitPiece& p : r.pieces)
        t += QString("  %1  track %2  start %3  length %4  level %5%6  %7\n")
                 .arg(qtext(p.file))
                 .arg(p.number)
                 .arg(formatTime(p.begin / rate), formatTime(p.frames / rate), formatDb(p.levelDb),
                      p.isShort ? "  short" : "", qtext(p.title));
    for (const std::string& f : {r.cueFile, r.m3uFile})
        if (!f.empty()) t += "  " + qtext(f) + "\n";
    return t;
}

void printSplitError(const tonewright::JobError& e, const QString& input) {
    // The library speaks of the name template; here it is --name.
    if (e.file == "nameTemplate") {
        printError(input, "bad --name", qtext(e.cause));
        return;
    }
    tonewright::JobError named = e;
    named.cause = qtext(e.cause).replace("the name template", "--name").toStdString();
    printJobError(named);
}

}  // namespace cli

namespace {

const QCommandLineOption kOutput({"o", "output"},
                                 "Name the pieces are numbered from (one input; 'dir/Side A.flac' gives "
                                 "'dir/001-Side A.flac', ...), or an existing folder for them. Default: beside "
                                 "each input, numbered from its name.",
                                 "name");
const QCommandLineOption kFormat({"f", "format"}, "Format of the pieces: wav, flac, ogg or mp3 (default: the input's).",
                                 "ext");
const QCommandLineOption kMinSilence("min-silence", "Shortest silence that separates two pieces, in seconds "
                                                    "(default 0.4, at least 0.1).",
                                     "seconds", "0.4");
const QCommandLineOption kThreshold("threshold", "A gap is at least this far below the recording's level, in dB "
                                                 "(default -40); it must also lie at the noise floor.",
                                    "dB", "-40");
const QCommandLineOption kCutAt("cut-at", "Where to cut inside each gap: 0 at its start, 1 at its end (default 0.5, "
                                          "the middle).",
                                "fraction", "0.5");
const QCommandLineOption kKeep("keep", "Instead of --cut-at: keep this much silence before and after each piece "
                                       "(seconds, 'before,after' or one value for both) and leave out the rest.",
                               "seconds");
const QCommandLineOption kMinLength("min-length", "Pieces shorter than this (seconds, default 2) are reported.",
                                    "seconds", "2");
const QCommandLineOption kMergeShort("merge-short", "Merge pieces shorter than --min-length into a neighbour.");
const QCommandLineOption kName("name", "Names of the pieces, as '{n:02} - {title}': fields n, total, title, artist, "
                                       "album, genre, date, name (the input's name). The extension is added.",
                               "template");
const QCommandLineOption kCue("cue", "Write a CUE sheet of the album beside the pieces: a track at each piece (cuts "
                                     "moved to whole CD frames of 1/75 s), which --from-cue reads back to the same "
                                     "pieces.");
const QCommandLineOption kM3u("m3u", "Write an M3U playlist of the pieces beside them.");
const QCommandLineOption kFromCue("from-cue", "Cut at the tracks of this CUE sheet instead of at gaps (one input).",
                                  "file.cue");
const QCommandLineOption kBitRate("bitrate", cli::bitRateHelp("pieces"), "kbit/s", "192");
const QCommandLineOption kDryRun({"n", "dry-run"}, "Print the pieces without writing anything.");

// parseOnly: read and check the command line, and stop there (Cli.h, JobInfo::parse).
int runSplit(const QStringList& args, bool parseOnly) {
    cli::JobParser p("split",
                     "Cuts recordings into one file per piece, inside the silences between them (or at the tracks "
                     "of a CUE sheet), with the tags of the input, the piece's track number and title, and the "
                     "cover.",
                     cli::JobParser::Json | cli::JobParser::Batch | cli::JobParser::Writes);
    for (const QCommandLineOption& o : {kOutput, kFormat, kMinSilence, kThreshold, kCutAt, kKeep, kMinLength,
                                        kMergeShort, kName, kCue, kM3u, kFromCue, kBitRate, kDryRun})
        p.addOption(o);
    p.addInputs("Recordings to split (wav, flac, ogg, mp3).", "files...");
    const int early = p.parse(args);
    if (early >= 0) return early;
    const QStringList inputs = p.inputs();
    if (inputs.isEmpty()) return p.usageError("no input file");

    tonewright::SplitSettings settings;
    double bitRate = 192;
    if (!p.number(kMinSilence, 0.1, 600, &settings.minSilence) || !p.number(kThreshold, -120, 0, &settings.thresholdDb) ||
        !p.number(kCutAt, 0, 1, &settings.cutAt) || !p.number(kMinLength, 0, 86400, &settings.minLength) ||
        !p.number(kBitRate, 32, 320, &bitRate))
        return cli::UsageError;
    if (p.isSet(kKeep)) {
        if (p.isSet(kCutAt)) return p.usageError("--keep and --cut-at exclude each other");
        const QStringList v = p.value(kKeep).split(',');
        bool ok1 = false, ok2 = false;
        settings.keepBefore = v.value(0).toDouble(&ok1);
        settings.keepAfter = v.size() > 1 ? v.value(1).toDouble(&ok2) : settings.keepBefore;
        if (v.size() == 1) ok2 = ok1;
        if (v.size() > 2 || !ok1 || !ok2 || settings.keepBefore < 0 || settings.keepAfter < 0 ||
            settings.keepBefore > 3600 || settings.keepAfter > 3600)
            return p.usageError("--keep takes seconds, as 0.5 or 0.5,1.5");
        settings.keep = true;
    }
    settings.mergeShort = p.isSet(kMergeShort);
    settings.bitRate = unsigned(bitRate);
    settings.dryRun = p.isSet(kDryRun);
    settings.nameTemplate = p.value(kName).toStdString();
    settings.cue = p.isSet(kCue);
    settings.m3u = p.isSet(kM3u);
    settings.fromCue = cli::jobPath(p.value(kFromCue));
    if (p.isSet(kName)) {
        SoundNameTemplate t;
        QString why;
        if (!t.parse(p.value(kName), &why)) return p.usageError("--name: " + why);
    }
    if (p.isSet(kFromCue) && inputs.size() > 1) return p.usageError("--from-cue takes one input");
    const QString format = p.value(kFormat).toLower();
    if (p.isSet(kFormat) && !cli::isWritableExtension(format))
        return p.usageError("--format must be one of " + cli::writableExtensions());

    // Where each input's pieces go.
    const QString output = p.value(kOutput);
    const bool toFolder = p.isSet(kOutput) && (QFileInfo(output).isDir() || output.endsWith('/'));
    if (p.isSet(kOutput) && !toFolder && inputs.size() > 1)
        return p.usageError("with several inputs, --output must be a folder");
    if (p.isSet(kOutput) && !toFolder && !cli::isWritableExtension(QFileInfo(output).suffix()))
        return p.usageError("the name of --output must end in one of " + cli::writableExtensions());
    if (p.isSet(kOutput) && !toFolder && p.isSet(kFormat) && QFileInfo(output).suffix().toLower() != format)
        return p.usageError("--format and the extension of --output disagree");
    auto templateFor = [&](const QString& input) {
        if (p.isSet(kOutput) && !toFolder) return output;
        const QFileInfo in(input);
        const QString ext = p.isSet(kFormat) ? format : in.suffix().toLower();
        const QString dir = toFolder ? output : in.path();
        return QDir(dir).filePath(in.completeBaseName() + "." + ext);
    };

    std::vector<QString> templates;
    for (const QString& input : inputs) templates.push_back(templateFor(input));
    const QString repeated = cli::firstRepeatedName(templates);
    if (!repeated.isEmpty()) return p.usageError("two inputs would write the same files, " + repeated);
    if (parseOnly) return -1;

    return cli::runBatch("split", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        tonewright::SplitSettings s = settings;
        s.input = cli::jobPath(input);
        s.output = cli::jobPath(templateFor(input));
        const tonewright::JobResult<tonewright::SplitReport> r = tonewright::split(s, cli::jobControl(index));
        if (!r) {
            cli::printSplitError(r.error(), input);
            return out;
        }
        out.ok = true;
        out.text = cli::splitSummary(*r);
        out.json = cli::jsonObject(tonewright::toJson(*r));
        return out;
    });
}

cli::Job split("split", "one file per piece of recordings, cut inside the gaps between them",
               [](const QStringList& args) { return runSplit(args, false); },
               [](const QStringList& args) { return runSplit(args, true); });

}  // namespace
