// SoundWriterMp3 checked with other tools: ffprobe reports its stream, ffmpeg
// decodes it, and the lame command given the same samples and settings makes
// the same stream.
#include <QFileInfo>
#include <cmath>
#include <limits>
#include <memory>

#include "common/ExternalAudio.h"
#include "common/FileKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundMp3.h"

namespace {

using tk::Frame;
using tk::Frames;

// Tones, different on each side. Tonal content survives the encoder nearly
// sample for sample, so that decoded streams compare frame by frame.
Frames music(size_t n, unsigned rate) {
    Frames f(n);
    const double w = 2 * M_PI / rate;
    for (size_t i = 0; i < n; ++i)
        f[i] = Frame(0.4 * std::sin(w * 997 * i) + 0.2 * std::sin(w * 180 * i),
                     0.3 * std::sin(w * 300 * i + 1) + 0.15 * std::sin(w * 2500 * i));
    return f;
}

class Mp3Writer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SoundWriterMp3::Init()) GTEST_SKIP() << "LAME is not installed";
    }
    tk::TempDir dir;
};

// Scaled to the writer's headroom (31129.6 / 32768), truncated, saturated.
TEST(Mp3WriterSamples, ScaledTruncatedAndSaturated) {
    const std::pair<double, short> cases[] = {
        {0.0, 0},        {1.0, 31129},  {-1.0, -31129},  {0.5, 15564},   {-0.5, -15564},
        {1.0526, 32767}, {1.06, 32767}, {-1.06, -32768}, {40.0, 32767},  {-1e9, -32768},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(SoundWriterMp3::toPcm16(c.first), c.second) << c.first;
}

// Stereo through the factory and mono through mono buffers: ffprobe sees the
// rate and channels, ffmpeg decodes exactly the frames written (gapless), and the
// lame command given the 16-bit samples the writer hands the encoder makes the
// same sound. The block size does not change the file.
TEST_F(Mp3Writer, OtherToolsDecodeWhatTheLameCommandMakesOfTheSameSamples) {
    const struct {
        unsigned rate, kbps, channels;
    } cases[] = {{44100, 192, 2}, {48000, 96, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.rate << " Hz, " << c.channels << " channels");
        const size_t n = 2 * c.rate + 555;
        Frames in = music(n, c.rate);
        if (c.channels == 1)
            for (Frame& f : in) f.r = f.l;
        const QString name = dir.path(QString("out%1-%2.mp3").arg(c.rate).arg(c.channels));
        if (c.channels == 2) {
            std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(name, c.rate, c.kbps, SoundTools::Pcm16));
            ASSERT_NE(dynamic_cast<SoundWriterMp3*>(writer.get()), nullptr);
            ASSERT_EQ(tk::writeThrough(*writer, name, in, c.rate), SoundTools::Ok)
                << qPrintable(SoundDebuggableClass::getError());
            EXPECT_FALSE(writer->hasFailed());
            EXPECT_EQ(writer->getCurrentOffset(), int(n));
            const QString odd = dir.path("odd.mp3");
            SoundWriterMp3 other(c.rate, 2, c.kbps);
            ASSERT_EQ(tk::writeThrough(other, odd, in, c.rate, 333), SoundTools::Ok);
            EXPECT_TRUE(tk::fileBytes(odd) == tk::fileBytes(name));
        } else {
            SoundWriterMp3 writer(c.rate, 1, c.kbps);
            ASSERT_EQ(writer.open(name), SoundTools::Ok);
            auto buffer = SoundBuffer::createNew(c.rate);
            buffer->alloc(unsigned(n), 1);
            buffer->setFrameNB(unsigned(n));
            for (size_t i = 0; i < n; ++i) buffer->getRelFrame(int(i))[0] = in[i].l;
            ASSERT_EQ(writer.writeBuffer(buffer, 0), SoundTools::Ok);
            writer.close();
            EXPECT_FALSE(writer.hasFailed());
        }
        const auto info = tk::ffprobe(name, "stream=sample_rate,channels,codec_name");
        EXPECT_EQ(info.at("codec_name") + " " + info.at("sample_rate") + " " + info.at("channels"),
                  "mp3 " + std::to_string(c.rate) + " " + std::to_string(c.channels));
        Frames decoded, expected;
        ASSERT_TRUE(tk::decodeWithFfmpeg(name, &decoded));
        ASSERT_EQ(decoded.size(), n);

        Frames pcm16(n);
        for (size_t i = 0; i < n; ++i)
            pcm16[i] = Frame(SoundWriterMp3::toPcm16(in[i].l) / 32767.0, SoundWriterMp3::toPcm16(in[i].r) / 32767.0);
        const QString wav = dir.path("model.wav"), reference = dir.path("model.mp3");
        ASSERT_TRUE(tk::writeWav16(wav, pcm16, c.rate, c.channels));
        ASSERT_EQ(tk::runCommand("lame --quiet -m " + std::string(c.channels == 2 ? "j" : "m") + " -q 5 -b " +
                                 std::to_string(c.kbps) + " " + tk::shellQuote(wav) + " " + tk::shellQuote(reference)),
                  0);
        ASSERT_TRUE(tk::decodeWithFfmpeg(reference, &expected));
        EXPECT_LT(tk::maxAbsDiff(decoded, expected), 1e-3);
        // The encoder's gain is the headroom's; pure tones lose up to half a decibel more.
        EXPECT_NEAR(tk::db(tk::rms(decoded) / tk::rms(in)), tk::db(31129.6 / 32768.0), 0.5);
    }
}

// A writer opens once: a second open, or one after close, is refused and makes
// no file; closed without a frame it leaves a valid, empty stream.
TEST_F(Mp3Writer, OpensOnceAndNeverAfterClose) {
    const QString name = dir.path("once.mp3");
    SoundWriterMp3 writer(44100, 2, 128);
    ASSERT_EQ(writer.open(name), SoundTools::Ok);
    EXPECT_EQ(writer.open(dir.path("twice.mp3")), SoundTools::Error);
    EXPECT_FALSE(QFileInfo::exists(dir.path("twice.mp3")));
    writer.close();
    EXPECT_FALSE(writer.hasFailed());
    EXPECT_EQ(writer.open(name), SoundTools::Error);
    EXPECT_FALSE(SoundDebuggableClass::getError().isEmpty());
    EXPECT_EQ(tk::runCommand("mpg123 -q -t " + tk::shellQuote(name) + " 2>/dev/null"), 0);
}

}  // namespace
