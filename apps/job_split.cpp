// split: one numbered file per stretch of sound of recordings.
#include "job_split.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include "Batch.h"
#include "Cli.h"
#include "OutputFiles.h"
#include "Progress.h"
#include "Statistics.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundWriterMultiFile.h"

namespace cli {

bool splitFile(const QString& input, const QString& outputTemplate, const SplitSettings& settings,
               const Analysis* analysis, SplitResult& out, int fileIndex, int pass, int passes) {
    out = SplitResult();
    out.input = input;
    out.dryRun = settings.dryRun;
    if (passes <= 0) passes = std::max(1, (analysis ? 0 : 1) + (settings.dryRun ? 0 : 1));

    Analysis own;
    if (!analysis) {
        if (!savedOrFreshAnalysis(input, regionsOnly(settings.thresholdDb), settings.reanalyse, own,
                                  &out.savedAnalysis, fileIndex, pass, passes))
            return false;
        analysis = &own;
    }
    out.rate = analysis->rate;
    const std::vector<Stretch> plan = longStretches(*analysis, settings.minLength);

    std::unique_ptr<SoundReader> reader = openReader(input);
    if (!reader) {
        printError(input, "cannot read", lastError());
        return false;
    }
    if (reader->getSampleRate() != analysis->rate || int64_t(reader->getFrameNB()) != analysis->frames) {
        printError(input, "the analysis belongs to another version of the file");
        return false;
    }
    const QString ext = QFileInfo(outputTemplate).suffix();
    SoundWriterMultiFile writer(analysis->detector.get(), settings.minLength, reader->getSampleRate(), 2,
                                settings.bitRate, formatFor(ext, reader->getInputFormat()));
    if (!isWritableExtension(ext)) {
        printError(outputTemplate, "cannot write pieces here", "use one of " + writableExtensions());
        return false;
    }
    // The pieces are made in a temporary folder beside their final place (made
    // when missing) and moved there together once all are complete. A dry run
    // makes nothing: its names are numbered from the same file name anywhere.
    const QString destination = QFileInfo(outputTemplate).path(), templateName = QFileInfo(outputTemplate).fileName();
    std::unique_ptr<OutputFolder> folder;
    if (!settings.dryRun) {
        folder = std::make_unique<OutputFolder>(destination);
        if (!folder->ok()) {
            printError(outputTemplate, "cannot write pieces here", lastError());
            return false;
        }
    }
    clearError();
    if (writer.open(folder ? folder->path(templateName) : templateName) != SoundTools::Ok) {
        printError(outputTemplate, "cannot write pieces here", lastError());
        return false;
    }
    const auto finalName = [&](const QString& made) { return QDir(destination).filePath(QFileInfo(made).fileName()); };
    // Every name is checked before anything is written: an existing file stops
    // the whole recording, not its third piece.
    for (size_t k = 0; k < plan.size(); ++k) {
        SplitPiece piece;
        piece.file = finalName(writer.getSegmentName(int(k) + 1));
        piece.begin = plan[k].begin;
        piece.frames = plan[k].frames;
        piece.levelDb = plan[k].levelDb;
        if (!settings.dryRun && !mayWrite(piece.file, input)) {
            printError(piece.file, "will not write", lastError());
            return false;
        }
        out.pieces.push_back(piece);
    }
    if (settings.dryRun || plan.empty()) return true;

    SoundIDTag tag;
    if (reader->getTags(tag) && tag.hasText()) writer.setTags(tag);
    // Nothing to process: the writer takes the frames straight from the input buffer.
    auto pass1 = SoundRef<SoundAlgoSelectChannel>::make(0, 1);
    SoundTools::Status status;
    {
        PassWatch watch(*pass1, fileIndex, pass, passes);
        clearError();
        status = pass1->processAll(*reader, &writer);
    }
    writer.close();
    if (status == SoundTools::Interrupted) return false;
    if (status != SoundTools::Ok || writer.hasFailed()) {
        if (!interrupted()) printError(input, "cannot write the pieces", lastError());
        return false;
    }
    QStringList written;
    for (const QString& f : writer.getFileNames()) written << QFileInfo(f).fileName();
    if (!folder->commit(written)) {
        printError(input, "cannot write the pieces", lastError());
        return false;
    }
    for (QString& f : written) f = folder->finalPath(f);
    if (written.size() != int(out.pieces.size())) {
        printWarning(input, QString("%1 pieces written, %2 expected").arg(written.size()).arg(out.pieces.size()));
        out.pieces.resize(std::min(out.pieces.size(), size_t(written.size())));
    }
    // A piece starts where its sound starts: the writer leaves out the digital
    // silence at its head, which the file's length tells.
    for (size_t k = 0; k < out.pieces.size(); ++k) {
        SplitPiece& piece = out.pieces[k];
        piece.file = written[int(k)];
        std::unique_ptr<SoundReader> check = openReader(piece.file);
        if (!check) continue;
        const int64_t frames = check->getFrameNB();
        if (frames > 0 && frames <= piece.frames) {
            piece.begin += piece.frames - frames;
            piece.frames = frames;
        }
    }
    return true;
}

QString splitSummary(const SplitResult& r) {
    const double rate = r.rate ? r.rate : 1;
    QString t = QString("%1: %2 %3 file%4%5\n")
                    .arg(r.input)
                    .arg(r.dryRun ? "would write" : "wrote")
                    .arg(r.pieces.size())
                    .arg(r.pieces.size() == 1 ? "" : "s")
                    .arg(r.savedAnalysis.isEmpty() ? QString() : " (regions from " + r.savedAnalysis + ")");
    for (const SplitPiece& p : r.pieces)
        t += QString("  %1  start %2  length %3  level %4\n")
                 .arg(p.file)
                 .arg(formatTime(p.begin / rate), formatTime(p.frames / rate), formatDb(p.levelDb));
    return t;
}

QJsonObject splitToJson(const SplitResult& r) {
    const double rate = r.rate ? r.rate : 1;
    QJsonObject o;
    o["file"] = r.input;
    o["dryRun"] = r.dryRun;
    o["statisticsFile"] = r.savedAnalysis.isEmpty() ? QJsonValue() : QJsonValue(r.savedAnalysis);
    QJsonArray files;
    for (const SplitPiece& p : r.pieces) {
        QJsonObject j;
        j["file"] = p.file;
        j["start"] = roundSeconds(p.begin / rate);
        j["length"] = roundSeconds(p.frames / rate);
        j["level"] = roundDb(p.levelDb);
        files.append(j);
    }
    o["files"] = files;
    return o;
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
const QCommandLineOption kMinLength("min-length", "Shortest stretch of sound that gets a file, in seconds (default 2).",
                                    "seconds", "2");
const QCommandLineOption kThreshold("threshold", "Noise threshold in dB below the loudest region (default -40).",
                                    "dB", "-40");
const QCommandLineOption kBitRate("bitrate", cli::bitRateHelp("pieces"), "kbit/s", "192");
const QCommandLineOption kDryRun({"n", "dry-run"}, "Print the pieces without writing them.");
const QCommandLineOption kReanalyse("reanalyse", "Find the regions again even when a statistics file of the input "
                                                 "(saved by analyse) holds them.");

int runSplit(const QStringList& args) {
    cli::JobParser p("split",
                     "Cuts recordings into one numbered file per stretch of sound between silences, with the "
                     "tags of the input and the piece's track number.",
                     cli::JobParser::Json | cli::JobParser::Batch | cli::JobParser::Writes);
    for (const QCommandLineOption& o : {kOutput, kFormat, kMinLength, kThreshold, kBitRate, kDryRun, kReanalyse}) p.addOption(o);
    p.addInputs("Recordings to split (wav, flac, ogg, mp3).", "files...");
    const int early = p.parse(args);
    if (early >= 0) return early;
    const QStringList inputs = p.inputs();
    if (inputs.isEmpty()) return p.usageError("no input file");

    cli::SplitSettings settings;
    double bitRate = 192;
    if (!p.number(kMinLength, 0.01, 86400, &settings.minLength) || !p.number(kThreshold, -120, 0, &settings.thresholdDb) ||
        !p.number(kBitRate, 32, 320, &bitRate))
        return cli::UsageError;
    settings.bitRate = unsigned(bitRate);
    settings.dryRun = p.isSet(kDryRun);
    settings.reanalyse = p.isSet(kReanalyse);
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

    for (int i = 0; i < inputs.size(); ++i)
        for (int j = 0; j < i; ++j)
            if (cli::normalisedPath(templateFor(inputs[i])) == cli::normalisedPath(templateFor(inputs[j])))
                return p.usageError("two inputs would write the same files, " + templateFor(inputs[i]));

    return cli::runBatch("split", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        cli::SplitResult r;
        if (!cli::splitFile(input, templateFor(input), settings, nullptr, r, index)) return out;
        out.ok = true;
        out.text = cli::splitSummary(r);
        out.json = cli::splitToJson(r);
        return out;
    });
}

cli::Job split("split", "one numbered file per stretch of sound of recordings", runSplit);

}  // namespace
