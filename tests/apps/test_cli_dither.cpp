// The jobs that write processed sound dither 16-bit outputs unless --no-dither
// is given: both outputs read back through ffmpeg and compared sample by sample.
#include "CliKit.h"
#include "common/ExternalAudio.h"

using clitest::tool;

// The same job with and without dither differs by round(y + d) - round(y): a
// step of one LSB up or down, with mean 0 and a mean square (LSB^2) of 1/3 for
// processed samples y that fall anywhere between two steps (the tail of the sum
// of three uniform values), 1/4 for samples on the grid (eq with all bands
// flat), whose plain output is the input itself. The dither's own statistics
// are the writers' tests' business: the rows only tell it is applied once.
TEST(CliDither, ProcessedOutputsAreDitheredUnlessTurnedOff) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const unsigned rate = 44100;
    const QString input = dir.path("noise.wav"), dithered = dir.path("dithered.wav"), plain = dir.path("plain.wav");
    ASSERT_TRUE(tk::writeWav16(input, tk::track(rate * 4, rate, -20.0, 3), rate, 2));
    tk::Frames source, d, p;
    ASSERT_TRUE(tk::decodeWithFfmpeg(input, &source));
    const std::pair<QStringList, double> rows[] = {
        {{"eq"}, 0.25}, {{"eq", "--band", "1k=4"}, 1.0 / 3}, {{"level", "--target", "-14"}, 1.0 / 3}, {{"correct"}, 1.0 / 3}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.first.join(' ').toStdString());
        ASSERT_EQ(tool(r.first + QStringList{"-y", "-o", dithered, input}).exitCode, 0);
        ASSERT_EQ(tool(r.first + QStringList{"-y", "--no-dither", "-o", plain, input}).exitCode, 0);
        ASSERT_TRUE(tk::decodeWithFfmpeg(dithered, &d) && tk::decodeWithFfmpeg(plain, &p));
        ASSERT_TRUE(d.size() == source.size() && p.size() == source.size());
        EXPECT_LE(tk::maxAbsDiff(d, p), 1.01 / 32768);
        double sum = 0, sumSq = 0;
        for (size_t i = 0; i < d.size(); ++i)
            for (const double e : {(d[i].l - p[i].l) * 32768.0, (d[i].r - p[i].r) * 32768.0}) sum += e, sumSq += e * e;
        EXPECT_NEAR(sum / double(2 * d.size()), 0.0, 0.01);
        EXPECT_NEAR(sumSq / double(2 * d.size()), r.second, 0.02);
        if (r.second == 0.25) { EXPECT_EQ(tk::maxAbsDiff(p, source), 0.0); }
    }
}
