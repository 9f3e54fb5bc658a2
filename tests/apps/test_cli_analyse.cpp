// analyse: the regions against the known structure of a generated album, the
// shape of the JSON, the summary and the picture.
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QJsonArray>
#include <QJsonObject>
#include <cmath>

#include "CliKit.h"
#include "common/ExternalAudio.h"

using clitest::tool;

namespace {
QJsonObject analyseAlbum() {
    static QJsonObject cached;
    static tk::TempDir dir;
    if (cached.isEmpty()) {
        const clitest::Run r = tool({"analyse", "--json", clitest::albumCopy(dir)});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        cached = r.json().object();
    }
    return cached;
}
}  // namespace

// Three stretches of sound where the album has its tracks, noise where it has
// silence and room noise, each track's level, and the signal's start.
TEST(CliAnalyse, RegionsFollowTheAlbum) {
    const QJsonObject a = analyseAlbum();
    ASSERT_FALSE(a.isEmpty());
    const QJsonArray stretches = a["stretches"].toArray();
    const std::vector<double> starts = clitest::albumTrackStarts();
    ASSERT_EQ(stretches.size(), int(starts.size()));
    // The detector's window (0.2 s) looks ahead: a region may open that much early.
    for (int i = 0; i < stretches.size(); ++i) EXPECT_NEAR(stretches[i].toObject()["start"].toDouble(), starts[size_t(i)], 0.25);
    EXPECT_NEAR(stretches[0].toObject()["level"].toDouble(), -14.0, 1.0);
    EXPECT_NEAR(stretches[1].toObject()["level"].toDouble(), -8.0, 1.0);
    EXPECT_LT(stretches[2].toObject()["level"].toDouble(), -20.0);  // the fade pulls it down
    EXPECT_NEAR(a["signalStart"].toDouble(), starts[0], 0.25);

    // Every region is either inside a track or noise.
    const tk::Recording& rec = clitest::albumRecording();
    int noise = 0;
    for (const QJsonValue& v : a["regions"].toArray()) {
        const QJsonObject r = v.toObject();
        if (!r["noise"].toBool()) continue;
        ++noise;
        EXPECT_LT(r["level"].toDouble(), -50.0);
    }
    EXPECT_GE(noise, 2);
    EXPECT_NEAR(a["seconds"].toDouble(), double(rec.frames.size()) / rec.rate, 1e-3);
    // Ten bands over the nine default edges, relative to the loudest.
    const QJsonArray bands = a["bands"].toArray();
    ASSERT_EQ(bands.size(), 10);
    EXPECT_EQ(a["frequencies"].toArray().size(), 9);
    double loudest = -1e9;
    for (const QJsonValue& b : bands) loudest = std::max(loudest, b.toObject()["relative"].toDouble());
    EXPECT_EQ(loudest, 0.0);
    EXPECT_EQ(bands[3].toObject()["low"].toDouble(), 1000.0);
    EXPECT_EQ(bands[9].toObject()["high"].toDouble(), 11025.0);
    // A lower threshold reaches the detector: the room noise (-70 dB) is sound at -75.
    const clitest::Run low = tool({"analyse", "--no-save", "--json", "--threshold", "-75", clitest::albumWav()});
    EXPECT_EQ(low.json().object()["stretches"].toArray().size(), 2);
}

// Loudness, range and true peak agree with ffmpeg's measurement; two copies of
// the album taken as one album have the loudness of one.
TEST(CliAnalyse, LoudnessAgreesWithFfmpegAndAlbumGatesTheSet) {
    const tk::FfmpegLoudness ff = tk::ffmpegLoudness(clitest::albumWav());
    if (!ff.ok) GTEST_SKIP() << "no ffmpeg";
    const QJsonObject l = analyseAlbum()["loudness"].toObject();
    EXPECT_NEAR(l["integrated"].toDouble(), ff.integrated, 0.1);
    // The range is a percentile spread of a few hundred short-term values over
    // a minute with a fade: meters differ in its histogram and interpolation.
    EXPECT_NEAR(l["range"].toDouble(), ff.range, 1.5);
    EXPECT_NEAR(l["truePeak"].toDouble(), ff.truePeak, 0.2);
    EXPECT_FALSE(l["tooShort"].toBool());
    EXPECT_GT(l["shortTerm"].toArray().size(), 50);

    tk::TempDir dir;
    const clitest::Run r = tool({"analyse", "--json", "--no-save", "--album", clitest::albumCopy(dir, "a.wav"),
                                 clitest::albumCopy(dir, "b.wav")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonObject album = r.json().object()["album"].toObject();
    EXPECT_EQ(album["tracks"].toInt(), 2);
    EXPECT_EQ(r.json().object()["files"].toArray().size(), 2);
    EXPECT_NEAR(album["integrated"].toDouble(), l["integrated"].toDouble(), 0.02);
    EXPECT_EQ(album["truePeak"].toDouble(), l["truePeak"].toDouble());
}

TEST(CliAnalyse, SummaryText) {
    const clitest::Run r = tool({"analyse", "--no-save", clitest::albumWav()});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith(clitest::albumWav() + "\n"));
    for (const char* part : {"length    00:00:59.000, 22050 Hz", "level     RMS", "bands", "1k-2k", "regions",
                             "3 stretches of sound", "signal    starts 00:00:0"})
        EXPECT_TRUE(r.out.contains(part)) << part << "\n" << r.out.toStdString();
    // Noise regions are the bracketed lines.
    EXPECT_TRUE(r.out.contains(QRegularExpression("\\n +\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}  .* dB\\]\\n")));
}

// Pictures are PNG files of the size asked; existing ones are kept without -y.
TEST(CliAnalyse, PictureOfTheStatedSize) {
    tk::TempDir dir;
    const QString png = dir.path("album.png");
    const clitest::Run r = tool({"analyse", "--no-save", "--plot", png, "--plot-size", "800x600", clitest::albumWav()});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    int w = 0, h = 0;
    ASSERT_TRUE(clitest::pngSize(png, &w, &h));
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 600);
    const QString before = clitest::fileMd5(png);
    const clitest::Run again = tool({"analyse", "--no-save", "--plot", png, clitest::albumWav()});
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_TRUE(again.err.contains(png));
    EXPECT_EQ(clitest::fileMd5(png), before);
    ASSERT_EQ(tool({"analyse", "--no-save", "-y", "--plot", png, clitest::albumWav()}).exitCode, 0);
    ASSERT_TRUE(clitest::pngSize(png, &w, &h));
    EXPECT_EQ(w, 1200);
    EXPECT_EQ(h, 900);

    // Several inputs: a folder of pictures named after them.
    const QString second = dir.path("second.wav");
    ASSERT_TRUE(QFile::copy(clitest::albumWav(), second));
    // A folder is a name that is one or ends in '/' (made when missing).
    const QString folder = dir.path("pictures") + "/";
    const clitest::Run two = tool({"analyse", "--no-save", "--plot", folder, "--plot-size", "640x480", clitest::albumWav(), second});
    ASSERT_EQ(two.exitCode, 0) << two.err.toStdString();
    for (const QString name : {"album.png", "second.png"}) {
        ASSERT_TRUE(clitest::pngSize(QDir(folder).filePath(name), &w, &h)) << name.toStdString();
        EXPECT_EQ(w, 640);
        EXPECT_EQ(h, 480);
    }
    // Two inputs of the same name would draw over each other.
    EXPECT_EQ(tool({"analyse", "-y", "--plot", folder, clitest::albumWav(), clitest::albumWav()}).exitCode, 1);
}
