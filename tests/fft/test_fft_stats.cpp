// FFT statistics and the tone synthesiser on generated tones.
#include <QJsonArray>
#include <QJsonObject>
#include <cmath>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoFFTStats.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// direct compute (no overlap, no window) -> statistics, run without a writer.
SoundTools::Status runStats(SoundAlgoFFTStats* stats, const Frames& in, unsigned N, bool overlap = false,
                            unsigned block = 4096, unsigned rate = kRate) {
    auto chain = SoundRef<SoundAlgoComposite>::make();
    chain->pushAlgo(SoundRef<SoundAlgoFFTDirectCompute>::make(N, overlap, false).release());
    stats->addRef();  // the composite holds its own reference; the caller keeps one
    chain->pushAlgo(stats);
    tk::ScopedBlockSize size(block);
    tk::MemoryReader reader(in, rate);
    return chain->processAll(reader, nullptr);
}

// A tone exactly on bin k of an N-point transform.
Frames binTone(size_t frames, unsigned N, unsigned k, double amp) {
    return tk::sine(frames, kRate, double(k) * kRate / N, amp, 0.3);
}

}  // namespace

// Two tones on bins 10 and 100 of a 1024-point transform: a quarter of each
// squared amplitude on its bin, nothing elsewhere; in dB, and in bands relative
// to the loudest band.
TEST(FFTStats, TonesOnBinsAndBandLevels) {
    const unsigned N = 1024;
    Frames in = binTone(N * 12, N, 10, 0.5);
    const Frames high = binTone(N * 12, N, 100, 0.05);
    for (size_t i = 0; i < in.size(); ++i) in[i] += high[i];
    auto stats = SoundRef<SoundAlgoFFTStats>::make();
    ASSERT_EQ(runStats(stats.get(), in, N), SoundTools::Ok);
    EXPECT_EQ(stats->getCount(), 2.0 * 12);  // 12 spectra, two channels each
    const std::vector<double> raw = stats->getRawStats(), db = stats->getStats(), f = stats->getFrequencies();
    ASSERT_EQ(raw.size(), N / 2 + 1);
    ASSERT_EQ(f.size(), raw.size());
    for (size_t b = 0; b < raw.size(); ++b) {
        const double amp = b == 10 ? 0.5 : b == 100 ? 0.05 : 0.0;
        ASSERT_NEAR(raw[b], amp * amp / 4.0, amp > 0.0 ? 1e-12 * amp * amp : 1e-24) << b;
        EXPECT_DOUBLE_EQ(f[b], double(b) * kRate / N);
        if (amp > 0.0) {
            EXPECT_NEAR(db[b], 20.0 * std::log10(amp / 2), 1e-9);
        }
    }
    EXPECT_LE(db[13], -100.0);  // silence reads -100 dB (or less, for a trace of rounding)
    const std::vector<double> bands = stats->getStats(std::vector<double>{1000.0});
    ASSERT_EQ(bands.size(), 2u);
    EXPECT_NEAR(bands[0], 0.0, 1e-12);
    EXPECT_NEAR(bands[1], 20.0 * std::log10(0.05 / 0.5), 1e-6);
    EXPECT_EQ(stats->getStats(std::vector<double>{100.0, 1000.0, 10000.0}).size(), 4u);
    // 1000 Hz falls between bins 23 (990.5 Hz) and 24 (1033.6 Hz): a tone on bin
    // 23 counts below the edge, one on bin 24 above it.
    for (unsigned k : {23u, 24u}) {
        auto s = SoundRef<SoundAlgoFFTStats>::make();
        ASSERT_EQ(runStats(s.get(), binTone(N * 4, N, k, 0.5), N), SoundTools::Ok);
        const std::vector<double> b = s->getStats(std::vector<double>{1000.0});
        EXPECT_EQ(b[k == 23 ? 0 : 1], 0.0) << k;
        EXPECT_LT(b[k == 23 ? 1 : 0], -100.0) << k;
    }
}

// A later run, on the same object or on one read back from its JSON, continues
// the mean over all blocks: the result is that of one run over both streams.
// The sample rate and the bin frequencies are those of the latest run.
TEST(FFTStats, LaterRunContinuesTheMean) {
    const unsigned N = 512;
    const Frames first = binTone(N * 4, N, 20, 0.8), second = tk::noise(N * 6, 0.1, 3);
    auto whole = SoundRef<SoundAlgoFFTStats>::make();
    ASSERT_EQ(runStats(whole.get(), tk::concat({first, second}), N), SoundTools::Ok);
    const std::vector<double>& model = whole->getRawStats();
    struct Case { bool viaJson; unsigned secondRate; };
    for (const Case& c : {Case{false, 44100}, Case{true, 44100}, Case{true, 8000}}) {
        SCOPED_TRACE(testing::Message() << "JSON " << c.viaJson << ", then " << c.secondRate << " Hz");
        auto stats = SoundRef<SoundAlgoFFTStats>::make();
        ASSERT_EQ(runStats(stats.get(), first, N, false, 4096, 8000), SoundTools::Ok);
        if (c.viaJson) {
            QJsonObject o;
            stats->writeToJSon(o);
            stats = SoundRef<SoundAlgoFFTStats>::adopt(SoundAlgoFFTStats::createFromJSon(o));
            ASSERT_TRUE(stats);
        }
        ASSERT_EQ(runStats(stats.get(), second, N, false, 4096, c.secondRate), SoundTools::Ok);
        EXPECT_EQ(stats->getCount(), whole->getCount());
        ASSERT_EQ(stats->getRawStats().size(), model.size());
        const std::vector<double>& raw = stats->getRawStats();
        for (size_t k = 0; k < model.size(); ++k) ASSERT_NEAR(raw[k], model[k], 1e-12 * model[k]) << k;
        EXPECT_EQ(stats->getSampleRate(), c.secondRate);
        EXPECT_DOUBLE_EQ(stats->getFrequencies()[1], double(c.secondRate) / N);
    }
}

// What the JSON keeps is shown by LaterRunContinuesTheMean; here, what it
// refuses, and keys of the wrong type, which keep their values.
TEST(FFTStats, JsonOfTheWrongShape) {
    auto stats = SoundRef<SoundAlgoFFTStats>::make();
    ASSERT_EQ(runStats(stats.get(), tk::noise(256 * 10, 0.5, 4), 256, true), SoundTools::Ok);
    QJsonObject o;
    stats->writeToJSon(o);
    QJsonObject wrongClass = o, noArray = o, oddValues = o;
    wrongClass.insert("Class", "SoundAlgoStats");
    EXPECT_EQ(SoundAlgoFFTStats::createFromJSon(wrongClass), nullptr);
    noArray.remove("StatsArray");
    EXPECT_EQ(SoundAlgoFFTStats::createFromJSon(noArray), nullptr);
    oddValues.insert("StatsArray", QJsonArray{1.0, "x", 3.0});
    auto odd = SoundRef<SoundAlgoFFTStats>::adopt(SoundAlgoFFTStats::createFromJSon(oddValues));
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->getRawStats(), (std::vector<double>{1.0, 0.0, 3.0}));
    EXPECT_TRUE(odd->isOverlap());
    EXPECT_EQ(odd->getSize(), 256u);
    QJsonObject wrongTypes = o;
    wrongTypes.insert("Size", "big");
    wrongTypes.insert("Overlap", 1);
    const auto typed = SoundRef<SoundAlgoFFTStats>::adopt(SoundAlgoFFTStats::createFromJSon(wrongTypes));
    const auto fresh = SoundRef<SoundAlgoFFTStats>::make();
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->getSize(), fresh->getSize());
    EXPECT_EQ(typed->isOverlap(), fresh->isOverlap());
}

// A signal whose peaks are 100 frames apart yields a sine of period 100 on both
// channels, continuous from step to step; in steps that are a multiple of 1024
// frames the empty last chunk restarts the phase. Silence and a monotonic ramp
// have no peak: silence, and the phase is reset.
TEST(FFTToneSynth, SineAtTheDetectedPeriod) {
    const double P = 100.0;
    Frames in(4096 + 204), ramp(2000);
    // Only the left channel is read.
    for (size_t i = 0; i < in.size(); ++i) in[i] = Frame(std::cos(2.0 * M_PI * double(i) / P), 0.0);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = Frame(double(i) / 2000.0, 0.0);
    for (unsigned block : {1000u, 1024u}) {
        SoundAutocorrelStats synth(3);
        EXPECT_EQ(synth.getValue(), 3);
        const Frames out = tk::run(synth, in, kRate, block);
        ASSERT_EQ(out.size(), in.size());
        double phaseStart = 0.0;
        for (size_t i = 0; i < out.size(); ++i) {
            if (block == 1024 && i % 1024 == 0) phaseStart = double(i);
            const double expected = std::sin(2.0 * M_PI * (double(i) - phaseStart) / P);
            ASSERT_NEAR(out[i].l, expected, 1e-9) << "block " << block << " frame " << i;
            ASSERT_EQ(out[i].l, out[i].r);
        }
        EXPECT_TRUE(tk::framesNear(tk::run(synth, tk::silence(3000), kRate, block), tk::silence(3000), 0.0));
        EXPECT_EQ(synth.getPhase(), 0.0);
        EXPECT_TRUE(tk::framesNear(tk::run(synth, ramp, kRate, 700), tk::silence(2000), 0.0));
    }
}
