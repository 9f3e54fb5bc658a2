// SoundWriterMultiFile: segment names, cutting at noise regions, dropping short
// stretches and leading silence, tags, frame accounting, and refusal of bad
// settings; the pieces are read back by the library's readers.
#include <QDir>

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

// A leading number with its separator is replaced by the piece's, of as many
// digits; otherwise a number of three digits and a dash lead the name.
TEST(MultiFile, SegmentNames) {
    tk::TempDir dir;
    auto det = tk::detectorFromList(threeRegions());
    const struct {
        QString name, first, second;
        bool inDir;
    } cases[] = {
        {"Side A.wav", "001-Side A.wav", "002-Side A.wav", true},
        {"07 - Song.flac", "01 Song.flac", "02 Song.flac", true},
        {"take_12_mix.mp3", "001-take_12_mix.mp3", "002-take_12_mix.mp3", true},
        {"12 .wav", "01 .wav", "02 .wav", true},
        {"_x.ogg", "001_x.ogg", "002_x.ogg", true},
        {"2019-", "0001-", "0002-", true},
        {"/rec.wav", "/001-rec.wav", "/002-rec.wav", false},  // the root stays
        {"rec.wav", "001-rec.wav", "002-rec.wav", false},
    };
    for (const auto& c : cases) {
        SoundWriterMultiFile w(det.get(), 1.0, kRate);
        w.open(c.inDir ? dir.path(c.name) : c.name);
        EXPECT_EQ(w.getSegmentName(1), c.inDir ? dir.path(c.first) : c.first) << c.name.toStdString();
        EXPECT_EQ(w.getSegmentName(2), c.inDir ? dir.path(c.second) : c.second) << c.name.toStdString();
    }
}

// The pieces are exactly the sound regions, whatever the block size, in the
// format asked; they carry the text tags (a record without text writes none).
TEST(MultiFile, CutsAtNoiseWhateverTheBlockSizeAndTagsThePieces) {
    const tk::Frames in = tk::noise(400000, 0.3, 5);
    auto det = tk::detectorFromList(threeRegions());
    SoundIDTag tags, coverOnly;
    tags.title = "Live at home";
    tags.artist = "The Testers";
    coverOnly.cover = QByteArray("\x89PNG", 4);
    const struct {
        unsigned block;
        const char* ext;
        SoundTools::SoundFormat format;
        const SoundIDTag* tags;
        double tolerance;
    } cases[] = {
        {1024, "wav", SoundTools::Float, &tags, 1e-7},
        {777, "flac", SoundTools::Pcm16, &tags, 1.0 / 16384},
        {65536, "wav", SoundTools::Pcm16, &coverOnly, 1.0 / 16384},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.ext << ", block " << c.block);
        tk::TempDir dir;
        Split s = split(det.get(), in, dir.path(QString("rec.") + c.ext), 1.0, c.block, c.tags, c.format);
        ASSERT_EQ(s.opened, SoundTools::Ok);
        ASSERT_EQ(s.status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
        EXPECT_EQ(s.writer->GetWrittenFiles(), 2);
        EXPECT_EQ(filesIn(dir.root()), (QStringList{QString("001-rec.") + c.ext, QString("002-rec.") + c.ext}));
        const std::pair<size_t, size_t> pieces[] = {{0, 100000}, {150000, 400000}};
        for (int i = 0; i < 2; ++i) {
            SoundIDTag back;
            const tk::Frames got = readBack(s.writer->getFileNames().value(i), &back);
            const tk::Frames want = slice(in, pieces[i].first, pieces[i].second);
            EXPECT_TRUE(tk::framesNear(got, want, c.tolerance));
            EXPECT_EQ(back.title + "|" + back.artist, c.tags->title + "|" + c.tags->artist);
        }
        EXPECT_EQ(s.writer->getFramesInFiles(), 350000);
        EXPECT_EQ(s.writer->getFramesDroppedNoise(), 50000);
        EXPECT_EQ(s.writer->getFramesWritten(), 350000);
    }
}

// A stretch shorter than the minimum is dropped, silence leading a piece is
// skipped, the tail without an end marker belongs to the last region, and every
// frame is accounted for.
TEST(MultiFile, ShortStretchesLeadingSilenceAndTheTailAreAccountedFor) {
    tk::Frames in = tk::noise(500000, 0.3, 6);
    for (size_t i = 150000; i < 150500; ++i) in[i] = tk::Frame(0.0, 0.0);
    in[150200] = tk::Frame(0.0, -0.0);  // still silence
    auto regions = threeRegions(30000);
    regions.pop_back();
    auto det = tk::detectorFromList(regions);
    tk::TempDir dir;
    Split s = split(det.get(), in, dir.path("rec.flac"), 1.0, 1000, nullptr, SoundTools::Pcm24);
    ASSERT_EQ(s.status, SoundTools::Ok);
    ASSERT_EQ(filesIn(dir.root()), QStringList{"001-rec.flac"});
    EXPECT_TRUE(tk::framesNear(readBack(dir.path("001-rec.flac")), slice(in, 150500, 500000), 1.0 / (1 << 23)));
    EXPECT_EQ(s.writer->getFramesDroppedShort(), 30000);
    EXPECT_EQ(s.writer->getFramesDroppedNoise(), 120000);
    EXPECT_EQ(s.writer->getFramesSkippedSilence(), 500);
    EXPECT_EQ(s.writer->getFramesWritten(), 350000);  // the segment's count includes its leading silence
    EXPECT_EQ(s.writer->getFramesInFiles() + s.writer->getFramesSkippedSilence() + s.writer->getFramesDroppedNoise() +
                  s.writer->getFramesDroppedShort(),
              int64_t(in.size()));
}

TEST(MultiFile, RefusesBadSettingsWithAReadableError) {
    const tk::Frames in = tk::noise(400000, 0.3, 8);
    auto good = tk::detectorFromList(threeRegions());
    auto empty = SoundRef<RMSStepDetector>::make();
    auto otherRate = tk::detectorFromList(threeRegions(), false, 48000);
    tk::TempDir dir;
    ASSERT_TRUE(tk::writeBytes(dir.path("plain.txt"), QByteArray()));
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
}
// Tone, digital silence, tone: the whole chain from the analysis to the pieces
// (the region rules themselves are the detector's tests). The pieces are
// exactly the two tones: the silence is noise, and the stretch of silence the
// rise's region opens with is skipped. The second tone starts with frames whose
// left channel is silent and right negative: sound, so they are written.
TEST(MultiFile, ToneSilenceToneFromAnalysisToPieces) {
    const struct {
        double tone1, gap, tone2, db;
        unsigned block;
    } cases[] = {{12, 4, 12, -10, 1024}, {3, 2.5, 11, -30, 3001}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tone1);
        const auto frames = [](double s) { return size_t(std::llround(s * kRate)); };
        const double amp = std::sqrt(2.0) * tk::fromDb(c.db);
        tk::Frames second = tk::sine(frames(c.tone2), kRate, 1000.0, amp, 0.3);
        for (size_t i = 0; i < 3; ++i) second[i] = tk::Frame(0.0, -0.25);
        const tk::Frames in =
            tk::concat({tk::sine(frames(c.tone1), kRate, 1000.0, amp, 0.3), tk::silence(frames(c.gap)), second});
        const size_t T1 = frames(c.tone1), T2 = T1 + frames(c.gap);
        auto det = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput, false);
        tk::run(*det, in, kRate, c.block);
        ASSERT_EQ(det->getRegions().size(), 4u);
        EXPECT_EQ(det->getFullLength(), unsigned(in.size()));  // the end marker is at the frame count
        tk::TempDir dir;
        Split s = split(det.get(), in, dir.path("rec.wav"), 1.0, c.block, nullptr, SoundTools::Double);
        ASSERT_EQ(s.status, SoundTools::Ok);
        ASSERT_EQ(s.writer->GetWrittenFiles(), 2);
        EXPECT_TRUE(tk::framesNear(readBack(dir.path("001-rec.wav")), slice(in, 0, T1), 0.0));
        EXPECT_TRUE(tk::framesNear(readBack(dir.path("002-rec.wav")), slice(in, T2, in.size()), 0.0));
    }
}
