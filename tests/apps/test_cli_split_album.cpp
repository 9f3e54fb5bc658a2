// split on generated albums of known structure: every gap found within 50 ms,
// no cut inside a track (quiet intros, fade-outs and long quiet passages stay
// sound), dry run = real run to the frame on several recordings and formats
// (pieces decoded by ffmpeg), tags on every piece, the CUE
// sheet and playlist, cutting at a given CUE sheet, and refusals that write
// nothing.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <cmath>
#include <cstdio>
#include <random>

#include "CliKit.h"
#include "common/ExternalAudio.h"
#include "common/FileKit.h"
#include "tonewright/SoundTagFile.h"

using clitest::tool;

namespace {

// One stretch of a generated album.
struct Part {
    enum Kind { Sound, Fade, Gap } kind;
    double seconds;
    double levelDb;  // Sound/Fade: RMS of the louder channel (Fade: where it starts)
};

struct Album {
    tk::Frames frames;
    unsigned rate;
    std::vector<std::pair<int64_t, int64_t>> gaps;  // true silences between sounds, [begin, end)
};

// The parts in order; a noise floor (dB RMS, -inf for digital silence) lies
// under everything, the gaps holding nothing else.
Album makeAlbum(const std::vector<Part>& parts, unsigned rate, double noiseDb) {
    Album a;
    a.rate = rate;
    uint32_t seed = 3;
    for (size_t k = 0; k < parts.size(); ++k) {
        const Part& p = parts[k];
        const size_t n = size_t(std::llround(p.seconds * rate));
        const int64_t at = int64_t(a.frames.size());
        if (p.kind == Part::Gap) {
            if (k > 0 && k + 1 < parts.size()) a.gaps.push_back({at, at + int64_t(n)});
            a.frames.resize(a.frames.size() + n, tk::Frame(0, 0));
            continue;
        }
        tk::Frames t = tk::track(n, rate, p.levelDb, seed++);
        if (p.kind == Part::Fade)
            for (size_t i = 0; i < n; ++i) {
                const double g = double(n - i) / double(n);
                t[i] = tk::Frame(t[i].l * g, t[i].r * g);
            }
        a.frames.insert(a.frames.end(), t.begin(), t.end());
    }
    if (std::isfinite(noiseDb)) {
        std::mt19937 gen(11);
        std::normal_distribution<double> g(0.0, std::pow(10.0, noiseDb / 20.0));
        for (tk::Frame& f : a.frames) f = tk::Frame(f.l + g(gen), f.r + g(gen));
    }
    return a;
}

// Tracks of the albums below: a plain one, one with a 4 s quiet intro (about
// -42 dBFS peak), one with a 4.9 s fade-out, one with a 10 s quiet passage at
// -52 dB inside; gaps of 0.3 to 4 s.
std::vector<Part> albumParts() {
    return {{Part::Gap, 0.7, 0},   {Part::Sound, 3, -12},  {Part::Gap, 0.3, 0},   {Part::Sound, 4, -45},
            {Part::Sound, 3, -10}, {Part::Gap, 0.5, 0},    {Part::Sound, 3, -14}, {Part::Fade, 4.9, -14},
            {Part::Gap, 1.0, 0},   {Part::Sound, 3, -10},  {Part::Sound, 10, -52}, {Part::Sound, 3, -10},
            {Part::Gap, 2.0, 0},   {Part::Sound, 3, -16},  {Part::Gap, 4.0, 0},   {Part::Sound, 2.5, -12},
            {Part::Gap, 1.0, 0}};
}

QString writeAlbum(const tk::TempDir& dir, const QString& name, const Album& a, unsigned channels) {
    const QString path = dir.path(name);
    EXPECT_TRUE(tk::writeWav16(path, a.frames, a.rate, channels));
    return path;
}

QJsonObject runJson(const QStringList& args) {
    const clitest::Run r = tool(QStringList{"split", "--json"} + args);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    return r.json().object();
}

QStringList filesIn(const QString& dir) { return QDir(dir).entryList(QDir::Files, QDir::Name); }

TEST(CliSplitAlbum, EveryGapWithin50msAndNoCutInsideATrack) {
    struct Row {
        const char* name;
        unsigned rate, channels;
        double noiseDb;
    };
    const Row rows[] = {
        {"digital silence, 44.1 kHz stereo", 44100, 2, -INFINITY},
        {"noise at -70 dBFS, 44.1 kHz stereo", 44100, 2, -70},
        {"noise at -70 dBFS, 96 kHz mono", 96000, 1, -70},
    };
    tk::TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Album a = makeAlbum(albumParts(), row.rate, row.noiseDb);
        const QString input = writeAlbum(dir, "album.wav", a, row.channels);
        const QJsonObject r = runJson({"-n", "--min-silence", "0.3", input});
        const QJsonArray gaps = r["gaps"].toArray(), files = r["files"].toArray();
        ASSERT_EQ(gaps.size(), int(a.gaps.size())) << QJsonDocument(r).toJson().toStdString();
        ASSERT_EQ(files.size(), gaps.size() + 1);
        double worst = 0;
        for (int k = 0; k < gaps.size(); ++k) {
            const int64_t begin = gaps[k].toObject()["startFrame"].toVariant().toLongLong();
            const int64_t end = begin + gaps[k].toObject()["frames"].toVariant().toLongLong();
            const double eb = std::fabs(double(begin - a.gaps[size_t(k)].first)) / a.rate;
            const double ee = std::fabs(double(end - a.gaps[size_t(k)].second)) / a.rate;
            EXPECT_LE(eb, 0.05) << "gap " << k << " starts at frame " << begin;
            EXPECT_LE(ee, 0.05) << "gap " << k << " ends at frame " << end;
            worst = std::max({worst, eb, ee});
            // The cut between pieces k and k+1 lies inside the true gap.
            const int64_t cut = files[k + 1].toObject()["startFrame"].toVariant().toLongLong();
            EXPECT_GE(cut, a.gaps[size_t(k)].first);
            EXPECT_LE(cut, a.gaps[size_t(k)].second);
        }
        std::printf("[ boundary ] %s: %d gaps, largest error %.1f ms\n", row.name, gaps.size(), worst * 1000);
        // Without --min-silence the album default finds all but the 0.3 s gap.
        EXPECT_EQ(runJson({"-n", input})["gaps"].toArray().size(), int(a.gaps.size()) - 1);
    }
}

// The pieces a dry run announces are the files a real run writes, frame for
// frame: lengths and (for lossless pieces) samples from ffmpeg's decoding.
TEST(CliSplitAlbum, DryRunIsTheRealRunToTheFrame) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed";
    const bool lame = !tool({"--version"}).out.contains("LAME not found");
    struct Row {
        double noiseDb;
        const char* format;
        QStringList options;
    };
    const Row rows[] = {
        {-INFINITY, "wav", {}},
        {-70, "flac", {"--keep", "0.2,0.6"}},
        {-INFINITY, "ogg", {"--cut-at", "0"}},
        {-70, "mp3", {"--min-length", "3", "--merge-short"}},
        {-70, "wav", {"--cut-at", "1", "--min-silence", "1.5"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.format) + " " + row.options.join(' ').toStdString());
        if (std::string(row.format) == "mp3" && !lame) continue;
        tk::TempDir dir;
        const Album a = makeAlbum(albumParts(), 44100, row.noiseDb);
        const QString input = writeAlbum(dir, "album.wav", a, 2);
        tk::Frames source;  // the input as ffmpeg decodes it
        ASSERT_TRUE(tk::decodeWithFfmpeg(input, &source));
        const QStringList args = QStringList{"-f", row.format} + row.options + QStringList{input};
        const QJsonArray dry = runJson(QStringList{"-n"} + args)["files"].toArray();
        ASSERT_EQ(filesIn(dir.root()), QStringList{"album.wav"});
        const QJsonArray real = runJson(args)["files"].toArray();
        ASSERT_GT(dry.size(), 1);
        ASSERT_EQ(dry, real);
        ASSERT_EQ(filesIn(dir.root()).size(), dry.size() + 1);
        const bool lossless = std::string(row.format) == "wav" || std::string(row.format) == "flac";
        for (const QJsonValue& v : real) {
            const QJsonObject f = v.toObject();
            SCOPED_TRACE(f["file"].toString().toStdString());
            tk::Frames decoded;
            ASSERT_TRUE(tk::decodeWithFfmpeg(f["file"].toString(), &decoded));
            const int64_t begin = f["startFrame"].toVariant().toLongLong();
            EXPECT_EQ(int64_t(decoded.size()), f["frames"].toVariant().toLongLong());
            if (!lossless) continue;
            for (size_t i = 0; i < decoded.size(); ++i) {
                ASSERT_EQ(decoded[i].l, source[size_t(begin) + i].l) << i;
                ASSERT_EQ(decoded[i].r, source[size_t(begin) + i].r) << i;
            }
        }
    }
}

// The pieces carry the album's tags with their own number, total and title and
// the cover, in every format, as the library's tag layer reads them back (its
// own tests hold it to mutagen's reading of every format).
TEST(CliSplitAlbum, PiecesGetTheAlbumTagsTheirNumberTitleAndCover) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "sox is needed";
    const bool lame = !tool({"--version"}).out.contains("LAME not found");
    tk::TempDir dir;
    std::vector<Part> parts = {{Part::Sound, 2, -12}, {Part::Gap, 1, 0}, {Part::Sound, 2, -12}, {Part::Gap, 1, 0},
                               {Part::Sound, 2.5, -14}};
    const QString wav = writeAlbum(dir, "source.wav", makeAlbum(parts, 44100, -INFINITY), 2);
    const QString input = dir.path("07 - Live.flac");
    ASSERT_EQ(tk::runCommand("sox " + tk::shellQuote(wav) + " " + tk::shellQuote(input)), 0);
    // Title, artist, album, year, comment, track, genre, cover, its type, total, extra.
    const SoundIDTag album{"Live", "Band", "Concert", "2019", "", "5", "Jazz", tk::pngCover(), "image/png", "", {}};
    ASSERT_EQ(SoundTagFile::write(input, album), SoundTools::Ok);
    // The input's own number: a real tag wins over the name; a name gives one
    // only by its leading number.
    ASSERT_TRUE(QDir().mkpath(dir.path("CD 1999")));
    const std::pair<QString, QJsonValue> numbered[] = {{input, "5"},
                                                       {dir.path("07-song.wav"), "7"},
                                                       {dir.path("mini-24.wav"), QJsonValue()},
                                                       {dir.path("CD 1999/x.wav"), QJsonValue()}};
    for (const auto& c : numbered) {
        if (c.first != input) {
            ASSERT_TRUE(QFile::copy(wav, c.first));
        }
        const clitest::Run info = tool({"info", "--json", c.first});
        EXPECT_EQ(info.json().object()["tags"].toObject()["track"], c.second) << c.first.toStdString();
    }
    for (const char* ext : {"wav", "flac", "ogg", "mp3"}) {
        SCOPED_TRACE(ext);
        if (std::string(ext) == "mp3" && !lame) continue;
        const QString out = dir.path(QString("pieces-") + ext) + "/";
        const QJsonArray files = runJson({"-f", ext, "-o", out, "--name", "{n:02} - {title}", input})["files"].toArray();
        ASSERT_EQ(files.size(), 3);
        for (int k = 1; k <= 3; ++k) {
            SoundIDTag expected = album, got;
            expected.title = QString("Live (%1)").arg(k).toStdString();
            expected.track = std::to_string(k);
            expected.trackTotal = "3";
            const QString piece =
                out + QString("%1 - %2.%3").arg(k, 2, 10, QChar('0')).arg(QString::fromStdString(expected.title), ext);
            EXPECT_EQ(files[k - 1].toObject()["file"].toString(), QDir::cleanPath(piece));
            ASSERT_EQ(SoundTagFile::read(piece, got), SoundTools::Ok) << piece.toStdString();
            EXPECT_EQ(tk::tagText(got), tk::tagText(expected)) << piece.toStdString();
        }
    }
}

TEST(CliSplitAlbum, CueSheetPlaylistAndCuttingAtASheet) {
    tk::TempDir dir;
    const Album a = makeAlbum(albumParts(), 44100, -70);
    const QString input = writeAlbum(dir, "album.wav", a, 2);
    const QJsonObject r = runJson({"--cue", "--m3u", input});
    const QJsonArray files = r["files"].toArray();
    QFile cue(r["cue"].toString()), m3u(r["m3u"].toString());
    ASSERT_TRUE(cue.open(QIODevice::ReadOnly) && m3u.open(QIODevice::ReadOnly));
    QStringList cueFiles, listed;
    for (const QByteArray& line : cue.readAll().split('\n'))
        if (line.startsWith("FILE \"")) cueFiles << QString(line.mid(6, line.lastIndexOf('"') - 6));
    for (const QByteArray& line : m3u.readAll().split('\n'))
        if (!line.isEmpty() && !line.startsWith('#')) listed << QString(line);
    QStringList pieces;
    for (const QJsonValue& f : files) pieces << QFileInfo(f.toObject()["file"].toString()).fileName();
    EXPECT_EQ(cueFiles, pieces);
    EXPECT_EQ(listed, pieces);

    // A sheet of our own: three tracks in the middle of gaps 2, 4 and 5, titles given.
    auto cdTime = [&](int64_t frame) {
        const int64_t cd = frame * 75 / a.rate;
        return QString::asprintf("%02d:%02d:%02d", int(cd / 4500), int(cd / 75 % 60), int(cd % 75));
    };
    QString sheet = "PERFORMER \"Band\"\nTITLE \"Concert\"\nFILE \"album.wav\" WAVE\n"
                    "  TRACK 01 AUDIO\n    TITLE \"Opening\"\n    INDEX 01 00:00:00\n";
    const int at[] = {1, 3, 4};
    for (int t = 0; t < 3; ++t) {
        const auto& g = a.gaps[size_t(at[t])];
        sheet += QString("  TRACK %1 AUDIO\n    TITLE \"Part %2\"\n    INDEX 01 %3\n")
                     .arg(t + 2, 2, 10, QChar('0'))
                     .arg(t + 2)
                     .arg(cdTime((g.first + g.second) / 2));
    }
    QFile sheetFile(dir.path("given.cue"));
    ASSERT_TRUE(sheetFile.open(QIODevice::WriteOnly));
    sheetFile.write(sheet.toUtf8());
    sheetFile.close();
    const QJsonArray byCue = runJson({"-n", "--from-cue", sheetFile.fileName(), input})["files"].toArray();
    ASSERT_EQ(byCue.size(), 4);
    EXPECT_EQ(byCue[0].toObject()["title"].toString(), "Opening");
    for (int t = 0; t < 3; ++t) {
        const auto& g = a.gaps[size_t(at[t])];
        const int64_t cd = ((g.first + g.second) / 2) * 75 / a.rate;
        EXPECT_EQ(byCue[t + 1].toObject()["startFrame"].toVariant().toLongLong(), std::llround(cd * 44100.0 / 75));
        EXPECT_EQ(byCue[t + 1].toObject()["title"].toString(), QString("Part %1").arg(t + 2));
    }
}

// Refusals come before any piece is written; existing pieces are replaced with -y only.
TEST(CliSplitAlbum, RefusalsComeBeforeAnyPieceIsWritten) {
    tk::TempDir dir;
    const Album a = makeAlbum(albumParts(), 44100, -INFINITY);
    const QString input = writeAlbum(dir, "album.wav", a, 2);
    auto sheet = [&](const QString& name, const QString& times) {
        QString text = "FILE \"album.wav\" WAVE\n";
        int n = 1;
        for (const QString& t : times.split(' '))
            text += QString("TRACK %1 AUDIO\nINDEX 01 %2\n").arg(n++, 2, 10, QChar('0')).arg(t);
        QFile f(dir.path(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text.toUtf8());
        return f.fileName();
    };
    struct Row {
        QStringList args;
        const char* says;
    };
    const Row rows[] = {
        {{"--from-cue", sheet("seconds.cue", "00:00:00 00:61:00")}, "bad time '00:61:00'"},
        {{"--from-cue", sheet("frames.cue", "00:00:00 00:10:75")}, "bad time '00:10:75'"},
        {{"--from-cue", sheet("order.cue", "00:00:00 00:20:00 00:10:00")}, "not after track 2"},
        {{"--from-cue", sheet("late.cue", "00:00:00 09:00:00")}, "after the end of the recording"},
        {{"--name", "{artist} piece"}, "two pieces would get this name"},
        {{"--name", "{n} {bogus}"}, "unknown field '{bogus}'"},
        {{"--name", "{n}\n(x)"}, "control character at character 4"},
        {{"-o", "/proc/self/"}, "cannot write pieces here"},
        {{}, "002-album.wav"},  // an existing piece, no -y
    };
    ASSERT_TRUE(tk::writeBytes(dir.path("002-album.wav"), "mine"));
    const QStringList before = filesIn(dir.root());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        const clitest::Run r = tool(QStringList{"split"} + row.args + QStringList{input});
        EXPECT_NE(r.exitCode, 0);
        EXPECT_FALSE(r.crashed);
        EXPECT_TRUE(r.err.contains(row.says)) << r.err.toStdString();
        EXPECT_EQ(filesIn(dir.root()), before);
    }
    const clitest::Run replaced = tool({"split", "-y", input});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err.toStdString();
    EXPECT_GT(QFileInfo(dir.path("002-album.wav")).size(), 1000);
}

// No gap: one piece, and the output says so. Short pieces are reported, or
// merged without losing a frame.
TEST(CliSplitAlbum, OnePieceWithoutGapsAndShortPiecesNeverDropped) {
    tk::TempDir dir;
    const QString whole = writeAlbum(dir, "whole.wav", makeAlbum({{Part::Sound, 6, -12}}, 44100, -70), 2);
    const QJsonObject one = runJson({"-n", whole});
    EXPECT_EQ(one["files"].toArray().size(), 1);
    EXPECT_TRUE(one["notes"].toArray().first().toString().contains("no gap found"));

    const Album a = makeAlbum({{Part::Sound, 4, -12}, {Part::Gap, 1, 0}, {Part::Sound, 0.8, -12}, {Part::Gap, 1, 0},
                               {Part::Sound, 4, -12}},
                              44100, -INFINITY);
    const QString input = writeAlbum(dir, "blip.wav", a, 2);
    const QJsonArray reported = runJson({"-n", input})["files"].toArray();
    ASSERT_EQ(reported.size(), 3);
    EXPECT_TRUE(reported[1].toObject()["short"].toBool());
    const QJsonArray merged = runJson({"-n", "--merge-short", input})["files"].toArray();
    ASSERT_EQ(merged.size(), 2);
    int64_t frames = 0;
    for (const QJsonValue& f : merged) frames += f.toObject()["frames"].toVariant().toLongLong();
    EXPECT_EQ(frames, int64_t(a.frames.size()));
}

}  // namespace
