// The fuzz corpus replayed through every fuzz target, and the inputs the fuzz
// targets (fuzz/, scripts/fuzz.sh) found to crash, leak or misbehave, fed again
// through the same entry points. Each input is built here or carried as text;
// no binary files are committed.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <limits>
#include <vector>

#include "common/ExternalAudio.h"
#include "common/MessageCapture.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundCueSheet.h"
#include "tonewright/SoundSndfile.h"
#include "tonewright/SoundTagFile.h"

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
// sample rate, and a short duration still runs. A description asking for more
// than the longest, at its own rate, is refused when it is read (a detector's
// window of 2.2e33 s at 8615 Hz took 26 s and 1.2 GB in the sanitizer build);
// an algorithm built in code with one gets the longest.
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
    tk::MessageCapture capture;
    // 1947 s at 8615 Hz is 16773405 frames, 1948 s past the longest.
    for (const auto& c : {std::make_pair("\"RMSTime\":2.2e33,\"MinSlopeTime\":1,\"SampleRate\":8615", false),
                          std::make_pair("\"RMSTime\":2.2e62,\"MinSlopeTime\":1", false),
                          std::make_pair("\"RMSTime\":-3,\"MinSlopeTime\":1", false),
                          std::make_pair("\"RMSTime\":0.01,\"MinSlopeTime\":1.5e300", false),
                          std::make_pair("\"RMSTime\":0.01,\"MinSlopeTime\":-1e300", false),
                          std::make_pair("\"RMSTime\":1948,\"MinSlopeTime\":1,\"SampleRate\":8615", false),
                          std::make_pair("\"RMSTime\":1947,\"MinSlopeTime\":1,\"SampleRate\":8615", true)}) {
        SoundAlgo* algo = SoundAlgo::createFromJSon(QJsonDocument::fromJson(QString(kDetector).arg(c.first).toUtf8()).object());
        EXPECT_EQ(algo != nullptr, c.second) << c.first;
        if (algo) algos.push_back(SoundRef<SoundAlgo>::adopt(algo));
    }
    EXPECT_TRUE(capture.contains("\"RMSTime\" of 1948 s is past the longest duration"))
        << capture.messages().join("\n").toStdString();
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

// Metadata that claims more than the file holds or a tag needs (seeds of the
// sndfile reader's corpus): the sound is read past a WAV LIST chunk claiming
// 200 MB and a FLAC cover claiming 2 GB, each skipped with a warning naming
// it; an Ogg comment block claiming 4 GB is named as damaged. An RF64 file
// (sparse) of 4.4e9 frames counts them all.
TEST(FuzzRegressions, MetadataClaimsAreSkippedOrNamed) {
    tk::TempDir dir;
    ASSERT_EQ(tk::runCommand(std::string(TW_REPLAY_DIR) + "/tw_replay_seeds " + tk::shellQuote(dir.root()) +
                             " >/dev/null 2>&1"),
              0);
    const struct {
        const char* file;
        const char* message;
        unsigned frames;  // 0: refused
    } cases[] = {
        {"list-claim.wav", "its LIST chunk of 200 MiB is more than tags take (at most 1 MiB); read without it", 1500},
        {"picture-claim.flac", "claims 2.0 GiB); the sound is read without it", 1500},
        {"comment-claim.ogg", "its Vorbis comment block is damaged (comment 1 claims 4294967280 bytes", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = dir.path(QString("sndfile_reader/") + c.file);
        tk::MessageCapture capture;
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->open(path) == SoundTools::Ok, c.frames > 0) << SoundDebuggableClass::getError().toStdString();
        EXPECT_EQ(reader->getFrameNB(), c.frames);
        SoundIDTag tag;
        SoundTagFile::read(path, tag);
        EXPECT_TRUE(capture.contains(c.message)) << capture.messages().join("\n").toStdString();
    }

    const int64_t frames = 4400000000;
    QByteArray header = "RF64" + QByteArray(4, '\xff') + "WAVEds64" + QByteArray("\x1c\0\0\0", 4);
    for (int64_t v : {int64_t(80) + frames - 8, frames, frames})
        for (int k = 0; k < 8; ++k) header += char(v >> (8 * k));
    header += QByteArray(4, '\0') + "fmt " + QByteArray("\x10\0\0\0\x01\0\x01\0\x44\xac\0\0\x44\xac\0\0\x01\0\x08\0", 20) +
              "data" + QByteArray(4, '\xff');
    QFile rf64(dir.path("long.wav"));
    ASSERT_TRUE(rf64.open(QIODevice::WriteOnly) && rf64.write(header) == 80 && rf64.resize(80 + frames));
    rf64.close();
    SoundReaderSndfile reader;
    ASSERT_EQ(reader.open(rf64.fileName()), SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
    EXPECT_EQ(reader.getFrameCount(), frames);
    EXPECT_EQ(reader.getFrameNB(), 4294967295u);
    EXPECT_DOUBLE_EQ(reader.getLength(), double(frames) / 44100);
}

// CUE sheets in UTF-16 with a byte order mark (as rippers write them) read as
// the same sheet in UTF-8; text in an encoding that is not read, and a file
// larger than any sheet (/dev/zero, which never ends), are refused saying why,
// and so is a sheet whose text, written back, would not read back.
TEST(FuzzRegressions, CueSheetsInUtf16AndOversized) {
    tk::TempDir dir;
    ASSERT_EQ(tk::runCommand(std::string(TW_REPLAY_DIR) + "/tw_replay_seeds " + tk::shellQuote(dir.root()) +
                             " >/dev/null 2>&1"),
              0);
    SoundCueSheet written, sheet;
    QString why;
    ASSERT_TRUE(written.readFile(dir.path("cue_sheet/written.cue"), &why)) << why.toStdString();
    for (const char* name : {"utf16le.cue", "utf16be.cue"}) {
        ASSERT_TRUE(sheet.readFile(dir.path(QString("cue_sheet/") + name), &why)) << name << ": " << why.toStdString();
        EXPECT_EQ(sheet.toText(), written.toText()) << name;
    }
    const struct {
        QByteArray text;
        const char* why;
    } refused[] = {
        {QByteArray("\xff\xfeT\0I", 5), "UTF-16 LE text (by its byte order mark) with an odd number of bytes"},
        {QByteArray("\0\0\xfe\xff\0\0\0T", 8), "UTF-32 BE"},
        {QByteArray("T\0R\0A\0C\0K\0", 10), "UTF-16 or UTF-32 text without a byte order mark is not read"},
        {QByteArray("\xfe\xff\0T\0\0", 6), "UTF-16 BE text) holds NUL characters"},  // found by fuzzing
        {QByteArray("\xef\xbb\xbfT\0", 5), "the sheet holds NUL bytes"},               // so was this
        // Two names a sheet writes alike (it has no escape for a quote) are one
        // file when read, or the text written would not read back (fuzzing).
        {"FILE \"av'\" WAVE\nTRACK 1 AUDIO\nINDEX 01 05:00:00\nFILE av\" WAVE\nTRACK 2 AUDIO\nINDEX 01 00:00:00\n",
         "track 2 starts at 00:00:00, not after track 1"},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(sheet.parse(r.text, &why));
        EXPECT_TRUE(why.contains(r.why)) << why.toStdString();
    }
    if (QFile::exists("/dev/zero")) {
        EXPECT_FALSE(sheet.readFile("/dev/zero", &why));
        EXPECT_TRUE(why.contains("larger than 1024 KiB")) << why.toStdString();
    }
}

