// The jobs that write processed sound dither 16-bit outputs unless --no-dither
// is given: both outputs read back through ffmpeg and compared sample by sample.
#include <cstdio>

#include "CliKit.h"
#include "common/ExternalAudio.h"
#include "common/Recordings.h"

using clitest::tool;

// The same job with and without dither differs by round(y + d) - round(y): a
// step of one LSB up or down, with mean 0 and, for processed samples y that
// fall anywhere between two steps, the chance 1/3 that the triangular dither
// plus the fraction of y cross half a step (the tail of the sum of three uniform
// values). Samples that stay on the grid (eq with all bands flat) give 1/4, and
// then the plain output is the input itself.
TEST(CliDither, ProcessedOutputsAreDitheredUnlessTurnedOff) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const unsigned rate = 44100;
    const QString input = dir.path("noise.wav");
    ASSERT_TRUE(tk::writeWav16(input, tk::track(rate * 4, rate, -20.0, 3), rate, 2));
    tk::Frames source;
    ASSERT_TRUE(tk::decodeWithFfmpeg(input, &source));
    struct Row {
        QStringList job;
        double variance;  // LSB^2 of the difference
        bool plainIsInput;
    };
    const Row rows[] = {
        {{"eq"}, 0.25, true},
        {{"eq", "--band", "1k=4"}, 1.0 / 3, false},
        {{"level", "--target", "-14"}, 1.0 / 3, false},
        {{"correct"}, 1.0 / 3, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.job.join(' ').toStdString());
        const QString dithered = dir.path("dithered.wav"), plain = dir.path("plain.wav");
        const clitest::Run a = tool(r.job + QStringList{"-y", "-o", dithered, input});
        const clitest::Run b = tool(r.job + QStringList{"-y", "--no-dither", "-o", plain, input});
        ASSERT_EQ(a.exitCode, 0) << a.err.toStdString();
        ASSERT_EQ(b.exitCode, 0) << b.err.toStdString();
        tk::Frames d, p;
        ASSERT_TRUE(tk::decodeWithFfmpeg(dithered, &d));
        ASSERT_TRUE(tk::decodeWithFfmpeg(plain, &p));
        ASSERT_EQ(d.size(), source.size());
        ASSERT_EQ(p.size(), source.size());
        double sum = 0, sumSq = 0, worst = 0;
        for (size_t i = 0; i < d.size(); ++i)
            for (const double e : {(d[i].l - p[i].l) * 32768.0, (d[i].r - p[i].r) * 32768.0}) {
                sum += e;
                sumSq += e * e;
                worst = std::max(worst, std::fabs(e));
            }
        const double n = 2.0 * double(d.size());
        std::printf("[ dither ] %s: dithered - plain: mean %+.4f, mean square %.4f LSB^2 (model %.4f)\n",
                    r.job.join(' ').toUtf8().constData(), sum / n, sumSq / n, r.variance);
        EXPECT_NEAR(sum / n, 0.0, 0.01);
        EXPECT_NEAR(sumSq / n, r.variance, 0.02);
        EXPECT_LE(worst, 1.0);
        if (r.plainIsInput) {
            EXPECT_EQ(tk::maxAbsDiff(p, source), 0.0);
        }
    }
}
