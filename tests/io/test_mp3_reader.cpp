// SoundReaderMp3 against files made by the lame command and tags added with
// mutagen; decoded frames are compared with ffmpeg's decoder.
#include <QFile>
#include <cmath>
#include <memory>
#include <random>

#include "common/ExternalAudio.h"
#include "common/FileKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundMp3.h"

namespace {

using tk::Frame;
using tk::Frames;
using tk::readAll;

// 440 Hz at 0.5 on the left, 1 kHz at 0.25 on the right.
Frames twoTones(size_t n, unsigned rate) {
    Frames f = tk::sine(n, rate, 440.0, 0.5);
    const Frames r = tk::sine(n, rate, 1000.0, 0.25);
    for (size_t i = 0; i < n; ++i) f[i].r = r[i].r;
    return f;
}

bool lame(const QString& wav, const QString& mp3, const std::string& options) {
    return tk::runCommand("lame --quiet " + options + " " + tk::shellQuote(wav) + " " + tk::shellQuote(mp3) +
                          " 2>&1") == 0;
}



const char* kTagScript = R"PY(
import sys
from mutagen.id3 import ID3, TIT2, TPE1, TALB, TDRC, TRCK, TCON, COMM, APIC
path, version, cover = sys.argv[1], int(sys.argv[2]), sys.argv[3]
t = ID3()
t.add(TIT2(encoding=3, text="Caf\u00e9 \u2013 \u6771\u4eac"))
t.add(TPE1(encoding=3, text="The Artist"))
t.add(TALB(encoding=3, text="An Album"))
t.add(TDRC(encoding=3, text="2019"))
t.add(TRCK(encoding=3, text="3/12"))
t.add(TCON(encoding=3, text="Jazz"))
t.add(COMM(encoding=3, lang="eng", desc="", text="A comment"))
t.add(APIC(encoding=3, mime="image/png", type=3, desc="front", data=open(cover, "rb").read()))
t.save(path, v2_version=version)
)PY";

constexpr size_t kFrames = 2 * 44100 + 1234;  // not a whole number of MP3 frames

class Mp3Reader : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!tk::haveTool("lame")) return;
        dir = std::make_unique<tk::TempDir>();
        const QString w44 = dir->path("s44.wav"), w48 = dir->path("s48.wav");
        const QString m44 = dir->path("m44.wav"), m48 = dir->path("m48.wav");
        ASSERT_TRUE(tk::writeWav16(w44, twoTones(kFrames, 44100), 44100, 2));
        ASSERT_TRUE(tk::writeWav16(w48, twoTones(kFrames, 48000), 48000, 2));
        ASSERT_TRUE(tk::writeWav16(m44, twoTones(kFrames, 44100), 44100, 1));
        ASSERT_TRUE(tk::writeWav16(m48, twoTones(kFrames, 48000), 48000, 1));
        ASSERT_TRUE(lame(w44, dir->path("stereo44cbr.mp3"), "-b 192"));
        ASSERT_TRUE(lame(w48, dir->path("stereo48vbr.mp3"), "-V 2"));
        ASSERT_TRUE(lame(m44, dir->path("mono44vbr.mp3"), "-V 4"));
        ASSERT_TRUE(lame(m48, dir->path("mono48cbr.mp3"), "-b 128"));
        ASSERT_TRUE(lame(w44, dir->path("noinfo44.mp3"), "-t -b 192"));
        ASSERT_TRUE(tk::writeBytes(dir->path("cover.png"), tk::pngCover()));
        ASSERT_TRUE(lame(w44, dir->path("lametags.mp3"),
                         "-b 128 --id3v2-only --tt 'Lame Title' --ta 'Lame Artist' --tl 'Lame Album' --ty 1999 "
                         "--tn 7 --tg Rock --tc 'lame comment' --ti " +
                             tk::shellQuote(dir->path("cover.png"))));
    }
    static void TearDownTestSuite() { dir.reset(); }
    void SetUp() override {
        if (!dir) GTEST_SKIP() << "the lame command is not installed";
    }
    static QString path(const char* name) { return dir->path(name); }

    static std::unique_ptr<tk::TempDir> dir;
};
std::unique_ptr<tk::TempDir> Mp3Reader::dir;

TEST_F(Mp3Reader, DecodesToTheExactLengthAsAnotherDecoderDoes) {
    struct Case {
        const char* file;
        unsigned rate;
        bool mono;
    } cases[] = {
        {"stereo44cbr.mp3", 44100, false},
        {"stereo48vbr.mp3", 48000, false},
        {"mono44vbr.mp3", 44100, true},
        {"mono48cbr.mp3", 48000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        SoundReaderMp3 reader;
        ASSERT_EQ(reader.open(path(c.file)), SoundTools::Ok) << qPrintable(SoundDebuggableClass::getError());
        EXPECT_EQ(reader.getSampleRate(), c.rate);
        EXPECT_EQ(reader.getInputFormat(), SoundTools::Pcm16);
        // The encoder's info header carries its delay and padding: the decoder
        // gives back exactly the source's frames.
        EXPECT_EQ(reader.getFrameNB(), kFrames);
        const Frames got = readAll(reader, 4096);
        ASSERT_EQ(got.size(), kFrames);
        EXPECT_TRUE(reader.atEnd());
        if (c.mono) {
            // One channel widened to two equal ones.
            for (const Frame& f : got) ASSERT_EQ(f.l, f.r);
        }
        // Another decoder is the model; reading in odd blocks changes nothing.
        Frames reference;
        ASSERT_TRUE(tk::decodeWithFfmpeg(path(c.file), &reference));
        EXPECT_TRUE(tk::framesNear(got, reference, 3.0 / 32768.0));
        SoundReaderMp3 odd;
        ASSERT_EQ(odd.open(path(c.file)), SoundTools::Ok);
        EXPECT_TRUE(tk::framesNear(readAll(odd, 777), got, 0.0));
    }
}

TEST_F(Mp3Reader, RewindAppliesTheStartPoint) {
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(path("stereo44cbr.mp3")), SoundTools::Ok);
    const Frames whole = readAll(reader, 4096);
    reader.setStartPoint(1.0);
    EXPECT_EQ(reader.getOffset(), int(kFrames));  // nothing changes before rewind
    reader.rewind();
    EXPECT_FALSE(reader.atEnd());
    EXPECT_EQ(reader.getOffset(), 44100);
    const Frames tail = readAll(reader, 1000);
    ASSERT_EQ(tail.size(), kFrames - 44100);
    EXPECT_TRUE(tk::framesNear(tail, Frames(whole.begin() + 44100, whole.end()), 0.0));

    // Beyond the end: positioned at the end, the next read yields nothing.
    reader.setStartPoint(10.0);
    reader.rewind();
    EXPECT_EQ(reader.getOffset(), int(kFrames));
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(512, 2);
    EXPECT_EQ(reader.stereoRead(buffer, 0), 0u);
    EXPECT_TRUE(reader.atEnd());
}

TEST_F(Mp3Reader, TagsAndCoverComeBackFromMutagenAndLameTags) {
    SoundIDTag mutagen, lame;
    mutagen.title = "Caf\xC3\xA9 \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC";
    mutagen.artist = "The Artist";
    mutagen.album = "An Album";
    mutagen.year = "2019";
    mutagen.track = "3";
    mutagen.genre = "Jazz";
    mutagen.comment = "A comment";
    lame.title = "Lame Title";
    lame.artist = "Lame Artist";
    lame.album = "Lame Album";
    lame.year = "1999";
    lame.track = "7";
    lame.genre = "Rock";
    lame.comment = "lame comment";
    for (SoundIDTag* t : {&mutagen, &lame}) {
        t->cover = tk::pngCover();
        t->coverMimeType = "image/png";
    }
    for (int version : {3, 4}) {
        SCOPED_TRACE(version);
        const QString file = path(version == 3 ? "tagged23.mp3" : "tagged24.mp3");
        QFile::remove(file);
        ASSERT_TRUE(QFile::copy(path("stereo44cbr.mp3"), file));
        ASSERT_EQ(tk::runPython(kTagScript, tk::shellQuote(file) + " " + std::to_string(version) + " " +
                                                tk::shellQuote(path("cover.png"))),
                  0)
            << "python3-mutagen is needed";
        SoundReaderMp3 reader;
        ASSERT_EQ(reader.open(file), SoundTools::Ok);
        SoundIDTag tag;
        tag.title = "stale";
        EXPECT_TRUE(reader.getTags(tag));
        EXPECT_EQ(tk::tagText(tag), tk::tagText(mutagen));
        EXPECT_EQ(reader.getFrameNB(), kFrames);  // the tag in front does not change the audio
    }
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(path("lametags.mp3")), SoundTools::Ok);
    SoundIDTag tag;
    EXPECT_TRUE(reader.getTags(tag));
    EXPECT_EQ(tk::tagText(tag), tk::tagText(lame));
}

TEST_F(Mp3Reader, UntaggedFileGivesNumbersOnlyAndANonAsciiNameOpens) {
    const QString odd = path("t\xC3\xABst \xE9\x9F\xB3.mp3");
    ASSERT_TRUE(QFile::copy(path("mono44vbr.mp3"), odd));
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(odd), SoundTools::Ok);
    SoundIDTag tag;
    tag.cover = "old";
    EXPECT_TRUE(reader.getTags(tag));  // year and track always hold a number
    SoundIDTag numbers;
    numbers.year = numbers.track = "0";
    EXPECT_EQ(tk::tagText(tag), tk::tagText(numbers));
    EXPECT_EQ(readAll(reader, 4096).size(), kFrames);
}

// ---------------------------------------------------------------- bad input

void expectErrorNaming(SoundReaderMp3& reader, const QString& file) {
    EXPECT_EQ(reader.open(file), SoundTools::Error);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains(file)) << qPrintable(SoundDebuggableClass::getError());
    EXPECT_EQ(reader.getFrameNB(), 0u);
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(4, 2);
    EXPECT_EQ(reader.stereoRead(buffer, 0), 0u);  // a closed reader reads nothing
}

TEST_F(Mp3Reader, MissingRandomEmptyAndTagOnlyFilesFailWithTheirName) {
    SoundReaderMp3 reader;
    expectErrorNaming(reader, path("missing.mp3"));
    EXPECT_TRUE(SoundDebuggableClass::getError().contains("No such file")) << qPrintable(SoundDebuggableClass::getError());

    // Damaged and random streams in quantity are the fuzz corpus's; one here.
    std::mt19937 gen(12345);
    QByteArray junk(64 * 1024, '\0');
    for (char& c : junk) c = char(gen());
    ASSERT_TRUE(tk::writeBytes(path("junk.mp3"), junk));
    expectErrorNaming(reader, path("junk.mp3"));

    ASSERT_TRUE(tk::writeBytes(path("empty.mp3"), QByteArray()));
    expectErrorNaming(reader, path("empty.mp3"));

    // A valid tag with nothing after it.
    const QByteArray tagged = tk::fileBytes(path("lametags.mp3"));
    ASSERT_GT(tagged.size(), 10);
    const int tagSize = 10 + ((tagged[6] & 0x7f) << 21 | (tagged[7] & 0x7f) << 14 | (tagged[8] & 0x7f) << 7 | (tagged[9] & 0x7f));
    ASSERT_TRUE(tk::writeBytes(path("tagonly.mp3"), tagged.left(tagSize)));
    expectErrorNaming(reader, path("tagonly.mp3"));

    // The reader is still usable after failures.
    ASSERT_EQ(reader.open(path("stereo44cbr.mp3")), SoundTools::Ok);
    EXPECT_EQ(readAll(reader, 4096).size(), kFrames);
}

TEST_F(Mp3Reader, TruncatedFileFailsWhenItsHeaderTellsElseGivesTheFramesItHolds) {
    // With the encoder's info header the loss is known: an error naming the
    // file, which tells a file cut short (inside a frame) from one whose data is
    // broken in the middle (bytes overwritten across frame headers), for a
    // variable and a constant bit rate.
    struct Case {
        const char* file;
        double part;     // where the cut or the damage is, as a part of the file
        bool overwrite;  // overwrite 3000 bytes there instead of cutting
        const char* says;
        const char* never;
    };
    const Case cases[] = {
        {"stereo48vbr.mp3", 0.6, false, "File is truncated: it ends inside MP3 frame", "damaged"},
        {"stereo44cbr.mp3", 0.7, false, "File is truncated: it ends inside MP3 frame", "damaged"},
        {"stereo48vbr.mp3", 0.4, true, "File is damaged: the MP3 data is broken at byte", "truncated"},
        {"stereo44cbr.mp3", 0.5, true, "File is damaged: the MP3 data is broken at byte", "truncated"},
        {"ffmpeg.mp3", 0.55, false, "File is truncated: it ends inside MP3 frame", "damaged"},
        {"ffmpeg.mp3", 0.45, true, "File is damaged: the MP3 data is broken at byte", "truncated"},
        // A cut inside the first audio frames leaves nothing to decode at all.
        {"stereo48vbr.mp3", 0.03, false, "no audio frame", "damaged"},
    };
    // ffmpeg's output, with its own info header, when ffmpeg is there.
    const bool ffmpeg = tk::haveTool("ffmpeg") &&
                        tk::runCommand("ffmpeg -v error -y -i " + tk::shellQuote(path("s44.wav")) + " -b:a 160k " +
                                       tk::shellQuote(path("ffmpeg.mp3"))) == 0;
    for (const Case& c : cases) {
        if (!ffmpeg && std::string(c.file) == "ffmpeg.mp3") continue;
        SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.part) + (c.overwrite ? " overwritten" : " cut"));
        QByteArray bytes = tk::fileBytes(path(c.file));
        const int at = int(bytes.size() * c.part) + 77;  // inside a frame
        if (c.overwrite)
            bytes.replace(at, 3000, QByteArray(3000, '\x55'));
        else
            bytes.truncate(at);
        const QString file = path("variant.mp3");
        ASSERT_TRUE(tk::writeBytes(file, bytes));
        SoundReaderMp3 reader;
        EXPECT_EQ(reader.open(file), SoundTools::Error);
        const QString error = SoundDebuggableClass::getError();
        EXPECT_TRUE(error.contains(file) && error.contains(c.says) && !error.contains(c.never)) << qPrintable(error);
    }

    // Without it the stream simply ends early: a short read.
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
    // What there is matches the whole file's decoding, except the last frame
    // before the cut, whose overlapping successor is missing.
    const long compare = long(got.size()) - 1152;
    ASSERT_GT(compare, 0);
    EXPECT_TRUE(tk::framesNear(Frames(got.begin(), got.begin() + compare), Frames(whole.begin(), whole.begin() + compare),
                               0.0));
}

}  // namespace
