// SoundWriterMp3 through the factory, checked with other tools: mpg123 plays the
// file, ffprobe reports its stream and tags, ffmpeg decodes it, mutagen reads
// its picture frames.
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <limits>
#include <memory>

#include "common/ExternalAudio.h"
#include "common/FileKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundMp3.h"

namespace {

using tk::Frame;
using tk::Frames;

constexpr double kEncoderGain = 31129.6 / 32768.0;  // the writer's headroom

SoundTools::Status writeFile(SoundWriter& writer, const QString& name, const Frames& frames, unsigned rate,
                             unsigned block = 1024) {
    return tk::writeThrough(writer, name, frames, rate, block);
}

std::unique_ptr<SoundWriter> mp3Writer(const QString& name, unsigned rate, unsigned kbps = 192) {
    return std::unique_ptr<SoundWriter>(SoundWriter::getFromFilename(name, rate, kbps, SoundTools::Pcm16));
}


// Least-squares gain of `got` against `model` and the relative rms of what the
// gain leaves unexplained; both over the same number of frames.
struct Fit {
    double gain;
    double residual;
};
Fit fit(const Frames& got, const Frames& model) {
    double xy = 0, xx = 0;
    for (size_t i = 0; i < model.size(); ++i) {
        xy += got[i].l * model[i].l + got[i].r * model[i].r;
        xx += model[i].l * model[i].l + model[i].r * model[i].r;
    }
    const double g = xy / xx;
    double e = 0;
    for (size_t i = 0; i < model.size(); ++i) {
        const double dl = got[i].l - g * model[i].l, dr = got[i].r - g * model[i].r;
        e += dl * dl + dr * dr;
    }
    return {g, std::sqrt(e / (xx * g * g))};
}

// Tones, different on each side. Tonal content survives the encoder nearly
// sample for sample, so that level and alignment can be checked frame by frame
// (noise keeps its level but not its waveform).
Frames music(size_t n, unsigned rate) {
    Frames f(n);
    const double w = 2 * M_PI / rate;
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i);
        f[i] = Frame(0.4 * std::sin(w * 997 * t) + 0.2 * std::sin(w * 180 * t),
                     0.3 * std::sin(w * 300 * t + 1) + 0.15 * std::sin(w * 2500 * t));
    }
    return f;
}

class Mp3Writer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SoundWriterMp3::Init()) GTEST_SKIP() << "LAME is not installed";
    }
    tk::TempDir dir;
};

TEST(Mp3WriterSamples, ScaledTruncatedAndSaturated) {
    struct Case {
        double in;
        short out;
    } cases[] = {
        {0.0, 0},        {1.0, 31129},       {-1.0, -31129},  {0.5, 15564}, {-0.5, -15564},
        {1.0526, 32767}, {1.06, 32767},      {-1.06, -32768}, {40.0, 32767}, {-1e9, -32768},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const Case& c : cases) EXPECT_EQ(SoundWriterMp3::toPcm16(c.in), c.out) << c.in;
}

TEST_F(Mp3Writer, OtherToolsPlayItAtItsRateLengthAndLevel) {
    struct Case {
        unsigned rate;
        unsigned kbps;
    } cases[] = {{44100, 192}, {48000, 128}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        const size_t n = 2 * c.rate + 555;
        const Frames in = music(n, c.rate);
        const QString name = dir.path(QString("out%1.mp3").arg(c.rate));
        auto writer = mp3Writer(name, c.rate, c.kbps);
        ASSERT_NE(dynamic_cast<SoundWriterMp3*>(writer.get()), nullptr);
        EXPECT_EQ(writer->getChannelNum(), 2u);
        ASSERT_EQ(writeFile(*writer, name, in, c.rate), SoundTools::Ok) << qPrintable(SoundDebuggableClass::getError());
        EXPECT_FALSE(writer->hasFailed());
        EXPECT_EQ(writer->getCurrentOffset(), int(n));

        std::string pcm;
        EXPECT_EQ(tk::runCommand("mpg123 -q -s " + tk::shellQuote(name) + " 2>/dev/null", &pcm), 0);
        EXPECT_EQ(pcm.size(), n * 4);  // gapless: exactly the frames written

        const auto info = tk::ffprobe(name, "stream=sample_rate,channels,codec_name:format=duration");
        EXPECT_EQ(info.at("codec_name"), "mp3");
        EXPECT_EQ(info.at("sample_rate"), std::to_string(c.rate));
        EXPECT_EQ(info.at("channels"), "2");
        // ffprobe counts whole MP3 frames, the encoder's delay and padding
        // included (at most three frames more); decoders trim them (below).
        const double seconds = double(n) / c.rate;
        EXPECT_GE(std::stod(info.at("duration")), seconds);
        EXPECT_LE(std::stod(info.at("duration")), seconds + 3 * 1152.0 / c.rate);
        const double kbps = 8.0 * QFileInfo(name).size() / (double(n) / c.rate) / 1000.0;
        EXPECT_NEAR(kbps, double(c.kbps), 0.1 * c.kbps);

        // Another decoder gives the frames back in place at 95 % of their level.
        Frames decoded;
        ASSERT_TRUE(tk::decodeWithFfmpeg(name, &decoded));
        ASSERT_EQ(decoded.size(), n);
        // (The encoder itself takes up to half a decibel off pure tones; the
        // comparison with the lame command below is the exact check.)
        const Fit f = fit(decoded, in);
        EXPECT_NEAR(f.gain, kEncoderGain, 0.06);
        EXPECT_LT(f.residual, 0.05);

        // The lame command, given the 16-bit samples the writer hands the encoder
        // and the same settings, makes the same stream.
        Frames pcm16(n);
        for (size_t i = 0; i < n; ++i)
            pcm16[i] = Frame(SoundWriterMp3::toPcm16(in[i].l) / 32767.0, SoundWriterMp3::toPcm16(in[i].r) / 32767.0);
        const QString wav = dir.path("model.wav"), reference = dir.path("model.mp3");
        ASSERT_TRUE(tk::writeWav16(wav, pcm16, c.rate, 2));
        ASSERT_EQ(tk::runCommand("lame --quiet -m j -q 5 -b " + std::to_string(c.kbps) + " " + tk::shellQuote(wav) +
                                 " " + tk::shellQuote(reference)),
                  0);
        Frames expected;
        ASSERT_TRUE(tk::decodeWithFfmpeg(reference, &expected));
        EXPECT_LT(tk::maxAbsDiff(decoded, expected), 1e-3);

        // And so does the library's reader.
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(name));
        ASSERT_NE(dynamic_cast<SoundReaderMp3*>(reader.get()), nullptr);
        ASSERT_EQ(reader->open(name), SoundTools::Ok);
        EXPECT_EQ(reader->getFrameNB(), n);
    }
}

TEST_F(Mp3Writer, MonoEncoder) {
    const unsigned rate = 48000;
    const size_t n = rate;
    SoundWriterMp3 writer(rate, 1, 96);
    EXPECT_EQ(writer.getChannelNum(), 1u);
    // A mono writer takes mono buffers.
    const QString name = dir.path("mono.mp3");
    ASSERT_EQ(writer.open(name), SoundTools::Ok);
    auto buffer = SoundBuffer::createNew(rate);
    buffer->alloc(unsigned(n), 1);
    buffer->setFrameNB(unsigned(n));
    for (size_t i = 0; i < n; ++i) buffer->getRelFrame(int(i))[0] = 0.5 * std::sin(2 * M_PI * 500.0 * double(i) / rate);
    ASSERT_EQ(writer.writeBuffer(buffer, 0), SoundTools::Ok);
    writer.close();
    EXPECT_FALSE(writer.hasFailed());
    const auto info = tk::ffprobe(name, "stream=sample_rate,channels");
    EXPECT_EQ(info.at("channels"), "1");
    EXPECT_EQ(info.at("sample_rate"), "48000");
    Frames decoded;
    ASSERT_TRUE(tk::decodeWithFfmpeg(name, &decoded));
    ASSERT_EQ(decoded.size(), n);
    const Fit f = fit(decoded, tk::sine(n, rate, 500.0, 0.5));
    EXPECT_NEAR(f.gain, kEncoderGain, 0.06);
    EXPECT_LT(f.residual, 0.05);
}

TEST_F(Mp3Writer, BlockSizeDoesNotChangeTheFile) {
    const unsigned rate = 44100;
    const Frames in = music(rate + 999, rate);
    const QString a = dir.path("a.mp3"), b = dir.path("b.mp3");
    auto wa = mp3Writer(a, rate), wb = mp3Writer(b, rate);
    ASSERT_EQ(writeFile(*wa, a, in, rate, 4096), SoundTools::Ok);
    ASSERT_EQ(writeFile(*wb, b, in, rate, 333), SoundTools::Ok);
    const QByteArray fa = tk::fileBytes(a);
    EXPECT_GT(fa.size(), 10000);
    EXPECT_TRUE(fa == tk::fileBytes(b));
}

const char* kPictureScript = R"PY(
import sys
from mutagen.id3 import ID3
t = ID3(sys.argv[1])
pictures = t.getall("APIC")
print(len(pictures))
for p in pictures:
    print(p.desc)
    print(p.mime)
    print(int(p.type))
    print(p.data.hex())
)PY";

TEST_F(Mp3Writer, TagsAndCoverAreReadBackByOtherTools) {
    if (tk::mutagenPython().empty()) GTEST_SKIP() << "python3-mutagen is not installed";
    const unsigned rate = 44100;
    const QByteArray cover = tk::pngCover();

    SoundIDTag tags;
    tags.title = "Caf\xC3\xA9 \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC";  // UTF-8 beyond Latin-1
    tags.artist = "The Artist";
    tags.album = "An \xC3\x84lbum";
    tags.year = "2019";
    tags.track = "03";
    tags.genre = "Jazz";
    tags.comment = "Written by the tests";
    tags.cover = cover;
    tags.coverMimeType = "image/png";

    const QString name = dir.path("tagged.mp3");
    auto writer = mp3Writer(name, rate);
    writer->setTags(tags);  // before open: kept until close
    ASSERT_EQ(writeFile(*writer, name, music(rate / 2, rate), rate), SoundTools::Ok);
    EXPECT_FALSE(writer->hasFailed());

    const std::map<std::string, std::string> probed = {
        {"TAG:title", tags.title}, {"TAG:artist", tags.artist}, {"TAG:album", tags.album}, {"TAG:date", "2019"},
        {"TAG:track", "3"},        {"TAG:genre", "Jazz"},       {"TAG:comment", tags.comment}};
    const auto info = tk::ffprobe(name, "format_tags");
    for (const auto& kv : probed) EXPECT_EQ(info.count(kv.first) ? info.at(kv.first) : "(none)", kv.second) << kv.first;
    std::string out;
    ASSERT_EQ(tk::runPython(kPictureScript, tk::shellQuote(name), &out), 0);
    EXPECT_EQ(out, "1\nCover\nimage/png\n3\n" + cover.toHex().toStdString() + "\n");

    // The library's reader gives the same record back.
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(name), SoundTools::Ok);
    SoundIDTag back, expected = tags;
    expected.track = "3";
    EXPECT_TRUE(reader.getTags(back));
    EXPECT_EQ(tk::tagText(back), tk::tagText(expected));
    EXPECT_EQ(reader.getFrameNB(), rate / 2);  // the tag in front does not disturb the audio

    // Without a cover no picture frame; a track that is not a plain number is dropped.
    tags.cover.clear();
    tags.coverMimeType.clear();
    tags.track = "3/12";
    const QString plain = dir.path("plain.mp3");
    auto second = mp3Writer(plain, rate);
    second->setTags(tags);
    ASSERT_EQ(writeFile(*second, plain, music(rate / 4, rate), rate), SoundTools::Ok);
    ASSERT_EQ(tk::runPython(kPictureScript, tk::shellQuote(plain), &out), 0);
    EXPECT_EQ(out, "0\n");
    const auto plainInfo = tk::ffprobe(plain, "format_tags");
    EXPECT_EQ(plainInfo.count("TAG:track"), 0u);
    EXPECT_EQ(plainInfo.at("TAG:title"), tags.title);
}

// ---------------------------------------------------------------- failures

TEST_F(Mp3Writer, OpensOnceAndNeverAfterClose) {
    const QString name = dir.path("once.mp3");
    SoundWriterMp3 writer(44100, 2, 128);
    ASSERT_EQ(writer.open(name), SoundTools::Ok);
    EXPECT_EQ(writer.open(dir.path("twice.mp3")), SoundTools::Error);
    EXPECT_FALSE(QFileInfo::exists(dir.path("twice.mp3")));
    writer.close();  // no frame written: still a valid, empty stream
    EXPECT_FALSE(writer.hasFailed());
    EXPECT_EQ(writer.open(name), SoundTools::Error);
    EXPECT_FALSE(SoundDebuggableClass::getError().isEmpty());
    EXPECT_EQ(tk::runCommand("mpg123 -q -t " + tk::shellQuote(name) + " 2>/dev/null"), 0);
}

}  // namespace
