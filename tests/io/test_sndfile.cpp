#include <QDir>
#include <QFile>
#include <cmath>
#include <cstring>
#include <memory>

#include "common/FileKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundSndfile.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
using tk::openReader;
using tk::readAll;

bool writeFile(const QString& name, const Frames& frames, SoundTools::SoundFormat format,
               const SoundIDTag* tags = nullptr) {
    return tk::writeFile(name, frames, kRate, format, tags);
}

std::string q(const QString& s) { return "'" + s.toStdString() + "'"; }

// Decodes a file with sox into stereo doubles: the independent reading of it.
// Files of six and eight channels (sox writes them as 5.1 and 7.1) are mixed
// down by sox with the ITU-R BS.775 weights (centre and surrounds -3 dB, no LFE).
Frames soxDecode(const QString& file, int channels) {
    const std::string remix = channels == 1   ? " remix 1 1"
                              : channels == 6 ? " remix -m 1,3v0.70710678,5v0.70710678 2,3v0.70710678,6v0.70710678"
                              : channels == 8 ? " remix -m 1,3v0.70710678,5v0.70710678,7v0.70710678 "
                                                "2,3v0.70710678,6v0.70710678,8v0.70710678"
                                              : "";
    std::string raw;
    const int rc = tk::runCommand("sox " + q(file) + " -t f64 -" + remix + " 2>/dev/null", &raw);
    EXPECT_EQ(rc, 0) << file.toStdString();
    Frames f(raw.size() / sizeof(Frame));
    std::memcpy(f.data(), raw.data(), f.size() * sizeof(Frame));
    return f;
}

std::string probe(const QString& file, const std::string& entries) {
    std::string out;
    tk::runCommand("ffprobe -v error -show_entries " + entries + " -of default=nw=1 " + q(file), &out);
    return out;
}
}  // namespace

class SndfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tk::haveTool("sox") || !tk::haveTool("ffprobe")) GTEST_SKIP() << "sox and ffprobe are needed";
    }
    tk::TempDir dir;
};

// Files made by sox in every sample format are read as the same doubles sox
// decodes them to; mono is widened, 5.1 and 7.1 are mixed down.
TEST_F(SndfileTest, ReadsEveryFormatAsSoxDecodesIt) {
    struct Case {
        const char* name;
        const char* soxArgs;
        int channels;
        SoundTools::SoundFormat format;
    } cases[] = {
        {"u8.wav", "-b 8 -e unsigned-integer", 2, SoundTools::Pcm8},
        {"s16.wav", "-b 16", 2, SoundTools::Pcm16},
        {"s24.wav", "-b 24", 2, SoundTools::Pcm24},
        {"s32.wav", "-b 32 -e signed-integer", 2, SoundTools::Pcm32},
        {"f32.wav", "-b 32 -e floating-point", 2, SoundTools::Float},
        {"f64.wav", "-b 64 -e floating-point", 2, SoundTools::Double},
        {"mono.wav", "-b 16", 1, SoundTools::Pcm16},
        {"six.wav", "-b 16", 6, SoundTools::Pcm16},
        {"eight.wav", "-b 24", 8, SoundTools::Pcm24},
        {"s16.flac", "-b 16", 2, SoundTools::Pcm16},
        {"s24.flac", "-b 24", 2, SoundTools::Pcm24},
        {"q.ogg", "", 2, SoundTools::Pcm16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = dir.path(c.name);
        const std::string cmd = "sox -n -r 48000 -c " + std::to_string(c.channels) + " " + c.soxArgs + " " + q(file) +
                                " synth 0.7 sine 440 sine 1234 sine 200 sine 3000 sine 50 sine 9000 vol 0.3";
        ASSERT_EQ(tk::runCommand(cmd), 0);
        auto r = openReader(file);
        ASSERT_TRUE(r) << SoundDebuggableClass::getError().toStdString();
        EXPECT_EQ(r->getSampleRate(), 48000u);
        EXPECT_EQ(r->getInputFormat(), c.format);
        const Frames ours = readAll(*r);
        const Frames theirs = soxDecode(file, c.channels);
        EXPECT_EQ(ours.size(), size_t(r->getFrameNB()));
        ASSERT_EQ(ours.size(), theirs.size());
        // Vorbis decodes through floating point in two different programs.
        const double tolerance = std::string(c.name).find(".ogg") != std::string::npos ? 1e-3 : 1e-7;
        EXPECT_TRUE(tk::framesNear(ours, theirs, tolerance));
        if (c.channels == 1) {
            EXPECT_EQ(ours[1000].l, ours[1000].r);
        }
        EXPECT_TRUE(r->atEnd());
    }
}

// What the library writes, sox and ffprobe read back with the rate, channels and
// length written, and samples within the format's quantisation.
TEST_F(SndfileTest, WritesFilesOtherToolsReadBack) {
    const Frames signal = tk::mixedStereo(kRate + 123, kRate);
    struct Case {
        const char* name;
        SoundTools::SoundFormat format;
        const char* codec;
        double tolerance;  // per sample, full scale 1.0
    } cases[] = {
        {"o8.wav", SoundTools::Pcm8, "pcm_u8", 1.0 / 64},
        {"o16.wav", SoundTools::Pcm16, "pcm_s16le", 1.0 / 16384},
        {"o24.wav", SoundTools::Pcm24, "pcm_s24le", 1e-6},
        {"o32.wav", SoundTools::Pcm32, "pcm_s32le", 1e-8},
        {"of.wav", SoundTools::Float, "pcm_f32le", 1e-7},
        {"od.wav", SoundTools::Double, "pcm_f64le", 1e-9},  // sox itself works in 32-bit integers
        {"o16.flac", SoundTools::Pcm16, "flac", 1.0 / 16384},
        {"ofl.flac", SoundTools::Float, "flac", 1e-6},  // float asked of FLAC gives 24-bit
        {"o.ogg", SoundTools::Pcm16, "vorbis", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = dir.path(c.name);
        ASSERT_TRUE(writeFile(file, signal, c.format)) << SoundDebuggableClass::getError().toStdString();
        const std::string info = probe(file, "stream=codec_name,sample_rate,channels,duration_ts");
        EXPECT_NE(info.find(std::string("codec_name=") + c.codec), std::string::npos) << info;
        EXPECT_NE(info.find("sample_rate=44100"), std::string::npos) << info;
        EXPECT_NE(info.find("channels=2"), std::string::npos) << info;
        const Frames back = soxDecode(file, 2);
        ASSERT_EQ(back.size(), signal.size());
        if (c.tolerance >= 0) {
            EXPECT_TRUE(tk::framesNear(back, signal, c.tolerance));
        } else {  // lossy: the level survives
            EXPECT_NEAR(20 * std::log10(tk::rms(back) / tk::rms(signal)), 0.0, 0.5);
        }
    }
    std::string bits;
    tk::runCommand("soxi -b " + q(dir.path("ofl.flac")), &bits);
    EXPECT_EQ(bits, "24\n");
}

TEST_F(SndfileTest, UnknownExtensionsGiveRawFloat) {
    const Frames signal = tk::noise(1000);
    const QString file = dir.path("x.aiff");
    ASSERT_TRUE(writeFile(file, signal, SoundTools::Pcm16));
    EXPECT_EQ(QFile(file).size(), qint64(signal.size() * 2 * sizeof(float)));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    const float* v = reinterpret_cast<const float*>(bytes.constData());
    EXPECT_FLOAT_EQ(v[2 * 500 + 1], float(signal[500].r));
}

// What other tools see of these tags is the tag layer's test (every format).
TEST_F(SndfileTest, TagsRoundTripThroughTheReader) {
    SoundIDTag tags;
    tags.title = "Nocturne — Été";
    tags.artist = "The Quartet";
    tags.album = "Night Pieces";
    tags.year = "2019";
    tags.comment = "live take";
    for (const char* name : {"t.wav", "t.flac", "t.ogg"}) {
        SCOPED_TRACE(name);
        const QString file = dir.path(name);
        ASSERT_TRUE(writeFile(file, tk::noise(20000, 0.2), SoundTools::Pcm16, &tags));
        auto r = openReader(file);
        ASSERT_TRUE(r);
        SoundIDTag back, expected = tags;
        back.genre = expected.genre = "kept";  // not carried by these files: left as it was
        EXPECT_TRUE(r->getTags(back));
        EXPECT_EQ(tk::tagText(back), tk::tagText(expected));
    }
}

TEST_F(SndfileTest, TrackNumberComesFromTheFileName) {
    struct Case {
        const char* path;
        const char* track;  // null: no match, the field is left alone
    } cases[] = {
        {"03 - Song.wav", "03"},
        {"2019/03 - Song.wav", "2019"},  // the first match in the whole name
        {"03-Song.wav", "0"},            // '-' is no separator: the match backtracks into the digits
        {"track7.wav", "7"},
        {"Song.wav", nullptr},
    };
    ASSERT_TRUE(QDir(dir.root()).mkpath("2019"));
    // The pattern runs over the name exactly as given to open(): use names
    // relative to the test folder, whose own path may hold digits.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.root()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(writeFile(c.path, tk::silence(100), SoundTools::Pcm16));
        auto r = openReader(c.path);
        ASSERT_TRUE(r);
        SoundIDTag tag;
        tag.track = "untouched";
        EXPECT_FALSE(r->getTags(tag));  // no string tags in the file: a track alone is not a tag
        EXPECT_EQ(tag.track, c.track ? c.track : "untouched");
    }
    QDir::setCurrent(previous);
}

TEST_F(SndfileTest, RewindHonoursTheStartPoint) {
    const QString file = dir.path("r.wav");
    ASSERT_TRUE(writeFile(file, tk::ramp(1000, 0.0), SoundTools::Double));
    auto r = openReader(file);
    ASSERT_TRUE(r);
    r->setStartPoint(500.0 / kRate);
    r->rewind();
    EXPECT_EQ(r->getOffset(), 500);
    Frames rest = readAll(*r);
    ASSERT_EQ(rest.size(), 500u);
    EXPECT_EQ(rest[0].l, 500.0);
    r->setStartPoint(10.0);  // beyond the end: back to the beginning
    r->rewind();
    EXPECT_EQ(r->getOffset(), 0);
    EXPECT_EQ(readAll(*r).size(), 1000u);
}

// Bad input: every case is an Error whose text names the file, never a crash.
TEST_F(SndfileTest, UnreadableInputsAreErrorsNamingTheFile) {
    const QString full = dir.path("full.wav");
    ASSERT_TRUE(writeFile(full, tk::noise(44100), SoundTools::Pcm16));
    ASSERT_EQ(tk::runCommand("head -c 100000 " + q(full) + " > " + q(dir.path("truncated.wav"))), 0);
    ASSERT_EQ(tk::runCommand("head -c 5000 /dev/urandom > " + q(dir.path("random.wav"))), 0);
    ASSERT_EQ(tk::runCommand(": > " + q(dir.path("empty.flac"))), 0);
    ASSERT_TRUE(QDir(dir.root()).mkpath("folder.wav"));
    ASSERT_EQ(tk::runCommand("sox -n -r 8000 -c 9 " + q(dir.path("nine.wav")) + " synth 0.1 sine 440"), 0);
    const char* names[] = {"missing.wav", "folder.wav", "random.wav", "empty.flac", "truncated.wav", "nine.wav"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const QString file = dir.path(name);
        SoundReaderSndfile r;
        SoundDebuggableClass::setError("none");
        EXPECT_EQ(r.open(file), SoundTools::Error);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(file)) << SoundDebuggableClass::getError().toStdString();
        EXPECT_EQ(r.getFileChannelNum(), 0u);
        // A closed reader is harmless.
        auto buffer = SoundBuffer::createNew(kRate);
        buffer->alloc(16, 2);
        EXPECT_EQ(r.stereoRead(buffer, 0), 0u);
        SoundIDTag tag;
        EXPECT_FALSE(r.getTags(tag));
        r.rewind();
        r.close();
    }
}

// A header's sample rate is believed only inside the documented range; the
// bounds themselves open.
TEST_F(SndfileTest, SampleRatesOutsideTheReadableRangeAreRefused) {
    const QString base = dir.path("base.wav");
    ASSERT_TRUE(writeFile(base, tk::noise(2000), SoundTools::Pcm16));
    QFile in(base);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray bytes = in.readAll();
    ASSERT_EQ(bytes.mid(12, 4), QByteArray("fmt "));
    const long long rates[] = {SoundReader::kMinSampleRate - 1, SoundReader::kMinSampleRate,
                               SoundReader::kMaxSampleRate, SoundReader::kMaxSampleRate + 1, 2147483647};
    for (long long rate : rates) {
        SCOPED_TRACE(rate);
        QByteArray patched = bytes;
        const uint32_t r = uint32_t(rate), byteRate = uint32_t(std::min<long long>(rate * 4, 0xFFFFFFFFll));
        for (int i = 0; i < 4; ++i) {
            patched[24 + i] = char((r >> (8 * i)) & 0xFF);
            patched[28 + i] = char((byteRate >> (8 * i)) & 0xFF);
        }
        const QString file = dir.path(QString("rate%1.wav").arg(rate));
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(patched);
        out.close();
        SoundReaderSndfile reader;
        const bool inRange = rate >= SoundReader::kMinSampleRate && rate <= SoundReader::kMaxSampleRate;
        ASSERT_EQ(reader.open(file), inRange ? SoundTools::Ok : SoundTools::Error);
        if (inRange) {
            EXPECT_EQ(reader.getSampleRate(), unsigned(rate));
        } else {
            const QString error = SoundDebuggableClass::getError();
            EXPECT_TRUE(error.contains(file) && error.contains("sample rate")) << error.toStdString();
        }
    }
}

// A WAV file counts its sizes in 32 bits: a stream announced longer than 4 GiB
// of samples is written as RF64, a shorter one as plain RIFF, and both read
// back whole.
TEST_F(SndfileTest, LongStreamsAreWrittenAsRf64) {
    const int64_t gib4 = int64_t(1) << 32;
    struct Case {
        SoundTools::SoundFormat format;
        int bytes;  // per sample, by the format's definition
        int64_t frames;
    };
    const Case cases[] = {
        {SoundTools::Pcm16, 2, gib4 / 4 + 1},  {SoundTools::Pcm16, 2, gib4 / 4 - (1 << 20)},
        {SoundTools::Pcm24, 3, gib4 / 6 + 1},  {SoundTools::Double, 8, gib4 / 16 + 1},
        {SoundTools::Double, 8, gib4 / 32},    {SoundTools::Pcm8, 1, gib4 / 2 + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "format " << int(c.format) << ", " << c.frames << " frames");
        const bool large = c.frames * 2 * c.bytes >= gib4 - 65536;
        EXPECT_EQ(SoundWriterSndfile::needsRf64(c.frames, 2, c.format), large);
        // The container follows the announced length; the file is as long as what was written.
        const QString file = dir.path("long.wav");
        SoundWriterSndfile w(kRate, 2, c.format, SoundWriterSndfile::Wav);
        w.setExpectedFrames(c.frames);
        ASSERT_EQ(w.open(file), SoundTools::Ok);
        auto copy = SoundRef<SoundAlgoBypass>::make();
        tk::MemoryReader reader(tk::noise(3000, 0.5), kRate);
        ASSERT_EQ(copy->processAll(reader, &w), SoundTools::Ok);
        w.close();
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.read(4), QByteArray(large ? "RF64" : "RIFF"));
        SoundReaderSndfile back;
        ASSERT_EQ(back.open(file), SoundTools::Ok);
        EXPECT_EQ(back.getFrameNB(), 3000u);
        QFile::remove(file);
    }
}

// 16-bit output: scale by 32768, round to nearest (ties to even), clip; NaN is 0.
TEST_F(SndfileTest, SixteenBitOutputRoundsAndClips) {
    const double nan = std::nan("");
    const std::vector<std::pair<double, int>> cases = {
        {1.5, 32767},           {-1.5, -32768},       {1.0, 32767},           {-1.0, -32768},
        {nan, 0},               {0.5 / 32768, 0},     {1.5 / 32768, 2},       {-2.5 / 32768, -2},
        {0.25, 8192},           {-0.3, -9830},        {32766.6 / 32768, 32767}, {1e300, 32767},
    };
    Frames in;
    for (size_t i = 0; i < cases.size(); ++i) in.push_back(Frame(cases[i].first, -cases[i].first));
    // Long enough to pass through the vector loop and its scalar tail alike.
    Frames all;
    for (int k = 0; k < 3; ++k) all.insert(all.end(), in.begin(), in.end());
    all.push_back(in[0]);
    const QString file = dir.path("s16.wav");
    ASSERT_TRUE(writeFile(file, all, SoundTools::Pcm16));
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
