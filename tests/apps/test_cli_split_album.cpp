// split on generated albums of known structure: every gap found within 50 ms,
// no cut inside a track (quiet intros, fade-outs and long quiet passages stay
// sound), dry run = real run to the frame on several recordings and formats
// (pieces decoded by ffmpeg), tags on every piece, the CUE sheet and playlist,
// cutting at a given CUE sheet, and refusals that write nothing.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <random>
#include <tuple>

#include "CliKit.h"
#include "common/ExternalAudio.h"
#include "common/FileKit.h"
#include "tonewright/SoundTagFile.h"

using clitest::frames;
using clitest::tool;

namespace {

// One stretch of a generated album: sound at a level (RMS of the louder
// channel, dB), sound fading out from it, or a gap of digital silence.
struct Part {
    enum Kind { Sound, Fade, Gap } kind;
    double seconds, levelDb;
};

struct Album {
    tk::Frames frames;
    unsigned rate;
    std::vector<std::pair<int64_t, int64_t>> gaps;  // true silences between sounds, [begin, end)
};

// The parts in order, over a noise floor (dB RMS, -inf for digital silence).
Album makeAlbum(const std::vector<Part>& parts, unsigned rate, double noiseDb) {
    Album a{{}, rate, {}};
    uint32_t seed = 3;
    for (size_t k = 0; k < parts.size(); ++k) {
        const Part& p = parts[k];
        const size_t n = size_t(std::llround(p.seconds * rate)), at = a.frames.size();
        if (p.kind == Part::Gap && k > 0 && k + 1 < parts.size()) a.gaps.push_back({int64_t(at), int64_t(at + n)});
        const tk::Frames t = p.kind == Part::Gap ? tk::silence(n) : tk::track(n, rate, p.levelDb, seed++);
        for (size_t i = 0; i < n; ++i) {
            const double g = p.kind == Part::Fade ? double(n - i) / double(n) : 1.0;
            a.frames.push_back(tk::Frame(t[i].l * g, t[i].r * g));
        }
    }
    if (std::isfinite(noiseDb)) {
        std::mt19937 gen(11);
        std::normal_distribution<double> g(0.0, std::pow(10.0, noiseDb / 20.0));
        for (tk::Frame& f : a.frames) f = tk::Frame(f.l + g(gen), f.r + g(gen));
    }
    return a;
}

// A plain track, one with a 4 s quiet intro (about -42 dBFS peak), one with a
// 4.9 s fade-out, one with a 10 s quiet passage at -52 dB inside; gaps of 0.3 to 4 s.
Album testAlbum(unsigned rate, double noiseDb) {
    return makeAlbum({{Part::Gap, 0.7, 0}, {Part::Sound, 3, -12}, {Part::Gap, 0.3, 0}, {Part::Sound, 4, -45},
                      {Part::Sound, 3, -10}, {Part::Gap, 0.5, 0}, {Part::Sound, 3, -14}, {Part::Fade, 4.9, -14},
                      {Part::Gap, 1.0, 0}, {Part::Sound, 3, -10}, {Part::Sound, 10, -52}, {Part::Sound, 3, -10},
                      {Part::Gap, 2.0, 0}, {Part::Sound, 3, -16}, {Part::Gap, 4.0, 0}, {Part::Sound, 2.5, -12},
                      {Part::Gap, 1.0, 0}},
                     rate, noiseDb);
}

QString writeAlbum(const tk::TempDir& dir, const QString& name, const Album& a, unsigned channels = 2) {
    return clitest::wavFile(dir, name, a.frames, a.rate, channels);
}

const QJsonObject split(const QStringList& args) { return clitest::json(QStringList{"split", "--json"} + args); }

// A CUE sheet for album.wav in dir with a track at each of the times
// ("mm:ss:ff", space-separated), titled "Part <n>".
QString cueSheet(const tk::TempDir& dir, const QString& name, const QString& times) {
    QString text = "PERFORMER \"Band\"\nTITLE \"Concert\"\nFILE \"album.wav\" WAVE\n";
    const QStringList list = times.split(' ');
    for (int n = 1; n <= list.size(); ++n)
        text += QString("  TRACK %1 AUDIO\n    TITLE \"Part %2\"\n    INDEX 01 %3\n")
                    .arg(n, 2, 10, QChar('0'))
                    .arg(n)
                    .arg(list[n - 1]);
    EXPECT_TRUE(tk::writeBytes(dir.path(name), text.toUtf8()));
    return dir.path(name);
}

QStringList filesIn(const QString& dir) { return QDir(dir).entryList(QDir::Files, QDir::Name); }

TEST(CliSplitAlbum, EveryGapWithin50msAndNoCutInsideATrack) {
    tk::TempDir dir;
    for (const auto& [rate, channels, noiseDb] : {std::tuple<unsigned, unsigned, double>{44100, 2, -INFINITY},
                                                  {44100, 2, -70}, {96000, 1, -70}}) {
        SCOPED_TRACE(std::to_string(rate) + " Hz, noise " + std::to_string(noiseDb));
        const Album a = testAlbum(rate, noiseDb);
        const QString input = writeAlbum(dir, "album.wav", a, channels);
        const QJsonObject r = split({"-n", "--min-silence", "0.3", input});
        const QJsonArray gaps = r["gaps"].toArray(), files = r["files"].toArray();
        ASSERT_EQ(gaps.size(), int(a.gaps.size())) << QJsonDocument(r).toJson().toStdString();
        ASSERT_EQ(files.size(), gaps.size() + 1);
        double worst = 0;
        for (int k = 0; k < gaps.size(); ++k) {
            const auto& truth = a.gaps[size_t(k)];
            const int64_t begin = frames(gaps[k]["startFrame"]), end = begin + frames(gaps[k]["frames"]);
            worst = std::max({worst, std::fabs(double(begin - truth.first)) / a.rate, std::fabs(double(end - truth.second)) / a.rate});
            // The cut between pieces k and k+1 lies inside the true gap.
            const int64_t cut = frames(files[k + 1]["startFrame"]);
            EXPECT_TRUE(cut >= truth.first && cut <= truth.second) << "cut " << cut << " of gap " << k;
        }
        EXPECT_LT(worst, 0.05);
        std::printf("[ boundary ] %u Hz, noise %g dB: %d gaps, largest error %.1f ms\n", rate, noiseDb, int(gaps.size()),
                    worst * 1000);
        // Without --min-silence the album default finds all but the 0.3 s gap.
        EXPECT_EQ(split({"-n", input})["gaps"].toArray().size(), int(a.gaps.size()) - 1);
    }
}

// The pieces a dry run announces are the files a real run writes, frame for
// frame: lengths and (for lossless pieces) samples from ffmpeg's decoding.
TEST(CliSplitAlbum, DryRunIsTheRealRunToTheFrame) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed";
    const bool lame = !tool({"--version"}).out.contains("LAME not found");
    const std::tuple<double, QString, QStringList> rows[] = {
        {-INFINITY, "wav", {}},
        {-70, "flac", {"--keep", "0.2,0.6"}},
        {-INFINITY, "ogg", {"--cut-at", "0"}},
        {-70, "mp3", {"--min-length", "3", "--merge-short"}},
        {-70, "wav", {"--cut-at", "1", "--min-silence", "1.5"}},
    };
    for (const auto& [noiseDb, format, options] : rows) {
        SCOPED_TRACE((format + " " + options.join(' ')).toStdString());
        if (format == "mp3" && !lame) continue;
        tk::TempDir dir;
        const QString input = writeAlbum(dir, "album.wav", testAlbum(44100, noiseDb));
        tk::Frames source, decoded;  // the input as ffmpeg decodes it
        ASSERT_TRUE(tk::decodeWithFfmpeg(input, &source));
        const QStringList args = QStringList{"-f", format} + options + QStringList{input};
        const QJsonArray dry = split(QStringList{"-n"} + args)["files"].toArray();
        ASSERT_EQ(filesIn(dir.root()), QStringList{"album.wav"});
        const QJsonArray real = split(args)["files"].toArray();
        ASSERT_GT(dry.size(), 1);
        ASSERT_EQ(dry, real);
        ASSERT_EQ(filesIn(dir.root()).size(), dry.size() + 1);
        for (const QJsonValue& f : real) {
            SCOPED_TRACE(f["file"].toString().toStdString());
            ASSERT_TRUE(tk::decodeWithFfmpeg(f["file"].toString(), &decoded));
            ASSERT_EQ(int64_t(decoded.size()), frames(f["frames"]));
            if (format != "wav" && format != "flac") continue;
            ASSERT_LE(size_t(frames(f["startFrame"]) + frames(f["frames"])), source.size());
            const tk::Frames expected(source.begin() + frames(f["startFrame"]),
                                      source.begin() + frames(f["startFrame"]) + frames(f["frames"]));
            EXPECT_EQ(tk::maxAbsDiff(decoded, expected), 0.0);
        }
    }
}

// The pieces carry the album's tags with their own number, total and title and
// the cover, in every format, as the library's tag layer reads them back (its
// own tests hold it to mutagen's reading of every format). info shows the
// input's tags and cover; the input's own number: a real tag wins over the
// name, a name gives one only by its leading number.
TEST(CliSplitAlbum, PiecesGetTheAlbumTagsTheirNumberTitleAndCover) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "sox is needed";
    const bool lame = !tool({"--version"}).out.contains("LAME not found");
    tk::TempDir dir;
    const QString wav = writeAlbum(dir, "source.wav", makeAlbum({{Part::Sound, 2, -12}, {Part::Gap, 1, 0}, {Part::Sound, 2, -12},
                                                                 {Part::Gap, 1, 0}, {Part::Sound, 2.5, -14}},
                                                                44100, -INFINITY));
    const QString input = dir.path("07 - Live.flac");
    ASSERT_EQ(tk::runCommand("sox " + tk::shellQuote(wav) + " " + tk::shellQuote(input)), 0);
    // Title, artist, album, year, comment, track, genre, cover, its type, total, extra.
    const SoundIDTag album{"Live", "Band", "Concert", "2019", "", "5", "Jazz", tk::pngCover(), "image/png", "", {}};
    ASSERT_EQ(SoundTagFile::write(input, album), SoundTools::Ok);
    const QJsonObject info = clitest::json({"info", "--json", input});
    const QVariantMap shown{{"title", "Live"}, {"artist", "Band"}, {"album", "Concert"}, {"year", "2019"}, {"track", "5"}, {"genre", "Jazz"}};
    EXPECT_EQ(info["tags"].toObject().toVariantMap(), shown);
    EXPECT_TRUE(info["cover"].toBool() && info["coverMimeType"].toString() == "image/png");
    EXPECT_EQ(info["coverBytes"].toInt(), album.cover.size());
    const QString text = tool({"info", input}).out;
    EXPECT_TRUE(text.contains("title     Live") && text.contains(QString("cover     image/png, %1 bytes").arg(album.cover.size())))
        << text.toStdString();
    ASSERT_TRUE(QDir().mkpath(dir.path("CD 1999")));
    const std::pair<QString, QJsonValue> numbered[] = {
        {input, "5"}, {dir.path("07-song.wav"), "7"}, {dir.path("mini-24.wav"), QJsonValue::Undefined}, {dir.path("CD 1999/x.wav"), QJsonValue::Undefined}};
    for (const auto& c : numbered) {
        if (c.first != input) { ASSERT_TRUE(QFile::copy(wav, c.first)); }
        EXPECT_EQ(clitest::json({"info", "--json", c.first})["tags"]["track"], c.second) << c.first.toStdString();
    }
    for (const QString ext : {"wav", "flac", "ogg", "mp3"}) {
        SCOPED_TRACE(ext.toStdString());
        if (ext == "mp3" && !lame) continue;
        const QString out = dir.path("pieces-" + ext) + "/";
        const QJsonArray files = split({"-f", ext, "-o", out, "--name", "{n:02} - {title}", input})["files"].toArray();
        ASSERT_EQ(files.size(), 3);
        for (int k = 1; k <= 3; ++k) {
            SoundIDTag expected = album, got;
            expected.title = QString("Live (%1)").arg(k).toStdString();
            expected.track = std::to_string(k);
            expected.trackTotal = "3";
            const QString piece = out + QString("%1 - Live (%2).%3").arg(k, 2, 10, QChar('0')).arg(k).arg(ext);
            EXPECT_EQ(files[k - 1]["file"].toString(), QDir::cleanPath(piece));
            ASSERT_EQ(SoundTagFile::read(piece, got), SoundTools::Ok) << piece.toStdString();
            EXPECT_EQ(tk::tagText(got), tk::tagText(expected)) << piece.toStdString();
        }
    }
}

// The CUE sheet and playlist list the pieces written; a sheet given cuts at its
// times (to the CD frame) with its titles.
TEST(CliSplitAlbum, CueSheetPlaylistAndCuttingAtASheet) {
    tk::TempDir dir;
    const Album a = testAlbum(44100, -70);
    const QString input = writeAlbum(dir, "album.wav", a);
    const QJsonObject r = split({"--cue", "--m3u", input});
    QStringList pieces, cueFiles, listed;
    for (const QJsonValue& f : r["files"].toArray()) pieces << QFileInfo(f["file"].toString()).fileName();
    for (const QByteArray& line : tk::fileBytes(r["cue"].toString()).split('\n'))
        if (line.startsWith("FILE \"")) cueFiles << QString(line.mid(6, line.lastIndexOf('"') - 6));
    for (const QByteArray& line : tk::fileBytes(r["m3u"].toString()).split('\n'))
        if (!line.isEmpty() && !line.startsWith('#')) listed << QString(line);
    EXPECT_EQ(cueFiles, pieces);
    EXPECT_EQ(listed, pieces);

    // Three tracks in the middle of gaps 2, 4 and 5 (in CD frames of 1/75 s).
    QString times = "00:00:00";
    std::vector<int64_t> cd;
    for (const int g : {1, 3, 4}) {
        cd.push_back((a.gaps[size_t(g)].first + a.gaps[size_t(g)].second) / 2 * 75 / a.rate);
        times += QString::asprintf(" %02d:%02d:%02d", int(cd.back() / 4500), int(cd.back() / 75 % 60),
                                   int(cd.back() % 75));
    }
    const QJsonArray byCue =
        split({"-n", "--from-cue", cueSheet(dir, "given.cue", times), input})["files"].toArray();
    ASSERT_EQ(byCue.size(), 4);
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(byCue[t]["title"].toString(), QString("Part %1").arg(t + 1));
        if (t > 0) {
            EXPECT_EQ(frames(byCue[t]["startFrame"]), std::llround(double(cd[size_t(t - 1)]) * 44100.0 / 75));
        }
    }
}

// Refusals come before any piece is written; existing pieces are replaced with -y only.
TEST(CliSplitAlbum, RefusalsComeBeforeAnyPieceIsWritten) {
    tk::TempDir dir;
    const QString input = writeAlbum(dir, "album.wav", testAlbum(44100, -INFINITY));
    const auto sheet = [&](const QString& name, const QString& times) { return cueSheet(dir, name, times); };
    // The exit code: 1 for a usage error, 2 for a file that cannot be used.
    const std::tuple<QStringList, int, const char*> rows[] = {
        {{"--from-cue", sheet("seconds.cue", "00:00:00 00:61:00")}, 2, "bad time '00:61:00'"},
        {{"--from-cue", sheet("frames.cue", "00:00:00 00:10:75")}, 2, "bad time '00:10:75'"},
        {{"--from-cue", sheet("order.cue", "00:00:00 00:20:00 00:10:00")}, 2, "not after track 2"},
        {{"--from-cue", sheet("late.cue", "00:00:00 09:00:00")}, 2, "after the end of the recording"},
        {{"--name", "{artist} piece"}, 2, "two pieces would get this name"},
        {{"--name", "{n} {bogus}"}, 1, "unknown field '{bogus}'"},
        {{"--name", "{n}\n(x)"}, 1, "control character at character 4"},
        {{"-o", "/proc/self/"}, 2, "cannot write pieces here"},
        {{}, 2, "002-album.wav"},  // an existing piece, no -y
    };
    ASSERT_TRUE(tk::writeBytes(dir.path("002-album.wav"), "mine"));
    const QStringList before = filesIn(dir.root());
    for (const auto& [options, exit, says] : rows) {
        SCOPED_TRACE(options.join(' ').toStdString());
        const clitest::Run r = tool(QStringList{"split"} + options + QStringList{input});
        EXPECT_TRUE(clitest::exitsWith(r, exit, {says}));
        EXPECT_EQ(filesIn(dir.root()), before);
    }
    EXPECT_EQ(tool({"split", "-y", input}).exitCode, 0);
    EXPECT_GT(QFileInfo(dir.path("002-album.wav")).size(), 1000);
}

// No gap: one piece, and the output says so. Short pieces are reported, or
// merged without losing a frame.
TEST(CliSplitAlbum, OnePieceWithoutGapsAndShortPiecesNeverDropped) {
    tk::TempDir dir;
    const QJsonObject one = split({"-n", writeAlbum(dir, "whole.wav", makeAlbum({{Part::Sound, 6, -12}}, 44100, -70))});
    EXPECT_EQ(one["files"].toArray().size(), 1);
    EXPECT_TRUE(one["notes"][0].toString().contains("no gap found"));
    const Album a = makeAlbum({{Part::Sound, 4, -12}, {Part::Gap, 1, 0}, {Part::Sound, 0.8, -12}, {Part::Gap, 1, 0},
                               {Part::Sound, 4, -12}},
                              44100, -INFINITY);
    const QString input = writeAlbum(dir, "blip.wav", a);
    const QJsonArray reported = split({"-n", input})["files"].toArray();
    const QJsonArray merged = split({"-n", "--merge-short", input})["files"].toArray();
    ASSERT_TRUE(reported.size() == 3 && merged.size() == 2);
    EXPECT_TRUE(reported[1]["short"].toBool());
    EXPECT_EQ(frames(merged[0]["frames"]) + frames(merged[1]["frames"]), int64_t(a.frames.size()));
}

}  // namespace
