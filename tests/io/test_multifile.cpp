// SoundWriterMultiFile: segment names, cutting at noise regions, dropping short
// stretches and leading silence, tags, frame accounting, files read back by
// libsndfile and soxi, and refusal of bad settings.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

#include "common/FileKit.h"
#include "common/Recordings.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundWriterMultiFile.h"

namespace {
using tk::region;
constexpr unsigned kRate = 44100;

struct Split {
    SoundTools::Status opened = SoundTools::Error;
    SoundTools::Status status = SoundTools::Error;
    std::unique_ptr<SoundWriterMultiFile> writer;
};

// The second pass: the stream through a 0 dB gain into the multi-file writer.
Split split(RMSStepDetector* det, const tk::Frames& frames, const QString& name, double minDuration,
            unsigned block = 1024, const SoundIDTag* tags = nullptr, SoundTools::SoundFormat format = SoundTools::Float) {
    tk::ScopedBlockSize scoped(block);
    Split s;
    s.writer = std::make_unique<SoundWriterMultiFile>(det, minDuration, kRate, 2, 192, format);
    s.opened = s.writer->open(name);
    if (tags) s.writer->setTags(*tags);
    tk::MemoryReader reader(frames, kRate);
    auto gain = SoundRef<SoundAlgoScale>::make(0.0);
    s.status = gain->processAll(reader, s.writer.get());
    s.writer->close();
    return s;
}

tk::Frames readBack(const QString& path, SoundIDTag* tags = nullptr) {
    auto reader = tk::openReader(path);
    if (!reader) return {};
    if (tags) reader->getTags(*tags);
    return tk::readAll(*reader, 65536);
}

tk::Frames slice(const tk::Frames& f, size_t from, size_t to) { return tk::Frames(f.begin() + long(from), f.begin() + long(to)); }

QStringList filesIn(const QString& dir) { return QDir(dir).entryList(QDir::Files | QDir::System, QDir::Name); }

// Sound 0-99 999, noise 100 000-149 999, sound 150 000-399 999, end marker.
std::vector<RMSStepDetector::Region> threeRegions(int firstLength = 100000) {
    return {region(0, firstLength, -10, -10), region(firstLength, 150000 - firstLength, -90, -90, true),
            region(150000, 250000, -10, -10), region(400000, 1, -100, -100, true)};
}
}  // namespace

TEST(MultiFile, SegmentNames) {
    tk::TempDir dir;
    auto det = tk::detectorFromList(threeRegions());
    const struct {
        QString name;
        QString first, second;
    } cases[] = {
        {"Side A.wav", "001-Side A.wav", "002-Side A.wav"},
        {"07 - Song.flac", "01 Song.flac", "02 Song.flac"},
        {"take_12_mix.mp3", "001-take_12_mix.mp3", "002-take_12_mix.mp3"},
        {"12 .wav", "01 .wav", "02 .wav"},
        {"_x.ogg", "001_x.ogg", "002_x.ogg"},
        {"2019-", "0001-", "0002-"},
    };
    for (const auto& c : cases) {
        SoundWriterMultiFile w(det.get(), 1.0, kRate);
        w.open(dir.path(c.name));
        EXPECT_EQ(w.getSegmentName(1), dir.path(c.first)) << c.name.toStdString();
        EXPECT_EQ(w.getSegmentName(2), dir.path(c.second)) << c.name.toStdString();
    }
    SoundWriterMultiFile root(det.get(), 1.0, kRate);
    root.open("/rec.wav");
    EXPECT_EQ(root.getSegmentName(3), "/003-rec.wav");  // the root stays
    SoundWriterMultiFile relative(det.get(), 1.0, kRate);
    relative.open("rec.wav");
    EXPECT_EQ(relative.getSegmentName(1), "001-rec.wav");
}

TEST(MultiFile, CutsAtNoiseWhateverTheBlockSize) {
    const tk::Frames in = tk::noise(400000, 0.3, 5);
    auto det = tk::detectorFromList(threeRegions());
    for (unsigned block : {1024u, 777u, 65536u}) {
        tk::TempDir dir;
        Split s = split(det.get(), in, dir.path("rec.wav"), 1.0, block);
        ASSERT_EQ(s.opened, SoundTools::Ok);
        ASSERT_EQ(s.status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
        EXPECT_EQ(s.writer->GetWrittenFiles(), 2);
        EXPECT_EQ(filesIn(dir.root()), (QStringList{"001-rec.wav", "002-rec.wav"}));
        EXPECT_TRUE(tk::framesNear(readBack(dir.path("001-rec.wav")), slice(in, 0, 100000), 1e-7));
        EXPECT_TRUE(tk::framesNear(readBack(dir.path("002-rec.wav")), slice(in, 150000, 400000), 1e-7));
        EXPECT_EQ(s.writer->getFramesInFiles(), 350000);
        EXPECT_EQ(s.writer->getFramesDroppedNoise(), 50000);
        EXPECT_EQ(s.writer->getFramesWritten(), 350000);
        if (tk::haveTool("soxi")) {
            std::string out;
            tk::runCommand("soxi -s '" + dir.path("002-rec.wav").toStdString() + "' 2>/dev/null", &out);
            EXPECT_EQ(std::stol(out), 250000);
        }
    }
}

TEST(MultiFile, ShortStretchesLeadingSilenceAndTheTailAreAccountedFor) {
    tk::Frames in = tk::noise(500000, 0.3, 6);
    for (size_t i = 150000; i < 150500; ++i) in[i] = tk::Frame(0.0, 0.0);
    in[150200] = tk::Frame(0.0, -0.0);  // still silence
    // The last region ends at 399 999 with no end marker: the tail belongs to it.
    auto regions = threeRegions(30000);
    regions.pop_back();
    auto det = tk::detectorFromList(regions);
    tk::TempDir dir;
    Split s = split(det.get(), in, dir.path("rec.flac"), 1.0, 1000, nullptr, SoundTools::Pcm24);
    ASSERT_EQ(s.status, SoundTools::Ok);
    ASSERT_EQ(filesIn(dir.root()), QStringList{"001-rec.flac"});  // the 30 000-frame stretch is dropped
    const tk::Frames got = readBack(dir.path("001-rec.flac"));
    EXPECT_TRUE(tk::framesNear(got, slice(in, 150500, 500000), 1.0 / (1 << 23)));
    EXPECT_EQ(s.writer->getFramesDroppedShort(), 30000);
    EXPECT_EQ(s.writer->getFramesDroppedNoise(), 120000);
    EXPECT_EQ(s.writer->getFramesSkippedSilence(), 500);
    EXPECT_EQ(s.writer->getFramesWritten(), 350000);  // the segment's count includes its leading silence
    EXPECT_EQ(s.writer->getFramesInFiles() + s.writer->getFramesSkippedSilence() +
                  s.writer->getFramesDroppedNoise() + s.writer->getFramesDroppedShort(),
              int64_t(in.size()));
}

TEST(MultiFile, SegmentsCarryTagsTheirFormatCanStore) {
    const tk::Frames in = tk::noise(400000, 0.3, 7);
    auto det = tk::detectorFromList(threeRegions());
    SoundIDTag tags;
    tags.title = "Live at home";
    tags.artist = "The Testers";
    tags.album = "Regions";
    for (const char* ext : {"wav", "flac", "ogg"}) {
        tk::TempDir dir;
        Split s = split(det.get(), in, dir.path(QString("rec.") + ext), 1.0, 1024, &tags, SoundTools::Pcm16);
        ASSERT_EQ(s.status, SoundTools::Ok) << ext;
        ASSERT_EQ(s.writer->GetWrittenFiles(), 2) << ext;
        for (const QString& name : s.writer->getFileNames()) {
            SoundIDTag back;
            readBack(name, &back);
            EXPECT_EQ(back.title, tags.title) << name.toStdString();
            EXPECT_EQ(back.artist, tags.artist) << name.toStdString();
            EXPECT_EQ(back.album, tags.album) << name.toStdString();
        }
    }
    // Without a text tag nothing is written.
    tk::TempDir dir;
    SoundIDTag coverOnly;
    coverOnly.cover = QByteArray("\x89PNG", 4);
    Split s = split(det.get(), in, dir.path("rec.wav"), 1.0, 1024, &coverOnly);
    SoundIDTag back;
    readBack(s.writer->getFileNames().value(0), &back);
    EXPECT_TRUE(back.title.empty() && back.artist.empty() && back.album.empty());
}

TEST(MultiFile, RefusesBadSettingsWithAReadableError) {
    const tk::Frames in = tk::noise(400000, 0.3, 8);
    auto good = tk::detectorFromList(threeRegions());
    auto empty = SoundRef<RMSStepDetector>::make();
    auto otherRate = tk::detectorFromList(threeRegions(), false, 48000);
    tk::TempDir dir;
    QFile plain(dir.path("plain.txt"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    const struct {
        const char* what;
        RMSStepDetector* detector;
        double minDuration;
        QString name;
        const char* message;
    } cases[] = {
        {"no regions", empty.get(), 1.0, dir.path("a.wav"), "holds no regions"},
        {"no detector", nullptr, 1.0, dir.path("b.wav"), "no region detector"},
        {"other rate", otherRate.get(), 1.0, dir.path("c.wav"), "48000 Hz"},
        {"zero minimum", good.get(), 0.0, dir.path("d.wav"), "minimum duration must be positive"},
        {"negative minimum", good.get(), -2.0, dir.path("e.wav"), "minimum duration must be positive"},
        {"missing folder", good.get(), 1.0, dir.path("nowhere/f.wav"), "does not exist"},
        {"folder is a file", good.get(), 1.0, dir.path("plain.txt/g.wav"), "is not a folder"},
        {"empty base name", good.get(), 1.0, dir.path(".wav"), "empty base name"},
        {"no writer", good.get(), 1.0, dir.path("noextension"), "no writer handles"},
    };
    for (const auto& c : cases) {
        SoundDebuggableClass::setError("none");
        Split s = split(c.detector, in, c.name, c.minDuration);
        EXPECT_EQ(s.opened, SoundTools::Error) << c.what;
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(c.message))
            << c.what << ": " << SoundDebuggableClass::getError().toStdString();
        EXPECT_EQ(s.status, SoundTools::Error) << c.what;
        EXPECT_EQ(s.writer->GetWrittenFiles(), 0) << c.what;
        EXPECT_EQ(filesIn(dir.root()), QStringList{"plain.txt"}) << c.what;
    }

    // A folder that refuses new files: found at open() when the permissions say
    // so, or when the first segment is created (root passes permission checks).
    tk::TempDir locked;
    QString target = locked.root();
    if (geteuid() == 0)
        target = "/proc";
    else
        QFile::setPermissions(target, QFile::ReadOwner | QFile::ExeOwner);
    Split s = split(good.get(), in, target + "/rec.wav", 1.0);
    EXPECT_EQ(s.status, SoundTools::Error);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains("rec.wav")) << SoundDebuggableClass::getError().toStdString();
    EXPECT_FALSE(QFileInfo::exists(target + "/001-rec.wav"));
    EXPECT_EQ(s.writer->GetWrittenFiles(), 0);
    QFile::setPermissions(locked.root(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}
// Tone, digital silence, tone: the whole chain from the analysis to the pieces,
// against positions derived by hand from the region rules (N the window):
//  - the fall ends where the window first holds silence only, at the silence's
//    first frame (the transitional stretches go to the tone, the closer level);
//  - the rise opens a region at the centre of the first window that reaches the
//    second tone: its first frame - N + 1 + N/2;
//  - the silence is noise, both tones are not; the end marker is at the frame count.
// The pieces are then exactly the two tones. The second tone starts with frames
// whose left channel is silent and right negative: sound, so they are written.
TEST(MultiFile, ToneSilenceToneFromAnalysisToPieces) {
    struct Case {
        double tone1, gap, tone2, db;
        unsigned block;
    };
    for (const Case& c : {Case{12, 4, 12, -10, 1024}, Case{3, 2.5, 11, -30, 3001}, Case{20, 6, 10.5, -3, 8821}}) {
        SCOPED_TRACE(c.tone1);
        const auto frames = [](double s) { return size_t(std::llround(s * kRate)); };
        const double amp = std::sqrt(2.0) * std::pow(10.0, c.db / 20.0);
        tk::Frames second = tk::sine(frames(c.tone2), kRate, 1000.0, amp, 0.3);
        for (size_t i = 0; i < 3; ++i) second[i] = tk::Frame(0.0, -0.25);
        const tk::Frames in =
            tk::concat({tk::sine(frames(c.tone1), kRate, 1000.0, amp, 0.3), tk::silence(frames(c.gap)), second});
        const int T1 = int(frames(c.tone1)), T2 = T1 + int(frames(c.gap)), F = int(in.size());

        auto det = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput, false);
        tk::run(*det, in, kRate, c.block);
        const int N = det->getWindowLength();
        const int rise = T2 - N + 1 + N / 2;
        const std::vector<RMSStepDetector::Region> got = det->getRegions();
        ASSERT_EQ(got.size(), 4u);
        const int begins[] = {0, T1, rise, F};
        const bool noise[] = {false, true, false, true};
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(got[i].BeginSample, begins[i]) << "region " << i;
            EXPECT_EQ(got[i].IsNoise, noise[i]) << "region " << i;
            if (i < 3) {
                EXPECT_EQ(got[i].BeginSample + got[i].SampleNb, begins[i + 1]) << "region " << i;
            }
        }
        // A tone's level is its power, lowered by at most the one window of
        // transition averaged into it.
        const double power = amp * amp / 2;
        for (size_t i : {size_t(0), size_t(2)}) {
            EXPECT_LE(got[i].level(), power * 1.001) << "region " << i;
            EXPECT_GE(got[i].level(), power * (1.0 - double(N) / got[i].SampleNb)) << "region " << i;
        }
        EXPECT_EQ(got[1].level(), 0.0);
        EXPECT_EQ(det->getFullLength(), unsigned(F));

        tk::TempDir dir;
        Split s = split(det.get(), in, dir.path("rec.wav"), 1.0, c.block, nullptr, SoundTools::Double);
        ASSERT_EQ(s.status, SoundTools::Ok);
        ASSERT_EQ(s.writer->GetWrittenFiles(), 2);
        EXPECT_TRUE(tk::framesNear(readBack(dir.path("001-rec.wav")), slice(in, 0, size_t(T1)), 0.0));
        EXPECT_TRUE(tk::framesNear(readBack(dir.path("002-rec.wav")), slice(in, size_t(T2), size_t(F)), 0.0));
    }
}
