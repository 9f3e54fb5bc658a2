// The statistics file analyse leaves beside its input, its reuse by level and
// correct, and the reference curves: the host's answers against the library's
// own (catalog, statistics file), not derived again here.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "CliKit.h"
#include "tonewright/SoundStatReference.h"

using clitest::tool;

using clitest::numbers;

namespace {
const std::string kFormat = "-r 44100 -c 2 -b 16";
}  // namespace

// The list is the library's catalog.
TEST(CliCorrect, ListIsTheLibrarysCatalog) {
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readDefaultCatalog());
    const QJsonArray names = tool({"correct", "--list", "--json"}).json().array();
    ASSERT_EQ(size_t(names.size()), catalog.getReferenceList().size());
    for (int i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i]["name"].toString(), catalog.getReferenceList()[size_t(i)].getName());
        EXPECT_EQ(numbers(names[i]["levels"]), catalog.getReferenceList()[size_t(i)].getLevels());
    }
}

// A statistics file is replaced only with -y, --no-save writes none, one that
// cannot be written costs the exit code but not the analysis, and a file
// that is no statistics file is not taken for one. level and correct take the
// statistics file while it describes the input (which files do: the jobs'
// tests), not with --reanalyse or another --threshold; the output is a fresh
// pass's.
TEST(CliCorrect, StatisticsAreWrittenByTheOverwriteRuleAndReusedOnlyWhileTheyFit) {
    tk::TempDir dir;
    const QString wav = clitest::albumCopy(dir), ssf = dir.path("album.ssf");
    ASSERT_EQ(tool({"analyse", "--no-save", wav}).exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(ssf));
    ASSERT_TRUE(tk::writeBytes(ssf, "mine"));
    const clitest::Run kept = tool({"analyse", "--json", wav});
    EXPECT_TRUE(clitest::exitsWith(kept, 0, {ssf}));
    EXPECT_TRUE(kept.json().object()["statisticsFile"].isNull());
    EXPECT_EQ(tk::fileBytes(ssf), "mine");
    // A statistics file that cannot be written: the analysis is shown all the same, the cause named.
    const QString folder = clitest::albumCopy(dir, "folder.wav");
    ASSERT_TRUE(QDir().mkdir(dir.path("folder.ssf")));
    const clitest::Run blocked = tool({"analyse", "-y", "--json", folder});
    EXPECT_TRUE(clitest::exitsWith(blocked, 2, {"folder.ssf", "is a folder"}));
    EXPECT_TRUE(blocked.json().object()["statisticsFile"].isNull());
    EXPECT_TRUE(blocked.json().object().contains("loudness"));
    ASSERT_EQ(tool({"analyse", "-y", wav}).exitCode, 0);
    const QString out = dir.path("out.wav"), fresh = dir.path("fresh.wav");
    // What a job used, and whether its output is the fresh pass's.
    auto used = [&](const QString& job, const QStringList& options, const QString& input) {
        const clitest::Run r = tool(QStringList{job, "-y", "--json", "-o", out} + options + QStringList{input});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QJsonValue file = r.json().object().value("statisticsFile");
        EXPECT_EQ(tool(QStringList{job, "-y", "--reanalyse", "-o", fresh} + options + QStringList{input}).exitCode, 0);
        EXPECT_EQ(clitest::fileMd5(out), clitest::fileMd5(fresh));
        return file;
    };
    EXPECT_EQ(used("level", {}, wav).toString(), ssf);
    EXPECT_EQ(used("correct", {}, wav).toString(), ssf);
    EXPECT_TRUE(used("level", {"--reanalyse"}, wav).isNull());
    EXPECT_TRUE(clitest::json({"level", "-y", "--json", "--threshold", "-75", "-o", out, wav})["statisticsFile"].isNull());
}

// A recording of too narrow a band has no curve: analyse says why, correct
// refuses and writes nothing. (The default name beside the input is kept
// without -y by the one rule of every job: CliOutputs.)
TEST(CliCorrect, ANarrowBandHasNoCurve) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    tk::TempDir dir;
    const QString narrow = dir.path("narrow.wav");
    ASSERT_TRUE(clitest::synth(narrow, "-r 16000 -c 2 -b 16", "synth 2 pinknoise vol 0.3"));
    const clitest::Run a = tool({"analyse", "--json", narrow});
    EXPECT_TRUE(clitest::exitsWith(a, 0, {"bandwidth"}));
    EXPECT_TRUE(a.json().object()["reference"].isNull());
    EXPECT_TRUE(clitest::exitsWith(tool({"correct", narrow}), 2, {narrow}));
    EXPECT_FALSE(QFileInfo::exists(dir.path("narrow-corrected.wav")));
}

// What correct does to each band, as analyse's spectrum of input and output
// tells it: pink noise with a bump around 1.4 kHz and the treble lowered, the
// curve asked by name, the output of the input's length. The
// levels are relative to the loudest band, so each band's change counts from
// that of the band above the top reference frequency, which the design leaves
// as it is. Every band changes by what the JSON prints (its cut plus the
// make-up gain) and never by more than the limit.
TEST(CliCorrect, EveryBandChangesAsPrintedAndWithinTheLimit) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    tk::TempDir dir;
    const QString wav = dir.path("shaped.wav"), out = dir.path("out.wav");
    ASSERT_TRUE(
        clitest::synth(wav, kFormat, "synth 6 pinknoise vol 0.1 equalizer 1400 1.5o 18 treble -12 5000"));
    const auto spectrum = [](const QString& file) {
        return numbers(clitest::json({"analyse", "--no-save", "--json", file})["bands"], "fftRelative");
    };
    const std::vector<double> before = spectrum(wav);
    for (double limit : {3.0, 12.0}) {
        SCOPED_TRACE(limit);
        const QJsonObject j = clitest::json({"correct", "--json", "-y", "--reanalyse", "-r", "Pink -3 dB/oct",
                                             "--max-correction", QString::number(limit), "-o", out, wav});
        const std::vector<double> cuts = numbers(j["corrections"]), changes = numbers(j["changes"]);
        EXPECT_EQ(j["reference"]["name"].toString(), "Pink -3 dB/oct");
        EXPECT_EQ(QFileInfo(out).size(), QFileInfo(wav).size());
        const std::vector<double> after = spectrum(out);
        ASSERT_TRUE(after.size() == before.size() && changes.size() == before.size() &&
                    cuts.size() + 1 == before.size());
        EXPECT_EQ(changes.back(), 0.0);
        double largest = 0.0;
        for (size_t i = 0; i < cuts.size(); ++i) {
            const double measured = after[i] - before[i] - (after.back() - before.back());
            EXPECT_NEAR(measured, changes[i], 0.15) << "band " << i;
            EXPECT_NEAR(changes[i], cuts[i] + j["makeUpGain"].toDouble(), 0.02) << "band " << i;
            largest = std::max(largest, std::fabs(measured));
        }
        EXPECT_LE(largest, limit + 0.15);
        // The shape is far enough from the curve for the limit to be reached.
        EXPECT_GT(largest, limit - 0.5);
    }
}
