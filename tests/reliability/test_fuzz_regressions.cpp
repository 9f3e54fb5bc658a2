// The fuzz corpus replayed through every fuzz target, and the inputs the fuzz
// targets (fuzz/, scripts/fuzz.sh) found to crash, leak or misbehave, fed again
// through the same entry points. Each input is built here or carried as text;
// no binary files are committed.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <limits>
#include <memory>
#include <vector>

#include "common/ExternalAudio.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundReader.h"

namespace {


// Opens and reads the whole file as the sound-file fuzz target does; returns
// the frames read, or -1 when open refuses the file (with a message naming it).
long long readThrough(const QString& path) {
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
    if (!reader) return -2;
    SoundDebuggableClass::setError("(no error)");
    if (reader->open(path) != SoundTools::Ok) {
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(path)) << qPrintable(SoundDebuggableClass::getError());
        return -1;
    }
    auto buffer = SoundBuffer::createNew(reader->getSampleRate());
    buffer->alloc(1024, 2);
    long long total = 0;
    while (unsigned n = reader->stereoRead(buffer, 32)) total += n;
    return total;
}

}  // namespace

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

// A damaged Ogg Vorbis stream (the header page of a short file with bits
// changed): libsndfile refuses it and, in doing so, leaks the Vorbis stream
// information it had set up (scripts/lsan.supp names that leak, which the
// library cannot free). The refusal must be a clean Error naming the file.
TEST(FuzzRegressions, DamagedOggVorbisHeaderIsRefused) {
    static const char* const kInput =
    "T2dnUwACAAAAAAAAAAB6U9stAAAAABECEpcBHgF2b3JiaXMAAAAAAQB9AAAAAAAAQBkBAAAAAAC4AU9nZ1MAAAAAAAAAAAAA"
    "elPbLQEAAADqcElVDmD///////////////+BA3ZvcmJpczQAAABYaXBoLk9yZyBsaWJWb3JiaXMgSSAyMDIwMDcwNCAoUmVk"
    "dWNpbmcgRW52aXJvbm1lbnQpAQAAABgAAABDb21tZW50PVByb2Nlc3NlZCBieSBTb1gBBXZvcmJpcyJCQ1YBAEAAACRzGCpG"
    "pXMWhBAaQlAZ4xxCzmvsGUJMEYIcMkxbyyVzkCGkoEKIWyiB0JBVAABAAACHQXgUhIpBCCGEJT1YkoMnPQghhIg5eBSEaUEI"
    "IYQQQgghhBBCCCGERTlokoMnQQgdhOMwOAyD5Tj4HIRFOVgQgydB6CCED0K4moOsOQghhCQ1SFCDBjnoHITCLCiKgsQwuBaE"
    "BDUojILkMMjUgwtCiJqDSTX4GoRnQXgWhGlBCCGEJEFIkIMGQcgYhEZBWJKDBjm4FITLQagahCo5CB+EIDRkFQCQAACgoiiK"
    "oigKEBqyCgDIAAAQQFEUx3EcyZEcybEcCwgNWQUAAAEACAAAoEiKpEiO5EiSJFmSJVmSJVmS5omqLMuyLMuyLMsyEBqyCgBI"
    "AABQUQxFcRQHCA1ZBQBkAAAIoDiKpViKpWiK54iOCISGrAIAgAAABAAAEDRDUzxHlETPVFXXtm3btm3btm3btm3btm1blmUZ"
    "CA1ZBQBAAAAQ0mlmqQaIMAMZBkJDVgEACAAAgBGKMMSA0JBVAABAAACAGEoOogmtOd+c46BZDppKsTkdnEi1eZKbirk555xz"
    "zsnmnDHOOeecopxZDJoJrTnnnMSgWQqaCa0555wnsXnQmiqtOeeccc7pYJwRxjnnnCateZCajbU555wFrWmOmkuxOeecSLl5"
    "UptLtTnnnHPOOeecc84555zqxekcnBPOOeecqL25lpvQxTnnnE/G6d6cEM4555xzzjnnnHPOOeecIDRkFQAABABAEIaNYdwp"
    "CNLnaCBGEWIaMulB9+gwCRqDnELq0ehopJQ6CCWVcVJKJwgNWQUAAAIAQAghhRRSSCGFFFJIIYUUYoghhhhyyimnoIJKKqmo"
    "oowyyyyzzDLLLLPMOuyssw47DDHEEEMrrcRSU2011lhr7jnnmoO0VlprrbVSSimllFIKQkNWAQAgAAAEQgYZZJBRSCGFFGKI"
    "KaeccgoqqIDQkFUAACAAgAAAAABP8hzRER3R";
    tk::TempDir dir;
    const QString path = dir.path("damaged.ogg");
    ASSERT_TRUE(tk::writeBytes(path, QByteArray::fromBase64(kInput)));
    EXPECT_EQ(readThrough(path), -1);
}

// A level-statistics description with a window of 2e62 seconds: the window's
// length in frames overflowed an unsigned conversion (undefined behaviour) when
// the run sized its blocks. A description asking for more than the longest
// window is refused; an algorithm built with one gets the longest window, and
// its overlap and delay stay in range at any sample rate.
TEST(FuzzRegressions, HugeStatisticsWindowIsRefused) {
    const QByteArray input =
        "{\"Class\":\"SoundAlgoStats\",\"LeftMe-09,9.93-10,5.84tSqr\":0.664650374585,\"OutputType\":0,"
        "\"RightMaxToualCount\":24000,\"WindowTime\":"
        "222222222222222222222222222222222222222222222222222222222222221}";
    const QJsonObject object = QJsonDocument::fromJson(input).object();
    ASSERT_FALSE(object.isEmpty());
    EXPECT_EQ(SoundAlgoStats::createFromJSon(object), nullptr);
    EXPECT_EQ(SoundAlgo::createFromJSon(object), nullptr);

    for (double window : {2.2e62, 1e9, std::numeric_limits<double>::infinity()}) {
        auto stats = SoundRef<SoundAlgoStats>::make(SoundAlgoStats::RMSOnly, window);
        EXPECT_LE(stats->getWindowTime(), 60.0) << window;
        EXPECT_GT(stats->getWindowTime(), 0.0) << window;
        for (unsigned rate : {8000u, 44100u, 4000000000u}) {
            EXPECT_LT(stats->getInOverlap(rate), 1u << 24) << window << " s at " << rate;
            EXPECT_EQ(stats->getDelay(rate), stats->getInOverlap(rate) >> 1) << window << " s at " << rate;
        }
        SoundTools::Status status = SoundTools::Error;
        const tk::Frames out = tk::run(*stats, tk::mixedStereo(3000, 8000, 1), 8000, 1024, &status);
        EXPECT_EQ(status, SoundTools::Ok);
        EXPECT_EQ(out.size(), 3000u + stats->getDelay(8000));
    }
    // A window of a minute is still taken as it is.
    auto minute = SoundRef<SoundAlgoStats>::make(SoundAlgoStats::RMSOnly, 60.0);
    EXPECT_EQ(minute->getInOverlap(8000), 480001u);
}

// Every description key that takes a duration, and the delay's duration, at the
// extremes: the frames they become stay within the library's longest duration
// (2^24 - 1 frames) at any sample rate, with no overflowing conversion, and a
// short duration still runs. The statistics window has its own case above.
TEST(FuzzRegressions, HugeDurationsStayWithinTheLongestDuration) {
    constexpr unsigned kCap = (1u << 24) - 1;
    const char* const kDetector =
        "{\"Class\":\"RMSStepDetector\",\"NoiseThreshold\":-40,\"OutputMode\":0,\"RealTimeMode\":false,%1}";
    std::vector<SoundRef<SoundAlgo>> algos;
    for (const char* keys : {"\"RMSTime\":2.2e62,\"MinSlopeTime\":1", "\"RMSTime\":-3,\"MinSlopeTime\":1",
                             "\"RMSTime\":0.01,\"MinSlopeTime\":1.5e300", "\"RMSTime\":0.01,\"MinSlopeTime\":-1e300"}) {
        const QJsonObject object = QJsonDocument::fromJson(QString(kDetector).arg(keys).toUtf8()).object();
        ASSERT_FALSE(object.isEmpty()) << keys;
        algos.push_back(SoundRef<SoundAlgo>::adopt(SoundAlgo::createFromJSon(object)));
        ASSERT_TRUE(algos.back()) << keys;
    }
    for (double seconds : {1e300, std::numeric_limits<double>::infinity(), -1.0,
                           std::numeric_limits<double>::quiet_NaN(), 0.01})
        for (bool asOverlap : {false, true}) algos.push_back(SoundRef<SoundAlgoDelay>::make(seconds, asOverlap));

    for (auto& algo : algos) {
        for (unsigned rate : {8000u, 44100u, 4000000000u}) {
            EXPECT_LE(algo->getInOverlap(rate), kCap) << algo->getName().toStdString() << " at " << rate;
            EXPECT_LE(algo->getDelay(rate), kCap) << algo->getName().toStdString() << " at " << rate;
            EXPECT_LE(algo->getSampleShift(rate), kCap) << algo->getName().toStdString() << " at " << rate;
        }
        if (algo->getInOverlap(8000) + algo->getDelay(8000) + algo->getSampleShift(8000) > 100000) continue;
        SoundTools::Status status = SoundTools::Error;
        tk::run(*algo, tk::mixedStereo(3000, 8000, 1), 8000, 1024, &status);
        EXPECT_EQ(status, SoundTools::Ok) << algo->getName().toStdString();
    }
}
