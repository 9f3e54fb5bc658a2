// The fuzz corpus replayed through every fuzz target, and the inputs the fuzz
// targets (fuzz/, scripts/fuzz.sh) found to crash, leak or misbehave, fed again
// through the same entry points. Each input is built here or carried as text;
// no binary files are committed.
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <limits>
#include <vector>

#include "common/ExternalAudio.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoStats.h"

// The corpus fuzzing starts from (valid files of every kind the library reads,
// files of other tools, and their cut and bit-flipped variants) through each
// target's entry point, in a program of its own per target: none may crash,
// abort or (in the sanitizer builds) touch memory it should not.
TEST(FuzzCorpus, EveryTargetReplaysItsCorpus) {
    tk::TempDir dir;
    const std::string corpus = dir.path("corpus").toStdString();
    const std::string replay = TW_REPLAY_DIR;
    ASSERT_EQ(tk::runCommand(std::string(TW_SOURCE_DIR) + "/scripts/fuzz-corpus.sh " + replay + "/tw_replay_seeds " +
                             corpus + " >/dev/null 2>&1"),
              0);
    const QStringList targets = QDir(QString::fromStdString(corpus)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    // One corpus per fuzz target in the source tree.
    const int sources = QDir(QString(TW_SOURCE_DIR) + "/fuzz").entryList({"fuzz_*.cpp"}, QDir::Files).size();
    EXPECT_EQ(targets.size(), sources);
    for (const QString& target : targets) {
        SCOPED_TRACE(target.toStdString());
        const QDir folder(QString::fromStdString(corpus) + "/" + target);
        const QStringList files = folder.entryList(QDir::Files);
        // Every seed comes with its seven damaged variants.
        EXPECT_GE(files.size(), 16);
        std::string out;
        EXPECT_EQ(tk::runCommand("cd " + tk::shellQuote(folder.path()) + " && " + replay + "/tw_replay_" +
                                     target.toStdString() + " * 2>&1",
                                 &out),
                  0)
            << out;
        EXPECT_NE(out.find("replayed " + std::to_string(files.size())), std::string::npos) << out;
    }
}

// Every description key that takes a duration, the delay's duration and the
// level-statistics window, at the extremes (a window of 2e62 s once overflowed
// an unsigned conversion when the run sized its blocks): the frames they
// become stay within the library's longest duration (2^24 - 1 frames) at any
// sample rate, and a short duration still runs. A statistics description asking
// for more than the longest window (a minute) is refused; an algorithm built
// with one gets the longest window.
TEST(FuzzRegressions, HugeDurationsStayWithinTheLongestDuration) {
    constexpr unsigned kCap = (1u << 24) - 1;
    const QJsonObject hugeWindow = QJsonDocument::fromJson(
        "{\"Class\":\"SoundAlgoStats\",\"LeftMe-09,9.93-10,5.84tSqr\":0.664650374585,\"OutputType\":0,"
        "\"RightMaxToualCount\":24000,\"WindowTime\":222222222222222222222222222222222222222222222222222222222222221}").object();
    ASSERT_FALSE(hugeWindow.isEmpty());
    EXPECT_EQ(SoundAlgoStats::createFromJSon(hugeWindow), nullptr);
    EXPECT_EQ(SoundAlgo::createFromJSon(hugeWindow), nullptr);
    EXPECT_EQ(SoundAlgoStats(SoundAlgoStats::RMSOnly, 60.0).getInOverlap(8000), 480001u);

    const double inf = std::numeric_limits<double>::infinity();
    const char* const kDetector =
        "{\"Class\":\"RMSStepDetector\",\"NoiseThreshold\":-40,\"OutputMode\":0,\"RealTimeMode\":false,%1}";
    std::vector<SoundRef<SoundAlgo>> algos;
    for (const char* keys : {"\"RMSTime\":2.2e62,\"MinSlopeTime\":1", "\"RMSTime\":-3,\"MinSlopeTime\":1",
                             "\"RMSTime\":0.01,\"MinSlopeTime\":1.5e300", "\"RMSTime\":0.01,\"MinSlopeTime\":-1e300"}) {
        algos.push_back(SoundRef<SoundAlgo>::adopt(
            SoundAlgo::createFromJSon(QJsonDocument::fromJson(QString(kDetector).arg(keys).toUtf8()).object())));
        ASSERT_TRUE(algos.back()) << keys;
    }
    for (double seconds : {1e300, inf, -1.0, std::numeric_limits<double>::quiet_NaN(), 0.01})
        for (bool asOverlap : {false, true}) algos.push_back(SoundRef<SoundAlgoDelay>::make(seconds, asOverlap));
    for (double window : {2.2e62, 1e9, inf}) {
        auto stats = SoundRef<SoundAlgoStats>::make(SoundAlgoStats::RMSOnly, window);
        EXPECT_TRUE(stats->getWindowTime() > 0.0 && stats->getWindowTime() <= 60.0) << window;
        algos.push_back(SoundRef<SoundAlgo>(std::move(stats)));
    }
    for (auto& algo : algos) {
        SCOPED_TRACE(algo->getName().toStdString());
        for (unsigned rate : {8000u, 44100u, 4000000000u}) {
            EXPECT_LE(algo->getInOverlap(rate), kCap) << rate;
            EXPECT_LE(algo->getDelay(rate), kCap) << rate;
            EXPECT_LE(algo->getSampleShift(rate), kCap) << rate;
        }
        if (algo->getInOverlap(8000) + algo->getDelay(8000) + algo->getSampleShift(8000) > 2000000) continue;
        SoundTools::Status status = SoundTools::Error;
        const tk::Frames out = tk::run(*algo, tk::mixedStereo(3000, 8000, 1), 8000, 1024, &status);
        EXPECT_EQ(status, SoundTools::Ok);
        EXPECT_EQ(out.size(), 3000u + algo->getDelay(8000));
    }
}
