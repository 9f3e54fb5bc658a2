// tag: ReplayGain 2.0 tags written into recordings in place, from their
// integrated loudness and true peak; the sound itself is not touched.
#include <algorithm>

#include "Batch.h"
#include "Cli.h"
#include "JobHost.h"
#include "JobPaths.h"
#include "Progress.h"
#include "tonewright/Tag.h"

namespace {

// The tool's result for one file of the job's report.
cli::FileOutcome outcome(const tonewright::TagFileReport& f) {
    cli::FileOutcome out;
    if (!f.tagged) {
        cli::printJobError(f.error);
        out.interrupted = f.error.kind == tonewright::JobError::Kind::Cancelled;
        return out;
    }
    out.ok = true;
    out.text = QString("%1\n  track gain %2, peak %3 (%4 LUFS, true peak %5 dBTP)\n")
                   .arg(cli::qtext(f.file), cli::qtext(f.track.gainText), cli::qtext(f.track.peakText))
                   .arg(f.track.loudness, 0, 'f', 2)
                   .arg(f.track.truePeak, 0, 'f', 2);
    if (f.album)
        out.text += QString("  album gain %1, peak %2\n").arg(cli::qtext(f.album->gainText), cli::qtext(f.album->peakText));
    out.json = cli::jsonObject(tonewright::toJson(f));
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
        "through a copy beside it that replaces it only once complete, keeping its owner, mode, attributes and "
        "links. A silent recording, or one shorter than 400 ms, has no loudness and gets no tag, nor does one "
        "fainter than -60 LUFS (noise); a gain above +24 dB is capped there, with a warning.",
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
            tonewright::TagSettings settings;
            settings.inputs = {cli::jobPath(input)};
            const tonewright::JobResult<tonewright::TagReport> r = tonewright::tag(settings, cli::jobControl(index));
            if (!r) {
                cli::printJobError(r.error());
                return cli::FileOutcome();
            }
            return outcome(r->files.front());
        });
    }

    // The album's measurement, file after file (each its own bar), before any is tagged.
    tonewright::TagSettings settings;
    settings.album = true;
    for (const QString& input : inputs) settings.inputs.push_back(cli::jobPath(input));
    tonewright::JobControl control = cli::jobControl(0);
    control.progress = [](const tonewright::JobProgress& pr) {
        cli::progress::set(pr.pass, pr.total > 0 ? std::min(1.0, double(pr.done) / double(pr.total)) : 0.0);
        return !cli::interrupted();
    };
    const tonewright::JobResult<tonewright::TagReport> r = tonewright::tag(settings, control);
    if (!r) {
        cli::printJobError(r.error());
        return r.error().kind == tonewright::JobError::Kind::Cancelled ? cli::InterruptedExit : cli::ProcessingError;
    }
    return cli::runBatch("tag", inputs, [&](int index, const QString&) { return outcome(r->files[size_t(index)]); });
}

cli::Job tag("tag", "writes ReplayGain 2.0 tags (track and album gain and peak) into recordings",
             [](const QStringList& args) { return runTag(args, false); },
             [](const QStringList& args) { return runTag(args, true); });

}  // namespace
