// tag: ReplayGain 2.0 tags written into recordings in place.
#include "tonewright/Tag.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <map>

#include "jobs/JobContext.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundFormats.h"
#include "tonewright/SoundOutputFile.h"
#include "tonewright/SoundTagFile.h"
#include "tonewright/SoundUnits.h"

namespace tonewright {

namespace {

using detail::JobContext;
using Fields = std::map<std::string, std::string>;
using Kind = JobError::Kind;

constexpr double kReferenceLufs = -18.0;  // the loudness a ReplayGain 2.0 gain brings a recording to
// Fainter than this, a recording is noise or near silence (a noise floor
// measures about -64 LUFS): no gain is given to it.
constexpr double kFloorLufs = -60.0;
// The largest gain written: more would turn a player's volume into a hazard.
constexpr double kMaxGainDb = 24.0;

// The figures of a loudness and peak, the gain capped at kMaxGainDb (with a
// warning in ctx naming `who`).
ReplayGainFigures figures(JobContext& ctx, const QString& who, double loudness, double truePeak) {
    ReplayGainFigures f;
    f.loudness = loudness;
    f.truePeak = truePeak;
    f.gain = kReferenceLufs - loudness;
    if (f.gain > kMaxGainDb) {
        ctx.warn(who, QString("the gain of %1 dB that brings it from %2 LUFS to -18 LUFS is capped at +%3 dB")
                          .arg(f.gain, 0, 'f', 2)
                          .arg(loudness, 0, 'f', 2)
                          .arg(kMaxGainDb, 0, 'f', 2));
        f.gain = kMaxGainDb;
    }
    f.peak = SoundTools::gainOfDb(truePeak);
    f.gainText = QString::asprintf("%.2f dB", f.gain).toStdString();
    f.peakText = QString::asprintf("%.6f", f.peak).toStdString();
    return f;
}

// The peak as the tag gives it, for JSON.
double ratioRounded(double ratio) { return std::round(ratio * 1e6) / 1e6; }

// Why a measurement gives no gain, in words; empty when it gives one.
QString noGainCause(const SoundAlgoLoudness& l) {
    if (l.isTooShort())
        return "the recording is shorter than one 400 ms gating block, so it has no integrated loudness; no tag "
               "was written";
    if (!std::isfinite(l.getIntegrated()))
        return "the recording is silent (-inf LUFS), so no gain can be given; no tag was written";
    if (l.getIntegrated() < kFloorLufs)
        return QString("the recording is at %1 LUFS, fainter than %2 LUFS: noise or near silence, so no gain is "
                       "given; no tag was written")
            .arg(l.getIntegrated(), 0, 'f', 2)
            .arg(kFloorLufs, 0, 'f', 0);
    return QString();
}

// Whether the file may be tagged at all; false after ctx.fail(). Checked
// before it is measured, so that no time is spent on a file that is refused.
bool mayTag(JobContext& ctx, const QString& file) {
    const QFileInfo info(file);
    const std::string problem = unreadableInput(file);
    if (!problem.empty()) return ctx.fail(Kind::Input, file, "cannot tag", detail::qstr(problem));
    if (!SoundTagFile::isTaggable(file)) {
        const std::string refusal = refusalOf(detail::str(info.suffix()));
        return ctx.fail(Kind::Input, file, "cannot tag",
                        refusal.empty() ? QString("tags are written only into WAV, FLAC, Ogg Vorbis and MP3 files")
                                        : detail::qstr(refusal));
    }
    // The owner's write bit counts even for a user who could write anyway:
    // a file marked read-only is left as it is.
    if (!info.isWritable() || !(info.permissions() & QFileDevice::WriteOwner))
        return ctx.fail(Kind::Input, file, "will not tag", "the file is read-only; it is left as it was");
    return true;
}

// One pass over the file through the loudness measurement; false after ctx.fail().
bool measure(JobContext& ctx, const QString& file, SoundRef<SoundAlgoLoudness>& loudness) {
    std::unique_ptr<SoundReader> reader = detail::openReader(file);
    if (!reader) return ctx.fail(Kind::Input, file, "cannot read", detail::lastError());
    loudness = SoundRef<SoundAlgoLoudness>::make(0.0);
    // This loop only decodes: the loudness and the peaks are measured on the
    // meter's own thread, beside it.
    if (!detail::runPass(ctx, *loudness, *reader, nullptr, file, "measure the loudness")) return false;
    if (reader->hasFailed()) return ctx.fail(Kind::Processing, file, "cannot measure the loudness", detail::lastError());
    return true;
}

// Gives the copy what the file has besides its bytes: owner and group, mode
// and extended attributes (ACLs among them). False when one of them cannot be
// given (another user's file, a file system without the attributes).
bool keepsAttributes(const QString& copy, const QString& file, const struct stat& st) {
    const QByteArray c = QFile::encodeName(copy), f = QFile::encodeName(file);
    struct stat mine {};
    if (::stat(c.constData(), &mine) != 0) return false;
    if ((mine.st_uid != st.st_uid || mine.st_gid != st.st_gid) && ::chown(c.constData(), st.st_uid, st.st_gid) != 0)
        return false;
    // After chown, which may clear the set-id bits.
    if (::chmod(c.constData(), st.st_mode & 07777) != 0) return false;
    const ssize_t size = ::listxattr(f.constData(), nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    std::vector<char> names(size_t(size) + 1, '\0');
    const ssize_t got = ::listxattr(f.constData(), names.data(), names.size());
    if (got < 0) return false;
    for (const char* name = names.data(); name < names.data() + got; name += std::strlen(name) + 1) {
        const ssize_t n = ::getxattr(f.constData(), name, nullptr, 0);
        if (n < 0) return false;
        std::vector<char> value(size_t(n) + 1);
        const ssize_t v = ::getxattr(f.constData(), name, value.data(), value.size());
        if (v < 0 || ::setxattr(c.constData(), name, value.data(), size_t(v), 0) != 0) return false;
    }
    return true;
}

// Writes the tagged copy's bytes over the file itself, which keeps its inode:
// every name (hard link), owner, group, mode and attribute stays. The room is
// reserved first, so that a full disk stops it before a byte is changed. False
// with the cause; *touched says whether the file's bytes may have changed.
bool writeOver(const QString& copy, const QString& file, QString* why, bool* touched) {
    *touched = false;
    QFile from(copy);
    if (!from.open(QIODevice::ReadOnly)) {
        *why = from.errorString();
        return false;
    }
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const qint64 size = from.size();
    int error = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(size)) == 0 ? 0 : errno;
    if (error == EOPNOTSUPP || error == ENOSYS) error = 0;  // no reservation here: written as it comes
    std::vector<char> block(1 << 20);
    *touched = error == 0;
    for (qint64 at = 0; error == 0 && at < size;) {
        const qint64 n = from.read(block.data(), qint64(block.size()));
        if (n <= 0) {
            error = EIO;
            break;
        }
        for (qint64 done = 0; error == 0 && done < n;) {
            const ssize_t w = ::pwrite(fd, block.data() + done, size_t(n - done), off_t(at + done));
            if (w < 0 && errno != EINTR) error = errno;
            if (w > 0) done += w;
        }
        at += n;
    }
    if (error == 0 && ::ftruncate(fd, off_t(size)) != 0) error = errno;
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    ::close(fd);
    if (error != 0) *why = QString::fromLocal8Bit(std::strerror(error)).toLower();
    return error == 0;
}

// Sets the fields on a copy beside the file and reads them back; the copy
// then replaces the file, given its owner, group, mode and attributes, or,
// when it cannot be given them or the file has other names (hard links), its
// bytes are written over the file's own. A failure before that leaves the file
// as it was. False after ctx.fail().
bool tagInPlace(JobContext& ctx, const QString& file, const Fields& fields) {
    // A link stays a link: the file it leads to is the one tagged.
    const QFileInfo info(file);
    const QString target = info.isSymLink() ? info.canonicalFilePath() : file;
    struct stat st {};
    if (::stat(QFile::encodeName(target).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return ctx.fail(Kind::Input, file, "cannot tag", "not a regular file");
    detail::clearError();
    SoundOutputFile copy(target);
    if (!copy.ok() || copy.path() == target)
        return ctx.fail(Kind::Input, file, "cannot tag", copy.ok() ? QString("not a regular file") : detail::lastError());
    QFile source(target);
    if (!source.copy(copy.path()))
        return ctx.fail(Kind::Output, file, "cannot tag",
                        "cannot make a copy of it beside it (" + source.errorString() + "); it is left as it was");
    SoundIDTag back;
    bool verified = SoundTagFile::setFields(copy.path(), fields) == SoundTools::Ok &&
                    SoundTagFile::read(copy.path(), back) == SoundTools::Ok;
    for (const auto& kv : fields) verified = verified && back.extra[kv.first] == kv.second;
    if (!verified)
        return ctx.fail(Kind::Input, file, "cannot write the tags",
                        QString("the file is damaged or is not the %1 file its name says; it is left as it was")
                            .arg(QFileInfo(file).suffix().toUpper()));
    if (st.st_nlink == 1 && keepsAttributes(copy.path(), target, st)) {
        detail::clearError();
        if (!copy.commit(true))
            return ctx.fail(Kind::Output, file, "cannot tag", detail::lastError() + "; it is left as it was");
        return true;
    }
    QString why;
    bool touched = false;
    if (writeOver(copy.path(), target, &why, &touched)) return true;
    if (!touched) return ctx.fail(Kind::Output, file, "cannot tag", why + "; it is left as it was");
    // The file may be half written: the tagged copy, complete, is kept beside it.
    const QString kept = target + ".tagged";
    if (SoundOutputFile::moveFile(copy.path(), kept, false) == 0)
        return ctx.fail(Kind::Output, file, "cannot tag",
                        "writing the tags into it failed (" + why + "); the file may be damaged: a tagged copy is kept as " + kept);
    return ctx.fail(Kind::Output, file, "cannot tag", "writing the tags into it failed (" + why + ")");
}

// Tags one file from its measurement (and the album's figures, when given).
void tagFile(JobContext& ctx, TagFileReport& out, const SoundAlgoLoudness& l, const ReplayGainFigures* album) {
    const QString file = detail::qstr(out.file);
    const QString cause = noGainCause(l);
    if (!cause.isEmpty()) {
        ctx.fail(Kind::Input, file, "cannot tag", cause);
        return;
    }
    out.track = figures(ctx, file, l.getIntegrated(), l.getTruePeak());
    Fields fields{{"REPLAYGAIN_TRACK_GAIN", out.track.gainText}, {"REPLAYGAIN_TRACK_PEAK", out.track.peakText}};
    if (album) {
        fields["REPLAYGAIN_ALBUM_GAIN"] = album->gainText;
        fields["REPLAYGAIN_ALBUM_PEAK"] = album->peakText;
        out.album = *album;
    }
    out.tagged = tagInPlace(ctx, file, fields);
}

}  // namespace

JobResult<TagReport> tag(const TagSettings& settings, const JobControl& control) {
    if (settings.inputs.empty()) return JobError{Kind::Setting, "inputs", "no input file", ""};
    for (const std::filesystem::path& p : settings.inputs)
        if (p.empty()) return JobError{Kind::Setting, "inputs", "an input has no name", ""};
    const int n = int(settings.inputs.size());
    TagReport report;
    report.files.resize(settings.inputs.size());
    for (int i = 0; i < n; ++i) report.files[size_t(i)].file = detail::str(detail::qpath(settings.inputs[size_t(i)]));
    // The end of one file: its error, from its own context.
    auto settle = [](TagFileReport& f, const JobContext& c) {
        if (c.failed()) {
            f.tagged = false;
            f.error = c.error();
        }
    };

    if (!settings.album) {
        bool cancelled = false;
        for (int i = 0; i < n; ++i) {
            TagFileReport& f = report.files[size_t(i)];
            JobContext ctx(control, n);
            ctx.setPass(i);
            const QString file = detail::qstr(f.file);
            SoundRef<SoundAlgoLoudness> l;
            if (cancelled)
                ctx.fail(Kind::Cancelled, file, "cancelled");
            else if (mayTag(ctx, file) && measure(ctx, file, l))
                tagFile(ctx, f, *l, nullptr);
            settle(f, ctx);
            cancelled = cancelled || ctx.cancelled();
        }
        return report;
    }

    // An album is measured whole before any file is tagged: a track that is
    // refused or cannot be read stops the job with every file as it was.
    JobContext ctx(control, n);
    std::vector<SoundRef<SoundAlgoLoudness>> tracks(settings.inputs.size());
    std::vector<SoundAlgoLoudness*> measured;
    for (int i = 0; i < n; ++i) {
        const QString file = detail::qstr(report.files[size_t(i)].file);
        ctx.setPass(i);
        if (!mayTag(ctx, file) || !measure(ctx, file, tracks[size_t(i)])) return ctx.error();
        measured.push_back(tracks[size_t(i)].get());
    }
    const double loudness = SoundAlgoLoudness::albumLoudness(measured);
    if (!std::isfinite(loudness) || loudness < kFloorLufs) {
        const QString cause =
            std::isfinite(loudness)
                ? QString("the album is at %1 LUFS, fainter than %2 LUFS: noise or near silence, so no gain is given; "
                          "no tag was written")
                      .arg(loudness, 0, 'f', 2)
                      .arg(kFloorLufs, 0, 'f', 0)
                : QString("the album is silent (-inf LUFS), so no gain can be given; no tag was written");
        for (TagFileReport& f : report.files) {
            JobContext fileCtx(control, n);
            fileCtx.fail(Kind::Input, detail::qstr(f.file), "cannot tag", cause);
            settle(f, fileCtx);
        }
        return report;
    }
    report.album = figures(ctx, "the album", loudness, SoundAlgoLoudness::albumTruePeak(measured));
    for (int i = 0; i < n; ++i) {
        TagFileReport& f = report.files[size_t(i)];
        JobContext fileCtx(control, n);
        tagFile(fileCtx, f, *tracks[size_t(i)], &*report.album);
        settle(f, fileCtx);
    }
    return report;
}

std::string toJson(const TagFileReport& r) {
    QJsonObject o{{"file", detail::qstr(r.file)},
                  {"loudness", detail::roundDb(r.track.loudness)},
                  {"truePeak", detail::roundDb(r.track.truePeak)},
                  {"trackGain", detail::roundDb(r.track.gain)},
                  {"trackPeak", ratioRounded(r.track.peak)}};
    if (r.album) {
        o["albumGain"] = detail::roundDb(r.album->gain);
        o["albumPeak"] = ratioRounded(r.album->peak);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace tonewright
