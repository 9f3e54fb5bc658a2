// tag: ReplayGain 2.0 tags written into recordings in place, from their
// integrated loudness and true peak; the sound itself is not touched.
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "Batch.h"
#include "Cli.h"
#include "tonewright/SoundOutputFile.h"
#include "Progress.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundTagFile.h"

namespace {

constexpr double kReferenceLufs = -18.0;  // the loudness a ReplayGain 2.0 gain brings a recording to

using Fields = std::map<std::string, std::string>;

struct Gain {
    double loudness = -INFINITY;  // LUFS
    double truePeak = -INFINITY;  // dBTP
    double gainDb() const { return kReferenceLufs - loudness; }
    double peakRatio() const { return std::pow(10.0, truePeak / 20.0); }
};

QString gainText(double db) { return QString::asprintf("%.2f dB", db); }
QString peakText(double ratio) { return QString::asprintf("%.6f", ratio); }
// The peak as the tag gives it, for JSON.
double ratioRounded(double ratio) { return std::round(ratio * 1e6) / 1e6; }

// Why a measurement gives no gain, in words; empty when it gives one.
QString noGainCause(const SoundAlgoLoudness& l) {
    if (l.isTooShort())
        return "the recording is shorter than one 400 ms gating block, so it has no integrated loudness; no tag "
               "was written";
    if (!std::isfinite(l.getIntegrated()))
        return "the recording is silent (-inf LUFS), so no gain can be given; no tag was written";
    return QString();
}

// Whether the file may be tagged at all; false after printing why. Checked
// before it is measured, so that no time is spent on a file that is refused.
bool mayTag(const QString& file) {
    const QFileInfo info(file);
    if (!info.exists()) {
        cli::printError(file, "cannot tag", "no such file");
        return false;
    }
    if (!info.isFile()) {
        cli::printError(file, "cannot tag", "not a regular file");
        return false;
    }
    if (!SoundTagFile::isTaggable(file)) {
        cli::printError(file, "cannot tag", "tags are written only into WAV, FLAC, Ogg Vorbis and MP3 files");
        return false;
    }
    // The owner's write bit counts even for a user who could write anyway:
    // a file marked read-only is left as it is.
    if (!info.isWritable() || !(info.permissions() & QFileDevice::WriteOwner)) {
        cli::printError(file, "will not tag", "the file is read-only; it is left as it was");
        return false;
    }
    return true;
}

// One pass over the file through the loudness measurement; false after
// printing the error (nothing for an interruption).
bool measure(const QString& file, SoundRef<SoundAlgoLoudness>& loudness, int index, int pass, int passes) {
    std::unique_ptr<SoundReader> reader = cli::openReader(file);
    if (!reader) {
        cli::printError(file, "cannot read", cli::lastError());
        return false;
    }
    loudness = SoundRef<SoundAlgoLoudness>::make(0.0);
    SoundTools::Status status;
    {
        cli::PassWatch watch(*loudness, index, pass, passes);
        cli::clearError();
        status = loudness->processAll(*reader, nullptr);
    }
    if (status == SoundTools::Interrupted) return false;
    if (status != SoundTools::Ok || reader->hasFailed()) {
        cli::printError(file, "cannot measure the loudness", cli::lastError());
        return false;
    }
    return true;
}

// Sets the fields on a copy beside the file, which replaces it only once the
// tags are written: a failure leaves the file as it was. False after printing.
bool tagInPlace(const QString& file, const Fields& fields) {
    // A link stays a link: the file it leads to is the one replaced.
    const QFileInfo info(file);
    const QString target = info.isSymLink() ? info.canonicalFilePath() : file;
    SoundOutputFile copy(target);
    if (!copy.ok() || copy.path() == target) {
        cli::printError(file, "cannot tag", copy.ok() ? QString("not a regular file") : cli::lastError());
        return false;
    }
    QFile source(target);
    if (!source.copy(copy.path())) {
        cli::printError(file, "cannot tag", "cannot make a copy of it beside it (" + source.errorString() +
                                                "); it is left as it was");
        return false;
    }
    if (SoundTagFile::setFields(copy.path(), fields) != SoundTools::Ok) {
        cli::printError(file, "cannot write the tags",
                        QString("the file is damaged or is not the %1 file its name says; it is left as it was")
                            .arg(QFileInfo(file).suffix().toUpper()));
        return false;
    }
    if (!copy.commit(true)) {
        cli::printError(file, "cannot tag", cli::lastError() + "; it is left as it was");
        return false;
    }
    return true;
}

// Tags one file from its measurement (and the album's figures, when given).
cli::FileOutcome tagFile(const QString& file, const SoundAlgoLoudness& l, const Gain* album) {
    cli::FileOutcome out;
    const QString cause = noGainCause(l);
    if (!cause.isEmpty()) {
        cli::printError(file, "cannot tag", cause);
        return out;
    }
    Gain track;
    track.loudness = l.getIntegrated();
    track.truePeak = l.getTruePeak();
    Fields fields{{"REPLAYGAIN_TRACK_GAIN", gainText(track.gainDb()).toStdString()},
                  {"REPLAYGAIN_TRACK_PEAK", peakText(track.peakRatio()).toStdString()}};
    if (album) {
        fields["REPLAYGAIN_ALBUM_GAIN"] = gainText(album->gainDb()).toStdString();
        fields["REPLAYGAIN_ALBUM_PEAK"] = peakText(album->peakRatio()).toStdString();
    }
    if (!tagInPlace(file, fields)) return out;
    out.ok = true;
    out.text = QString("%1\n  track gain %2, peak %3 (%4 LUFS, true peak %5 dBTP)\n")
                   .arg(file, gainText(track.gainDb()), peakText(track.peakRatio()))
                   .arg(track.loudness, 0, 'f', 2)
                   .arg(track.truePeak, 0, 'f', 2);
    out.json = QJsonObject{{"file", file},
                           {"loudness", cli::roundDb(track.loudness)},
                           {"truePeak", cli::roundDb(track.truePeak)},
                           {"trackGain", cli::roundDb(track.gainDb())},
                           {"trackPeak", ratioRounded(track.peakRatio())}};
    if (album) {
        out.text += QString("  album gain %1, peak %2\n")
                        .arg(gainText(album->gainDb()), peakText(album->peakRatio()));
        out.json["albumGain"] = cli::roundDb(album->gainDb());
        out.json["albumPeak"] = ratioRounded(album->peakRatio());
    }
    return out;
}

const QCommandLineOption kAlbum("album", "Also write REPLAYGAIN_ALBUM_GAIN and REPLAYGAIN_ALBUM_PEAK: the inputs "
                                         "measured together as one album (their loudness gated as one recording, "
                                         "the largest true peak).");

// parseOnly: read and check the command line, and stop there (Cli.h, JobInfo::parse).
int runTag(const QStringList& args, bool parseOnly) {
    cli::JobParser p(
        "tag",
        "Writes ReplayGain 2.0 tags into recordings, in place: REPLAYGAIN_TRACK_GAIN, the gain that brings the "
        "integrated loudness (ITU-R BS.1770) to -18 LUFS, such as \"-6.52 dB\", and REPLAYGAIN_TRACK_PEAK, the true "
        "peak (oversampled) as a ratio of full scale, such as \"0.988547\". FLAC and Ogg get Vorbis comments, MP3 "
        "and WAV ID3v2 user text frames (TXXX). The sound is not touched; other tags are kept. Each file is tagged "
        "through a copy beside it that replaces it only once complete. A silent recording, or one shorter than "
        "400 ms, has no loudness and gets no tag.",
        cli::JobParser::Json | cli::JobParser::Batch);
    p.addOption(kAlbum);
    p.addInputs("Recordings to tag (wav, flac, ogg, mp3).", "files...");
    const int early = p.parse(args);
    if (early >= 0) return early;
    const QStringList inputs = p.inputs();
    if (inputs.isEmpty()) return p.usageError("no input file");
    if (parseOnly) return -1;

    if (!p.isSet(kAlbum)) {
        return cli::runBatch("tag", inputs, [&](int index, const QString& input) {
            SoundRef<SoundAlgoLoudness> l;
            if (!mayTag(input)) return cli::FileOutcome();
            if (!measure(input, l, index, 0, 1)) {
                cli::FileOutcome out;
                out.interrupted = cli::interrupted();
                return out;
            }
            return tagFile(input, *l, nullptr);
        });
    }

    // An album is measured whole before any file is tagged: a track that is
    // refused or cannot be read stops the job with every file as it was.
    std::vector<SoundRef<SoundAlgoLoudness>> tracks(size_t(inputs.size()));
    std::vector<SoundAlgoLoudness*> measured;
    for (int i = 0; i < inputs.size(); ++i) {
        if (!mayTag(inputs[i])) return cli::ProcessingError;
        if (!measure(inputs[i], tracks[size_t(i)], i, 0, 1))
            return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
        measured.push_back(tracks[size_t(i)].get());
    }
    Gain album;
    album.loudness = SoundAlgoLoudness::albumLoudness(measured);
    album.truePeak = SoundAlgoLoudness::albumTruePeak(measured);
    if (!std::isfinite(album.loudness)) {
        for (const QString& input : inputs)
            cli::printError(input, "cannot tag",
                            "the album is silent (-inf LUFS), so no gain can be given; no tag was written");
        return cli::ProcessingError;
    }
    return cli::runBatch("tag", inputs, [&](int index, const QString& input) {
        return tagFile(input, *tracks[size_t(index)], &album);
    });
}

cli::Job tag("tag", "writes ReplayGain 2.0 tags (track and album gain and peak) into recordings",
             [](const QStringList& args) { return runTag(args, false); },
             [](const QStringList& args) { return runTag(args, true); });

}  // namespace
