// demo: the README's main command.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "CliKit.h"

using clitest::tool;

TEST(CliDemo, GeneratesAnalysesSplitsAndLevels) {
    tk::TempDir dir;
    const QString out = dir.path("demo");
    const QString png = dir.path("demo.png");
    const clitest::Run r = tool({"demo", "-o", out, "--plot", png, "--plot-size", "900x700"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    for (const char* step : {"1. generate", "2. analyse", "3. split", "4. level", "5. correct", "wrote 3 files",
                             "reference "})
        EXPECT_TRUE(r.out.contains(step)) << step << "\n" << r.out.toStdString();
    EXPECT_TRUE(QFileInfo::exists(QDir(out).filePath("demo-input.wav")));
    EXPECT_TRUE(QFileInfo::exists(QDir(out).filePath("demo-input-levelled.wav")));
    EXPECT_TRUE(QFileInfo::exists(QDir(out).filePath("demo-input-corrected.wav")));
    EXPECT_TRUE(QFileInfo::exists(QDir(out).filePath("demo-input.ssf")));
    EXPECT_EQ(QDir(QDir(out).filePath("pieces")).entryList(QDir::Files).size(), 3);
    int w = 0, h = 0;
    ASSERT_TRUE(clitest::pngSize(png, &w, &h));
    EXPECT_EQ(w, 900);
    EXPECT_EQ(h, 700);

    // A folder of someone else's is not written into without -y; the demo's own is.
    const QString foreign = dir.path("foreign");
    QDir().mkpath(foreign);
    QFile keep(QDir(foreign).filePath("keep.txt"));
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.close();
    const clitest::Run refused = tool({"demo", "-o", foreign});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.err.contains(foreign));
    EXPECT_EQ(QDir(foreign).entryList(QDir::Files | QDir::Hidden).size(), 1);
}
