// The statistics file analyse leaves beside its input, its reuse by split,
// level and correct, and the reference curves: the host's answers against the
// library's own (catalog, statistics file), not derived again here.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

#include "CliKit.h"
#include "common/ColouredNoise.h"
#include "common/ExternalAudio.h"
#include "common/FourierKit.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatReference.h"

using clitest::tool;

namespace {
std::vector<double> numbers(const QJsonValue& v) {
    std::vector<double> out;
    for (const QJsonValue& x : v.toArray()) out.push_back(x.toDouble());
    return out;
}
}  // namespace

// analyse's nearest curve, its distance and corrections are what the library's
// catalog gives for the statistics file analyse wrote, and that file holds the
// band levels the JSON printed.
TEST(CliCorrect, ReferenceIsTheCatalogsAnswerForTheSavedStatistics) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readDefaultCatalog());
    tk::TempDir dir;
    for (const char* shelf : {"bass -10 200", "treble -10 3000"}) {
        SCOPED_TRACE(shelf);
        const QString wav = dir.path("noise.wav");
        QFile::remove(dir.path("noise.ssf"));
        ASSERT_EQ(tk::runCommand("sox -n -r 44100 -c 2 -b 16 " + tk::shellQuote(wav) + " synth 6 pinknoise vol 0.25 " +
                                 shelf + " 2>/dev/null"),
                  0);
        const clitest::Run r = tool({"analyse", "--json", wav});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QJsonObject a = r.json().object();
        EXPECT_EQ(a["statisticsFile"].toString(), dir.path("noise.ssf"));
        SoundStatFile saved;
        ASSERT_TRUE(saved.readJSonFile(wav));
        EXPECT_EQ(saved.getSampleRate(), 44100u);
        ASSERT_NE(saved.getStepDetector(), nullptr);
        // The recording's length is the file's record of it (the detector's
        // last region need not start at the end of the recording).
        EXPECT_EQ(saved.getSource().frames, 6 * 44100);
        const std::vector<double> levels = saved.getRelativeLevels();
        const QJsonArray bands = a["bands"].toArray();
        ASSERT_EQ(levels.size(), size_t(bands.size()));
        for (size_t i = 0; i < levels.size(); ++i)
            EXPECT_NEAR(bands[int(i)].toObject()["fftRelative"].toDouble(), levels[i], 0.006) << i;

        const SoundStatReference nearest = catalog.getNearestReference(saved);
        const QJsonObject ref = a["reference"].toObject();
        EXPECT_EQ(ref["name"].toString(), nearest.getName());
        EXPECT_NEAR(ref["distance"].toDouble(), nearest.getDistance(saved), 0.006);
        const std::vector<double> cuts = numbers(ref["corrections"]), expected = nearest.getCorrectedLevels(saved, 12.0);
        ASSERT_EQ(cuts.size(), expected.size());
        for (size_t i = 0; i < cuts.size(); ++i) EXPECT_NEAR(cuts[i], expected[i], 0.006) << i;
    }
}

// A statistics file is replaced only with -y, --no-save writes none, and a file
// that is no statistics file is not taken for one.
TEST(CliCorrect, StatisticsFileFollowsTheOverwriteRule) {
    tk::TempDir dir;
    const QString wav = clitest::albumCopy(dir);
    const QString ssf = dir.path("album.ssf");
    ASSERT_EQ(tool({"analyse", "--no-save", wav}).exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(ssf));
    ASSERT_TRUE(tk::writeBytes(ssf, "mine"));
    const clitest::Run kept = tool({"analyse", "--json", wav});
    EXPECT_EQ(kept.exitCode, 0);
    EXPECT_TRUE(kept.err.contains(ssf)) << kept.err.toStdString();
    EXPECT_TRUE(kept.json().object()["statisticsFile"].isNull());
    EXPECT_EQ(QFileInfo(ssf).size(), 4);
    ASSERT_EQ(tool({"analyse", "-y", wav}).exitCode, 0);
    EXPECT_GT(QFileInfo(ssf).size(), 1000);
}

// level and correct take the statistics file when it still describes the
// input (the same answer as a fresh pass); a file older than the input, or
// made with another threshold, is passed over.
TEST(CliCorrect, JobsReuseTheStatisticsWhileTheyFit) {
    tk::TempDir dir;
    const QString wav = clitest::albumCopy(dir);
    const QString ssf = dir.path("album.ssf");
    ASSERT_EQ(tool({"analyse", wav}).exitCode, 0);
    auto level = [&](const QStringList& options) -> QJsonValue {
        const clitest::Run r = tool(QStringList{"level", "-y", "--json", "-o", dir.path("l.wav")} + options +
                                    QStringList{wav});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return r.json().object().value("statisticsFile");
    };
    EXPECT_EQ(level({}).toString(), ssf);
    EXPECT_TRUE(level({"--reanalyse"}).isNull());
    EXPECT_TRUE(level({"--threshold", "-75"}).isNull());

    const clitest::Run a = tool({"correct", "--json", "-o", dir.path("a.wav"), wav});
    const clitest::Run b = tool({"correct", "--json", "--reanalyse", "-o", dir.path("b.wav"), wav});
    ASSERT_EQ(a.exitCode, 0) << a.err.toStdString();
    ASSERT_EQ(b.exitCode, 0) << b.err.toStdString();
    EXPECT_EQ(a.json().object()["statisticsFile"].toString(), ssf);
    EXPECT_TRUE(b.json().object()["statisticsFile"].isNull());
    EXPECT_EQ(clitest::fileMd5(dir.path("a.wav")), clitest::fileMd5(dir.path("b.wav")));

    // The recording changed after the analysis.
    QFile f(wav);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(QFileInfo(ssf).lastModified().addSecs(10), QFileDevice::FileModificationTime));
    f.close();
    EXPECT_TRUE(level({}).isNull());
}

// A statistics file that does not describe the recording beside it is passed
// over with the reason, verbose or not, and the job measures afresh (the same
// output as --reanalyse): the statistics of another recording of the same
// length, rate and file size, and a damaged file. A file of the older kind,
// without its record of the recording, is still reused when its measurements
// count the recording's frames, also for a recording shorter than the
// detector's window (whose regions end before the recording does).
TEST(CliCorrect, StatisticsOfAnotherRecordingAreNotReused) {
    tk::TempDir dir;
    const tk::Recording& album = clitest::albumRecording();
    const QString a = clitest::albumCopy(dir, "a.wav");
    ASSERT_EQ(tool({"analyse", a}).exitCode, 0);
    const QByteArray saved = tk::fileBytes(dir.path("a.ssf"));
    const QString shortWav = dir.path("short.wav");
    ASSERT_TRUE(tk::writeWav16(shortWav, tk::sine(album.rate / 10, album.rate, 440.0, 0.3), album.rate, 2));
    ASSERT_EQ(tool({"analyse", shortWav}).exitCode, 0);
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QJsonObject old = QJsonDocument::fromBinaryData(tk::fileBytes(dir.path("short.ssf"))).object();
    old.remove("Source");  // nor were they sealed
    old.remove("Checksum");
    const QByteArray oldKind = QJsonDocument(old).toBinaryData();
    QT_WARNING_POP

    struct Case {
        const char* name;
        QString input;
        tk::Frames frames;  // written as the input when not empty
        QByteArray statistics;
        const char* why;  // empty: reused
    };
    const Case cases[] = {
        {"another recording", dir.path("b.wav"), tk::scaled(album.frames, 0.5), saved,
         "b.ssf does not describe this recording: the recording's samples are not those"},
        {"damaged", dir.path("c.wav"), album.frames, saved.left(saved.size() - 100), "cannot use "},
        {"older kind", shortWav, {}, oldKind, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.frames.empty()) {
            ASSERT_TRUE(tk::writeWav16(c.input, c.frames, album.rate, 2));
        }
        const QString ssf = QString(c.input).replace(".wav", ".ssf");
        ASSERT_TRUE(tk::writeBytes(ssf, c.statistics));
        const clitest::Run r = tool({"level", "-y", "--json", "-o", dir.path("l.wav"), c.input});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QJsonValue used = r.json().object().value("statisticsFile");
        if (*c.why == 0) {
            EXPECT_EQ(used.toString(), ssf) << r.err.toStdString();
            continue;
        }
        EXPECT_TRUE(used.isNull());
        EXPECT_TRUE(r.err.contains(c.why) && r.err.contains(c.input)) << r.err.toStdString();
        ASSERT_EQ(tool({"level", "-y", "--reanalyse", "-o", dir.path("fresh.wav"), c.input}).exitCode, 0);
        EXPECT_EQ(clitest::fileMd5(dir.path("l.wav")), clitest::fileMd5(dir.path("fresh.wav")));
    }
}

// correct: the curve asked reaches the filter (the output differs per curve
// and keeps the input's length), the default name beside the input is kept
// without -y, a recording of too narrow a band has no curve, and the list is
// the library's catalog.
TEST(CliCorrect, CurvesOutputRulesAndTheList) {
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readDefaultCatalog());
    tk::TempDir dir;
    const QString wav = clitest::albumCopy(dir);
    QStringList md5s;
    for (const char* curve : {"Flat 0 dB/oct", "Dark -6 dB/oct"}) {
        const QString out = dir.path(QString("out%1.wav").arg(md5s.size()));
        const clitest::Run r = tool({"correct", "--json", "--reference", curve, "-o", out, wav});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.json().object()["reference"].toObject()["name"].toString(), curve);
        EXPECT_EQ(QFileInfo(out).size(), QFileInfo(wav).size());
        md5s << clitest::fileMd5(out);
    }
    EXPECT_NE(md5s[0], md5s[1]);

    const QString def = dir.path("album-corrected.wav");
    ASSERT_EQ(tool({"correct", wav}).exitCode, 0);
    const QString md5 = clitest::fileMd5(def);
    const clitest::Run refused = tool({"correct", "-r", "Flat 0 dB/oct", wav});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.err.contains(def));
    EXPECT_EQ(clitest::fileMd5(def), md5);

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

    const QJsonArray names = tool({"correct", "--list", "--json"}).json().array();
    ASSERT_EQ(size_t(names.size()), catalog.getReferenceList().size());
    for (int i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i].toObject()["name"].toString(), catalog.getReferenceList()[size_t(i)].getName());
        EXPECT_EQ(numbers(names[i].toObject()["levels"]), catalog.getReferenceList()[size_t(i)].getLevels());
    }
}

// What correct does to each band, measured: pink noise with a bump around
// 1.4 kHz and the treble lowered (far from the pink curve it is corrected
// towards), repeated three times; the middle period of input and output, as
// ffmpeg decodes them, summed into the reference bands by a transform of the
// test kit. Every band changes by what the JSON prints (its cut plus the
// make-up gain; the band above the top reference frequency not at all), and
// never by more than the limit.
TEST(CliCorrect, EveryBandChangesAsPrintedAndWithinTheLimit) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    const unsigned rate = 44100;
    const size_t period = 65536;
    const tk::Frames one = tk::tiltedNoise(period, rate, -3.0, 20.0, 5, [](double f) {
        const double octaves = std::log2(f / 1400.0);
        return 12.0 * std::exp(-octaves * octaves) - (f > 5000.0 ? 8.0 : 0.0);
    }, 0.05);
    tk::TempDir dir;
    const QString wav = dir.path("shaped.wav");
    ASSERT_TRUE(tk::writeWav16(wav, tk::concat({one, one, one}), rate, 2));
    tk::Frames input;
    ASSERT_TRUE(tk::decodeWithFfmpeg(wav, &input));
    const std::vector<double> edges = SoundStatReference::getDefaultFrequencies();
    const std::vector<double> before = tk::bandPowers(input, period, period, rate, edges);

    for (double limit : {3.0, 6.0, 12.0}) {
        SCOPED_TRACE(limit);
        const QString out = dir.path(QString("out%1.wav").arg(limit));
        const clitest::Run r = tool({"correct", "--json", "-y", "--reanalyse", "-r", "Pink -3 dB/oct",
                                     "--max-correction", QString::number(limit), "-o", out, wav});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QJsonObject j = r.json().object();
        const std::vector<double> cuts = numbers(j["corrections"]), changes = numbers(j["changes"]);
        const double makeUp = j["makeUpGain"].toDouble();
        ASSERT_EQ(cuts.size(), edges.size());
        ASSERT_EQ(changes.size(), edges.size() + 1);
        tk::Frames output;
        ASSERT_TRUE(tk::decodeWithFfmpeg(out, &output));
        ASSERT_EQ(output.size(), input.size());
        const std::vector<double> after = tk::bandPowers(output, period, period, rate, edges);
        double largest = 0.0;
        for (size_t i = 0; i < before.size(); ++i) {
            const double measured = tk::powerDb(after[i] / before[i]);
            largest = std::max(largest, std::fabs(measured));
            EXPECT_LE(std::fabs(measured), limit + 0.15) << "band " << i;
            EXPECT_NEAR(measured, changes[i], 0.15) << "band " << i;
            EXPECT_NEAR(measured, i < cuts.size() ? cuts[i] + makeUp : 0.0, 0.15) << "band " << i;
        }
        // The shape is far enough from the curve for the limit to be reached.
        EXPECT_GT(largest, limit - 0.5);
    }
}
