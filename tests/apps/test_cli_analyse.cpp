// analyse: the regions against the known structure of a generated album, the
// shape of the JSON, the summary and the picture.
#include <QDir>
#include <QRegularExpression>

#include "CliKit.h"
#include "common/ExternalAudio.h"

using clitest::tool;

namespace {
const QJsonObject& analyseAlbum() {
    static tk::TempDir dir;
    static const QJsonObject cached = clitest::json({"analyse", "--json", clitest::albumCopy(dir)});
    return cached;
}
}  // namespace

// Three stretches of sound at the album's tracks, each at its level (where the
// detector puts its edges is the dynamics tests' business), noise regions where
// it has silence and room noise, and ten bands over the nine edges; a lower
// threshold reaches the detector.
TEST(CliAnalyse, RegionsFollowTheAlbum) {
    const QJsonObject& a = analyseAlbum();
    const tk::Recording& rec = clitest::albumRecording();
    const QJsonArray stretches = a["stretches"].toArray();
    ASSERT_EQ(stretches.size(), 3);
    EXPECT_NEAR(stretches[0]["level"].toDouble(), -14.0, 1.0);
    EXPECT_NEAR(stretches[1]["level"].toDouble(), -8.0, 1.0);
    EXPECT_LT(stretches[2]["level"].toDouble(), -20.0);  // the fade pulls it down
    // The first track follows 1 s of silence; the detector's window (0.2 s) looks ahead.
    EXPECT_NEAR(a["signalStart"].toDouble(), double(rec.pieces[1].begin) / rec.rate, 0.25);
    EXPECT_NEAR(a["seconds"].toDouble(), double(rec.frames.size()) / rec.rate, 1e-3);
    int noise = 0;
    for (const QJsonValue& r : a["regions"].toArray())
        if (r["noise"].toBool()) {
            ++noise;
            EXPECT_LT(r["level"].toDouble(), -50.0);
        }
    EXPECT_GE(noise, 2);
    const QJsonArray bands = a["bands"].toArray();
    ASSERT_EQ(bands.size(), 10);
    EXPECT_EQ(a["frequencies"].toArray().size(), 9);
    EXPECT_EQ(bands[3]["low"].toDouble(), 1000.0);
    EXPECT_EQ(bands[9]["high"].toDouble(), 11025.0);
    // The room noise (-70 dB) is sound at -75.
    const QJsonObject low = clitest::json({"analyse", "--no-save", "--json", "--threshold", "-75", clitest::albumWav()});
    EXPECT_EQ(low["stretches"].toArray().size(), 2);
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
    const QJsonObject r = clitest::json({"analyse", "--json", "--no-save", "--album", clitest::albumCopy(dir, "a.wav"),
                                         clitest::albumCopy(dir, "b.wav")});
    const QJsonObject album = r["album"].toObject();
    EXPECT_EQ(album["tracks"].toInt(), 2);
    EXPECT_EQ(r["files"].toArray().size(), 2);
    EXPECT_NEAR(album["integrated"].toDouble(), l["integrated"].toDouble(), 0.02);
    EXPECT_EQ(album["truePeak"].toDouble(), l["truePeak"].toDouble());
}

// The summary on stdout; pictures are PNG files of the size asked (a folder of
// them for several inputs, made when missing); existing ones are kept without -y.
TEST(CliAnalyse, SummaryTextAndPictureOfTheStatedSize) {
    tk::TempDir dir;
    const QString png = dir.path("album.png"), wav = clitest::albumWav();
    const clitest::Run r = tool({"analyse", "--no-save", "--plot", png, "--plot-size", "800x600", wav});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith(wav + "\n"));
    for (const char* part : {"length    00:00:59.000, 22050 Hz", "level     RMS", "bands", "1k-2k", "regions",
                             "3 stretches of sound", "signal    starts 00:00:0"})
        EXPECT_TRUE(r.out.contains(part)) << part << "\n" << r.out.toStdString();
    // Noise regions are the bracketed lines.
    EXPECT_TRUE(r.out.contains(QRegularExpression("\\n +\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}  .* dB\\]\\n")));
    EXPECT_EQ(clitest::pngSize(png), QSize(800, 600));
    EXPECT_TRUE(clitest::exitsWith(tool({"analyse", "--no-save", "--plot", png, wav}), 2, {png}));
    EXPECT_EQ(clitest::pngSize(png), QSize(800, 600));
    ASSERT_EQ(tool({"analyse", "--no-save", "-y", "--plot", png, wav}).exitCode, 0);
    EXPECT_EQ(clitest::pngSize(png), QSize(1200, 900));

    const QString second = clitest::albumCopy(dir, "second.wav"), folder = dir.path("pictures") + "/";
    ASSERT_EQ(tool({"analyse", "--no-save", "--plot", folder, "--plot-size", "640x480", wav, second}).exitCode, 0);
    for (const QString name : {"album.png", "second.png"})
        EXPECT_EQ(clitest::pngSize(QDir(folder).filePath(name)), QSize(640, 480)) << name.toStdString();
    // Two inputs of the same name would draw over each other.
    EXPECT_EQ(tool({"analyse", "-y", "--plot", folder, wav, wav}).exitCode, 1);
}
