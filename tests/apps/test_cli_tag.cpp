// tag's wiring: --album reaches the job, the JSON is the job's report, and a
// file that cannot be tagged exits 2 naming it with the cause. The figures
// themselves: tests/jobs/test_tag.cpp.
#include <QFile>

#include "CliKit.h"
#include "common/ExternalAudio.h"
#include "common/Recordings.h"

TEST(CliTag, AlbumReachesTheJobAndRefusalsExit2) {
    tk::TempDir dir;
    const QString a = clitest::wavFile(dir, "a.wav", tk::track(44100 * 3, 44100, -24.0, 1), 44100);
    const QString b = clitest::wavFile(dir, "b.wav", tk::track(44100 * 3, 44100, -12.0, 2), 44100);
    const QJsonObject one = clitest::json({"tag", "--json", a});
    EXPECT_EQ(one.keys(), (QStringList{"file", "loudness", "trackGain", "trackPeak", "truePeak"}));
    EXPECT_NEAR(one["trackGain"].toDouble(), -18.0 - one["loudness"].toDouble(), 0.011);
    const clitest::Run album = clitest::tool({"tag", "--album", "--json", a, b});
    ASSERT_EQ(album.exitCode, 0) << album.err.toStdString();
    const QJsonArray both = album.json().array();
    ASSERT_EQ(both.size(), 2);
    EXPECT_EQ(both[0]["albumGain"], both[1]["albumGain"]);
    EXPECT_EQ(both[0]["albumPeak"], both[1]["trackPeak"]);  // the loud track's
    const QString text = clitest::tool({"tag", "--album", a, b}).out;
    EXPECT_TRUE(text.contains("  album gain ") && text.contains("  track gain ")) << text.toStdString();
    ASSERT_TRUE(tk::writeBytes(dir.path("notes.txt"), "not sound"));
    EXPECT_TRUE(clitest::exitsWith(clitest::tool({"tag", a, dir.path("notes.txt")}), 2,
                                   {dir.path("notes.txt"), "only into WAV, FLAC, Ogg Vorbis and MP3"}));
    EXPECT_TRUE(clitest::exitsWith(clitest::tool({"tag", "--album", a, dir.path("notes.txt")}), 2, {"notes.txt"}));
}
