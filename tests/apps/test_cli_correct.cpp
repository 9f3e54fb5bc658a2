// The statistics file analyse leaves beside its input, its reuse by split,
// level and correct, the nearest reference curve, and the correct job.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <cmath>

#include "CliKit.h"
#include "common/ExternalAudio.h"
#include "tonewright/SoundStatFile.h"

using clitest::tool;

namespace {

// Noise with a spectral tilt made by sox: pink, or pink with its top or bottom
// taken down by a shelf (sox's own biquads, not the library's).
QString tiltedNoise(const tk::TempDir& dir, const QString& name, const std::string& shelf) {
    const QString wav = dir.path(name);
    const std::string cmd = "sox -n -r 44100 -c 2 -b 16 " + tk::shellQuote(wav) +
                            " synth 6 pinknoise vol 0.25 " + shelf + " 2>/dev/null";
    return tk::runCommand(cmd) == 0 ? wav : QString();
}

std::vector<double> numbers(const QJsonValue& v) {
    std::vector<double> out;
    for (const QJsonValue& x : v.toArray()) out.push_back(x.toDouble());
    return out;
}

// Distance between a curve and measured relative levels over their common bands.
double distance(const std::vector<double>& curve, const std::vector<double>& measured) {
    double sum = 0;
    for (size_t i = 0; i < std::min(curve.size(), measured.size()); ++i)
        sum += (curve[i] - measured[i]) * (curve[i] - measured[i]);
    return std::sqrt(sum);
}

}  // namespace

// analyse names the curve of the catalog nearest to the spectrum it printed,
// at the distance a plain sum over the catalog's JSON gives; the statistics
// file beside the input holds the same band levels.
TEST(CliCorrect, NearestReferenceAndStatisticsFile) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    const std::vector<clitest::Curve> curves = clitest::referenceCurves();
    ASSERT_GE(curves.size(), 2u);
    tk::TempDir dir;
    // The catalog's curves go from bright to dark.
    std::vector<size_t> nearest;
    for (const char* shelf : {"bass -10 200", "", "treble -10 3000"}) {
        SCOPED_TRACE(shelf);
        const QString wav = tiltedNoise(dir, "noise.wav", shelf);
        ASSERT_FALSE(wav.isEmpty());
        QFile::remove(dir.path("noise.ssf"));
        const clitest::Run r = tool({"analyse", "--json", wav});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QJsonObject a = r.json().object();
        std::vector<double> measured;
        for (const QJsonValue& b : a["bands"].toArray()) measured.push_back(b.toObject()["fftRelative"].toDouble());
        size_t best = 0;
        for (size_t i = 1; i < curves.size(); ++i)
            if (distance(curves[i].levels, measured) < distance(curves[best].levels, measured)) best = i;
        const QJsonObject ref = a["reference"].toObject();
        EXPECT_EQ(ref["name"].toString(), curves[best].name);
        nearest.push_back(best);
        // The printed levels are rounded to 0.01 dB: nine of them move the sum a little.
        EXPECT_NEAR(ref["distance"].toDouble(), distance(curves[best].levels, measured), 0.05);
        // Corrections: the differences limited to 12 dB, all lowered so that
        // none raises a band.
        const std::vector<double> cuts = numbers(ref["corrections"]);
        ASSERT_EQ(cuts.size(), 9u);
        std::vector<double> expected;
        for (size_t i = 0; i < 9; ++i)
            expected.push_back(std::max(-12.0, std::min(12.0, curves[best].levels[i] - measured[i])));
        const double raise = std::max(0.0, *std::max_element(expected.begin(), expected.end()));
        for (size_t i = 0; i < 9; ++i) EXPECT_NEAR(cuts[i], expected[i] - raise, 0.025) << i;

        // The file: beside the input, read back by the library.
        EXPECT_EQ(a["statisticsFile"].toString(), dir.path("noise.ssf"));
        SoundStatFile saved;
        ASSERT_TRUE(saved.readJSonFile(wav));
        const std::vector<double> levels = saved.getRelativeLevels();
        ASSERT_EQ(levels.size(), 10u);
        for (size_t i = 0; i < levels.size(); ++i) EXPECT_NEAR(levels[i], measured[i], 0.006) << i;
        EXPECT_EQ(saved.getSampleRate(), 44100u);
        ASSERT_NE(saved.getStepDetector(), nullptr);
        EXPECT_EQ(saved.getStepDetector()->getFullLength(), 6u * 44100u);
    }
    // Darker noise is nearer a darker curve.
    ASSERT_EQ(nearest.size(), 3u);
    EXPECT_LE(nearest[0], nearest[1]);
    EXPECT_LE(nearest[1], nearest[2]);
    EXPECT_LT(nearest[0], nearest[2]);
}

// A statistics file is replaced only with -y, and --no-save writes none.
TEST(CliCorrect, StatisticsFileFollowsTheOverwriteRule) {
    tk::TempDir dir;
    const QString wav = clitest::albumCopy(dir);
    const QString ssf = dir.path("album.ssf");
    ASSERT_EQ(tool({"analyse", "--no-save", wav}).exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(ssf));
    {
        QFile f(ssf);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("mine");
    }
    const clitest::Run kept = tool({"analyse", "--json", wav});
    EXPECT_EQ(kept.exitCode, 0);
    EXPECT_TRUE(kept.err.contains(ssf)) << kept.err.toStdString();
    EXPECT_TRUE(kept.json().object()["statisticsFile"].isNull());
    EXPECT_EQ(QFileInfo(ssf).size(), 4);
    ASSERT_EQ(tool({"analyse", "-y", wav}).exitCode, 0);
    EXPECT_GT(QFileInfo(ssf).size(), 1000);
}

// level takes the regions from the statistics file when it still describes
// the input: the tracks at the target. A file older than the input, or made
// with another threshold, is passed over.
TEST(CliCorrect, LevelReusesTheStatistics) {
    tk::TempDir dir;
    const QString wav = clitest::albumCopy(dir);
    const QString ssf = dir.path("album.ssf");
    ASSERT_EQ(tool({"analyse", wav}).exitCode, 0);
    auto level = [&](const QStringList& options) {
        const clitest::Run r = tool(QStringList{"level", "-y", "--json", "-o", dir.path("levelled.wav")} + options +
                                    QStringList{wav});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return r.json().object()["statisticsFile"];
    };
    EXPECT_EQ(level({}).toString(), ssf);
    if (tk::haveTool("sox")) {
        const QString out = dir.path("levelled.wav");
        EXPECT_NEAR(clitest::soxStat(out, "RMS lev dB", 6, 5), -14.0, 1.0);
        EXPECT_NEAR(clitest::soxStat(out, "RMS lev dB", 24, 5), -14.0, 1.0);
        EXPECT_NEAR(clitest::soxStat(out, "RMS lev dB", 32, 4), -70.0, 1.0);
    }
    EXPECT_TRUE(level({"--reanalyse"}).isNull());
    EXPECT_TRUE(level({"--threshold", "-75"}).isNull());

    // The recording changed after the analysis.
    QFile f(wav);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(QFileInfo(ssf).lastModified().addSecs(10), QFileDevice::FileModificationTime));
    f.close();
    EXPECT_TRUE(level({}).isNull());
}

// The correction moves the balance towards the curve: sox's band-pass
// measures the treble against the bass before and after, and a new analysis
// finds the output nearer the curve than the input.
TEST(CliCorrect, MovesTheBalanceTowardsTheCurve) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    tk::TempDir dir;
    const QString wav = tiltedNoise(dir, "pink.wav", "");
    ASSERT_FALSE(wav.isEmpty());
    struct Case {
        const char* reference;
        double trebleChange;  // sign of the change of treble minus bass, dB
    };
    const Case cases[] = {{"Flat 0 dB/oct", +1}, {"Dark -6 dB/oct", -1}};
    const double bassBefore = clitest::soxBandRms(wav, 60, 200), trebleBefore = clitest::soxBandRms(wav, 5000, 9000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reference);
        const QString out = dir.path(QString("out-%1.wav").arg(c.trebleChange > 0 ? "flat" : "dark"));
        const clitest::Run r = tool({"correct", "--json", "--reference", c.reference, "-o", out, wav});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QJsonObject o = r.json().object();
        EXPECT_EQ(o["reference"].toObject()["name"].toString(), c.reference);
        const double before = o["reference"].toObject()["distance"].toDouble();

        std::string samples, inSamples;
        tk::runCommand("soxi -s " + tk::shellQuote(out), &samples);
        tk::runCommand("soxi -s " + tk::shellQuote(wav), &inSamples);
        EXPECT_EQ(samples, inSamples);
        const double change = (clitest::soxBandRms(out, 5000, 9000) - clitest::soxBandRms(out, 60, 200)) -
                              (trebleBefore - bassBefore);
        EXPECT_GT(change * c.trebleChange, 6.0) << change;
        EXPECT_LT(clitest::soxStat(out, "Pk lev dB"), 0.0);

        const clitest::Run check = tool({"analyse", "--no-save", "--json", out});
        ASSERT_EQ(check.exitCode, 0);
        std::vector<double> measured;
        for (const QJsonValue& b : check.json().object()["bands"].toArray())
            measured.push_back(b.toObject()["fftRelative"].toDouble());
        for (const clitest::Curve& curve : clitest::referenceCurves())
            if (curve.name == c.reference) {
                EXPECT_LT(distance(curve.levels, measured), 0.6 * before);
            }
    }
}

// The nearest curve by default; the band levels of a fitting statistics file
// spare the measuring pass (the same output either way); errors and the list.
TEST(CliCorrect, NearestCurveListAndOutputRules) {
    tk::TempDir dir;
    const QString wav = clitest::albumCopy(dir);
    const clitest::Run analysed = tool({"analyse", "--json", wav});
    ASSERT_EQ(analysed.exitCode, 0);
    const QString nearest = analysed.json().object()["reference"].toObject()["name"].toString();
    ASSERT_FALSE(nearest.isEmpty());

    const clitest::Run saved = tool({"correct", "--json", "-o", dir.path("a.wav"), wav});
    const clitest::Run fresh = tool({"correct", "--json", "--reanalyse", "-o", dir.path("b.wav"), wav});
    ASSERT_EQ(saved.exitCode, 0) << saved.err.toStdString();
    ASSERT_EQ(fresh.exitCode, 0) << fresh.err.toStdString();
    EXPECT_EQ(saved.json().object()["reference"].toObject()["name"].toString(), nearest);
    EXPECT_EQ(saved.json().object()["statisticsFile"].toString(), dir.path("album.ssf"));
    EXPECT_TRUE(fresh.json().object()["statisticsFile"].isNull());
    EXPECT_EQ(clitest::fileMd5(dir.path("a.wav")), clitest::fileMd5(dir.path("b.wav")));

    // Default name beside the input; kept without -y.
    const QString def = dir.path("album-corrected.wav");
    ASSERT_EQ(tool({"correct", wav}).exitCode, 0);
    const QString md5 = clitest::fileMd5(def);
    ASSERT_FALSE(md5.isEmpty());
    const clitest::Run refused = tool({"correct", "-r", "Flat 0 dB/oct", wav});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.err.contains(def));
    EXPECT_EQ(clitest::fileMd5(def), md5);

    // A recording whose bandwidth ends below the reference bands has no curve.
    if (tk::haveTool("sox")) {
        const QString narrow = dir.path("narrow.wav");
        ASSERT_EQ(tk::runCommand("sox -n -r 16000 -c 2 -b 16 " + tk::shellQuote(narrow) +
                                 " synth 2 pinknoise vol 0.3 2>/dev/null"),
                  0);
        const clitest::Run a = tool({"analyse", "--json", narrow});
        EXPECT_EQ(a.exitCode, 0);
        EXPECT_TRUE(a.json().object()["reference"].isNull());
        EXPECT_TRUE(a.err.contains("bandwidth")) << a.err.toStdString();
        const clitest::Run c = tool({"correct", narrow});
        EXPECT_EQ(c.exitCode, 2);
        EXPECT_TRUE(c.err.contains(narrow));
        EXPECT_FALSE(QFileInfo::exists(dir.path("narrow-corrected.wav")));
    }

    const clitest::Run list = tool({"correct", "--list", "--json"});
    ASSERT_EQ(list.exitCode, 0);
    const std::vector<clitest::Curve> curves = clitest::referenceCurves();
    const QJsonArray names = list.json().array();
    ASSERT_EQ(names.size(), int(curves.size()));
    for (size_t i = 0; i < curves.size(); ++i) {
        EXPECT_EQ(names[int(i)].toObject()["name"].toString(), curves[i].name);
        EXPECT_EQ(numbers(names[int(i)].toObject()["levels"]), curves[i].levels);
    }
}
