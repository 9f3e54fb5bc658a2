// split: one file per piece of recordings, cut inside the gaps between them.
#include "job_split.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>
#include <QTemporaryFile>
#include <algorithm>
#include <map>
#include <set>

#include "Batch.h"
#include "Cli.h"
#include "InputTags.h"
#include "tonewright/SoundOutputFile.h"
#include "Progress.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoGapFinder.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundCueSheet.h"
#include "tonewright/SoundNameTemplate.h"
#include "tonewright/SoundTagFile.h"

namespace cli {

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

// The numbered name of piece k, as the multi-file writer numbers segments: the
// leading run of digits, '_', '-' and ' ' of the base name is replaced by k,
// padded to as many digits as the run held (3 when none), followed by the
// run's last separator ('-' when none) and the rest of the name.
QString numberedName(const QString& outputTemplate, int k) {
    const QFileInfo t(outputTemplate);
    const QString base = t.completeBaseName();
    int i = 0, digits = 0;
    QChar sep = '-';
    while (i < base.size() && (base[i].isDigit() || base[i] == '_' || base[i] == '-' || base[i] == ' ')) {
        if (base[i].isDigit())
            ++digits;
        else
            sep = base[i];
        ++i;
    }
    const QString name = QString("%1").arg(k, digits ? digits : 3, 10, QChar('0')) + sep + base.mid(i);
    return QDir(t.path()).filePath(name + "." + t.suffix());
}

struct Bounds {
    int64_t begin, end;
};

// Cut positions from the gaps: inside each gap at the fraction, or with the
// silence kept around the pieces and the rest dropped.
std::vector<Bounds> cutAtGaps(const std::vector<SplitGap>& gaps, int64_t soundBegin, int64_t soundEnd,
                              int64_t frames, unsigned rate, const SplitSettings& s) {
    std::vector<Bounds> pieces;
    if (soundBegin < 0) return pieces;
    if (!s.keep) {
        int64_t from = 0;
        for (const SplitGap& g : gaps) {
            const int64_t cut = g.begin + std::llround(s.cutAt * double(g.frames));
            pieces.push_back({from, cut});
            from = cut;
        }
        pieces.push_back({from, frames});
        return pieces;
    }
    const int64_t before = std::llround(s.keepBefore * rate), after = std::llround(s.keepAfter * rate);
    int64_t from = std::max<int64_t>(0, soundBegin - before);
    for (const SplitGap& g : gaps) {
        const int64_t end = g.begin + g.frames;
        // Kept silences that would overlap share the gap in proportion.
        const int64_t share =
            before + after > g.frames ? g.begin + g.frames * after / std::max<int64_t>(1, before + after) : -1;
        pieces.push_back({from, share >= 0 ? share : g.begin + after});
        from = share >= 0 ? share : end - before;
    }
    pieces.push_back({from, std::min(frames, soundEnd + after)});
    return pieces;
}

// Pieces at the tracks of a CUE sheet; false with the cause when its times do
// not fit the recording.
bool cutAtCue(const SoundCueSheet& sheet, int64_t frames, unsigned rate, std::vector<Bounds>* pieces, QString* why) {
    pieces->clear();
    const std::string& file = sheet.tracks.front().file;
    for (size_t k = 0; k < sheet.tracks.size(); ++k) {
        const SoundCueSheet::Track& t = sheet.tracks[k];
        if (t.file != file) {
            *why = QString("the sheet names more than one file (%1, %2): split each file with a sheet of its own")
                       .arg(text(file), text(t.file));
            return false;
        }
        const int64_t at = SoundCueSheet::toSampleFrames(t.start, rate);
        if (at >= frames) {
            *why = QString("track %1 starts at %2, after the end of the recording (%3)")
                       .arg(t.number)
                       .arg(text(SoundCueSheet::formatTime(t.start)),
                            text(SoundCueSheet::formatTime(SoundCueSheet::toCdFrames(frames, rate))));
            return false;
        }
        // Whatever comes before the first track's start stays with it.
        const int64_t begin = k == 0 ? 0 : at;
        if (!pieces->empty()) pieces->back().end = begin;
        pieces->push_back({begin, frames});
    }
    return true;
}

// Writes each piece to its own file through the ordinary writers while one
// pass reads the input: a piece's writer is opened at its first frame and
// closed after its last, frames outside every piece are not written.
class PieceWriter : public SoundWriter {
public:
    // Pieces are made in `folder` (their temporary place) under their final file names.
    PieceWriter(const std::vector<SplitPiece>& pieces, const std::vector<SoundIDTag>& tags, unsigned rate,
                SoundTools::SoundFormat format, unsigned bitRate, unsigned channels, const SoundOutputFolder& folder)
        : SoundWriter(rate),
          mPieces(pieces),
          mTags(tags),
          mFormat(format),
          mBitRate(bitRate),
          mChannels(channels),
          mFolder(folder) {}

    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override { finish(); }

    SoundTools::Status writeBuffer(std::shared_ptr<SoundBuffer> buffer, unsigned holdBack) override {
        const int64_t end = int64_t(buffer->getOrigin()) + buffer->getFrameNB() - holdBack;
        while (mNext < mPieces.size()) {
            const SplitPiece& p = mPieces[mNext];
            if (p.begin >= end) break;
            if (!mWriter) {
                const QString name = QFileInfo(p.file).fileName();
                mWriter = openWriter(mFolder.path(name), getSampleRate(), mFormat, mBitRate, mChannels);
                if (!mWriter) {
                    mFailure = p.file + ": " + lastError();
                    return SoundTools::Error;
                }
                mWritten << name;
                mWriter->setTags(mTags[mNext]);
                mWriter->setRange(int(p.begin), int(p.begin + p.frames));
            }
            if (mWriter->writeBuffer(buffer, holdBack) != SoundTools::Ok) {
                mFailure = p.file + ": " + lastError();
                return SoundTools::Error;
            }
            if (p.begin + p.frames > end) break;
            if (!finish()) return SoundTools::Error;
        }
        return SoundTools::Ok;
    }

    const QStringList& written() const { return mWritten; }
    const QString& failure() const { return mFailure; }

protected:
    unsigned write(unsigned count, double*) override { return count; }

private:
    bool finish() {
        if (!mWriter) return true;
        const SplitPiece& p = mPieces[mNext];
        mWriter->close();
        const bool ok = !mWriter->hasFailed() && mWriter->getCurrentOffset() == p.frames;
        if (!ok) mFailure = p.file + ": " + (mWriter->hasFailed() ? lastError() : QString("the piece is short"));
        mWriter.reset();
        ++mNext;
        return ok;
    }

    const std::vector<SplitPiece>& mPieces;
    const std::vector<SoundIDTag>& mTags;
    SoundTools::SoundFormat mFormat;
    unsigned mBitRate;
    unsigned mChannels;
    const SoundOutputFolder& mFolder;
    size_t mNext = 0;
    std::unique_ptr<SoundWriter> mWriter;
    QStringList mWritten;
    QString mFailure;
};

bool saveText(const QString& name, const QByteArray& bytes) {
    QSaveFile f(name);
    if (!f.open(QIODevice::WriteOnly)) return false;
    f.write(bytes);
    return f.commit();
}

}  // namespace

bool splitFile(const QString& input, const QString& outputTemplate, const SplitSettings& settings, SplitResult& out,
               int fileIndex, int pass, int passes) {
    out = SplitResult();
    out.input = input;
    out.dryRun = settings.dryRun;
    const bool byCue = !settings.fromCue.isEmpty();
    if (passes <= 0) passes = (byCue ? 0 : 1) + (settings.dryRun ? 0 : 1);

    // Everything that can be refused without reading the sound comes first.
    SoundCueSheet sheet;
    if (byCue) {
        QFile f(settings.fromCue);
        QString why;
        if (!f.open(QIODevice::ReadOnly)) {
            printError(settings.fromCue, "cannot read the CUE sheet", f.errorString());
            return false;
        }
        if (!sheet.parse(f.readAll(), &why)) {
            printError(settings.fromCue, "not a usable CUE sheet", why);
            return false;
        }
    }
    SoundNameTemplate naming;
    if (!settings.nameTemplate.isEmpty()) {
        QString why;
        if (!naming.parse(settings.nameTemplate, &why)) {
            printError(input, "bad --name", why);
            return false;
        }
    }
    const QFileInfo folder(QFileInfo(outputTemplate).path());
    if (!settings.dryRun) {
        // Tried, not guessed from permission bits (which say yes to root on a
        // read-only file system).
        QTemporaryFile probe(QDir(folder.filePath()).filePath(".tonewright-probe-XXXXXX"));
        if (!folder.isDir() || !probe.open()) {
            printError(folder.filePath(), "cannot write pieces here",
                       folder.isDir() ? "the folder is not writable" : "no such folder");
            return false;
        }
    }
    const QString ext = QFileInfo(outputTemplate).suffix();
    if (!isWritableExtension(ext)) {
        printError(outputTemplate, "cannot write pieces here", "use one of " + writableExtensions());
        return false;
    }

    std::unique_ptr<SoundReader> reader = openReader(input);
    if (!reader) {
        printError(input, "cannot read", lastError());
        return false;
    }
    out.rate = reader->getSampleRate();
    out.frames = reader->getFrameNB();
    const SoundIDTag album = inputTags(input, *reader);

    // Where to cut.
    std::vector<Bounds> bounds;
    if (byCue) {
        out.cutsFrom = QFileInfo(settings.fromCue).fileName();
        QString why;
        if (!cutAtCue(sheet, out.frames, out.rate, &bounds, &why)) {
            printError(settings.fromCue, "does not fit " + QFileInfo(input).fileName(), why);
            return false;
        }
    } else {
        out.cutsFrom = "gaps";
        auto finder = SoundRef<SoundAlgoGapFinder>::make(settings.minSilence, settings.thresholdDb);
        SoundTools::Status status;
        {
            PassWatch watch(*finder, fileIndex, pass, passes);
            clearError();
            status = finder->processAll(*reader, nullptr);
        }
        ++pass;
        if (status != SoundTools::Ok) {
            if (!interrupted()) printError(input, "cannot read", lastError());
            return false;
        }
        out.frames = finder->getFrameCount();
        out.levelDb = finder->getLevel();
        out.floorDb = finder->getFloor();
        out.ceilingDb = finder->getCeiling();
        for (const SoundAlgoGapFinder::Gap& g : finder->getGaps()) out.gaps.push_back({g.begin, g.frames, g.levelDb});
        bounds = cutAtGaps(out.gaps, finder->getSoundBegin(), finder->getSoundEnd(), out.frames, out.rate, settings);
        if (finder->getSoundBegin() < 0)
            out.notes << "the recording is silent: nothing to split";
        else if (out.gaps.empty())
            out.notes << "no gap found: the recording is one piece";
        // Levels are measured here, where the hop levels are known.
        for (const Bounds& b : bounds) {
            SplitPiece p;
            p.begin = b.begin;
            p.frames = b.end - b.begin;
            p.levelDb = finder->levelOf(b.begin, b.end);
            out.pieces.push_back(p);
        }
    }
    if (byCue)
        for (const Bounds& b : bounds) {
            SplitPiece p;
            p.begin = b.begin;
            p.frames = b.end - b.begin;
            out.pieces.push_back(p);
        }

    // Short pieces: reported, or merged into the previous one (the next one for the first).
    const int64_t minFrames = std::llround(settings.minLength * out.rate);
    std::vector<int> cueIndex(out.pieces.size());
    for (size_t k = 0; k < cueIndex.size(); ++k) cueIndex[k] = int(k);
    if (settings.mergeShort) {
        for (size_t k = 0; k < out.pieces.size() && out.pieces.size() > 1;) {
            if (out.pieces[k].frames >= minFrames) {
                ++k;
                continue;
            }
            const size_t into = k == 0 ? 1 : k - 1;
            SplitPiece& target = out.pieces[into];
            const SplitPiece& gone = out.pieces[k];
            const int64_t begin = std::min(target.begin, gone.begin);
            const int64_t end = std::max(target.begin + target.frames, gone.begin + gone.frames);
            const double total = double(target.frames + gone.frames);
            if (total > 0 && std::isfinite(target.levelDb) && std::isfinite(gone.levelDb))
                target.levelDb = 10 * std::log10((std::pow(10, target.levelDb / 10) * target.frames +
                                                  std::pow(10, gone.levelDb / 10) * gone.frames) /
                                                 total);
            target.begin = begin;
            target.frames = end - begin;
            target.merged += 1 + gone.merged;
            out.notes << QString("a piece of %1 at %2 is shorter than %3 s: merged into its neighbour")
                             .arg(formatTime(double(gone.frames) / out.rate), formatTime(double(gone.begin) / out.rate))
                             .arg(settings.minLength);
            if (k == 0) cueIndex[1] = cueIndex[0];
            cueIndex.erase(cueIndex.begin() + long(k));
            out.pieces.erase(out.pieces.begin() + long(k));
            k = into == 1 ? 0 : into;
        }
    }
    const int total = int(out.pieces.size());
    std::vector<SoundIDTag> pieceTags;
    std::set<QString> names;
    const QString baseTitle = album.title.empty() ? QFileInfo(input).completeBaseName() : text(album.title);
    for (int k = 0; k < total; ++k) {
        SplitPiece& p = out.pieces[size_t(k)];
        p.number = k + 1;
        if (!settings.mergeShort && p.frames < minFrames) {
            p.isShort = true;
            out.notes << QString("piece %1 (%2 at %3) is shorter than %4 s (--merge-short joins it to a neighbour)")
                             .arg(p.number)
                             .arg(formatTime(double(p.frames) / out.rate), formatTime(double(p.begin) / out.rate))
                             .arg(settings.minLength);
        }
        SoundIDTag t = album;
        const SoundCueSheet::Track* track = byCue ? &sheet.tracks[size_t(cueIndex[size_t(k)])] : nullptr;
        t.title = track && !track->title.empty() ? track->title : (baseTitle + QString(" (%1)").arg(p.number)).toStdString();
        if (track && !track->performer.empty()) t.artist = track->performer;
        if (t.artist.empty() && byCue) t.artist = sheet.performer;
        if (t.album.empty()) t.album = byCue && !sheet.title.empty() ? sheet.title : album.title;
        t.track = std::to_string(p.number);
        t.trackTotal = std::to_string(total);
        p.title = text(t.title);
        p.artist = text(t.artist);
        if (settings.nameTemplate.isEmpty()) {
            p.file = numberedName(outputTemplate, p.number);
        } else {
            const std::map<QString, QString> texts = {{"title", p.title},       {"artist", p.artist},
                                                      {"album", text(t.album)}, {"genre", text(t.genre)},
                                                      {"date", text(t.year)},   {"name", QFileInfo(input).completeBaseName()}};
            const QString name = naming.expand(p.number, total, texts).trimmed();
            if (name.isEmpty() || name == "." || name == "..") {
                printError(input, "bad --name", QString("it gives piece %1 no name").arg(p.number));
                return false;
            }
            p.file = QDir(folder.filePath()).filePath(name + "." + ext);
        }
        if (!names.insert(p.file).second) {
            printError(p.file, "two pieces would get this name",
                       "add {n} to --name so that every piece has a name of its own");
            return false;
        }
        pieceTags.push_back(t);
    }
    const QString base = QDir(folder.filePath()).filePath(QFileInfo(outputTemplate).completeBaseName());
    if (settings.cue) out.cueFile = base + ".cue";
    if (settings.m3u) out.m3uFile = base + ".m3u";
    for (const QString& f : {out.cueFile, out.m3uFile})
        if (!f.isEmpty() && names.count(f)) {
            printError(f, "a piece and the list beside the pieces would get this name");
            return false;
        }
    if (!settings.dryRun)
        for (const QString& f : QStringList{out.cueFile, out.m3uFile} + [&] {
                 QStringList l;
                 for (const SplitPiece& p : out.pieces) l << p.file;
                 return l;
             }())
            if (!f.isEmpty() && !mayWrite(f, input)) {
                printError(f, "will not write", lastError());
                return false;
            }
    if (settings.dryRun || out.pieces.empty()) return true;

    // The pieces, in one pass over the input, made in a temporary folder beside
    // their final place and moved there together once all are complete.
    SoundOutputFolder made(folder.filePath());
    if (!made.ok()) {
        printError(outputTemplate, "cannot write pieces here", lastError());
        return false;
    }
    reader->rewind();
    PieceWriter writer(out.pieces, pieceTags, out.rate, formatFor(ext, reader->getInputFormat()), settings.bitRate,
                       outputChannels(*reader), made);
    auto copy = SoundRef<SoundAlgoSelectChannel>::make(0, 1);  // the frames as they are
    SoundTools::Status status;
    {
        PassWatch watch(*copy, fileIndex, pass, passes);
        clearError();
        status = copy->processAll(*reader, &writer);
    }
    writer.close();
    if (status == SoundTools::Interrupted) return false;
    if (status != SoundTools::Ok || !writer.failure().isEmpty() || writer.written().size() != total) {
        if (!interrupted())
            printError(input, "cannot write the pieces",
                       writer.failure().isEmpty() ? lastError() : writer.failure());
        return false;
    }
    if (!made.commit(writer.written(), options().overwrite)) {
        printError(input, "cannot write the pieces", lastError());
        return false;
    }

    // The lists beside the pieces.
    if (!out.cueFile.isEmpty()) {
        SoundCueSheet list;
        list.title = album.album.empty() ? album.title : album.album;
        list.performer = album.artist;
        for (const SplitPiece& p : out.pieces) {
            SoundCueSheet::Track t;
            t.number = p.number;
            t.title = p.title.toStdString();
            t.performer = p.artist.toStdString();
            t.file = QFileInfo(p.file).fileName().toStdString();
            list.tracks.push_back(t);
        }
        if (!saveText(out.cueFile, list.toText())) printWarning(out.cueFile, "cannot write the CUE sheet");
    }
    if (!out.m3uFile.isEmpty()) {
        QString m3u = "#EXTM3U\n";
        for (const SplitPiece& p : out.pieces)
            m3u += QString("#EXTINF:%1,%2%3\n%4\n")
                       .arg(std::llround(double(p.frames) / out.rate))
                       .arg(p.artist.isEmpty() ? QString() : p.artist + " - ", p.title, QFileInfo(p.file).fileName());
        if (!saveText(out.m3uFile, m3u.toUtf8())) printWarning(out.m3uFile, "cannot write the playlist");
    }
    return true;
}

QString splitSummary(const SplitResult& r) {
    const double rate = r.rate ? r.rate : 1;
    QString t = QString("%1: %2 %3 file%4, cut at %5\n")
                    .arg(r.input)
                    .arg(r.dryRun ? "would write" : "wrote")
                    .arg(r.pieces.size())
                    .arg(r.pieces.size() == 1 ? "" : "s")
                    .arg(r.cutsFrom == "gaps" ? QString("%1 gap%2").arg(r.gaps.size()).arg(r.gaps.size() == 1 ? "" : "s")
                                              : "the tracks of " + r.cutsFrom);
    for (const QString& n : r.notes) t += "  note: " + n + "\n";
    for (const SplitPiece& p : r.pieces)
        t += QString("  %1  track %2  start %3  length %4  level %5%6  %7\n")
                 .arg(p.file)
                 .arg(p.number)
                 .arg(formatTime(p.begin / rate), formatTime(p.frames / rate), formatDb(p.levelDb),
                      p.isShort ? "  short" : "", p.title);
    for (const QString& f : {r.cueFile, r.m3uFile})
        if (!f.isEmpty()) t += "  " + f + "\n";
    return t;
}

QJsonObject splitToJson(const SplitResult& r) {
    const double rate = r.rate ? r.rate : 1;
    QJsonObject o;
    o["file"] = r.input;
    o["dryRun"] = r.dryRun;
    o["sampleRate"] = qint64(r.rate);
    o["frames"] = qint64(r.frames);
    o["cutsFrom"] = r.cutsFrom;
    if (r.cutsFrom == "gaps") {
        o["level"] = roundDb(r.levelDb);
        o["floor"] = roundDb(r.floorDb);
        o["silenceBelow"] = roundDb(r.ceilingDb);
        QJsonArray gaps;
        for (const SplitGap& g : r.gaps) {
            QJsonObject j;
            j["start"] = roundSeconds(g.begin / rate);
            j["length"] = roundSeconds(g.frames / rate);
            j["startFrame"] = qint64(g.begin);
            j["frames"] = qint64(g.frames);
            j["level"] = roundDb(g.levelDb);
            gaps.append(j);
        }
        o["gaps"] = gaps;
    }
    QJsonArray files;
    for (const SplitPiece& p : r.pieces) {
        QJsonObject j;
        j["file"] = p.file;
        j["track"] = p.number;
        j["title"] = p.title;
        j["start"] = roundSeconds(p.begin / rate);
        j["length"] = roundSeconds(p.frames / rate);
        j["startFrame"] = qint64(p.begin);
        j["frames"] = qint64(p.frames);
        j["level"] = std::isfinite(p.levelDb) ? QJsonValue(roundDb(p.levelDb)) : QJsonValue();
        j["short"] = p.isShort;
        if (p.merged) j["merged"] = p.merged;
        files.append(j);
    }
    o["files"] = files;
    o["notes"] = QJsonArray::fromStringList(r.notes);
    if (!r.cueFile.isEmpty()) o["cue"] = r.cueFile;
    if (!r.m3uFile.isEmpty()) o["m3u"] = r.m3uFile;
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
const QCommandLineOption kCue("cue", "Write a CUE sheet of the pieces beside them.");
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

    cli::SplitSettings settings;
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
    settings.nameTemplate = p.value(kName);
    settings.cue = p.isSet(kCue);
    settings.m3u = p.isSet(kM3u);
    settings.fromCue = p.value(kFromCue);
    if (p.isSet(kName)) {
        SoundNameTemplate t;
        QString why;
        if (!t.parse(settings.nameTemplate, &why)) return p.usageError("--name: " + why);
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
    if (toFolder && !settings.dryRun && !QDir().mkpath(output)) {
        cli::printError(output, "cannot create the folder");
        return cli::ProcessingError;
    }

    return cli::runBatch("split", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        cli::SplitResult r;
        if (!cli::splitFile(input, templateFor(input), settings, r, index)) return out;
        out.ok = true;
        out.text = cli::splitSummary(r);
        out.json = cli::splitToJson(r);
        return out;
    });
}

cli::Job split("split", "one file per piece of recordings, cut inside the gaps between them",
               [](const QStringList& args) { return runSplit(args, false); },
               [](const QStringList& args) { return runSplit(args, true); });

}  // namespace
