#include <QDir>
#include <cmath>
#include <cstring>
#include <memory>

#include "common/ExternalAudio.h"
#include "common/FileKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundSndfile.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
std::string q(const QString& s) { return "'" + s.toStdString() + "'"; }

// Decodes a file with sox into stereo doubles: the independent reading of it.
// Files of six channels (sox writes them as 5.1) are mixed down by sox with the
// ITU-R BS.775 weights (centre and surrounds -3 dB, no LFE).
Frames soxDecode(const QString& file, int channels) {
    const std::string remix = channels == 1   ? " remix 1 1"
                              : channels == 6 ? " remix -m 1,3v0.70710678,5v0.70710678 2,3v0.70710678,6v0.70710678"
                                              : "";
    std::string raw;
    EXPECT_EQ(tk::runCommand("sox " + q(file) + " -t f64 -" + remix + " 2>/dev/null", &raw), 0) << file.toStdString();
    Frames f(raw.size() / sizeof(Frame));
    std::memcpy(f.data(), raw.data(), f.size() * sizeof(Frame));
    return f;
}
}  // namespace

class SndfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tk::haveTool("sox") || !tk::haveTool("ffprobe")) GTEST_SKIP() << "sox and ffprobe are needed";
    }
    tk::TempDir dir;
};

// Every format both ways: a file sox makes is read as the doubles sox decodes it
// to (mono widened, 5.1 mixed down), and what the library writes in it
// ffprobe names by its codec and sox reads back within the format's quantisation.
TEST_F(SndfileTest, EveryFormatReadAsSoxDecodesItAndWrittenForSoxToRead) {
    const Frames signal = tk::mixedStereo(kRate + 123, kRate);
    const struct {
        const char* name;
        const char* soxArgs;
        int channels;
        SoundTools::SoundFormat format, writeAs;
        const char* codec;  // null: not written
        double tolerance;   // of what is written, full scale 1.0; negative: lossy
    } cases[] = {
        {"u8.wav", "-b 8 -e unsigned-integer", 2, SoundTools::Pcm8, SoundTools::Pcm8, "pcm_u8", 1.0 / 64},
        {"s16.wav", "-b 16", 2, SoundTools::Pcm16, SoundTools::Pcm16, "pcm_s16le", 1.0 / 16384},
        {"s24.wav", "-b 24", 2, SoundTools::Pcm24, SoundTools::Pcm24, "pcm_s24le", 1e-6},
        {"s32.wav", "-b 32 -e signed-integer", 2, SoundTools::Pcm32, SoundTools::Pcm32, "pcm_s32le", 1e-8},
        {"f32.wav", "-b 32 -e floating-point", 2, SoundTools::Float, SoundTools::Float, "pcm_f32le", 1e-7},
        // sox itself works in 32-bit integers
        {"f64.wav", "-b 64 -e floating-point", 2, SoundTools::Double, SoundTools::Double, "pcm_f64le", 1e-9},
        {"mono.wav", "-b 16", 1, SoundTools::Pcm16, SoundTools::Pcm16, nullptr, 0},
        {"six.wav", "-b 16", 6, SoundTools::Pcm16, SoundTools::Pcm16, nullptr, 0},
        {"s16.flac", "-b 16", 2, SoundTools::Pcm16, SoundTools::Pcm16, "flac", 1.0 / 16384},
        // float asked of FLAC gives 24-bit
        {"s24.flac", "-b 24", 2, SoundTools::Pcm24, SoundTools::Float, "flac", 1e-6},
        {"q.ogg", "", 2, SoundTools::Pcm16, SoundTools::Pcm16, "vorbis", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = dir.path(c.name);
        ASSERT_EQ(tk::runCommand("sox -n -r 48000 -c " + std::to_string(c.channels) + " " + c.soxArgs + " " + q(file) +
                                 " synth 0.7 sine 440 sine 1234 sine 200 sine 3000 sine 50 sine 9000 vol 0.3"),
                  0);
        auto r = tk::openReader(file);
        ASSERT_TRUE(r) << SoundDebuggableClass::getError().toStdString();
        EXPECT_EQ(r->getSampleRate(), 48000u);
        EXPECT_EQ(r->getInputFormat(), c.format);
        const Frames ours = tk::readAll(*r);
        EXPECT_TRUE(r->atEnd());
        EXPECT_EQ(ours.size(), size_t(r->getFrameNB()));
        // Vorbis decodes through floating point in two different programs.
        EXPECT_TRUE(tk::framesNear(ours, soxDecode(file, c.channels), c.tolerance < 0 ? 1e-3 : 1e-7));
        if (!c.codec) continue;

        const QString out = dir.path(QString("w-") + c.name);
        ASSERT_TRUE(tk::writeFile(out, signal, kRate, c.writeAs))
            << qPrintable(SoundDebuggableClass::getError());
        const auto info = tk::ffprobe(out, "stream=codec_name,sample_rate,channels");
        EXPECT_EQ(info.at("codec_name") + " " + info.at("sample_rate") + " " + info.at("channels"),
                  std::string(c.codec) + " 44100 2");
        const Frames back = soxDecode(out, 2);
        ASSERT_EQ(back.size(), signal.size());
        if (c.tolerance >= 0)
            EXPECT_TRUE(tk::framesNear(back, signal, c.tolerance));
        else  // lossy: the level survives
            EXPECT_NEAR(tk::db(tk::rms(back) / tk::rms(signal)), 0.0, 0.5);
        if (c.writeAs != c.format) {
            std::string bits;
            tk::runCommand("soxi -b " + q(out), &bits);
            EXPECT_EQ(bits, "24\n");
        }
    }
}

// The track is the first number followed by a separator anywhere in the name as
// given to open(); a name without one leaves the field alone.
TEST_F(SndfileTest, TrackNumberComesFromTheFileName) {
    const std::pair<const char*, const char*> cases[] = {
        {"03 - Song.wav", "03"},
        {"2019/03 - Song.wav", "2019"},  // the first match in the whole name
        {"03-Song.wav", "0"},            // '-' is no separator: the match backtracks into the digits
        {"track7.wav", "7"},
        {"Song.wav", nullptr},
    };
    ASSERT_TRUE(QDir(dir.root()).mkpath("2019"));
    // Names relative to the test folder, whose own path may hold digits.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.root()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        ASSERT_TRUE(tk::writeFile(c.first, tk::silence(100), kRate, SoundTools::Pcm16));
        auto r = tk::openReader(c.first);
        ASSERT_TRUE(r);
        SoundIDTag tag;
        tag.track = "untouched";
        EXPECT_FALSE(r->getTags(tag));  // no string tags in the file: a track alone is not a tag
        EXPECT_EQ(tag.track, c.second ? c.second : "untouched");
    }
    QDir::setCurrent(previous);
}

TEST_F(SndfileTest, RewindHonoursTheStartPoint) {
    const QString file = dir.path("r.wav");
    ASSERT_TRUE(tk::writeFile(file, tk::ramp(1000, 0.0), kRate, SoundTools::Double));
    auto r = tk::openReader(file);
    ASSERT_TRUE(r);
    r->setStartPoint(500.0 / kRate);
    r->rewind();
    EXPECT_EQ(r->getOffset(), 500);
    EXPECT_TRUE(tk::framesNear(tk::readAll(*r), tk::ramp(500, 500.0), 0.0));
    r->setStartPoint(10.0);  // beyond the end: back to the beginning
    r->rewind();
    EXPECT_EQ(r->getOffset(), 0);
    EXPECT_EQ(tk::readAll(*r).size(), 1000u);
}

// Bad input: every case is an Error whose text names the file, never a crash,
// and the closed reader is harmless. A header's sample rate is believed only
// inside the readable range; the bounds themselves open.
TEST_F(SndfileTest, UnreadableInputsAreErrorsNamingTheFile) {
    const QString full = dir.path("full.wav");
    ASSERT_TRUE(tk::writeFile(full, tk::noise(44100), kRate, SoundTools::Pcm16));
    ASSERT_EQ(tk::runCommand("head -c 100000 " + q(full) + " > " + q(dir.path("truncated.wav")) +
                             " && head -c 5000 /dev/urandom > " + q(dir.path("random.wav")) +
                             " && sox -n -r 8000 -c 9 " + q(dir.path("nine.wav")) + " synth 0.1 sine 440"),
              0);
    ASSERT_TRUE(QDir(dir.root()).mkpath("folder.wav"));
    const QByteArray bytes = tk::fileBytes(full);
    ASSERT_EQ(bytes.mid(12, 4), QByteArray("fmt "));
    QStringList names = {"folder.wav", "random.wav", "truncated.wav", "nine.wav"};
    for (long long rate : {SoundReader::kMinSampleRate - 1, SoundReader::kMinSampleRate, SoundReader::kMaxSampleRate,
                           SoundReader::kMaxSampleRate + 1, 2147483647LL}) {
        QByteArray patched = bytes;
        const uint32_t r = uint32_t(rate), byteRate = uint32_t(std::min<long long>(rate * 4, 0xFFFFFFFFll));
        for (int i = 0; i < 4; ++i) {
            patched[24 + i] = char((r >> (8 * i)) & 0xFF);
            patched[28 + i] = char((byteRate >> (8 * i)) & 0xFF);
        }
        names << QString("rate%1.wav").arg(rate);
        ASSERT_TRUE(tk::writeBytes(dir.path(names.back()), patched));
    }
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        const QString file = dir.path(name);
        const long long rate = name.startsWith("rate") ? name.mid(4).chopped(4).toLongLong() : 0;
        SoundReaderSndfile r;
        SoundDebuggableClass::setError("none");
        if (rate >= SoundReader::kMinSampleRate && rate <= SoundReader::kMaxSampleRate) {
            ASSERT_EQ(r.open(file), SoundTools::Ok);
            EXPECT_EQ(r.getSampleRate(), unsigned(rate));
            continue;
        }
        EXPECT_EQ(r.open(file), SoundTools::Error);
        const QString error = SoundDebuggableClass::getError();
        EXPECT_TRUE(error.contains(file) && (rate == 0 || error.contains("sample rate"))) << error.toStdString();
        EXPECT_EQ(r.getFileChannelNum(), 0u);
        EXPECT_TRUE(tk::readAll(r, 16).empty());
        SoundIDTag tag;
        EXPECT_FALSE(r.getTags(tag));
        r.rewind();
        r.close();
    }
}

// A WAV file counts its sizes in 32 bits: a stream announced longer than 4 GiB
// of samples is written as RF64, a shorter one as plain RIFF, and both read
// back whole.
TEST_F(SndfileTest, LongStreamsAreWrittenAsRf64) {
    const int64_t gib4 = int64_t(1) << 32;
    const struct {
        SoundTools::SoundFormat format;
        int bytes;  // per sample, by the format's definition
        int64_t frames;
    } cases[] = {
        {SoundTools::Pcm16, 2, gib4 / 4 - (1 << 20)}, {SoundTools::Pcm24, 3, gib4 / 6 + 1}, {SoundTools::Pcm8, 1, gib4 / 2 + 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "format " << int(c.format) << ", " << c.frames << " frames");
        const bool large = c.frames * 2 * c.bytes >= gib4 - 65536;
        EXPECT_EQ(SoundWriterSndfile::needsRf64(c.frames, 2, c.format), large);
        const QString file = dir.path("long.wav");
        SoundWriterSndfile w(kRate, 2, c.format, SoundWriterSndfile::Wav);
        w.setExpectedFrames(c.frames);
        ASSERT_EQ(tk::writeThrough(w, file, tk::noise(3000, 0.5), kRate), SoundTools::Ok);
        EXPECT_EQ(tk::fileBytes(file).left(4), QByteArray(large ? "RF64" : "RIFF"));
        SoundReaderSndfile back;
        ASSERT_EQ(back.open(file), SoundTools::Ok);
        EXPECT_EQ(back.getFrameNB(), 3000u);
    }
}

// 16-bit output: scale by 32768, round to nearest (ties to even), clip; NaN is 0.
TEST_F(SndfileTest, SixteenBitOutputRoundsAndClips) {
    const double nan = std::nan("");
    const std::vector<std::pair<double, int>> cases = {
        {1.5, 32767},  {-1.5, -32768},     {1.0, 32767},       {-1.0, -32768},           {nan, 0},      {0.5 / 32768, 0},
        {1.5 / 32768, 2}, {-2.5 / 32768, -2}, {0.25, 8192}, {-0.3, -9830}, {32766.6 / 32768, 32767}, {1e300, 32767},
    };
    // Long enough to pass through the vector loop and its scalar tail alike.
    Frames all;
    for (size_t i = 0; i < 3 * cases.size() + 1; ++i)
        all.push_back(Frame(cases[i % cases.size()].first, -cases[i % cases.size()].first));
    const QString file = dir.path("s16.wav");
    ASSERT_TRUE(tk::writeFile(file, all, kRate, SoundTools::Pcm16));
    const Frames back = soxDecode(file, 2);
    ASSERT_EQ(back.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        const auto& c = cases[i % cases.size()];
        EXPECT_EQ(int(std::lrint(back[i].l * 32768)), c.second) << "value " << c.first;
        if (std::fabs(c.first) < 1.0) {  // inside the range the rule is symmetric
            EXPECT_EQ(int(std::lrint(back[i].r * 32768)), -c.second) << "value " << -c.first;
        }
    }
}
