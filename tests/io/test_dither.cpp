// Dither of the integer writers: what comes back through an independent decoder
// (ffmpeg) against the statistics TPDF dither must have, and against plain
// rounding when it is off.
#include <cmath>
#include <memory>

#include "common/ExternalAudio.h"
#include "common/FileKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundWriter.h"

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
const Target kWav8{"8-bit WAV", "wav", SoundTools::Pcm8, 1.0 / 128};

// Writes `frames` through the writer factory, in blocks of `block` frames.
bool writeFile(const QString& name, const Frames& frames, SoundTools::SoundFormat format, bool dither,
               unsigned block = 1024) {
    std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(name, kRate, 192, format));
    if (w) w->setDither(dither);
    return w && tk::writeThrough(*w, name, frames, kRate, block) == SoundTools::Ok && !w->hasFailed();
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
        {kWav16, false, true, 0.25, 1.5}, {kWav8, false, true, 0.25, 1.5},       {kWav16, true, true, 0.25, 1.0},
        {kWav8, true, true, 0.25, 1.0},   {kWav16, false, false, 1.0 / 12, 0.5}, {kWav8, false, false, 1.0 / 12, 0.5},
        {kWav16, true, false, 0.0, 0.0},
    };
    for (const Row& r : rows) {
        Frames in = tk::noise(n, 0.5, 11);
        if (r.onGrid)
            for (tk::Frame& f : in) {
                f.l = std::round(f.l / r.t.lsb) * r.t.lsb;
                f.r = std::round(f.r / r.t.lsb) * r.t.lsb;
            }
        SCOPED_TRACE(std::string(r.t.name) + (r.onGrid ? " on grid" : "") +
                     (r.dither ? " dithered" : " plain"));
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
        EXPECT_NEAR(mean, 0.0, 0.01);
        EXPECT_NEAR(sumSq / (2.0 * n) - mean * mean, r.variance, 0.01);
        EXPECT_LE(worst, r.maxError + 1e-9);
    }
}

// Outputs of more than 16 bits (float too) ignore the switch; the dither
// sequence follows the stream, not the blocks, and starts again with each
// writer: every variant gives the bytes of the dithered file written in blocks
// of 1024.
TEST_F(DitherTest, SameBytesWhateverTheBlocksAndForWideOutputsTheSwitch) {
    const Frames in = tk::sine(30000, kRate, 997.0, 0.01);
    const struct {
        SoundTools::SoundFormat format;
        bool dither;
        unsigned block;
    } rows[] = {{SoundTools::Pcm24, false, 1024}, {SoundTools::Pcm16, true, 333}, {SoundTools::Pcm8, true, 7}};
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << "format " << int(r.format) << ", block " << r.block);
        const QString reference = dir.path("ref.wav"), variant = dir.path("v.wav");
        ASSERT_TRUE(writeFile(reference, in, r.format, true));
        ASSERT_TRUE(writeFile(variant, in, r.format, r.dither, r.block));
        EXPECT_EQ(tk::fileBytes(variant), tk::fileBytes(reference));
    }
}
