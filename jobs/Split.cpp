// split: the plan of the pieces of a recording, and the pieces written in one pass.
#include "tonewright/Split.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "jobs/InputTags.h"
#include "jobs/JobContext.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoGapFinder.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundCueSheet.h"
#include "tonewright/SoundFormats.h"
#include "tonewright/SoundNameTemplate.h"
#include "tonewright/SoundOutputFile.h"

namespace tonewright {

namespace {

using detail::JobContext;
using detail::qstr;
using detail::str;
using Kind = JobError::Kind;

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
    PieceWriter(const JobContext& ctx, const std::vector<SplitPiece>& pieces, const std::vector<SoundIDTag>& tags,
                unsigned rate, SoundTools::SoundFormat format, unsigned bitRate, unsigned channels,
                const SoundOutputFolder& folder)
        : SoundWriter(rate),
          mCtx(ctx),
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
                const QString name = QFileInfo(qstr(p.file)).fileName();
                mWriter = detail::openWriter(mCtx, mFolder.path(name), getSampleRate(), mFormat, mBitRate, mChannels);
                if (!mWriter) return failed(p, detail::lastError());
                mWritten << name;
                mWriter->setTags(mTags[mNext]);
                mWriter->setRange(int(p.begin), int(p.begin + p.frames));
            }
            if (mWriter->writeBuffer(buffer, holdBack) != SoundTools::Ok) return failed(p, detail::lastError());
            if (p.begin + p.frames > end) break;
            if (!finish()) return SoundTools::Error;
        }
        return SoundTools::Ok;
    }

    const QStringList& written() const { return mWritten; }
    // The piece that could not be written, and why.
    const QString& failedPiece() const { return mFailedPiece; }
    const QString& failure() const { return mFailure; }

protected:
    unsigned write(unsigned count, double*) override { return count; }

private:
    // The cause speaks of the piece's temporary place: the user knows it by
    // its final name, which the message names already.
    SoundTools::Status failed(const SplitPiece& p, const QString& cause) {
        mFailedPiece = qstr(p.file);
        const QString temporary = mFolder.path(QFileInfo(mFailedPiece).fileName());
        QString c = QString(cause).replace(temporary, mFailedPiece);
        for (const QString& lead : {mFailedPiece + " : ", mFailedPiece + ": "})
            if (c.startsWith(lead)) c = c.mid(lead.size());
        mFailure = c.trimmed().isEmpty() ? QString("cannot be written") : c.trimmed();
        return SoundTools::Error;
    }

    bool finish() {
        if (!mWriter) return true;
        const SplitPiece& p = mPieces[mNext];
        mWriter->close();
        const bool ok = !mWriter->hasFailed() && mWriter->getCurrentOffset() == p.frames;
        if (!ok) failed(p, mWriter->hasFailed() ? detail::lastError() : QString("the piece is short"));
        mWriter.reset();
        ++mNext;
        return ok;
    }

    const JobContext& mCtx;
    const std::vector<SplitPiece>& mPieces;
    const std::vector<SoundIDTag>& mTags;
    SoundTools::SoundFormat mFormat;
    unsigned mBitRate;
    unsigned mChannels;
    const SoundOutputFolder& mFolder;
    size_t mNext = 0;
    std::unique_ptr<SoundWriter> mWriter;
    QStringList mWritten;
    QString mFailedPiece, mFailure;
};

// A list beside the pieces, through the atomic output file like every output.
bool saveText(const JobContext& ctx, const QString& name, const QByteArray& bytes) {
    SoundOutputFile file(name);
    QFile f(file.path());
    if (!file.ok() || !f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.flush()) return false;
    f.close();
    return file.commit(ctx.overwrite());
}

// Whether the file system takes the name (at most 255 bytes), and a CUE sheet
// or playlist that lists it can hold it (no line break or other control
// character): checked by the plan, so that a dry run never names what a real
// run refuses. False after ctx.fail().
bool nameFits(JobContext& ctx, const QString& file, bool listed) {
    const QString name = QFileInfo(file).fileName();
    const int bytes = QFile::encodeName(name).size();
    if (bytes > 255)
        return ctx.fail(Kind::Output, file, "cannot write",
                        QString("the name is %1 bytes long; a file name has at most 255").arg(bytes));
    if (listed)
        for (const QChar c : name)
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                return ctx.fail(Kind::Output, file, "cannot list",
                                "the name holds a line break or another control character, which a CUE sheet or "
                                "playlist cannot hold");
    return true;
}

// A title on one line of a CUE sheet or playlist.
QString oneLine(QString text) {
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = ' ';
    return text;
}

// Names the bad setting; empty when all are good.
JobError badSetting(const SplitSettings& s) {
    struct Range {
        const char* name;
        double value, low, high;
    };
    const Range ranges[] = {{"minSilence", s.minSilence, 0.1, 600},    {"thresholdDb", s.thresholdDb, -120, 0},
                            {"cutAt", s.cutAt, 0, 1},                 {"keepBefore", s.keepBefore, 0, 3600},
                            {"keepAfter", s.keepAfter, 0, 3600},      {"minLength", s.minLength, 0, 86400},
                            {"bitRate", double(s.bitRate), 32, 320}};
    for (const Range& r : ranges)
        if (!(r.value >= r.low && r.value <= r.high))  // not-a-number fails too
            return JobError{Kind::Setting, r.name, "out of range",
                            str(QString("%1 is not a number from %2 to %3").arg(r.value).arg(r.low).arg(r.high))};
    if (s.input.empty()) return JobError{Kind::Setting, "input", "no input file", ""};
    if (s.output.empty()) return JobError{Kind::Setting, "output", "no output name", ""};
    return JobError{Kind::Setting, "", "", ""};
}

// The work of one call: the plan, and what writing it needs.
struct Splitter {
    JobContext& ctx;
    const JobControl& control;
    const SplitSettings& settings;
    SplitReport out;
    QString input, outputTemplate, ext;
    QFileInfo folder;
    std::unique_ptr<SoundReader> reader;
    std::vector<SoundIDTag> pieceTags;
    SoundIDTag album;
    QStringList stale;  // pieces of an earlier split, removed once the new ones are there

    Splitter(JobContext& c, const JobControl& k, const SplitSettings& s) : ctx(c), control(k), settings(s) {}

    bool plan();
    bool write();
};

bool Splitter::plan() {
    input = detail::qpath(settings.input);
    outputTemplate = detail::qpath(settings.output);
    out.input = str(input);
    out.dryRun = settings.dryRun;
    const bool byCue = !settings.fromCue.empty();
    const QString fromCue = detail::qpath(settings.fromCue);
    // The sheet cut at is an input too: no list beside the pieces replaces it.
    if (byCue) ctx.addInputs({input, fromCue});

    // Everything that can be refused without reading the sound comes first.
    SoundCueSheet sheet;
    if (byCue) {
        QString why;
        if (!sheet.readFile(fromCue, &why)) return ctx.fail(Kind::Input, fromCue, "not a usable CUE sheet", why);
        // A sheet names its recording from beside it: another file there means
        // it may not be this recording's (a sheet naming a missing file is the
        // usual one of a recording converted since).
        const QString named = QFileInfo(fromCue).dir().filePath(text(sheet.tracks.front().file));
        if (QFileInfo(named).isFile() && !SoundOutputFile::sameFile(named, input))
            ctx.warn(fromCue, QString("the sheet is for %1, not %2: its times are used on %2")
                                  .arg(text(sheet.tracks.front().file), QFileInfo(input).fileName()));
    }
    SoundNameTemplate naming;
    const QString nameTemplate = qstr(settings.nameTemplate);
    if (!nameTemplate.isEmpty()) {
        QString why;
        if (!naming.parse(nameTemplate, &why)) return ctx.fail(Kind::Setting, "nameTemplate", "bad name template", why);
    }
    folder = QFileInfo(QFileInfo(outputTemplate).path());
    if (!settings.dryRun) {
        // A missing folder is made when the pieces are written (and removed
        // again if none arrives): the folder that exists must take files.
        // Tried, not guessed from permission bits (which say yes to root on a
        // read-only file system).
        QFileInfo existing(folder.absoluteFilePath());
        while (!existing.exists() && existing.absolutePath() != existing.absoluteFilePath())
            existing = QFileInfo(existing.absolutePath());
        QTemporaryFile probe(QDir(existing.absoluteFilePath()).filePath(".tonewright-probe-XXXXXX"));
        if (!existing.isDir() || !probe.open())
            return ctx.fail(Kind::Output, folder.filePath(), "cannot write pieces here",
                            existing.isDir() ? "the folder is not writable" : existing.filePath() + " is not a folder");
    }
    ext = QFileInfo(outputTemplate).suffix();
    if (!detail::isWritableExtension(ext))
        return ctx.fail(Kind::Output, outputTemplate, "cannot write pieces here", "use one of " + detail::writableExtensions());

    reader = detail::openReader(input);
    if (!reader) return ctx.fail(Kind::Input, input, "cannot read", detail::lastError());
    out.rate = reader->getSampleRate();
    out.frames = reader->getFrameNB();
    album = detail::inputTags(input, *reader);

    // Where to cut: a sheet that does not fit is refused before the recording is read.
    std::vector<Bounds> bounds;
    if (byCue) {
        out.cutsFrom = str(QFileInfo(fromCue).fileName());
        QString why;
        if (!cutAtCue(sheet, out.frames, out.rate, &bounds, &why))
            return ctx.fail(Kind::Input, fromCue, "does not fit " + QFileInfo(input).fileName(), why);
    }
    // One pass measures the recording: its gaps, and the level of every piece.
    auto finder = SoundRef<SoundAlgoGapFinder>::make(settings.minSilence, settings.thresholdDb);
    if (!detail::runPass(ctx, *finder, *reader, nullptr, input, "read")) return false;
    if (!byCue) {
        out.cutsFrom = "gaps";
        out.frames = finder->getFrameCount();
        out.levelDb = finder->getLevel();
        out.floorDb = finder->getFloor();
        out.ceilingDb = finder->getCeiling();
        for (const SoundAlgoGapFinder::Gap& g : finder->getGaps()) out.gaps.push_back({g.begin, g.frames, g.levelDb});
        bounds = cutAtGaps(out.gaps, finder->getSoundBegin(), finder->getSoundEnd(), out.frames, out.rate, settings);
        // A CUE sheet counts in CD frames of 1/75 s: with one written, the cuts
        // move to the nearest CD frame (inside the gap, which is longer), so
        // that cutting at the sheet gives these very pieces.
        if (settings.cue)
            for (size_t k = 0; k < bounds.size(); ++k) {
                bounds[k].begin =
                    SoundCueSheet::toSampleFrames(SoundCueSheet::toCdFrames(bounds[k].begin, out.rate), out.rate);
                if (k > 0 && !settings.keep) bounds[k - 1].end = bounds[k].begin;
            }
        if (finder->getSoundBegin() < 0)
            out.notes.push_back("the recording is silent: nothing to split");
        else if (out.gaps.empty())
            out.notes.push_back("no gap found: the recording is one piece");
    }
    for (const Bounds& b : bounds) {
        SplitPiece p;
        p.begin = b.begin;
        p.frames = b.end - b.begin;
        p.levelDb = finder->levelOf(b.begin, b.end);
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
            out.notes.push_back(str(QString("a piece of %1 at %2 is shorter than %3 s: merged into its neighbour")
                                        .arg(detail::formatTime(double(gone.frames) / out.rate),
                                             detail::formatTime(double(gone.begin) / out.rate))
                                        .arg(settings.minLength)));
            if (k == 0) cueIndex[1] = cueIndex[0];
            cueIndex.erase(cueIndex.begin() + long(k));
            out.pieces.erase(out.pieces.begin() + long(k));
            k = into == 1 ? 0 : into;
        }
    }
    const int total = int(out.pieces.size());
    std::set<QString> names;
    const QString baseTitle = album.title.empty() ? QFileInfo(input).completeBaseName() : text(album.title);
    for (int k = 0; k < total; ++k) {
        SplitPiece& p = out.pieces[size_t(k)];
        p.number = k + 1;
        if (!settings.mergeShort && p.frames < minFrames) {
            p.isShort = true;
            out.notes.push_back(
                str(QString("piece %1 (%2 at %3) is shorter than %4 s (--merge-short joins it to a neighbour)")
                        .arg(p.number)
                        .arg(detail::formatTime(double(p.frames) / out.rate),
                             detail::formatTime(double(p.begin) / out.rate))
                        .arg(settings.minLength)));
        }
        SoundIDTag t = album;
        // Fields that describe the whole recording are not a piece's.
        for (const char* key : {"LENGTH", "REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK", "CUESHEET"}) t.extra.erase(key);
        const SoundCueSheet::Track* track = byCue ? &sheet.tracks[size_t(cueIndex[size_t(k)])] : nullptr;
        t.title = track && !track->title.empty() ? track->title
                                                 : (baseTitle + QString(" (%1)").arg(p.number)).toStdString();
        if (track && !track->performer.empty()) t.artist = track->performer;
        if (t.artist.empty() && byCue) t.artist = sheet.performer;
        if (t.album.empty()) t.album = byCue && !sheet.title.empty() ? sheet.title : album.title;
        t.track = std::to_string(p.number);
        t.trackTotal = std::to_string(total);
        p.title = t.title;
        p.artist = t.artist;
        QString file;
        if (nameTemplate.isEmpty()) {
            file = numberedName(outputTemplate, p.number);
        } else {
            const std::map<QString, QString> texts = {{"title", text(p.title)},  {"artist", text(p.artist)},
                                                      {"album", text(t.album)}, {"genre", text(t.genre)},
                                                      {"date", text(t.year)},   {"name", QFileInfo(input).completeBaseName()}};
            const QString name = naming.expand(p.number, total, texts).trimmed();
            if (name.isEmpty() || name == "." || name == "..")
                return ctx.fail(Kind::Setting, "nameTemplate", "bad name template",
                                QString("it gives piece %1 no name").arg(p.number));
            file = QDir(folder.filePath()).filePath(name + "." + ext);
        }
        p.file = str(file);
        if (!nameFits(ctx, file, settings.cue || settings.m3u)) return false;
        if (!names.insert(file).second)
            return ctx.fail(Kind::Setting, file, "two pieces would get this name",
                            "add {n} to the name template so that every piece has a name of its own");
        pieceTags.push_back(t);
    }
    const QString base = QDir(folder.filePath()).filePath(QFileInfo(outputTemplate).completeBaseName());
    if (settings.cue) out.cueFile = str(base + ".cue");
    if (settings.m3u) out.m3uFile = str(base + ".m3u");
    for (const std::string& f : {out.cueFile, out.m3uFile})
        if (!f.empty() && !nameFits(ctx, qstr(f), false)) return false;
    for (const std::string& f : {out.cueFile, out.m3uFile})
        if (!f.empty() && names.count(qstr(f)))
            return ctx.fail(Kind::Setting, qstr(f), "a piece and the list beside the pieces would get this name");
    // Pieces of an earlier split numbered past this one's last (a re-split
    // into fewer pieces) go, so that the folder holds one split only; they
    // are replaced, as the others are, with overwrite only.
    if (nameTemplate.isEmpty() && total > 0)
        for (int k = total + 1;; ++k) {
            const QString old = numberedName(outputTemplate, k);
            if (!QFileInfo(old).isFile()) break;
            stale << old;
        }
    if (!stale.isEmpty())
        out.notes.push_back(str(QString("%1 %2 of an earlier split with these names: %3")
                                    .arg(settings.dryRun ? "would remove" : "removes")
                                    .arg(stale.size() == 1 ? "the piece" : QString("%1 pieces").arg(stale.size()))
                                    .arg(stale.join(", "))));
    if (!settings.dryRun) {
        std::vector<std::string> all{out.cueFile, out.m3uFile};
        for (const SplitPiece& p : out.pieces) all.push_back(p.file);
        for (const QString& f : stale) all.push_back(str(f));
        for (const std::string& f : all)
            if (!f.empty() && !detail::mayWrite(ctx, qstr(f), input))
                return ctx.fail(Kind::Output, qstr(f), "will not write", detail::lastError());
    }
    return true;
}

bool Splitter::write() {
    if (out.pieces.empty()) return true;
    // The pieces, in one pass over the input, made in a temporary folder beside
    // their final place and moved there together once all are complete.
    detail::clearError();
    SoundOutputFolder made(folder.filePath());
    if (!made.ok()) return ctx.fail(Kind::Output, outputTemplate, "cannot write pieces here", detail::lastError());
    reader->rewind();
    PieceWriter writer(ctx, out.pieces, pieceTags, out.rate, detail::formatFor(ext, reader->getInputFormat()),
                       settings.bitRate, detail::outputChannels(*reader), made);
    auto copy = SoundRef<SoundAlgoSelectChannel>::make(0, 1);  // the frames as they are
    // The pass in a context of its own: the piece that failed, when one did,
    // says more than the pass.
    JobContext pass(control, ctx.passes());
    pass.setPass(ctx.pass());
    const bool ran = detail::runPass(pass, *copy, *reader, &writer, input, "write the pieces");
    if (pass.cancelled()) return ctx.fail(Kind::Cancelled, input, "cancelled");
    if (!writer.failedPiece().isEmpty()) return ctx.fail(Kind::Output, writer.failedPiece(), "cannot write", writer.failure());
    if (!ran || writer.written().size() != int(out.pieces.size()))
        return ctx.fail(Kind::Output, input, "cannot write the pieces",
                        ran ? detail::lastError() : detail::qstr(pass.error().cause));
    detail::clearError();
    if (!made.commit(writer.written(), ctx.overwrite()))
        return ctx.fail(Kind::Output, input, "cannot write the pieces", detail::lastError());
    for (const QString& f : stale)
        if (!QFile::remove(f)) ctx.warn(f, "cannot remove this piece of an earlier split");

    // The lists beside the pieces.
    if (!out.cueFile.empty()) {
        // The sheet of the album: its recording, where it is from beside the
        // sheet, with a track at each piece's start.
        SoundCueSheet list;
        list.title = album.album.empty() ? album.title : album.album;
        list.performer = album.artist;
        const QString recording = QFileInfo(qstr(out.cueFile)).dir().relativeFilePath(QFileInfo(input).absoluteFilePath());
        for (const SplitPiece& p : out.pieces) {
            SoundCueSheet::Track t;
            t.number = p.number;
            t.title = p.title;
            t.performer = p.artist;
            t.file = str(recording);
            t.start = SoundCueSheet::toCdFrames(p.begin, out.rate);
            list.tracks.push_back(t);
        }
        if (!saveText(ctx, qstr(out.cueFile), list.toText())) ctx.warn(qstr(out.cueFile), "cannot write the CUE sheet");
    }
    if (!out.m3uFile.empty()) {
        QString m3u = "#EXTM3U\n";
        for (const SplitPiece& p : out.pieces)
            m3u += QString("#EXTINF:%1,%2%3\n%4\n")
                       .arg(std::llround(double(p.frames) / out.rate))
                       .arg(p.artist.empty() ? QString() : oneLine(text(p.artist)) + " - ", oneLine(text(p.title)),
                            QFileInfo(qstr(p.file)).fileName());
        if (!saveText(ctx, qstr(out.m3uFile), m3u.toUtf8())) ctx.warn(qstr(out.m3uFile), "cannot write the playlist");
    }
    return true;
}

JobResult<SplitReport> run(const SplitSettings& settings, const JobControl& control, bool write) {
    const JobError bad = badSetting(settings);
    if (!bad.file.empty()) return bad;
    const bool writes = write && !settings.dryRun;
    JobContext ctx(control, 1 + (writes ? 1 : 0));
    Splitter s(ctx, control, settings);
    if (!s.plan()) return ctx.error();
    if (!write) s.out.dryRun = true;
    if (writes && !s.write()) return ctx.error();
    return s.out;
}

}  // namespace

JobResult<SplitReport> planSplit(const SplitSettings& settings, const JobControl& control) {
    SplitSettings dry = settings;
    dry.dryRun = true;
    return run(dry, control, false);
}

JobResult<SplitReport> split(const SplitSettings& settings, const JobControl& control) {
    return run(settings, control, true);
}

std::string toJson(const SplitReport& r) {
    const double rate = r.rate ? r.rate : 1;
    QJsonObject o;
    o["file"] = qstr(r.input);
    o["dryRun"] = r.dryRun;
    o["sampleRate"] = qint64(r.rate);
    o["frames"] = qint64(r.frames);
    o["cutsFrom"] = qstr(r.cutsFrom);
    if (r.cutsFrom == "gaps") {
        o["level"] = detail::roundDb(r.levelDb);
        o["floor"] = detail::roundDb(r.floorDb);
        o["silenceBelow"] = detail::roundDb(r.ceilingDb);
        QJsonArray gaps;
        for (const SplitGap& g : r.gaps) {
            QJsonObject j;
            j["start"] = detail::roundSeconds(g.begin / rate);
            j["length"] = detail::roundSeconds(g.frames / rate);
            j["startFrame"] = qint64(g.begin);
            j["frames"] = qint64(g.frames);
            j["level"] = detail::roundDb(g.levelDb);
            gaps.append(j);
        }
        o["gaps"] = gaps;
    }
    QJsonArray files;
    for (const SplitPiece& p : r.pieces) {
        QJsonObject j;
        j["file"] = qstr(p.file);
        j["track"] = p.number;
        j["title"] = qstr(p.title);
        j["start"] = detail::roundSeconds(p.begin / rate);
        j["length"] = detail::roundSeconds(p.frames / rate);
        j["startFrame"] = qint64(p.begin);
        j["frames"] = qint64(p.frames);
        j["level"] = std::isfinite(p.levelDb) ? QJsonValue(detail::roundDb(p.levelDb)) : QJsonValue();
        j["short"] = p.isShort;
        if (p.merged) j["merged"] = p.merged;
        files.append(j);
    }
    o["files"] = files;
    QJsonArray notes;
    for (const std::string& n : r.notes) notes.append(qstr(n));
    o["notes"] = notes;
    if (!r.cueFile.empty()) o["cue"] = qstr(r.cueFile);
    if (!r.m3uFile.empty()) o["m3u"] = qstr(r.m3uFile);
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace tonewright
