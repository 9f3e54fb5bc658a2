// The JSON file helpers, and robustness of the two file readers against
// damaged bytes: every flipped bit and every truncation of a real statistics
// file and catalog must give false or a readable object, never a crash.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <random>

#include "common/MessageCapture.h"
#include "common/TestKit.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatReference.h"
#include "tonewright/Utilities.h"

namespace {
QByteArray readBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write(bytes);
}

// Uses what a read produced, so that a corrupt object would show under the
// sanitizers.
void touch(const SoundStatFile& file) {
    volatile double sink = 0.0;
    for (double l : file.getRelativeLevels()) sink = sink + l;
    if (RMSStepDetector* d = file.getStepDetector()) sink = sink + double(d->size());
    for (SoundAlgoStats* s : file.getBandStats()) sink = sink + s->getFullRMS();
    sink = sink + file.getSampleRate();
}
}  // namespace

TEST(JsonFiles, TextAndBinaryRoundTrip) {
    tk::TempDir dir;
    const QJsonDocument doc(QJsonObject{{"a", 0.1}, {"b", QJsonArray{1e-300, -2.5, 3}}, {"c", "t\u00e9xt"}});
    ASSERT_TRUE(Utilities::writeJSONToFile(doc, dir.path("x.json"), false));
    ASSERT_TRUE(Utilities::writeJSONToFile(doc, dir.path("x.bin"), true));
    EXPECT_TRUE(readBytes(dir.path("x.json")).contains("\n    \"a\""));  // indented text
    EXPECT_EQ(Utilities::readJSONFromFile(dir.path("x.json"), true), doc);
    EXPECT_EQ(Utilities::readJSONFromFile(dir.path("x.bin"), true), doc);
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.path("x.bin"), false).isNull());  // text only
    // Rewriting replaces the whole file.
    ASSERT_TRUE(Utilities::writeJSONToFile(QJsonDocument(QJsonArray{1}), dir.path("x.json"), false));
    EXPECT_EQ(Utilities::readJSONFromFile(dir.path("x.json"), false), QJsonDocument(QJsonArray{1}));

    tk::MessageCapture capture;
    const QString unwritable = dir.path("no/such/folder/x.ssf");
    EXPECT_FALSE(Utilities::writeJSONToFile(doc, unwritable, true));
    EXPECT_TRUE(capture.contains("JSON write error ; unable to open file " + unwritable));
    capture.clear();
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.path("none.json"), true).isNull());
    EXPECT_TRUE(capture.messages().isEmpty());
    writeBytes(dir.path("bad.json"), "{\"a\": [1, 2,, 3]}");
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.path("bad.json"), true).isNull());
    ASSERT_EQ(capture.messages(QtCriticalMsg).size(), 1);
    EXPECT_TRUE(capture.messages(QtCriticalMsg)[0].startsWith("JSON read error offset 13 : "))
        << capture.messages(QtCriticalMsg)[0].toStdString();
    // A folder is not a document.
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.root(), true).isNull());

    SoundStatFile stats;
    EXPECT_FALSE(stats.writeJSonFile(unwritable));
    EXPECT_TRUE(SoundDebuggableClass::getError().contains(dir.path("no/such/folder/x.ssf")));
}

TEST(JsonFiles, DamagedStatisticsFilesNeverCrash) {
    tk::TempDir dir;
    // A small but complete file: two bands, a detector with regions, FFT statistics.
    SoundStatFile source;
    std::vector<SoundAlgoStats*> bands;
    for (double sqr : {0.25, 0.01}) {
        QJsonObject o{
            {"Class", "SoundAlgoStats"}, {"OutputType", 2}, {"WindowTime", 0.0}, {"TotalCount", 10},   {"LeftSqr", sqr},
            {"RightSqr", sqr},           {"LeftMax", 0.9},  {"RightMax", 0.8},   {"SampleRate", 44100}};
        bands.push_back(SoundAlgoStats::createFromJSon(o));
    }
    source.setStats({1000.0}, bands, false);
    QJsonArray regions;
    for (int i = 0; i < 3; ++i)
        regions.append(QJsonObject{{"BeginSample", i * 1000},
                                   {"SampleNb", 1000},
                                   {"RMSSqrValue0", 0.1 * i},
                                   {"RMSSqrValue1", 0.2},
                                   {"MeanSmpl", 5},
                                   {"IsNoise", i == 1}});
    source.setStepDetector(RMSStepDetector::createFromJSon(QJsonObject{{"Class", "RMSStepDetector"},
                                                                       {"NoiseThreshold", -40.0},
                                                                       {"RMSTime", 0.2},
                                                                       {"MinSlopeTime", 1.0},
                                                                       {"OutputMode", 3},
                                                                       {"RealTimeMode", false},
                                                                       {"SampleRate", 44100},
                                                                       {"Regions", regions}}),
                           false);
    ASSERT_NE(source.getStepDetector(), nullptr);
    source.setFFTStats(SoundAlgoFFTStats::createFromJSon(QJsonObject{{"Class", "SoundAlgoFFTStats"},
                                                                     {"Size", 8},
                                                                     {"Overlap", true},
                                                                     {"SampleRate", 44100},
                                                                     {"StatCount", 4},
                                                                     {"StatsArray", QJsonArray{1, 2, 3, 4, 5}}}),
                       false);
    ASSERT_TRUE(source.writeJSonFile(dir.path("ok.ssf")));
    const QByteArray bytes = readBytes(dir.path("ok.ssf"));
    ASSERT_GT(bytes.size(), 100);

    tk::MessageCapture quiet;  // damaged files may make the readers complain
    const QString path = dir.path("damaged.ssf");
    int accepted = 0, refused = 0;
    auto attempt = [&](const QByteArray& damaged) {
        writeBytes(path, damaged);
        SoundStatFile file;
        if (file.readJSonFile(path)) {
            ++accepted;
            touch(file);
        } else {
            ++refused;
        }
    };
    // Every bit of the header and the root object's table, then random bits
    // anywhere, then truncations.
    const int header = std::min(int(bytes.size()), 32);
    for (int i = 0; i < header; ++i)
        for (int bit = 0; bit < 8; ++bit) {
            QByteArray damaged = bytes;
            damaged[i] = char(damaged[i] ^ (1 << bit));
            attempt(damaged);
        }
    std::mt19937 random(17);
    for (int k = 0; k < 300; ++k) {
        QByteArray damaged = bytes;
        for (int flips = 1 + int(random() % 3); flips > 0; --flips) {
            const int i = int(random() % uint32_t(bytes.size()));
            damaged[i] = char(damaged[i] ^ (1 << (random() % 8)));
        }
        attempt(damaged);
    }
    for (int length = 0; length < bytes.size(); length += std::max(1, int(bytes.size()) / 40))
        attempt(bytes.left(length));
    EXPECT_GT(refused, 0);
    EXPECT_GT(accepted, 0);
}

TEST(JsonFiles, DamagedCatalogsNeverCrash) {
    tk::TempDir dir;
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readDefaultCatalog());
    const QByteArray text = readBytes(SoundStatReferenceCatalog::getDefaultCatalogPath());
    ASSERT_FALSE(text.isEmpty());
    const QJsonDocument doc = QJsonDocument::fromJson(text);
    ASSERT_TRUE(Utilities::writeJSONToFile(doc, dir.path("catalog.bin"), true));
    const QByteArray binary = readBytes(dir.path("catalog.bin"));

    tk::MessageCapture quiet;
    std::mt19937 random(23);
    const SoundStatFile stats;  // no levels: only the reading is exercised here
    for (const auto& source :
         {std::make_pair(text, QString("damaged.json")), std::make_pair(binary, QString("damaged.bin"))}) {
        const QString path = dir.path(source.second);
        for (int k = 0; k < 150; ++k) {
            QByteArray damaged = source.first;
            if (k % 4 == 3) {
                damaged.truncate(int(random() % uint32_t(damaged.size())));
            } else {
                const int i = int(random() % uint32_t(damaged.size()));
                damaged[i] = char(damaged[i] ^ (1 << (random() % 8)));
            }
            writeBytes(path, damaged);
            SoundStatReferenceCatalog c;
            c.readJSonFile(path);
            for (const SoundStatReference& r : c.getReferenceList()) {
                if (!r.isEmpty()) r.getCorrectedLevels(stats, 6.0);
            }
            c.getNameList();
        }
    }
}
