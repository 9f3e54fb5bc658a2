// level: batches processed side by side, and the output as ffmpeg measures it.
#include <QFileInfo>

#include "CliKit.h"
#include "common/ColouredNoise.h"
#include "common/ExternalAudio.h"

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

// A loudness target: ffmpeg measures every output at the target within half a
// LU and its true peak at or below the ceiling, lossless and lossy alike (the
// encoders' overshoot and the MP3 writer's headroom included), on the album and
// on pink noise with loud transients, which the limiter has to hold (after eq as
// well). Targets and ceilings out of range are the frame tests' usage errors.
TEST(CliLevel, LoudnessTargetAndTruePeakCeiling) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const QString in = clitest::albumCopy(dir), transients = dir.path("transients.wav");
    constexpr unsigned kRate = 44100;
    tk::Frames bursts = tk::tiltedNoise(1 << 18, kRate, 3.0, 20.0, 5, {}, 0.05);
    for (size_t at = kRate / 4; at + 2000 < bursts.size(); at += kRate / 2)
        for (size_t i = 0; i < 2000; ++i) {
            const double v = 0.8 * std::exp(-double(i) / 300.0) * std::sin(2.0 * M_PI * 2500.0 * double(i) / kRate);
            bursts[at + i].l += v;
            bursts[at + i].r -= 0.7 * v;
        }
    ASSERT_TRUE(tk::writeWav16(transients, bursts, kRate, 2));
    for (const QString& input : {in, transients})
        for (const char* ext : {"wav", "flac", "ogg", "mp3"}) {
            const QString out = dir.path(QFileInfo(input).baseName() + "-loud." + ext);
            SCOPED_TRACE(out.toStdString());
            const QJsonObject r = clitest::json({"level", "--json", "--target", "-14LUFS", "--true-peak", "-1", input, "-o", out});
            EXPECT_EQ(r["targetUnit"].toString(), "LUFS");
            const tk::FfmpegLoudness ff = tk::ffmpegLoudness(out);
            EXPECT_NEAR(ff.integrated, -14.0, 0.5);
            EXPECT_LE(ff.truePeak, -1.0);
            // What the host reports is what was written.
            EXPECT_NEAR(r["after"]["loudness"].toDouble(), ff.integrated, 0.15);
        }
    // The equaliser lifts the transients into the limiter; lossy outputs keep the ceiling too.
    for (const char* ext : {"ogg", "mp3"}) {
        const QString out = dir.path(QString("eq.") + ext);
        ASSERT_EQ(tool({"eq", "--preset", "rock", transients, "-o", out}).exitCode, 0);
        EXPECT_LE(tk::ffmpegLoudness(out).truePeak, -1.0) << ext;
    }
}
