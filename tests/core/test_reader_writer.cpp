#include <memory>

#include "common/TestKit.h"
#include "tonewright/SoundFileName.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundSndfile.h"
#include "tonewright/SoundWriter.h"

using tk::Frames;

TEST(Factories, ReaderChosenByExtension) {
    enum Kind { None, Sndfile, Mp3 };
    struct Case {
        const char* name;
        Kind kind;
        bool recognised;
    } cases[] = {
        {"a.wav", Sndfile, true},         {"B.FLAC", Sndfile, true},        {"dir/x.Ogg", Sndfile, true},
        {"Track.MP3", Mp3, true},         {"a.b.mp3", Mp3, true},           {"C:\\music\\x.Mp3", Mp3, true},
        {"C:/dir.old/file", None, false}, {"ends.with.dot.", None, false}, {"", None, false},
        {"song.aiff", None, false},       {"noext", None, false},          {"x.mp3 ", None, false},
        {"dir.mp3/file", None, false},
    };
    for (const auto& c : cases) {
        std::unique_ptr<SoundReader> r(SoundReader::getFromFilename(c.name));
        EXPECT_EQ(r != nullptr, c.kind != None) << c.name;
        EXPECT_EQ(dynamic_cast<SoundReaderSndfile*>(r.get()) != nullptr, c.kind == Sndfile) << c.name;
        EXPECT_EQ(dynamic_cast<SoundReaderMp3*>(r.get()) != nullptr, c.kind == Mp3) << c.name;
        EXPECT_EQ(SoundReader::isRecognized(c.name), c.recognised) << c.name;
    }
}

TEST(Factories, WriterChosenByExtension) {
    struct Case {
        const char* name;
        bool made;
        int code;  // libsndfile format; 0 for MP3
    } cases[] = {
        {"o.wav", true, 0x10002},     {"o.FLAC", true, 0x170002}, {"o.ogg", true, 0x200060},
        {"o.aiff", true, 0x30040006}, {"noext", false, 0},        {"", false, 0},
        {"o.mp3", true, 0},           {"C:\\out\\O.MP3", true, 0},
    };
    for (const auto& c : cases) {
        std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(c.name, 44100, 192, SoundTools::Pcm16));
        EXPECT_EQ(w != nullptr, c.made) << c.name;
        EXPECT_EQ(dynamic_cast<SoundWriterMp3*>(w.get()) != nullptr, c.made && c.code == 0) << c.name;
        if (auto* s = dynamic_cast<SoundWriterSndfile*>(w.get())) {
            EXPECT_EQ(s->getFormatCode(), c.code) << c.name;
            EXPECT_EQ(s->getChannelNum(), 2u);
        }
        if (auto* m = dynamic_cast<SoundWriterMp3*>(w.get())) {
            // Two channels with an encoder; without LAME the writer exists but has none.
            EXPECT_EQ(m->getChannelNum(), SoundWriterMp3::IsInit() ? 2u : 0u) << c.name;
            EXPECT_EQ(m->getSampleRate(), 44100u);
        }
    }
}

TEST(Factories, FileNameSplit) {
    const auto p = SoundTools::splitFileName("C:\\music\\Side A.old\\07 - Song.flac");
    EXPECT_EQ(p.drive, "C");
    EXPECT_EQ(p.folder, "/music/Side A.old");
    EXPECT_EQ(p.file, "07 - Song.flac");
    EXPECT_EQ(p.base, "07 - Song");
    EXPECT_EQ(p.extension, "flac");
    const auto q = SoundTools::splitFileName("dir//x");
    EXPECT_EQ(q.folder, "dir");
    EXPECT_EQ(q.extension, "");
}

TEST(StereoRead, EndOfStreamPadsWithTheMargin) {
    tk::MemoryReader reader(tk::ramp(10), 44100);
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(8, 2);
    EXPECT_EQ(reader.stereoRead(buffer, 2), 8u);
    EXPECT_EQ(buffer->getOrigin(), 0);
    EXPECT_EQ(reader.stereoRead(buffer, 2), 2u);  // 2 kept + 2 read
    EXPECT_EQ(buffer->getOrigin(), 6);
    EXPECT_EQ(buffer->getFrameNB(), 4u);
    EXPECT_TRUE(reader.atEnd());
    EXPECT_EQ(reader.getOffset(), 10);
    // At the end: 0 frames read, the 2 kept frames followed by 2 zero frames.
    EXPECT_EQ(reader.stereoRead(buffer, 2), 0u);
    EXPECT_EQ(buffer->getFrameNB(), 4u);
    EXPECT_EQ(buffer->getOrigin(), 8);
    EXPECT_EQ(buffer->getStereoFrame(8)->l, 9.0);
    EXPECT_EQ(buffer->getStereoFrame(9)->l, 10.0);
    EXPECT_EQ(buffer->getStereoFrame(10)->l, 0.0);
    EXPECT_EQ(buffer->getStereoFrame(11)->l, 0.0);
    EXPECT_EQ(reader.getOffset(), 12);
}

TEST(StereoRead, InitialDelayPlacesZerosBeforeTheStream) {
    tk::MemoryReader reader(tk::ramp(100), 44100);
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(32, 2);
    buffer->setOrigin(0);
    buffer->setInitialDelay(5);
    EXPECT_EQ(reader.stereoRead(buffer, 3), 27u);
    EXPECT_EQ(buffer->getOrigin(), -5);
    for (int p = -5; p < 0; ++p) EXPECT_EQ(buffer->getStereoFrame(p)->l, 0.0);
    EXPECT_EQ(buffer->getStereoFrame(0)->l, 1.0);
}

TEST(StereoRead, BufferSmallerThanMarginReadsNothing) {
    tk::MemoryReader reader(tk::ramp(100), 44100);
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(4, 2);
    buffer->setInitialDelay(4);  // the lead-in alone fills the buffer
    EXPECT_EQ(reader.stereoRead(buffer, 0), 0u);
    EXPECT_EQ(reader.getOffset(), 0);
    EXPECT_FALSE(reader.atEnd());
}

TEST(ReaderTiming, StartOffsetAndLengthText) {
    struct LenReader : tk::MemoryReader {
        unsigned frames;
        LenReader(unsigned f, unsigned rate) : tk::MemoryReader({}, rate), frames(f) {}
        unsigned getFrameNB() const override { return frames; }
    };
    LenReader a(44100u * 3725u + 11025u, 44100);  // 3725.25 s
    EXPECT_EQ(a.getLengthString(), "01:02:05.250");
    LenReader z(0, 44100);
    EXPECT_EQ(z.getLengthString(), "00:00:00.000");
    LenReader b(599996, 10000);  // 59.9996 s: rounded only when printed
    EXPECT_EQ(b.getLengthString(), "00:00:60.000");
    a.setStartPoint(1.5);
    EXPECT_EQ(a.getStartOffset(), 66150);
    EXPECT_EQ(a.getOffset(), 0);  // not applied before rewind
}

namespace {
std::shared_ptr<SoundBuffer> rampBuffer(int origin, unsigned frames, unsigned rate = 44100) {
    auto b = SoundBuffer::createNew(rate);
    b->alloc(frames, 2);
    b->setFrameNB(frames);
    b->setOrigin(origin);
    for (unsigned i = 0; i < frames; ++i) *b->getRelStereoFrame(int(i)) = tk::Frame(origin + int(i), 0);
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

TEST(WriteBuffer, RefusesOtherRatesAndChannelCounts) {
    tk::MemoryWriter w(48000);
    EXPECT_EQ(w.writeBuffer(rampBuffer(0, 10, 44100), 0), SoundTools::Error);
    EXPECT_EQ(SoundDebuggableClass::getError(), "SoundWriter::WriteBuffer : Samplerate conversion not implemented");
    EXPECT_TRUE(w.frames().empty());
    EXPECT_EQ(w.getCurrentOffset(), 0);

    auto mono = SoundBuffer::createNew(48000);
    mono->alloc(4, 1);
    mono->setFrameNB(4);
    EXPECT_EQ(w.writeBuffer(mono, 0), SoundTools::Error);
    EXPECT_EQ(SoundDebuggableClass::getError(), "SoundWriter::WriteBuffer : Incorrect number of channels");
}

TEST(WriteBuffer, ShortWriteFailsAndCountsWhatWasWritten) {
    tk::MemoryWriter w(44100);
    w.failAfter(15);
    EXPECT_EQ(w.writeBuffer(rampBuffer(0, 10), 0), SoundTools::Ok);
    EXPECT_EQ(w.writeBuffer(rampBuffer(10, 10), 0), SoundTools::Error);
    EXPECT_EQ(w.getCurrentOffset(), 15);
    EXPECT_TRUE(w.hasFailed());
}
