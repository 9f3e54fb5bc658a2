// level: the output as sox sees it, and batches processed side by side.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <cmath>

#include "CliKit.h"
#include "common/ColouredNoise.h"
#include "common/ExternalAudio.h"

using clitest::tool;

// The target reaches the leveller (whose accuracy is the dynamics tests'
// business): a track's steady middle comes out at it, the quiet room noise is
// left alone, the length and rate are the input's, and the JSON agrees with sox.
TEST(CliLevel, TracksReachTheTarget) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    tk::TempDir dir;
    const QString out = dir.path("levelled.flac");
    const clitest::Run r = tool({"level", "--json", "--target", "-12", "-o", out, clitest::albumWav()});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonObject o = r.json().object();
    EXPECT_EQ(o["output"].toString(), out);
    for (const char* option : {"-r", "-s"})
        EXPECT_EQ(clitest::soxi(option, out), clitest::soxi(option, clitest::albumWav())) << option;
    EXPECT_NEAR(clitest::soxStat(out, "RMS lev dB", 24, 5), -12.0, 1.0);  // past the ramps after each change
    EXPECT_NEAR(clitest::soxStat(out, "RMS lev dB", 32, 4), -70.0, 1.0);  // room noise: unity gain
    EXPECT_NEAR(o["after"].toObject()["peak"].toDouble(), clitest::soxStat(out, "Pk lev dB"), 0.05);
    const QJsonArray stretches = o["stretches"].toArray();
    ASSERT_EQ(stretches.size(), 3);
    EXPECT_NEAR(stretches[0].toObject()["before"].toDouble(), -14.0, 1.0);
    EXPECT_NEAR(stretches[0].toObject()["after"].toDouble(), -12.0, 1.0);
}

// Files processed side by side give the very bytes they give one at a time,
// and the results come in input order.
TEST(CliLevel, ParallelBatchMatchesSerial) {
    tk::TempDir dir;
    QStringList inputs;
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
        inputs << dir.path(name);
        ASSERT_TRUE(QFile::copy(clitest::albumWav(), inputs.back()));
    }
    const QString serial = dir.path("serial") + "/", parallel = dir.path("parallel") + "/";
    const clitest::Run one = tool(QStringList{"level", "-j", "1", "--json", "-o", serial} + inputs);
    const clitest::Run two = tool(QStringList{"level", "-j", "3", "--json", "-o", parallel} + inputs);
    ASSERT_EQ(one.exitCode, 0) << one.err.toStdString();
    ASSERT_EQ(two.exitCode, 0) << two.err.toStdString();
    const QJsonArray a = one.json().array(), b = two.json().array();
    ASSERT_EQ(a.size(), 3);
    ASSERT_EQ(b.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(b[i].toObject()["file"].toString(), inputs[i]);
        EXPECT_EQ(a[i].toObject()["after"], b[i].toObject()["after"]);
        const QString name = QFileInfo(inputs[i]).completeBaseName() + "-levelled.wav";
        const QString s = clitest::fileMd5(QDir(serial).filePath(name));
        EXPECT_FALSE(s.isEmpty());
        EXPECT_EQ(s, clitest::fileMd5(QDir(parallel).filePath(name))) << name.toStdString();
    }
    // Text results in input order too.
    const clitest::Run text = tool(QStringList{"level", "-y", "-j", "3", "-o", parallel} + inputs);
    ASSERT_EQ(text.exitCode, 0);
    EXPECT_LT(text.out.indexOf(inputs[0] + " ->"), text.out.indexOf(inputs[1] + " ->"));
    EXPECT_LT(text.out.indexOf(inputs[1] + " ->"), text.out.indexOf(inputs[2] + " ->"));
}

// An existing output stays as it was without -y; so does the input given as output.
TEST(CliLevel, OutputRules) {
    tk::TempDir dir;
    const QString input = dir.path("rec.wav");
    ASSERT_TRUE(QFile::copy(clitest::albumWav(), input));
    const QString out = dir.path("rec-levelled.wav");
    ASSERT_TRUE(tk::writeBytes(out, "keep"));
    const clitest::Run refused = tool({"level", input});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.err.contains(out));
    EXPECT_EQ(QFileInfo(out).size(), 4);
    const clitest::Run self = tool({"level", "-o", input, input});
    EXPECT_EQ(self.exitCode, 2);
    EXPECT_EQ(clitest::fileMd5(input), clitest::fileMd5(clitest::albumWav()));
    EXPECT_EQ(tool({"level", "-y", input}).exitCode, 0);
    EXPECT_GT(QFileInfo(out).size(), 1000);
}

// A loudness target: ffmpeg measures every output at the target within half a
// LU and its true peak at or below the ceiling, lossless and lossy alike (the
// encoders' overshoot and the MP3 writer's headroom included), on the album and
// on pink noise with loud transients, which the limiter has to hold (after eq as
// well); targets and ceilings out of range are usage errors.
TEST(CliLevel, LoudnessTargetAndTruePeakCeiling) {
    tk::TempDir dir;
    const QString in = clitest::albumCopy(dir);
    constexpr unsigned kRate = 44100;
    tk::Frames bursts = tk::tiltedNoise(1 << 19, kRate, 3.0, 20.0, 5, {}, 0.05);
    for (size_t at = kRate / 4; at + 2000 < bursts.size(); at += kRate / 2)
        for (size_t i = 0; i < 2000; ++i) {
            const double v = 0.8 * std::exp(-double(i) / 300.0) * std::sin(2.0 * M_PI * 2500.0 * double(i) / kRate);
            bursts[at + i].l += v;
            bursts[at + i].r -= 0.7 * v;
        }
    const QString transients = dir.path("transients.wav");
    ASSERT_TRUE(tk::writeWav16(transients, bursts, kRate, 2));
    for (const QString& input : {in, transients})
        for (const char* ext : {"wav", "flac", "ogg", "mp3"}) {
            const QString out = dir.path(QFileInfo(input).baseName() + "-loud." + ext);
            const clitest::Run r =
                tool({"level", "--json", "--target", "-14LUFS", "--true-peak", "-1", input, "-o", out});
            ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
            EXPECT_EQ(r.json().object()["targetUnit"].toString(), "LUFS");
            const tk::FfmpegLoudness ff = tk::ffmpegLoudness(out);
            if (!ff.ok) GTEST_SKIP() << "no ffmpeg";
            EXPECT_NEAR(ff.integrated, -14.0, 0.5) << out.toStdString();
            EXPECT_LE(ff.truePeak, -1.0) << out.toStdString();
            // What the host reports is what was written.
            const QJsonObject after = r.json().object()["after"].toObject();
            EXPECT_NEAR(after["loudness"].toDouble(), ff.integrated, 0.15) << out.toStdString();
        }
    // The equaliser lifts the transients into the limiter; lossy outputs keep the ceiling too.
    for (const char* ext : {"ogg", "mp3"}) {
        const QString out = dir.path(QString("eq.") + ext);
        const clitest::Run r = tool({"eq", "--preset", "rock", transients, "-o", out});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_LE(tk::ffmpegLoudness(out).truePeak, -1.0) << ext;
    }
    for (const QStringList& bad : {QStringList{"--target", "-80LUFS"}, QStringList{"--target", "1LUFS"},
                                   QStringList{"--true-peak", "0.5"}}) {
        const clitest::Run r = tool(QStringList{"level"} + bad + QStringList{in, "-o", dir.path("x.wav")});
        EXPECT_EQ(r.exitCode, 1) << bad.join(' ').toStdString();
        EXPECT_FALSE(QFileInfo::exists(dir.path("x.wav")));
    }
}
