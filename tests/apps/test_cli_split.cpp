// split: the pieces as sox and ffprobe see them, tags, the overwrite rule, dry runs.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

#include "CliKit.h"
#include "common/ExternalAudio.h"

using clitest::tool;

namespace {
double soxiSeconds(const QString& file) {
    std::string out;
    tk::runCommand("soxi -D " + tk::shellQuote(file) + " 2>/dev/null", &out);
    return QString::fromStdString(out).trimmed().toDouble();
}
QStringList filesIn(const QString& dir) { return QDir(dir).entryList(QDir::Files, QDir::Name); }
}  // namespace

// One numbered FLAC per track, each as long as the JSON says, starting where
// the track starts; the title of the input and the track numbers on each.
TEST(CliSplit, OneFilePerTrackWithTags) {
    if (!tk::haveTool("sox") || !tk::haveTool("ffprobe")) GTEST_SKIP() << "no sox or ffprobe";
    tk::TempDir dir;
    const QString input = dir.path("Side A.flac");
    ASSERT_EQ(tk::runCommand("sox " + tk::shellQuote(clitest::albumWav()) + " --comment 'TITLE=Live' " +
                             tk::shellQuote(input)),
              0);
    const QString out = dir.path("pieces") + "/";
    const clitest::Run r = tool({"split", "--json", "-o", out, input});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(filesIn(out), (QStringList{"001-Side A.flac", "002-Side A.flac", "003-Side A.flac"}));
    const QJsonArray files = r.json().object()["files"].toArray();
    ASSERT_EQ(files.size(), 3);
    const std::vector<double> starts = clitest::albumTrackStarts();
    for (int i = 0; i < 3; ++i) {
        const QJsonObject f = files[i].toObject();
        SCOPED_TRACE(f["file"].toString().toStdString());
        EXPECT_TRUE(QFileInfo::exists(f["file"].toString()));
        EXPECT_NEAR(soxiSeconds(f["file"].toString()), f["length"].toDouble(), 0.001);
        // Pieces start with their sound: the digital silence before the first two
        // tracks is not kept. The third follows room noise, whose last window
        // (0.2 s) already belongs to the track's region.
        EXPECT_NEAR(f["start"].toDouble(), starts[size_t(i)], i < 2 ? 0.001 : 0.2);
        const auto tags = tk::ffprobe(f["file"].toString(), "format_tags");
        EXPECT_EQ(tags.count("TAG:TITLE") ? tags.at("TAG:TITLE") : tags.count("TAG:title") ? tags.at("TAG:title") : "",
                  "Live");
    }
    // The second track, from its first frame, is the album's: compare a stretch
    // of samples decoded by ffmpeg with the frames that were written.
    tk::Frames decoded;
    ASSERT_TRUE(tk::decodeWithFfmpeg(files[1].toObject()["file"].toString(), &decoded));
    const tk::Recording& rec = clitest::albumRecording();
    const size_t at = size_t(std::llround(starts[1] * rec.rate));
    ASSERT_GT(decoded.size(), 1000u);
    // Both 16-bit conversions (the test's WAV writer, the library's) may round by one step.
    for (size_t i = 0; i < 1000; ++i) {
        ASSERT_NEAR(decoded[i].l, rec.frames[at + i].l, 2.0 / 32768 + 1e-9) << i;
        ASSERT_NEAR(decoded[i].r, rec.frames[at + i].r, 2.0 / 32768 + 1e-9) << i;
    }
}

// MP3 pieces carry their track number in the ID3 tag.
TEST(CliSplit, Mp3PiecesAreNumbered) {
    if (!tk::haveTool("ffprobe")) GTEST_SKIP() << "no ffprobe";
    const clitest::Run version = tool({"--version"});
    if (version.out.contains("LAME not found")) GTEST_SKIP() << "no LAME";
    tk::TempDir dir;
    const QString input = dir.path("live.flac");
    ASSERT_EQ(tk::runCommand("sox " + tk::shellQuote(clitest::albumWav()) + " --comment 'ARTIST=Band' " +
                             tk::shellQuote(input)),
              0);
    const clitest::Run r = tool({"split", "-f", "mp3", "--bitrate", "128", input});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    for (int k = 1; k <= 3; ++k) {
        const QString piece = dir.path(QString("%1-live.mp3").arg(k, 3, 10, QChar('0')));
        const auto tags = tk::ffprobe(piece, "format_tags:stream=bit_rate");
        EXPECT_EQ(tags.count("TAG:track") ? tags.at("TAG:track") : "", std::to_string(k)) << piece.toStdString();
        EXPECT_EQ(tags.count("TAG:artist") ? tags.at("TAG:artist") : "", "Band");
        EXPECT_EQ(tags.count("bit_rate") ? tags.at("bit_rate") : "", "128000");
    }
}

// Existing pieces are never replaced without -y, and a refusal writes nothing.
TEST(CliSplit, ExistingPiecesNeedOverwrite) {
    tk::TempDir dir;
    const QString input = dir.path("rec.wav");
    ASSERT_TRUE(QFile::copy(clitest::albumWav(), input));
    // Only the second piece's name is taken.
    ASSERT_TRUE(tk::writeBytes(dir.path("002-rec.wav"), "mine"));
    const clitest::Run refused = tool({"split", input});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.err.contains("002-rec.wav")) << refused.err.toStdString();
    EXPECT_EQ(filesIn(dir.root()), (QStringList{"002-rec.wav", "rec.wav"}));
    EXPECT_EQ(QFileInfo(dir.path("002-rec.wav")).size(), 4);

    const clitest::Run replaced = tool({"split", "-y", input});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err.toStdString();
    EXPECT_EQ(filesIn(dir.root()), (QStringList{"001-rec.wav", "002-rec.wav", "003-rec.wav", "rec.wav"}));
    EXPECT_GT(QFileInfo(dir.path("002-rec.wav")).size(), 1000);
}

// A dry run lists what a real run writes, and writes nothing.
TEST(CliSplit, DryRunListsThePieces) {
    tk::TempDir dir;
    const QString input = dir.path("rec.wav");
    ASSERT_TRUE(QFile::copy(clitest::albumWav(), input));
    const clitest::Run dry = tool({"split", "-n", "--json", input});
    ASSERT_EQ(dry.exitCode, 0);
    EXPECT_EQ(filesIn(dir.root()), QStringList{"rec.wav"});
    const QJsonObject d = dry.json().object();
    EXPECT_TRUE(d["dryRun"].toBool());
    const clitest::Run real = tool({"split", "--json", input});
    ASSERT_EQ(real.exitCode, 0);
    const QJsonArray a = d["files"].toArray(), b = real.json().object()["files"].toArray();
    ASSERT_EQ(a.size(), b.size());
    for (int i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].toObject()["file"], b[i].toObject()["file"]);
        EXPECT_EQ(a[i].toObject()["level"], b[i].toObject()["level"]);
        // The real run starts each piece at its first sound, never earlier.
        EXPECT_GE(b[i].toObject()["start"].toDouble(), a[i].toObject()["start"].toDouble());
    }
    const clitest::Run text = tool({"split", "-n", input});
    EXPECT_TRUE(text.out.startsWith(input + ": would write 3 files\n")) << text.out.toStdString();
}

// --min-length drops stretches, --threshold moves the noise.
TEST(CliSplit, MinimumLengthAndThreshold) {
    const QString wav = clitest::albumWav();
    struct Case {
        QStringList options;
        int pieces;
    };
    const Case cases[] = {
        {{}, 3},
        {{"--min-length", "14"}, 2},   // tracks of 12 s and 15 s, 18 s with the fade
        {{"--min-length", "100"}, 0},
        {{"--threshold", "-75"}, 2},   // the room noise becomes sound: tracks 2 and 3 join
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.join(' ').toStdString());
        const clitest::Run r = tool(QStringList{"split", "-n", "--json"} + c.options + QStringList{wav});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.json().object()["files"].toArray().size(), c.pieces);
    }
}
