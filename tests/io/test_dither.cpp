// Dither of the integer writers: what comes back through an independent decoder
// (ffmpeg) against the statistics TPDF dither must have, and against plain
// rounding when it is off.
#include <cmath>
#include <cstdio>
#include <memory>

#include "common/ExternalAudio.h"
#include "common/FourierKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 48000;

struct Target {
    const char* name;
    const char* ext;
    SoundTools::SoundFormat format;
    double lsb;  // full scale over the word's steps
};
const Target kWav16{"16-bit WAV", "wav", SoundTools::Pcm16, 1.0 / 32768};
const Target kFlac16{"16-bit FLAC", "flac", SoundTools::Pcm16, 1.0 / 32768};
const Target kWav8{"8-bit WAV", "wav", SoundTools::Pcm8, 1.0 / 128};

// Writes `frames` through the writer factory, processAll in blocks of `block` frames.
bool writeFile(const QString& name, const Frames& frames, SoundTools::SoundFormat format, bool dither,
               unsigned block = 1024) {
    tk::ScopedBlockSize size(block);
    std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(name, kRate, 192, format));
    if (!w) return false;
    w->setDither(dither);
    if (w->open(name) != SoundTools::Ok) return false;
    auto copy = SoundRef<SoundAlgoBypass>::make();
    tk::MemoryReader reader(frames, kRate);
    const bool ok = copy->processAll(reader, w.get()) == SoundTools::Ok;
    w->close();
    return ok && !w->hasFailed();
}

Frames writtenAndDecoded(const tk::TempDir& dir, const Target& t, const Frames& in, bool dither) {
    const QString name = dir.path(QString("out-%1-%2.%3").arg(int(t.format)).arg(dither).arg(t.ext));
    Frames back;
    EXPECT_TRUE(writeFile(name, in, t.format, dither));
    EXPECT_TRUE(tk::decodeWithFfmpeg(name, &back));
    EXPECT_EQ(back.size(), in.size());
    return back;
}

class DitherTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed";
    }
    tk::TempDir dir;
};
}  // namespace

// A sine of 0.3 LSB is below the rounding threshold: plain rounding writes
// silence, dither keeps the tone (a single-bin DFT finds it at its amplitude).
TEST_F(DitherTest, QuietSineSurvivesOnlyWithDither) {
    const double freq = 750.0;  // 64 samples a period
    const size_t n = 96000;
    for (const Target& t : {kWav16, kFlac16, kWav8}) {
        const Frames in = tk::sine(n, kRate, freq, 0.3 * t.lsb);
        const double plain = tk::toneAmplitude(writtenAndDecoded(dir, t, in, false), 0, n, freq, kRate) / t.lsb;
        const double dithered = tk::toneAmplitude(writtenAndDecoded(dir, t, in, true), 0, n, freq, kRate) / t.lsb;
        std::printf("[ dither ] 0.3 LSB sine, %s: %.4f LSB plain, %.4f LSB dithered\n", t.name, plain, dithered);
        EXPECT_LT(plain, 0.01) << t.name;
        EXPECT_NEAR(dithered, 0.3, 0.02) << t.name;
    }
}

// The error of the output against the input, in LSB: with TPDF dither its mean
// is 0 and its variance 1/6 (the dither) + 1/12 (the rounding) = 1/4 whatever the
// signal, samples on the grid included, and it never exceeds 1.5 LSB; plain
// rounding gives 1/12 (0 on the grid) and at most 0.5 LSB.
TEST_F(DitherTest, ErrorHasTheVarianceOfItsModel) {
    const size_t n = 100000;
    struct Row {
        Target t;
        bool onGrid, dither;
        double variance, maxError;
    };
    const Row rows[] = {
        {kWav16, false, true, 0.25, 1.5},  {kFlac16, false, true, 0.25, 1.5}, {kWav8, false, true, 0.25, 1.5},
        {kWav16, true, true, 0.25, 1.0},   {kWav8, true, true, 0.25, 1.0},    {kWav16, false, false, 1.0 / 12, 0.5},
        {kWav8, false, false, 1.0 / 12, 0.5}, {kFlac16, true, false, 0.0, 0.0},
    };
    for (const Row& r : rows) {
        Frames in = tk::noise(n, 0.5, 11);
        if (r.onGrid)
            for (Frame& f : in) {
                f.l = std::round(f.l / r.t.lsb) * r.t.lsb;
                f.r = std::round(f.r / r.t.lsb) * r.t.lsb;
            }
        const Frames back = writtenAndDecoded(dir, r.t, in, r.dither);
        if (back.size() != in.size()) continue;
        double sum = 0, sumSq = 0, worst = 0;
        for (size_t i = 0; i < n; ++i)
            for (const double e : {(back[i].l - in[i].l) / r.t.lsb, (back[i].r - in[i].r) / r.t.lsb}) {
                sum += e;
                sumSq += e * e;
                worst = std::max(worst, std::fabs(e));
            }
        const double mean = sum / (2.0 * n);
        const std::string what = std::string(r.t.name) +
                                 (r.onGrid ? " on grid" : "") + (r.dither ? " dithered" : " plain");
        std::printf("[ dither ] %s: error mean %+.4f, variance %.4f LSB^2 (model %.4f), largest %.3f LSB\n",
                    what.c_str(), mean, sumSq / (2.0 * n) - mean * mean, r.variance, worst);
        EXPECT_NEAR(mean, 0.0, 0.01) << what;
        EXPECT_NEAR(sumSq / (2.0 * n) - mean * mean, r.variance, 0.01) << what;
        EXPECT_LE(worst, r.maxError + 1e-9) << what;
    }
}

// Outputs of more than 16 bits and float outputs ignore the switch: the same
// bytes with it on or off.
TEST_F(DitherTest, WideOutputsIgnoreTheSwitch) {
    const Frames in = tk::noise(20000, 0.5, 5);
    struct Row {
        const char* ext;
        SoundTools::SoundFormat format;
    };
    for (const Row& r : {Row{"wav", SoundTools::Pcm24}, Row{"wav", SoundTools::Float}, Row{"flac", SoundTools::Pcm24}}) {
        const QString off = dir.path(QString("off-%1.%2").arg(int(r.format)).arg(r.ext));
        const QString on = dir.path(QString("on-%1.%2").arg(int(r.format)).arg(r.ext));
        ASSERT_TRUE(writeFile(off, in, r.format, false));
        ASSERT_TRUE(writeFile(on, in, r.format, true));
        EXPECT_EQ(tk::fileBytes(off), tk::fileBytes(on)) << r.ext << " " << r.format;
    }
}

// The dither sequence follows the stream, not the blocks: one block size or
// odd ones give the same file; a second writer gives it again.
TEST_F(DitherTest, SameFileForAnyBlockSize) {
    const Frames in = tk::sine(30000, kRate, 997.0, 0.01);
    for (const Target& t : {kWav16, kWav8}) {
        QByteArray first;
        for (const unsigned block : {1024u, 4096u, 333u, 7u}) {
            const QString name = dir.path(QString("b%1.%2").arg(block).arg(t.ext));
            ASSERT_TRUE(writeFile(name, in, t.format, true, block));
            const QByteArray bytes = tk::fileBytes(name);
            if (first.isEmpty())
                first = bytes;
            else
                EXPECT_EQ(bytes, first) << t.name << ", block " << block;
        }
    }
}
