// info: what a sound file holds — format, rate, channels, length, tags, cover.
#include <QFileInfo>
#include <map>

#include "Batch.h"
#include "Cli.h"
#include "JobHost.h"
#include "JobPaths.h"
#include "tonewright/Info.h"
#include "tonewright/SoundFormats.h"

namespace {

QString sampleFormatName(const std::string& key) {
    static const std::map<std::string, QString> names = {
        {"pcm8", "8-bit integer"}, {"pcm16", "16-bit integer"}, {"pcm24", "24-bit integer"},
        {"pcm32", "32-bit integer"}, {"float", "32-bit float"},  {"double", "64-bit float"},
        {"vorbis", "Vorbis (lossy, no bit depth)"}, {"opus", "Opus (lossy, no bit depth)"}};
    const auto it = names.find(key);
    return it == names.end() ? QString("unknown") : it->second;
}

cli::FileOutcome describe(int index, const QString& input) {
    cli::FileOutcome out;
    const tonewright::JobResult<tonewright::InfoReport> result =
        tonewright::info({cli::jobPath(input)}, cli::jobControl(index));
    if (!result) {
        cli::printJobError(result.error());
        return out;
    }
    const tonewright::InfoReport& r = *result;
    const QString named = QFileInfo(input).suffix().toLower();
    const QString ext = cli::qtext(r.format);
    QString format = r.sampleFormat == "mp3" ? QString("MP3")
                                             : QString("%1, %2").arg(ext.toUpper(), sampleFormatName(r.sampleFormat));
    if (ext != named) format += QString(" (named .%1)").arg(named);

    QString text = input + "\n";
    text += QString("  format    %1\n").arg(format);
    text += QString("  rate      %1 Hz\n").arg(r.sampleRate);
    text += QString("  channels  %1%2\n").arg(r.channels).arg(r.mixedDownToStereo ? " (" + QString::fromStdString(tonewright::mixDownNote(r.channels)) + ")" : "");
    text += QString("  length    %1 (%2 frames)\n").arg(cli::qtext(r.length)).arg(r.frames);
    for (const auto& [key, value] : r.tags) text += QString("  %1%2\n").arg(cli::qtext(key), -10).arg(cli::qtext(value));
    if (r.cover)
        text += QString("  cover     %1, %2 bytes\n")
                    .arg(r.coverMimeType.empty() ? QString("picture") : cli::qtext(r.coverMimeType))
                    .arg(r.coverBytes);
    else
        text += "  cover     none\n";
    out.ok = true;
    out.text = text;
    out.json = cli::jsonObject(tonewright::toJson(r));
    return out;
}

// parseOnly: read and check the command line, and stop there (Cli.h, JobInfo::parse).
int runInfo(const QStringList& args, bool parseOnly) {
    cli::JobParser p("info", "Format, sample rate, channels, length, tags and cover picture of sound files.",
                     cli::JobParser::Json | cli::JobParser::Batch);
    p.addInputs("Sound files (wav, flac, ogg, mp3).", "files...");
    const int early = p.parse(args);
    if (early >= 0) return early;
    if (p.inputs().isEmpty()) return p.usageError("no input file");
    if (parseOnly) return -1;
    return cli::runBatch("info", p.inputs(), describe);
}

cli::Job info("info", "format, rate, channels, length, tags and cover of sound files",
              [](const QStringList& args) { return runInfo(args, false); },
              [](const QStringList& args) { return runInfo(args, true); });

}  // namespace
