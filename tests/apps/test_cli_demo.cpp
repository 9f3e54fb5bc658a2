// demo: the README's main command.
#include <QDir>
#include <QFileInfo>

#include "CliKit.h"

using clitest::tool;

// Every step runs and leaves its file; a folder of someone else's is not
// written into without -y, and the demo's own keeps the user's files.
TEST(CliDemo, GeneratesAnalysesSplitsAndLevels) {
    tk::TempDir dir;
    const QDir out(dir.path("demo"));
    const QString png = dir.path("demo.png");
    const clitest::Run r = tool({"demo", "-o", out.path(), "--plot", png, "--plot-size", "900x700"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    for (const char* step : {"1. generate", "2. analyse", "3. split", "4. level", "5. correct", "wrote 3 files", "reference "})
        EXPECT_TRUE(r.out.contains(step)) << step << "\n" << r.out.toStdString();
    for (const char* file : {"demo-input.wav", "demo-input-levelled.wav", "demo-input-corrected.wav", "demo-input.ssf"})
        EXPECT_TRUE(QFileInfo::exists(out.filePath(file))) << file;
    EXPECT_EQ(QDir(out.filePath("pieces")).entryList(QDir::Files).size(), 3);
    EXPECT_EQ(clitest::pngSize(png), QSize(900, 700));

    // A later run (on another recording) replaces the pieces the last one
    // wrote and nothing the user put beside them.
    ASSERT_TRUE(tk::writeBytes(out.filePath("pieces/keep.txt"), "mine"));
    tk::TempDir other;
    ASSERT_EQ(tool({"demo", "-o", out.path(), clitest::albumCopy(other)}).exitCode, 0);
    const QStringList pieces = QDir(out.filePath("pieces")).entryList(QDir::Files);
    EXPECT_EQ(pieces.filter("demo-input").size(), 0) << pieces.join(' ').toStdString();
    EXPECT_EQ(pieces.filter("album").size(), 3) << pieces.join(' ').toStdString();
    EXPECT_EQ(tk::fileBytes(out.filePath("pieces/keep.txt")), "mine");

    const QString foreign = dir.path("foreign");
    ASSERT_TRUE(QDir().mkpath(foreign) && tk::writeBytes(foreign + "/keep.txt", ""));
    EXPECT_TRUE(clitest::exitsWith(tool({"demo", "-o", foreign}), 2, {foreign}));
    EXPECT_EQ(QDir(foreign).entryList(QDir::Files | QDir::Hidden).size(), 1);
}
