// info: what a sound file holds — format, rate, channels, length, tags, cover.
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include "Batch.h"
#include "Cli.h"
#include "InputTags.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundSndfile.h"

namespace {

QString sampleFormatName(SoundTools::SoundFormat f) {
    switch (f) {
        case SoundTools::Pcm8: return "8-bit integer";
        case SoundTools::Pcm16: return "16-bit integer";
        case SoundTools::Pcm24: return "24-bit integer";
        case SoundTools::Pcm32: return "32-bit integer";
        case SoundTools::Float: return "32-bit float";
        case SoundTools::Double: return "64-bit float";
    }
    return "unknown";
}

QString sampleFormatKey(SoundTools::SoundFormat f) {
    switch (f) {
        case SoundTools::Pcm8: return "pcm8";
        case SoundTools::Pcm16: return "pcm16";
        case SoundTools::Pcm24: return "pcm24";
        case SoundTools::Pcm32: return "pcm32";
        case SoundTools::Float: return "float";
        case SoundTools::Double: return "double";
    }
    return "unknown";
}

struct TagField {
    const char* key;
    std::string SoundIDTag::*field;
};
const TagField kTagFields[] = {{"title", &SoundIDTag::title},     {"artist", &SoundIDTag::artist},
                               {"album", &SoundIDTag::album},     {"year", &SoundIDTag::year},
                               {"track", &SoundIDTag::track},     {"genre", &SoundIDTag::genre},
                               {"tracks", &SoundIDTag::trackTotal}, {"comment", &SoundIDTag::comment}};

// The container by the file's first bytes: the name's extension only chooses
// the reader, which may find other data than the name says.
QString containerOf(const QString& path, const QString& ext) {
    QFile f(path);
    QByteArray head;
    if (f.open(QIODevice::ReadOnly)) head = f.read(64);
    if ((head.startsWith("RIFF") || head.startsWith("RF64")) && head.mid(8, 4) == "WAVE") return "wav";
    if (head.startsWith("fLaC")) return "flac";
    if (head.startsWith("OggS")) return "ogg";
    if (head.startsWith("ID3") || (head.size() > 1 && uchar(head[0]) == 0xFF && (uchar(head[1]) & 0xE0) == 0xE0))
        return "mp3";
    return ext;
}

cli::FileOutcome describe(int, const QString& input) {
    cli::FileOutcome out;
    std::unique_ptr<SoundReader> reader = cli::openReader(input);
    if (!reader) {
        cli::printError(input, "cannot read", cli::lastError());
        return out;
    }
    const QString named = QFileInfo(input).suffix().toLower();
    const QString ext = containerOf(input, named);
    // The MP3 reader decodes to 16 bits whatever the encoder started from.
    const bool mp3 = ext == "mp3";
    QString format = mp3 ? QString("MP3") : QString("%1, %2").arg(ext.toUpper(), sampleFormatName(reader->getInputFormat()));
    if (ext != named) format += QString(" (named .%1)").arg(named);
    const unsigned channels = reader->getFileChannelNum();
    const SoundIDTag tag = cli::inputTags(input, *reader);

    QString text = input + "\n";
    text += QString("  format    %1\n").arg(format);
    text += QString("  rate      %1 Hz\n").arg(reader->getSampleRate());
    text += QString("  channels  %1%2\n").arg(channels).arg(channels > 2 ? " (" + cli::mixDownNote(channels) + ")" : "");
    text += QString("  length    %1 (%2 frames)\n")
                .arg(cli::formatTime(reader->getLength()))
                .arg(reader->getFrameNB());
    QJsonObject tags;
    for (const TagField& f : kTagFields) {
        const std::string& value = tag.*(f.field);
        // MP3 tags give a year and a track of 0 when the file has none.
        const bool numeric = f.field == &SoundIDTag::year || f.field == &SoundIDTag::track;
        if (value.empty() || (mp3 && numeric && value == "0")) continue;
        text += QString("  %1%2\n").arg(QString(f.key), -10).arg(QString::fromStdString(value));
        tags[f.key] = QString::fromStdString(value);
    }
    const bool cover = !tag.cover.isEmpty();
    if (cover)
        text += QString("  cover     %1, %2 bytes\n")
                    .arg(tag.coverMimeType.empty() ? QString("picture") : QString::fromStdString(tag.coverMimeType))
                    .arg(tag.cover.size());
    else
        text += "  cover     none\n";

    QJsonObject o;
    o["file"] = input;
    o["format"] = ext;
    o["sampleFormat"] = mp3 ? QString("mp3") : sampleFormatKey(reader->getInputFormat());
    o["sampleRate"] = int(reader->getSampleRate());
    o["channels"] = int(channels);
    o["mixedDownToStereo"] = channels > 2;
    o["frames"] = double(reader->getFrameNB());
    o["seconds"] = cli::roundSeconds(reader->getLength());
    o["length"] = cli::formatTime(reader->getLength());
    o["tags"] = tags;
    o["cover"] = cover;
    if (cover) {
        o["coverMimeType"] = QString::fromStdString(tag.coverMimeType);
        o["coverBytes"] = tag.cover.size();
    }
    out.ok = true;
    out.text = text;
    out.json = o;
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
