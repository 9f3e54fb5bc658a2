// tag: the ReplayGain tags the tag layer reads back, against ffmpeg's own loudness
// meter, and the sound as ffmpeg decodes it before and after tagging.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "common/ExternalAudio.h"
#include "common/Recordings.h"
#include "common/TestKit.h"
#include "tonewright/SoundTagFile.h"
#include "tonewright/Tag.h"

namespace {
constexpr unsigned kRate = 44100;

// The file made by ffmpeg (in the format of its name) from a 16-bit WAV of the frames, with a title.
QString makeFile(const tk::TempDir& dir, const QString& name, const tk::Frames& frames) {
    const QString wav = dir.path(name + ".source.wav"), out = dir.path(name);
    EXPECT_TRUE(tk::writeWav16(wav, frames, kRate, 2));
    // ffmpeg's codec for each extension: PCM, FLAC, Vorbis, LAME.
    EXPECT_EQ(tk::runCommand("ffmpeg -v error -y -i " + tk::shellQuote(wav) + " -metadata title=Kept " +
                             tk::shellQuote(out)),
              0);
    QFile::remove(wav);
    return out;
}

// The further fields as the library's tag layer reads them back (its own tests
// hold it to mutagen's reading of every format).
std::map<std::string, std::string> tags(const QString& file) {
    SoundIDTag t;
    EXPECT_EQ(SoundTagFile::read(file, t), SoundTools::Ok) << file.toStdString();
    return t.extra;
}

// A gain ("-1.23 dB") or a peak ("0.123456", as dB) in the one form the tags take.
double tagValue(const std::string& text, bool peak) {
    const char* form = peak ? "^[0-9]+\\.[0-9]{6}$" : "^-?[0-9]+\\.[0-9]{2} dB$";
    EXPECT_TRUE(QRegularExpression(form).match(QString::fromStdString(text)).hasMatch()) << text;
    const double v = std::strtod(text.c_str(), nullptr);
    return peak ? 20.0 * std::log10(v) : v;
}
double gainOf(const std::string& text) { return tagValue(text, false); }

QStringList filesIn(const tk::TempDir& dir) { return QDir(dir.root()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }

tonewright::TagReport tagged(const std::vector<QString>& files, bool album) {
    tonewright::TagSettings s;
    for (const QString& f : files) s.inputs.push_back(f.toStdString());
    s.album = album;
    const tonewright::JobResult<tonewright::TagReport> r = tonewright::tag(s);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? *r : tonewright::TagReport();
}
}  // namespace

// The gain is -18 LUFS less the loudness and the peak the true peak, as ffmpeg
// measures them; the title stays, and the sound ffmpeg decodes is the same, sample for sample.
TEST(Tag, TrackTagsMatchAnIndependentMeterAndTheSoundIsUntouched) {
    if (!tk::haveTool("ffmpeg") || !tk::haveTool("ffprobe")) GTEST_SKIP() << "ffmpeg and ffprobe are needed";
    tk::TempDir dir;
    const tk::Frames music = tk::track(kRate * 6, kRate, -16.0, 5);
    for (const QString ext : {"wav", "flac", "ogg", "mp3"}) {
        SCOPED_TRACE(ext.toStdString());
        const QString file = makeFile(dir, "song." + ext, music);
        tk::Frames before, after;
        ASSERT_TRUE(tk::decodeWithFfmpeg(file, &before));
        const tonewright::TagReport r = tagged({file}, false);
        ASSERT_TRUE(r.files.size() == 1 && r.files[0].tagged);
        ASSERT_TRUE(tk::decodeWithFfmpeg(file, &after));
        EXPECT_EQ(tk::maxAbsDiff(after, before), 0.0);
        const std::map<std::string, std::string> t = tags(file);
        ASSERT_TRUE(t.count("REPLAYGAIN_TRACK_GAIN") && t.count("REPLAYGAIN_TRACK_PEAK"));
        EXPECT_EQ(t.count("REPLAYGAIN_ALBUM_GAIN"), 0u);
        // The title as ffprobe reads it (a WAV file's from its INFO list).
        std::string title;
        for (const auto& kv : tk::ffprobe(file, "format_tags:stream_tags"))
            if (QString::fromStdString(kv.first).compare("TAG:title", Qt::CaseInsensitive) == 0) title = kv.second;
        EXPECT_EQ(title, "Kept");
        const tk::FfmpegLoudness ff = tk::ffmpegLoudness(file);
        ASSERT_TRUE(ff.ok);
        EXPECT_NEAR(gainOf(t.at("REPLAYGAIN_TRACK_GAIN")), -18.0 - ff.integrated, 0.1);
        EXPECT_NEAR(tagValue(t.at("REPLAYGAIN_TRACK_PEAK"), true), ff.truePeak, 0.2);
        EXPECT_EQ(t.at("REPLAYGAIN_TRACK_GAIN"), r.files[0].track.gainText);
        EXPECT_EQ(filesIn(dir), QStringList{"song." + ext});  // no copy left behind
        QFile::remove(file);
    }
}

// In album mode every track gets the gain of the tracks measured as one
// recording (ffmpeg on them joined end to end) and the largest peak; a track
// named through a link stays a link to the tagged file.
TEST(Tag, AlbumGainIsTheLoudnessOfTheTracksTogether) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed";
    tk::TempDir dir;
    const tk::Frames quiet = tk::track(kRate * 5, kRate, -24.0, 1), loud = tk::track(kRate * 5, kRate, -12.0, 2);
    const QString a = makeFile(dir, "a.flac", quiet), b = makeFile(dir, "b.flac", loud);
    const QString joined = dir.path("joined.wav"), link = dir.path("link.flac");
    ASSERT_TRUE(tk::writeWav16(joined, tk::concat({quiet, loud}), kRate, 2));
    const tk::FfmpegLoudness whole = tk::ffmpegLoudness(joined);
    ASSERT_TRUE(whole.ok && QFile::link(b, link));
    const tonewright::TagReport r = tagged({a, link}, true);
    ASSERT_TRUE(r.album && r.files.size() == 2 && r.files[0].tagged && r.files[1].tagged);
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    const std::map<std::string, std::string> ta = tags(a), tb = tags(b);
    EXPECT_EQ(ta.at("REPLAYGAIN_ALBUM_GAIN"), tb.at("REPLAYGAIN_ALBUM_GAIN"));
    EXPECT_EQ(ta.at("REPLAYGAIN_ALBUM_PEAK"), tb.at("REPLAYGAIN_ALBUM_PEAK"));
    EXPECT_EQ(ta.at("REPLAYGAIN_ALBUM_GAIN"), r.album->gainText);
    EXPECT_NEAR(gainOf(ta.at("REPLAYGAIN_ALBUM_GAIN")), -18.0 - whole.integrated, 0.15);
    EXPECT_EQ(ta.at("REPLAYGAIN_ALBUM_PEAK"), tb.at("REPLAYGAIN_TRACK_PEAK"));  // the loud track's
    EXPECT_NEAR(gainOf(ta.at("REPLAYGAIN_TRACK_GAIN")) - gainOf(tb.at("REPLAYGAIN_TRACK_GAIN")), 12.0, 0.5);
}

// Files that cannot be tagged carry the cause and are left byte for byte as
// they were, with no copy beside them.
TEST(Tag, RefusedFilesAreLeftAsTheyWere) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed";
    tk::TempDir dir;
    // sound: made into the file by ffmpeg; bytes: the file's when there is no sound.
    const std::tuple<QString, tk::Frames, QByteArray, const char*> rows[] = {
        {"silent.flac", tk::silence(kRate * 3), {}, "silent (-inf LUFS)"},
        {"noise.flac", tk::track(kRate * 3, kRate, -66.0, 3), {}, "fainter than -60 LUFS"},
        {"short.wav", tk::track(kRate / 5, kRate, -16.0, 3), {}, "shorter than one 400 ms gating block"},
        {"readonly.flac", tk::track(kRate * 2, kRate, -16.0, 3), {}, "read-only"},
        {"damaged.flac", {}, QByteArray("fLaC\0\0\0\042garbage", 15), "cannot"},
        {"notes.txt", {}, "not sound", "only into WAV, FLAC, Ogg Vorbis and MP3"},
        {"song.oga", {}, "OggS", "named .ogg"}};
    for (const auto& [name, sound, bytes, why] : rows) {
        SCOPED_TRACE(name.toStdString());
        const QString file = sound.empty() ? dir.path(name) : makeFile(dir, name, sound);
        if (sound.empty()) { ASSERT_TRUE(tk::writeBytes(file, bytes)); }
        if (name == "readonly.flac") {
            ASSERT_TRUE(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        }
        const QByteArray before = tk::fileBytes(file);
        const tonewright::TagReport one = tagged({file}, false);
        ASSERT_EQ(one.files.size(), 1u);
        EXPECT_FALSE(one.files[0].tagged);
        EXPECT_EQ(one.files[0].error.file, file.toStdString());
        EXPECT_NE(one.files[0].error.message().find(why), std::string::npos) << one.files[0].error.message();
        EXPECT_EQ(tk::fileBytes(file), before);
        EXPECT_EQ(filesIn(dir), QStringList{name});
        QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QFile::remove(file);
    }
    // Faint but above that floor: tagged, the gain capped at +24 dB with a warning.
    std::vector<std::string> warned;
    tonewright::JobControl control;
    control.warning = [&](const std::string& w) { warned.push_back(w); };
    const tonewright::JobResult<tonewright::TagReport> faint =
        tonewright::tag({{makeFile(dir, "faint.flac", tk::track(kRate * 3, kRate, -50.0, 6)).toStdString()}}, control);
    ASSERT_TRUE(faint.ok() && faint->files[0].tagged);
    EXPECT_EQ(faint->files[0].track.gainText, "24.00 dB");
    EXPECT_EQ(warned.size(), 1u);
}

// The tagged file keeps its owner, group, mode and extended attributes, and
// every name of it (hard links) shows the tags.
TEST(Tag, OwnerModeAttributesAndLinksAreKept) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed";
    tk::TempDir dir;
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "hard-linked" : "another owner");
        const QString file = makeFile(dir, linked ? "linked.flac" : "owned.flac", tk::track(kRate * 2, kRate, -16.0, 4));
        const QByteArray f = QFile::encodeName(file), other = QFile::encodeName(dir.path("other.flac"));
        if (linked) { ASSERT_EQ(::link(f.constData(), other.constData()), 0); }
        const bool root = ::geteuid() == 0;
        if (root && !linked) { ASSERT_EQ(::chown(f.constData(), 65534, 65534), 0); }
        ASSERT_EQ(::chmod(f.constData(), linked ? 0640 : 0600), 0);
        const bool attributes = ::setxattr(f.constData(), "user.note", "kept", 4, 0) == 0;
        struct stat before {}, after {};
        ASSERT_EQ(::stat(f.constData(), &before), 0);
        ASSERT_TRUE(tagged({file}, false).files.at(0).tagged);
        ASSERT_EQ(::stat(f.constData(), &after), 0);
        EXPECT_EQ(std::make_tuple(after.st_uid, after.st_gid, after.st_mode, after.st_nlink),
                  std::make_tuple(before.st_uid, before.st_gid, before.st_mode, before.st_nlink));
        char note[8] = {};
        if (attributes) { EXPECT_EQ(::getxattr(f.constData(), "user.note", note, sizeof note), 4); }
        EXPECT_EQ(tags(linked ? dir.path("other.flac") : file).count("REPLAYGAIN_TRACK_GAIN"), 1u);
    }
}
