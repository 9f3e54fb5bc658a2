// info: the header and tags of a sound file as a report.
#include "tonewright/Info.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include "jobs/InputTags.h"
#include "jobs/JobContext.h"
#include "tonewright/SoundFormats.h"

namespace tonewright {

namespace {

// The codec of an Ogg stream, by the first packet of its first page.
std::string oggCodec(const QString& file) {
    QFile f(file);
    const QByteArray head = f.open(QIODevice::ReadOnly) ? f.read(64) : QByteArray();
    return head.contains("OpusHead") ? "opus" : "vorbis";
}

struct TagField {
    const char* key;
    std::string SoundIDTag::*field;
};
const TagField kTagFields[] = {{"title", &SoundIDTag::title},     {"artist", &SoundIDTag::artist},
                               {"album", &SoundIDTag::album},     {"year", &SoundIDTag::year},
                               {"track", &SoundIDTag::track},     {"genre", &SoundIDTag::genre},
                               {"tracks", &SoundIDTag::trackTotal}, {"comment", &SoundIDTag::comment}};

}  // namespace

JobResult<InfoReport> info(const InfoSettings& settings, const JobControl& control) {
    if (settings.input.empty()) return JobError{JobError::Kind::Setting, "input", "no input file", ""};
    detail::JobContext ctx(control, 0);
    const QString input = detail::qpath(settings.input);
    std::unique_ptr<SoundReader> reader = detail::openReader(input);
    if (!reader) {
        ctx.fail(JobError::Kind::Input, input, "cannot read", detail::lastError());
        return ctx.error();
    }
    const QString named = QFileInfo(input).suffix().toLower();
    const SoundFileFormat* sniffed = sniffFormat(input);
    const QString ext = sniffed ? QString(sniffed->extension) : named;
    // The MP3 reader decodes to 16 bits whatever the encoder started from.
    const bool mp3 = ext == "mp3";
    const SoundIDTag tag = detail::inputTags(input, *reader);

    InfoReport r;
    r.file = detail::str(input);
    r.format = detail::str(ext);
    const SoundFileFormat* format = sniffed ? sniffed : formatOfExtension(r.format);
    r.lossy = format && format->lossy;
    // A lossy stream has no bit depth (its reader names 16 bits): the codec instead.
    r.sampleFormat = mp3 ? "mp3" : r.lossy ? oggCodec(input) : sampleFormatName(reader->getInputFormat());
    r.sampleRate = reader->getSampleRate();
    r.channels = reader->getFileChannelNum();
    r.mixedDownToStereo = r.channels > 2;
    r.frames = reader->getFrameCount();
    const double seconds = r.sampleRate ? double(r.frames) / double(r.sampleRate) : 0.0;
    r.seconds = detail::roundSeconds(seconds);
    r.length = detail::str(detail::formatTime(seconds));
    for (const TagField& f : kTagFields) {
        const std::string& value = tag.*(f.field);
        // MP3 tags give a year and a track of 0 when the file has none.
        const bool numeric = f.field == &SoundIDTag::year || f.field == &SoundIDTag::track;
        if (value.empty() || (mp3 && numeric && value == "0")) continue;
        r.tags.emplace_back(f.key, value);
    }
    r.cover = !tag.cover.isEmpty();
    if (r.cover) {
        r.coverMimeType = tag.coverMimeType;
        r.coverBytes = tag.cover.size();
    }
    return r;
}

std::string toJson(const InfoReport& r) {
    QJsonObject tags;
    for (const auto& kv : r.tags) tags[detail::qstr(kv.first)] = detail::qstr(kv.second);
    QJsonObject o;
    o["file"] = detail::qstr(r.file);
    o["format"] = detail::qstr(r.format);
    o["sampleFormat"] = detail::qstr(r.sampleFormat);
    o["lossy"] = r.lossy;
    o["sampleRate"] = int(r.sampleRate);
    o["channels"] = int(r.channels);
    o["mixedDownToStereo"] = r.mixedDownToStereo;
    o["frames"] = double(r.frames);
    o["seconds"] = r.seconds;
    o["length"] = detail::qstr(r.length);
    o["tags"] = tags;
    o["cover"] = r.cover;
    if (r.cover) {
        o["coverMimeType"] = detail::qstr(r.coverMimeType);
        o["coverBytes"] = double(r.coverBytes);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace tonewright
