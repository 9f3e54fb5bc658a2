// analyse: the JSON against the library's report, the album, the summary and
// the picture.
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include "CliKit.h"
#include "tonewright/Analyse.h"

using clitest::tool;

// The JSON is the library's report of the same file (every setting reaches
// the job: --threshold, --max-correction, the statistics file); --album wraps
// the files' reports with the album's figures, which for two copies of one
// recording are its own.
TEST(CliAnalyse, JsonIsTheJobsReportAndAlbumWrapsIt) {
    tk::TempDir dir;
    const QString wav = clitest::albumCopy(dir);
    tonewright::AnalyseSettings s;
    s.input = wav.toStdString();
    s.thresholdDb = -75;
    s.maxCorrection = 6;
    const auto report = tonewright::analyse(s);
    ASSERT_TRUE(report.ok());
    QFile::remove(dir.path("album.ssf"));
    const QJsonObject a = clitest::json({"analyse", "--json", "--threshold", "-75", "--max-correction", "6", wav});
    EXPECT_EQ(a, QJsonDocument::fromJson(QByteArray::fromStdString(tonewright::toJson(*report))).object());

    const QJsonObject r = clitest::json({"analyse", "--json", "--no-save", "--album", clitest::albumCopy(dir, "a.wav"),
                                         clitest::albumCopy(dir, "b.wav")});
    const QJsonObject album = r["album"].toObject();
    EXPECT_EQ(album["tracks"].toInt(), 2);
    EXPECT_EQ(r["files"].toArray().size(), 2);
    const QJsonObject l = a["loudness"].toObject();
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
