// Loudness: the EBU Tech 3341 and Tech 3342 test signals, synthesised from their
// published descriptions, measure within those documents' tolerances; the
// true peak, the gated figures and the momentary and short-term windows agree with libebur128's
// meters; the figures do not depend on block sizes; an album is gated as one
// programme.
#include <cmath>
#include <ebur128.h>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoStatAnalysis.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 48000;

// Stretches of stereo sine (both channels alike): peak level in dBFS, seconds,
// frequency, phase in degrees; the whole repeated `repeat` times.
struct Tone {
    double dbfs, seconds, freq = 1000.0, phaseDeg = 0.0;
};
Frames tones(std::initializer_list<Tone> parts, int repeat = 1) {
    Frames out;
    for (int r = 0; r < repeat; ++r)
        for (const Tone& t : parts) {
            const Frames s = tk::sine(size_t(std::lround(t.seconds * kRate)), kRate, t.freq, tk::fromDb(t.dbfs), t.phaseDeg * M_PI / 180.0);
            out.insert(out.end(), s.begin(), s.end());
        }
    return out;
}

// Raised-cosine fade in and out over 20 ms: a tone that starts on a non-zero
// sample is a step, whose reconstruction overshoots the tone's own peak.
Frames faded(Frames f) {
    const size_t n = std::min(f.size() / 2, size_t(kRate / 50));
    for (size_t i = 0; i < n; ++i) {
        const double g = 0.5 - 0.5 * std::cos(M_PI * double(i) / double(n));
        f[i] = Frame(f[i].l * g, f[i].r * g);
        f[f.size() - 1 - i] = Frame(f[f.size() - 1 - i].l * g, f[f.size() - 1 - i].r * g);
    }
    return f;
}

SoundRef<SoundAlgoLoudness> measure(const Frames& in, unsigned block = 4096, bool background = true, unsigned rate = kRate) {
    auto algo = SoundRef<SoundAlgoLoudness>::make(1.0);
    algo->setBackground(background);
    SoundTools::Status status = SoundTools::Error;
    tk::run(*algo, in, rate, block, &status);
    EXPECT_EQ(status, SoundTools::Ok);
    return algo;
}

// The figures a meter gives, by name.
const struct {
    const char* name;
    double (*of)(const SoundAlgoLoudness&);
} kFigures[] = {
    {"I", [](const SoundAlgoLoudness& l) { return l.getIntegrated(); }},
    {"M max", [](const SoundAlgoLoudness& l) { return l.getMaxMomentary(); }},
    {"S max", [](const SoundAlgoLoudness& l) { return l.getMaxShortTerm(); }},
    {"LRA", [](const SoundAlgoLoudness& l) { return l.getRange(); }},
    {"TP", [](const SoundAlgoLoudness& l) { return l.getTruePeak(); }},
};
enum { I, M, S, LRA, TP };
}  // namespace

// Tech 3341 loudness cases: +-0.1 LU; true-peak cases: +0.2 / -0.4 dB.
// Tech 3342 loudness range cases: +-1 LU.
TEST(Loudness, PublishedTestSignalsWithinTolerance) {
    struct Expected {
        int figure;
        double value;
    };
    const struct {
        const char* name;
        Frames signal;
        std::vector<Expected> figures;
    } cases[] = {
        {"3341-1", tones({{-23, 20}}), {{I, -23}, {M, -23}, {S, -23}}},
        {"3341-2", tones({{-33, 20}}), {{I, -33}, {M, -33}, {S, -33}}},
        {"3341-3", tones({{-36, 10}, {-23, 60}, {-36, 10}}), {{I, -23}}},
        {"3341-4", tones({{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}), {{I, -23}}},
        {"3341-5", tones({{-26, 20}, {-20, 20.1}, {-26, 20}}), {{I, -23}}},
        {"3341-9", tones({{-20, 1.34}, {-30, 1.66}}, 5), {{S, -23}}},
        {"3341-12", tones({{-20, 0.18}, {-30, 0.22}}, 25), {{M, -23}}},
        {"3341-15", faded(tones({{-6, 2, kRate / 4.0, 0}})), {{TP, -6}}},
        {"3341-16", faded(tones({{-6, 2, kRate / 4.0, 45}})), {{TP, -6}}},
        {"3341-17", faded(tones({{-6, 2, kRate / 6.0, 60}})), {{TP, -6}}},
        {"3341-18", faded(tones({{-6, 2, kRate / 8.0, 67.5}})), {{TP, -6}}},
        {"3341-19", faded(tones({{3, 2, kRate / 4.0, 45}})), {{TP, 3}}},
        {"3342-1", tones({{-20, 20}, {-30, 20}}), {{LRA, 10}}},
        {"3342-2", tones({{-20, 20}, {-15, 20}}), {{LRA, 5}}},
        {"3342-3", tones({{-40, 20}, {-20, 20}}), {{LRA, 20}}},
        {"3342-4", tones({{-50, 20}, {-35, 20}, {-20, 20}, {-35, 20}, {-50, 20}}), {{LRA, 15}}},
    };
    for (const auto& c : cases) {
        const SoundRef<SoundAlgoLoudness> l = measure(c.signal);
        for (const Expected& e : c.figures) {
            const double below = e.figure == TP ? 0.4 : e.figure == LRA ? 1.0 : 0.1, above = e.figure == TP ? 0.2 : below;
            const double v = kFigures[e.figure].of(*l);
            EXPECT_TRUE(v >= e.value - below && v <= e.value + above) << c.name << " " << kFigures[e.figure].name << " " << v;
            std::printf("[ compliance ] %-8s %-6s expected %6.1f  measured %7.2f  tolerance -%.1f/+%.1f\n", c.name,
                        kFigures[e.figure].name, e.value, v, below, above);
        }
    }
}

// Silence has no loudness (-inf, and no peak); a stream shorter than one gating
// block has no integrated loudness and says so. On a grid of at least 192 kHz,
// tones up to 0.45 fs read their amplitude, whose peaks the 4x grid misses by up
// to half a dB at low rates. Two tones 10 LU apart make an album gated as one
// programme: the mean of their powers, not of their loudness values.
TEST(Loudness, EdgeStreamsFineTruePeakGridAndAlbum) {
    const SoundRef<SoundAlgoLoudness> silent = measure(tk::silence(5 * kRate));
    EXPECT_FALSE(silent->isTooShort());
    EXPECT_EQ(silent->getIntegrated(), -INFINITY);
    EXPECT_EQ(silent->getTruePeak(), -INFINITY);
    const SoundRef<SoundAlgoLoudness> brief = measure(tones({{-20, 0.3}}));
    EXPECT_TRUE(brief->isTooShort());
    EXPECT_EQ(brief->getIntegrated(), -INFINITY);
    for (unsigned rate : {22050u, 44100u})
        for (double f : {0.23, 0.37, 0.45}) {
            auto fine = SoundRef<SoundAlgoLoudness>::make(0.0);
            fine->setTruePeakRate(192000);
            tk::run(*fine, faded(tk::sine(rate, rate, f * rate, 0.5, 0.1)), rate, 777);
            EXPECT_NEAR(fine->getTruePeak(), tk::db(0.5), 0.05) << rate << " " << f;
        }
    const SoundRef<SoundAlgoLoudness> quiet = measure(tones({{-23, 10}})), loud = measure(tones({{-13, 10}}));
    EXPECT_NEAR(SoundAlgoLoudness::albumLoudness({quiet.get(), loud.get()}), tk::powerDb((tk::fromDb(-46) + tk::fromDb(-26)) / 2), 0.1);
    EXPECT_NEAR(SoundAlgoLoudness::albumRange({quiet.get(), loud.get()}), 10.0, 1.0);
    EXPECT_EQ(SoundAlgoLoudness::albumTruePeak({quiet.get(), loud.get()}), loud->getTruePeak());
}

// Against libebur128's meters, an independent implementation of the same
// design, fed in steps of 100 ms: the true peak of each channel (tones whose
// peaks fall between the samples, noise reaching the Nyquist frequency where
// interpolators differ most, a click, square waves whose steps overshoot, music;
// rates of each oversampling factor), the largest momentary and short-term
// loudness and the short-term value every second. After digital silence the
// weighting filters' tails give libebur128 energies far under any sound (-3000
// LUFS and less): those read as silence. One block and odd blocks (run on the
// loop's thread) give the same figures.
TEST(Loudness, AgreesWithAnIndependentMeter) {
    const auto square = [](unsigned rate, double freq) {
        Frames f = tk::sine(rate, rate, freq, 1.0);
        for (Frame& x : f) x = Frame(x.l >= 0 ? 0.5 : -0.5, x.r >= 0 ? -0.5 : 0.5);
        return f;
    };
    Frames click = tk::silence(48000);
    click[20000] = Frame(0.9, -0.5);
    const unsigned r = 44100;
    const Frames music = tk::concat({tk::mixedStereo(4 * r + 300, r), tk::scaled(tk::noise(2 * r, 0.5, 9), 0.1),
                                     tk::silence(r / 2), tk::sine(5 * r, r, 3000, 0.3), tk::silence(8 * r)});
    // Noise falling 30 dB over 20 s: the range's percentiles fall between the
    // blocks, so they depend on where the short-term blocks lie.
    Frames fading = tk::noise(20 * r, 0.5, 11);
    for (size_t i = 0; i < fading.size(); ++i) {
        const double g = tk::fromDb(-30.0 * double(i) / double(fading.size()));
        fading[i] = Frame(fading[i].l * g, fading[i].r * g);
    }
    const struct {
        const char* name;
        unsigned rate;
        Frames signal;
    } cases[] = {
        {"fs/4 at 45 deg", 48000, tk::sine(48000, 48000, 12000, 0.5, M_PI / 4)},
        {"fs/4 at 45 deg", 44100, tk::sine(44100, 44100, 11025, 0.5, M_PI / 4)},
        {"fs/6 at 60 deg", 44100, tk::sine(44100, 44100, 44100 / 6.0, 0.7, M_PI / 3)},
        {"0.45 fs", 44100, tk::sine(44100, 44100, 19845, 0.5, 0.3)},
        {"fs/4 at 45 deg", 96000, tk::sine(96000, 96000, 24000, 0.5, M_PI / 4)},
        {"noise", 44100, tk::noise(88200, 0.8, 3)},
        {"noise", 192000, tk::noise(96000, 0.8, 5)},
        {"click", 48000, click},
        {"square 1 kHz", 44100, square(44100, 1000)},
        {"square 3.1 kHz", 48000, square(48000, 3100)},
        {"music, noise, tone and silence", r, music},
        {"fading noise", r, fading},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.name << " at " << c.rate);
        ebur128_state* st =
            ebur128_init(2, c.rate, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_S | EBUR128_MODE_TRUE_PEAK);
        ASSERT_NE(st, nullptr);
        const size_t hop = c.rate / 10;
        double maxM = -INFINITY, maxS = -INFINITY, peaks[2] = {0, 0};
        std::vector<double> series;
        for (size_t at = 0, n = 1; at + hop <= c.signal.size(); at += hop, ++n) {
            ebur128_add_frames_double(st, reinterpret_cast<const double*>(c.signal.data() + at), hop);
            double m = -INFINITY, s = -INFINITY;
            ebur128_loudness_momentary(st, &m);
            ebur128_loudness_shortterm(st, &s);
            maxM = std::max(maxM, m);
            if (n >= 30) maxS = std::max(maxS, s);
            if (n % 10 == 0) series.push_back(s);
        }
        const size_t rest = c.signal.size() % hop;
        const double* tail = reinterpret_cast<const double*>(c.signal.data() + c.signal.size() - rest);
        ebur128_add_frames_double(st, tail, rest);
        for (unsigned ch = 0; ch < 2; ++ch) ebur128_true_peak(st, ch, &peaks[ch]);
        double integrated = -INFINITY, range = 0;
        ebur128_loudness_global(st, &integrated);
        ebur128_loudness_range(st, &range);
        ebur128_destroy(&st);
        const SoundRef<SoundAlgoLoudness> whole = measure(c.signal, 1 << 20, true, c.rate);
        for (const SoundRef<SoundAlgoLoudness>& algo :
             {whole, measure(c.signal, 1001, false, c.rate), measure(c.signal, 613, true, c.rate)}) {
            for (int ch = 0; ch < 2; ++ch) EXPECT_NEAR(algo->getTruePeak(ch), tk::db(peaks[ch]), 0.01) << ch;
            EXPECT_NEAR(algo->getMaxMomentary(), maxM, 1e-6);
            EXPECT_TRUE(integrated == -INFINITY ? algo->getIntegrated() == -INFINITY
                                                : std::fabs(algo->getIntegrated() - integrated) < 1e-6)
                << algo->getIntegrated() << " vs " << integrated;
            EXPECT_NEAR(algo->getRange(), range, 1e-6);
            if (maxS > -INFINITY) { EXPECT_NEAR(algo->getMaxShortTerm(), maxS, 1e-6); }
            ASSERT_EQ(algo->getShortTerm().size(), series.size());
            for (size_t i = 0; i < series.size(); ++i)
                EXPECT_TRUE(series[i] < -200.0 ? algo->getShortTerm()[i] == -INFINITY
                                               : std::fabs(algo->getShortTerm()[i] - series[i]) < 1e-6)
                    << i << ": " << algo->getShortTerm()[i] << " vs " << series[i];
            EXPECT_EQ(algo->getFrameCount(), c.signal.size());
            for (const auto& f : kFigures) EXPECT_DOUBLE_EQ(f.of(*algo), f.of(*whole)) << f.name;
            EXPECT_EQ(algo->getSamplePeak(), whole->getSamplePeak());
        }
    }
}

// A mono recording, as the two equal channels a reader makes of it, told to be
// mono: its one channel measured as libebur128 measures it (integrated loudness,
// range, true peak), by the meter and by the analysis that builds one; measured
// as stereo, the same frames read 3.01 LU louder.
TEST(Loudness, MonoSourceIsMeasuredAsOneChannel) {
    Frames mono = tk::concat({tk::scaled(tk::mixedStereo(6 * kRate, kRate), 0.3),
                              tk::scaled(tk::noise(5 * kRate, 0.5, 4), 0.05), tk::sine(6 * kRate, kRate, 997, 0.2)});
    std::vector<double> channel;
    for (Frame& f : mono) channel.push_back(f.r = f.l);
    ebur128_state* st = ebur128_init(1, kRate, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    ASSERT_NE(st, nullptr);
    ebur128_add_frames_double(st, channel.data(), channel.size());
    double integrated = 0, range = 0, peak = 0;
    ebur128_loudness_global(st, &integrated);
    ebur128_loudness_range(st, &range);
    ebur128_true_peak(st, 0, &peak);
    ebur128_destroy(&st);

    auto meter = SoundRef<SoundAlgoLoudness>::make(0.0);
    meter->setSourceChannels(1);
    tk::run(*meter, mono, kRate, 777);
    SoundAlgoStatAnalysis::Settings settings;
    settings.bandStats = settings.stepDetector = settings.fftStats = false;
    settings.sourceChannels = 1;
    auto analysis = SoundRef<SoundAlgoStatAnalysis>::make(settings);
    tk::run(*analysis, mono, kRate);
    for (const SoundAlgoLoudness* l : {meter.get(), analysis->getLoudness()}) {
        EXPECT_NEAR(l->getIntegrated(), integrated, 0.05);
        EXPECT_NEAR(l->getRange(), range, 0.05);
        EXPECT_NEAR(l->getTruePeak(), tk::db(peak), 0.05);
        std::printf("[ mono ] I %.4f LUFS (libebur128 %.4f), LRA %.4f LU (%.4f), TP %.4f dBTP (%.4f)\n",
                    l->getIntegrated(), integrated, l->getRange(), range, l->getTruePeak(), tk::db(peak));
    }
    EXPECT_NEAR(measure(mono)->getIntegrated() - integrated, 10 * std::log10(2.0), 0.01);
}
