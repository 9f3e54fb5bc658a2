// eq: the options reach the library's job (the equaliser's work is the jobs
// tests' business), the preset list and the response picture.
#include "CliKit.h"
#include "common/ExternalAudio.h"
#include "tonewright/Eq.h"

using clitest::tool;

// A preset by number, a band by frequency and by number, the bass boost's gain
// and the output gain reach the job, as its JSON shows; --no-dither reaches it
// too: flat bands without dither give the input's very samples.
TEST(CliEq, OptionsReachTheJob) {
    tk::TempDir dir;
    const unsigned rate = 44100;
    const QString input = dir.path("noise.wav"), out = dir.path("out.wav");
    ASSERT_TRUE(tk::writeWav16(input, tk::track(rate, rate, -20.0, 7), rate, 2));
    const QJsonObject eq = clitest::json({"eq", "--json", "-o", out, "--preset", "7", "--band", "4k=-2", "--band",
                                          "2=1.5", "--bass-boost-gain", "4", "--gain", "-3", input})["equaliser"]
                               .toObject();
    EXPECT_EQ(eq["preset"].toString(), "Folk");
    EXPECT_EQ(clitest::numbers(eq["bands"], "gain"), (std::vector<double>{4, 1.5, 1, 2, 2, 3, -2, 3, 2}));
    EXPECT_EQ(eq["bassBoost"].toDouble(), 4.0);
    EXPECT_EQ(eq["gain"].toDouble(), -3.0);
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::Frames source, plain, dithered;
    ASSERT_EQ(tool({"eq", "-y", "--no-dither", "-o", out, input}).exitCode, 0);
    ASSERT_TRUE(tk::decodeWithFfmpeg(input, &source) && tk::decodeWithFfmpeg(out, &plain));
    ASSERT_EQ(tool({"eq", "-y", "-o", out, input}).exitCode, 0);
    ASSERT_TRUE(tk::decodeWithFfmpeg(out, &dithered));
    EXPECT_EQ(tk::maxAbsDiff(plain, source), 0.0);
    EXPECT_GT(tk::maxAbsDiff(dithered, source), 0.0);
}

// The presets listed are the library's; the response picture has the size
// asked, and an existing one stays without -y.
TEST(CliEq, PresetsAndPicture) {
    const QJsonObject list = clitest::json({"eq", "--list-presets", "--json"});
    EXPECT_EQ(list["presets"].toArray().size(), int(tonewright::equaliserLayout().presets.size()));
    EXPECT_EQ(list["presets"][13]["name"].toString(), "Rock");
    // The text table: the header and every preset's row end in the same column.
    const QStringList rows = tool({"eq", "--list-presets"}).out.split('\n').mid(0, list["presets"].toArray().size() + 1);
    for (const QString& row : rows) EXPECT_EQ(row.size(), rows[0].size()) << row.toStdString();

    tk::TempDir dir;
    const QString png = dir.path("eq.png");
    ASSERT_EQ(tool({"eq", "--preset", "Loudness", "--bass-boost", "--plot", png, "--plot-size", "800x400"}).exitCode, 0);
    EXPECT_EQ(clitest::pngSize(png), QSize(800, 400));
    EXPECT_TRUE(clitest::exitsWith(tool({"eq", "--band", "1k=3", "--plot", png}), 2, {png}));
    EXPECT_EQ(clitest::pngSize(png), QSize(800, 400));
}
