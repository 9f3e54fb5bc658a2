#include <memory>
#include <tuple>

#include "common/TestKit.h"
#include "tonewright/SoundFileName.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundSndfile.h"
#include "tonewright/SoundWriter.h"

// Reader and writer chosen by the name's extension (code: libsndfile's format,
// 0 for MP3, -1 for no writer; any other extension is a raw float file).
TEST(Factories, ReaderAndWriterChosenByExtension) {
    enum Kind { None, Sndfile, Mp3 };
    const std::tuple<const char*, Kind, bool, int> cases[] = {
        {"a.wav", Sndfile, true, 0x10002},       {"B.FLAC", Sndfile, true, 0x170002},
        {"dir/x.Ogg", Sndfile, true, 0x200060},  {"Track.MP3", Mp3, true, 0},
        {"a.b.mp3", Mp3, true, 0},               {"C:\\music\\x.Mp3", Mp3, true, 0},
        {"song.aiff", None, false, 0x30040006},  {"C:/dir.old/file", None, false, -1},
        {"song.oga", None, false, 0x30040006},
        {"ends.with.dot.", None, false, -1},     {"", None, false, -1},
        {"noext", None, false, -1},              {"x.mp3 ", None, false, 0x30040006},
        {"dir.mp3/file", None, false, -1},
    };
    for (const auto& [name, kind, recognised, code] : cases) {
        std::unique_ptr<SoundReader> r(SoundReader::getFromFilename(name));
        EXPECT_EQ(r != nullptr, kind != None) << name;
        EXPECT_EQ(dynamic_cast<SoundReaderSndfile*>(r.get()) != nullptr, kind == Sndfile) << name;
        EXPECT_EQ(dynamic_cast<SoundReaderMp3*>(r.get()) != nullptr, kind == Mp3) << name;
        EXPECT_EQ(SoundReader::isRecognized(name), recognised) << name;
        std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(name, 44100, 192, SoundTools::Pcm16));
        EXPECT_EQ(w != nullptr, code >= 0) << name;
        EXPECT_EQ(dynamic_cast<SoundWriterMp3*>(w.get()) != nullptr, code == 0) << name;
        if (auto* s = dynamic_cast<SoundWriterSndfile*>(w.get())) {
            EXPECT_EQ(s->getFormatCode(), code) << name;
        }
        if (dynamic_cast<SoundWriterMp3*>(w.get())) {  // two channels with an encoder; without LAME none
            EXPECT_EQ(w->getChannelNum(), SoundWriterMp3::IsInit() ? 2u : 0u) << name;
        }
    }
}

TEST(Factories, FileNameSplit) {
    const auto p = SoundTools::splitFileName("C:\\music\\Side A.old\\07 - Song.flac");
    EXPECT_EQ(p.drive + "|" + p.folder + "|" + p.file + "|" + p.base + "|" + p.extension,
              "C|/music/Side A.old|07 - Song.flac|07 - Song|flac");
    const auto q = SoundTools::splitFileName("dir//x");
    EXPECT_EQ(q.folder + "|" + q.extension, "dir|");
}

// A lead-in that fills the whole buffer leaves no room to read: nothing is read.
// (Margins, lead-ins and end padding in general are the algorithm table's.)
TEST(StereoRead, LeadInFillingTheBufferReadsNothing) {
    tk::MemoryReader reader(tk::ramp(100), 44100);
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(4, 2);
    buffer->setInitialDelay(4);
    EXPECT_EQ(reader.stereoRead(buffer, 0), 0u);
    EXPECT_EQ(reader.getOffset(), 0);
    EXPECT_FALSE(reader.atEnd());
}

// Lengths print as hh:mm:ss.mmm, rounded only when printed; a start point is
// taken in seconds and applied at the next rewind.
TEST(ReaderTiming, StartOffsetAndLengthText) {
    struct LenReader : tk::MemoryReader {
        unsigned frames;
        LenReader(unsigned f, unsigned rate) : tk::MemoryReader({}, rate), frames(f) {}
        unsigned getFrameNB() const override { return frames; }
    };
    const struct {
        unsigned frames, rate;
        const char* text;
    } cases[] = {{44100u * 3725u + 11025u, 44100, "01:02:05.250"}, {0, 44100, "00:00:00.000"},
                 {599996, 10000, "00:00:60.000"}};
    for (const auto& c : cases) EXPECT_EQ(LenReader(c.frames, c.rate).getLengthString(), c.text) << c.frames;
    LenReader a(44100 * 10, 44100);
    a.setStartPoint(1.5);
    EXPECT_EQ(a.getStartOffset(), 66150);
    EXPECT_EQ(a.getOffset(), 0);
}

namespace {
// Positions on the first channel, zeros on the others.
std::shared_ptr<SoundBuffer> rampBuffer(int origin, unsigned frames, unsigned rate = 44100, int channels = 2) {
    auto b = SoundBuffer::createNew(rate);
    b->alloc(frames, channels);
    b->setFrameNB(frames);
    b->setOrigin(origin);
    for (unsigned i = 0; i < frames; ++i) b->getRelFrame(int(i))[0] = origin + int(i);
    return b;
}
}  // namespace

TEST(WriteBuffer, RangeSkipsAndHoldsBack) {
    tk::MemoryWriter w(44100);
    w.setRange(1000, 5000);
    for (int start = 0; start < 8000; start += 1024) ASSERT_EQ(w.writeBuffer(rampBuffer(start, 1024), 0), SoundTools::Ok);
    ASSERT_EQ(w.frames().size(), 4000u);
    EXPECT_EQ(w.frames().front().l, 1000);
    EXPECT_EQ(w.frames().back().l, 4999);

    tk::MemoryWriter late(44100);
    late.setRange(0, 100000);
    ASSERT_EQ(late.writeBuffer(rampBuffer(3000, 100), 10), SoundTools::Ok);  // gap skipped, not filled
    ASSERT_EQ(late.frames().size(), 90u);
    EXPECT_EQ(late.frames().front().l, 3000);
    ASSERT_EQ(late.writeBuffer(rampBuffer(3090, 100), 0), SoundTools::Ok);  // held-back frames come again
    ASSERT_EQ(late.frames().size(), 190u);
    EXPECT_EQ(late.frames()[90].l, 3090);
}

// A buffer of another rate or channel count is refused and nothing is written;
// a short write fails and counts only what went out.
TEST(WriteBuffer, RefusesOtherRatesAndChannelCountsAndCountsShortWrites) {
    tk::MemoryWriter w(48000);
    const std::pair<std::shared_ptr<SoundBuffer>, const char*> refused[] = {
        {rampBuffer(0, 10, 44100), "Samplerate conversion not implemented"},
        {rampBuffer(0, 4, 48000, 1), "Incorrect number of channels"}};
    for (const auto& r : refused) {
        EXPECT_EQ(w.writeBuffer(r.first, 0), SoundTools::Error);
        EXPECT_EQ(SoundDebuggableClass::getError(), QString("SoundWriter::WriteBuffer : ") + r.second);
    }
    EXPECT_TRUE(w.frames().empty());
    EXPECT_EQ(w.getCurrentOffset(), 0);

    tk::MemoryWriter shortWriter(44100);
    shortWriter.failAfter(15);
    EXPECT_EQ(shortWriter.writeBuffer(rampBuffer(0, 10), 0), SoundTools::Ok);
    EXPECT_EQ(shortWriter.writeBuffer(rampBuffer(10, 10), 0), SoundTools::Error);
    EXPECT_EQ(shortWriter.getCurrentOffset(), 15);
    EXPECT_TRUE(shortWriter.hasFailed());
}
