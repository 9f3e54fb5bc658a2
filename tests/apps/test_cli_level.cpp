// level: batches processed side by side, and the options reaching the job.
#include <QFileInfo>

#include "CliKit.h"

using clitest::tool;

// The target reaches the leveller (whose accuracy is the dynamics tests'
// business): a track comes out at it. Files processed side by side give the
// very bytes they give one at a time, and the results, JSON or text, come in
// input order.
TEST(CliLevel, ParallelBatchMatchesSerial) {
    tk::TempDir dir;
    QStringList inputs;
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) inputs << clitest::albumCopy(dir, name);
    const QString serial = dir.path("serial") + "/", parallel = dir.path("parallel") + "/";
    const clitest::Run one = tool(QStringList{"level", "-j", "1", "--json", "--target", "-12", "-o", serial} + inputs);
    const clitest::Run two = tool(QStringList{"level", "-j", "3", "--json", "--target", "-12", "-o", parallel} + inputs);
    const QJsonArray a = one.json().array(), b = two.json().array();
    ASSERT_EQ(a.size(), 3) << one.err.toStdString();
    ASSERT_EQ(b.size(), 3) << two.err.toStdString();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(b[i]["file"].toString(), inputs[i]);
        EXPECT_NEAR(b[i]["stretches"][0]["before"].toDouble(), -14.0, 1.0);
        EXPECT_NEAR(b[i]["stretches"][0]["after"].toDouble(), -12.0, 1.0);
        EXPECT_EQ(a[i]["after"], b[i]["after"]);
        const QString name = QFileInfo(inputs[i]).completeBaseName() + "-levelled.wav";
        const QString s = clitest::fileMd5(serial + name);
        EXPECT_FALSE(s.isEmpty());
        EXPECT_EQ(s, clitest::fileMd5(parallel + name)) << name.toStdString();
    }
    const clitest::Run text = tool(QStringList{"level", "-y", "-j", "3", "--target", "-12", "-o", parallel} + inputs);
    ASSERT_EQ(text.exitCode, 0);
    EXPECT_LT(text.out.indexOf(inputs[0] + " ->"), text.out.indexOf(inputs[1] + " ->"));
    EXPECT_LT(text.out.indexOf(inputs[1] + " ->"), text.out.indexOf(inputs[2] + " ->"));
}

// A loudness target and the ceiling reach the job (what it makes of them is
// the jobs tests' business), and --album levels the tracks by one gain.
TEST(CliLevel, LoudnessTargetAndAlbumReachTheJob) {
    tk::TempDir dir;
    const QString a = clitest::albumCopy(dir, "a.wav"), b = clitest::albumCopy(dir, "b.wav");
    const QJsonObject one = clitest::json({"level", "--json", "--target", "-16LUFS", "--true-peak", "-3", a});
    EXPECT_EQ(one["targetUnit"].toString(), "LUFS");
    EXPECT_EQ(one["target"].toDouble(), -16.0);
    EXPECT_NEAR(one["after"]["loudness"].toDouble(), -16.0, 0.3);
    EXPECT_LE(one["after"]["truePeak"].toDouble(), -3.0);
    const QJsonArray album =
        tool({"level", "-y", "--json", "--album", "--target", "-16LUFS", "-o", dir.root() + "/", a, b}).json().array();
    ASSERT_EQ(album.size(), 2);
    EXPECT_TRUE(album[0]["album"].toBool() && album[1]["album"].toBool());
}
