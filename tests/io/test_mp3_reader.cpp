// SoundReaderMp3 against files made by the lame command; decoded frames are
// compared with ffmpeg's decoder. (Its tags are read in the TagFile tests.)
#include <memory>
#include <random>

#include "common/ExternalAudio.h"
#include "common/FileKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundMp3.h"

namespace {

using tk::Frames;
using tk::readAll;

constexpr size_t kFrames = 2 * 44100 + 1234;  // not a whole number of MP3 frames
const char* kMono = "mono44 t\xC3\xABst \xE9\x9F\xB3.mp3";  // a name beyond ASCII opens too

class Mp3Reader : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!tk::haveTool("lame")) return;
        dir = std::make_unique<tk::TempDir>();
        // 440 Hz at 0.5 on the left, 1 kHz at 0.25 on the right.
        for (unsigned rate : {44100u, 48000u}) {
            Frames f = tk::sine(kFrames, rate, 440.0, 0.5);
            const Frames r = tk::sine(kFrames, rate, 1000.0, 0.25);
            for (size_t i = 0; i < kFrames; ++i) f[i].r = r[i].r;
            for (unsigned channels : {1u, 2u})
                ASSERT_TRUE(tk::writeWav16(path(QString("%1-%2.wav").arg(channels).arg(rate)), f, rate, channels));
        }
        const std::pair<const char*, const char*> files[] = {
            {"stereo44cbr.mp3", "-b 192 2-44100.wav"}, {"stereo48vbr.mp3", "-V 2 2-48000.wav"},
            {kMono, "-V 4 1-44100.wav"},               {"noinfo44.mp3", "-t -b 192 2-44100.wav"},
        };
        for (const auto& f : files)
            ASSERT_EQ(tk::runCommand("cd " + tk::shellQuote(dir->root()) + " && lame --quiet " + f.second + " " +
                                     tk::shellQuote(QString(f.first)) + " 2>&1"),
                      0);
    }
    static void TearDownTestSuite() { dir.reset(); }
    void SetUp() override {
        if (!dir) GTEST_SKIP() << "the lame command is not installed";
    }
    static QString path(const QString& name) { return dir->path(name); }

    static std::unique_ptr<tk::TempDir> dir;
};
std::unique_ptr<tk::TempDir> Mp3Reader::dir;

// The first frame boundary at or after byte `from` of a 44.1 kHz MPEG-1 layer III
// file (no leading tag): frame lengths from each header's bit rate and padding.
int frameBoundaryAfter(const QByteArray& b, int from) {
    static const int kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    int pos = 0;
    while (pos < from && pos + 3 < b.size() && uchar(b[pos]) == 0xFF && (uchar(b[pos + 1]) & 0xE0) == 0xE0) {
        const uchar h = uchar(b[pos + 2]);
        pos += 144000 * kbps[h >> 4] / 44100 + ((h >> 1) & 1);
    }
    return pos;
}

// The encoder's info header carries its delay and padding: the reader gives back
// exactly the source's frames, as another decoder does, in any block size; mono
// is widened to two equal channels. An untagged file gives the numbers only.
TEST_F(Mp3Reader, DecodesToTheExactLengthAsAnotherDecoderDoes) {
    const struct {
        const char* file;
        unsigned rate;
        bool mono;
    } cases[] = {
        {"stereo44cbr.mp3", 44100, false}, {"stereo48vbr.mp3", 48000, false}, {kMono, 44100, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        SoundReaderMp3 reader;
        ASSERT_EQ(reader.open(path(c.file)), SoundTools::Ok) << qPrintable(SoundDebuggableClass::getError());
        EXPECT_EQ(reader.getSampleRate(), c.rate);
        EXPECT_EQ(reader.getInputFormat(), SoundTools::Pcm16);
        EXPECT_EQ(reader.getFrameNB(), kFrames);
        SoundIDTag tag, numbers;
        tag.cover = "old";
        numbers.year = numbers.track = "0";
        EXPECT_TRUE(reader.getTags(tag));  // year and track always hold a number
        EXPECT_EQ(tk::tagText(tag), tk::tagText(numbers));
        const Frames got = readAll(reader, 4096);
        ASSERT_EQ(got.size(), kFrames);
        EXPECT_TRUE(reader.atEnd());
        for (const tk::Frame& f : got) ASSERT_TRUE(!c.mono || f.l == f.r);
        Frames reference;
        ASSERT_TRUE(tk::decodeWithFfmpeg(path(c.file), &reference));
        EXPECT_TRUE(tk::framesNear(got, reference, 3.0 / 32768.0));
        SoundReaderMp3 odd;
        ASSERT_EQ(odd.open(path(c.file)), SoundTools::Ok);
        EXPECT_TRUE(tk::framesNear(readAll(odd, 777), got, 0.0));
        // The start point is applied at rewind in every bit rate mode: what follows
        // is the whole decode's (the reservoir is filled before the first frame
        // played; a mono file's few samples may round one 16-bit step apart after a
        // seek). One beyond the end leaves nothing to read.
        odd.setStartPoint(1.0);
        EXPECT_EQ(odd.getOffset(), int(kFrames));
        odd.rewind();
        EXPECT_FALSE(odd.atEnd());
        EXPECT_EQ(odd.getOffset(), int(c.rate));
        EXPECT_TRUE(tk::framesNear(readAll(odd, 1000), Frames(got.begin() + c.rate, got.end()),
                                   c.mono ? 1.0 / 32768 : 0.0));
        odd.setStartPoint(10.0);
        odd.rewind();
        EXPECT_EQ(odd.getOffset(), int(kFrames));
        EXPECT_TRUE(readAll(odd, 512).empty() && odd.atEnd());
    }
}

// Bad input is an error naming the file and the cause, and the reader stays
// usable. With the encoder's info header a loss is known, and a file cut short
// (inside a frame) is told from one broken in the middle (bytes overwritten
// across frame headers); both go through the one frame walk, whatever the bit rate mode.
TEST_F(Mp3Reader, BadFilesFailWithTheirNameAndCause) {
    enum How { Missing, Junk, Empty, Cut, CutAtFrame, Overwrite };
    const struct {
        const char* file;
        How how;
        double part;  // where the cut or the damage is, as a part of the file
        const char* says;
        const char* never;
    } cases[] = {
        {"stereo44cbr.mp3", Missing, 0, "No such file", "damaged"},
        {"stereo44cbr.mp3", Junk, 0, "", "truncated"},
        {"stereo44cbr.mp3", Empty, 0, "", "damaged"},
        {"stereo48vbr.mp3", Cut, 0.6, "File is truncated: it ends inside MP3 frame", "damaged"},
        {"stereo44cbr.mp3", CutAtFrame, 0.5, "File is truncated: it ends after MP3 frame", "damaged"},
        {"stereo44cbr.mp3", Overwrite, 0.5, "File is damaged: the MP3 data is broken at byte", "truncated"},
        // A cut inside the first audio frames leaves nothing to decode at all.
        {"stereo48vbr.mp3", Cut, 0.03, "no audio frame", "damaged"},
    };
    SoundReaderMp3 reader;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.file << " " << int(c.how) << " " << c.part);
        QByteArray bytes = tk::fileBytes(path(c.file));
        const int at = int(bytes.size() * c.part) + 77;  // inside a frame
        if (c.how == Junk) {
            // Damaged and random streams in quantity are the fuzz corpus's; one here.
            std::mt19937 gen(12345);
            bytes = QByteArray(64 * 1024, '\0');
            for (char& b : bytes) b = char(gen());
        } else if (c.how == Empty) {
            bytes.clear();
        } else if (c.how == Overwrite) {
            bytes.replace(at, 3000, QByteArray(3000, '\x55'));
        } else if (c.how == Cut) {
            bytes.truncate(at);
        } else if (c.how == CutAtFrame) {
            const int boundary = frameBoundaryAfter(bytes, at);
            ASSERT_TRUE(boundary > at && boundary < bytes.size());
            bytes.truncate(boundary);
        }
        const QString file = path(c.how == Missing ? "missing.mp3" : "variant.mp3");
        ASSERT_TRUE(c.how == Missing || tk::writeBytes(file, bytes));
        EXPECT_EQ(reader.open(file), SoundTools::Error);
        const QString error = SoundDebuggableClass::getError();
        EXPECT_TRUE(error.contains(file) && error.contains(c.says) && !error.contains(c.never)) << qPrintable(error);
        EXPECT_EQ(reader.getFrameNB(), 0u);
        EXPECT_TRUE(readAll(reader, 4).empty());  // a closed reader reads nothing
    }
    ASSERT_EQ(reader.open(path("stereo44cbr.mp3")), SoundTools::Ok);
    EXPECT_EQ(readAll(reader, 4096).size(), kFrames);
}

// Without the info header a cut stream simply ends early: what there is matches
// the whole file's decoding, except the last frame before the cut, whose
// overlapping successor is missing.
TEST_F(Mp3Reader, TruncatedFileWithoutInfoHeaderGivesTheFramesItHolds) {
    SoundReaderMp3 full;
    ASSERT_EQ(full.open(path("noinfo44.mp3")), SoundTools::Ok);
    const Frames whole = readAll(full, 4096);
    EXPECT_GT(whole.size(), kFrames);  // nothing tells the decoder the encoder's delay and padding
    const QByteArray cbr = tk::fileBytes(path("noinfo44.mp3"));
    const QString file = path("cut-noinfo.mp3");
    ASSERT_TRUE(tk::writeBytes(file, cbr.left(int(cbr.size() * 0.6) + 77)));
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(file), SoundTools::Ok) << qPrintable(SoundDebuggableClass::getError());
    const Frames got = readAll(reader, 1024);
    EXPECT_TRUE(reader.atEnd());
    EXPECT_EQ(got.size(), reader.getFrameNB());
    EXPECT_NEAR(double(got.size()), 0.6 * double(whole.size()), 2 * 1152.0);
    const long compare = long(got.size()) - 1152;
    ASSERT_GT(compare, 0);
    EXPECT_TRUE(tk::framesNear(Frames(got.begin(), got.begin() + compare), Frames(whole.begin(), whole.begin() + compare),
                               0.0));
}

}  // namespace
