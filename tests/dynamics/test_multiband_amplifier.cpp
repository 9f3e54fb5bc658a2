// SoundAlgoFilterMultibandAmplifier and SoundAlgoFFTMultibandAmplifier: how they
// are built, the recombined FFT bands against convolution with the sum of the
// band filters, and band levels before and after on tones with one tone per band
// and a region list that asks for known gains.
#include <atomic>
#include <cmath>
#include <thread>

#include "common/FilterKit.h"
#include "common/Recordings.h"
#include "common/FourierKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoFFTFilter.h"
#include "tonewright/SoundAlgoMultibandAmplifier.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
constexpr size_t kRegion = 3 * kRate;  // two regions of 3 s

// One tone in each of the bands split at 500 and 5000 Hz, more than 1.6 octaves
// from the edges; the right channel is the left at half the level.
const std::vector<double> kSplits = {500.0, 5000.0};
const double kTones[3] = {100.0, 1580.0, 16000.0};
const double kAmps[3] = {0.04, 0.03, 0.02};

Frames threeTones(size_t n) {
    Frames f(n);
    for (size_t i = 0; i < n; ++i) {
        double v = 0.0;
        for (int b = 0; b < 3; ++b) v += kAmps[b] * std::sin(2.0 * M_PI * kTones[b] * double(i) / kRate);
        f[i] = Frame(v, 0.5 * v);
    }
    return f;
}

// Regions at -30 dB then -20 dB (both channels), and the end marker: at a target
// of -20 dB they ask for gains of +10 dB and 0 dB.
SoundRef<RMSStepDetector> twoRegions() {
    return tk::detectorFromList({tk::region(0, int(kRegion), -30, -30), tk::region(int(kRegion), int(kRegion), -20, -20),
                                 tk::region(int(2 * kRegion), 0, -100, -100, true)});
}

// Amplitude of the left channel's component at `freq` over 0.5 s from `from`
// (whole periods of every tone used here).
double tone(const Frames& f, size_t from, double freq) { return tk::toneAmplitude(f, from, kRate / 2, freq, kRate); }

// Steady stretches of each region: past the ramp between them, the filters'
// delay and the end of the stream.
const size_t kQuietAt = kRate, kLoudAt = kRegion + 3 * kRate / 2;

// The band filters of an FFT multiband amplifier, as it builds them.
std::vector<std::vector<double>> fftBandTaps(const std::vector<double>& freqs, unsigned N) {
    std::vector<std::vector<double>> taps;
    const size_t n = freqs.size();
    for (size_t k = 0; k <= n; ++k) {
        std::unique_ptr<SoundAlgoFFTFilter> f;
        if (k == 0)
            f = std::make_unique<SoundAlgoFFTFilter>(SoundTools::LowPass, freqs[0], 0.0);
        else if (k < n)
            f = std::make_unique<SoundAlgoFFTFilter>(SoundTools::BandPass, freqs[k - 1] + 150.0, freqs[k]);
        else
            f = std::make_unique<SoundAlgoFFTFilter>(SoundTools::HighPass, freqs[n - 1] + 150.0, 0.0);
        taps.emplace_back();
        EXPECT_EQ(f->design(kRate, N, taps.back()), SoundTools::Ok);
    }
    return taps;
}

template <class T>
int countMembers(const SoundAlgoComposite& c) {
    int n = 0;
    for (size_t b = 0; b < c.getBranchNumber(); ++b)
        for (SoundAlgo* m : c.getBranch(b)) {
            if (dynamic_cast<T*>(m)) ++n;
            if (auto* sub = dynamic_cast<SoundAlgoComposite*>(m)) n += countMembers<T>(*sub);
        }
    return n;
}
}  // namespace

// The band filters, the final limiter's -0.3 dB and the band limiters' levels
// are checked by what the amplifiers do to tones below; here, what is named and
// counted.
TEST(MultibandAmplifier, BandsAmplifiersAndLimiters) {
    auto det = twoRegions();
    SoundAlgoFilterMultibandAmplifier amp({200, 2000, 8000}, -20.0, 0.005, 0.1, 1.0, det.get(),
                                          SoundAlgoComposite::CrossoverSplit);
    EXPECT_EQ(amp.getId(), "SoundAlgoFilterMultibandAmplifier");
    ASSERT_EQ(amp.getAmplifiers().size(), 4u);
    ASSERT_EQ(amp.getLimiters().size(), 3u);  // the highest band has none
    const char* labels[] = {"[0-200]", "[200-2000]", "[2000-8000]", "[8000-22050]"};
    for (int b = 0; b < 4; ++b) EXPECT_EQ(amp.getAmplifiers()[size_t(b)]->getId(), labels[b]);
    for (int b = 0; b < 3; ++b) EXPECT_EQ(amp.getLimiters()[size_t(b)]->getId(), labels[b]);
    EXPECT_EQ(countMembers<SoundAlgoLimiter>(amp), 4);  // and one after the sum
    EXPECT_EQ(countMembers<SoundAlgoRMSAmplifier>(amp), 4);

    struct Case {
        double level;
        bool sum;
        size_t amplifiers, limiters;
        int allLimiters;
        unsigned outputs;
    };
    // Level 0: the band filters alone. A level: an amplifier and a limiter per
    // band, and one after the sum if there is one.
    for (const Case& c : {Case{0.0, true, 0, 0, 0, 1}, Case{-20.0, true, 4, 4, 5, 1}, Case{-20.0, false, 4, 4, 4, 4}}) {
        SoundAlgoFFTMultibandAmplifier fft({200, 2000, 8000}, c.level, 0.005, 0.1, det.get(), 4096, c.sum);
        EXPECT_EQ(fft.getId(), "SoundAlgoFFTMultibandAmplifier");
        EXPECT_EQ(fft.getAmplifiers().size(), c.amplifiers);
        EXPECT_EQ(fft.getLimiters().size(), c.limiters);
        EXPECT_EQ(countMembers<SoundAlgoLimiter>(fft), c.allLimiters);
        EXPECT_EQ(fft.getOutputNumber(), c.outputs);
        if (c.level == 0.0) {
            EXPECT_EQ(fft.getLevel(1.0), 0.0);
            EXPECT_EQ(fft.getDelay(kRate), SoundAlgoFFTFilter::getTapNumber(4096) - 1);  // the band filters'
        }
        const size_t members = fft.getBranch(0).size();
        SoundAlgoScale* extra = SoundRef<SoundAlgoScale>::make(0.0).release();
        fft.pushAlgo(extra);  // sealed: ignored, the reference stays the caller's
        EXPECT_EQ(fft.getBranch(0).size(), members);
        if (fft.getBranch(0).size() == members) extra->releaseRef();
    }
}

// No split frequency: an empty composite, which refuses to run.
TEST(MultibandAmplifier, NoSplitFrequencyBuildsNothing) {
    SoundAlgoFilterMultibandAmplifier filter({}, -20.0, 0.005, 0.1, 1.0, nullptr, SoundAlgoComposite::CrossoverSplit);
    SoundAlgoFFTMultibandAmplifier fft({}, -20.0, 0.005, 0.1, nullptr);
    for (SoundAlgoMultibandAmplifier* amp : {static_cast<SoundAlgoMultibandAmplifier*>(&filter),
                                             static_cast<SoundAlgoMultibandAmplifier*>(&fft)}) {
        EXPECT_EQ(amp->getBranchNumber(), 0u);
        EXPECT_EQ(amp->getLevel(1.0), 0.0);
        amp->setLevel(-3.0);
        amp->reset();
        SoundTools::Status status = SoundTools::Ok;
        EXPECT_TRUE(tk::run(*amp, tk::noise(1000), kRate, 1024, &status).empty());
        EXPECT_EQ(status, SoundTools::Error);
    }
}

// With level 0 the FFT amplifier is its band filters added up: the output is
// the convolution of the stream with the sum of their taps.
TEST(MultibandAmplifier, FFTBandsRecombineToTheSumOfTheirFilters) {
    const std::vector<double> freqs = kSplits;
    const unsigned N = 2048;
    const auto taps = fftBandTaps(freqs, N);
    std::vector<double> sum(taps[0].size(), 0.0);
    for (const auto& h : taps)
        for (size_t i = 0; i < h.size(); ++i) sum[i] += h[i];
    const Frames in = tk::mixedStereo(40000, kRate, 9);
    SoundAlgoFFTMultibandAmplifier amp(freqs, 0.0, 0.005, 0.1, nullptr, N, true);
    SoundTools::Status status;
    const Frames out = tk::run(amp, in, kRate, 777, &status);
    ASSERT_EQ(status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
    EXPECT_TRUE(tk::framesNear(out, tk::fullConvolution(in, sum), 1e-9));
}

// Every band gets the gain its region asks for (+10 dB, then 0 dB) and the bands
// add up again: each tone comes out at its level times that gain times the
// response of the band filters at its frequency.
TEST(MultibandAmplifier, FFTBandsAreLevelledAndRecombined) {
    const std::vector<double> freqs = kSplits;
    const unsigned N = 8192;
    const auto taps = fftBandTaps(freqs, N);
    auto det = twoRegions();
    const Frames in = threeTones(2 * kRegion);
    SoundAlgoFFTMultibandAmplifier amp(freqs, -20.0, 0.005, 0.05, det.get(), N, true);
    SoundTools::Status status;
    const Frames out = tk::run(amp, in, kRate, 1500, &status);
    ASSERT_EQ(status, SoundTools::Ok);
    ASSERT_EQ(out.size(), in.size() + 446);
    for (int b = 0; b < 3; ++b) {
        tk::Complex response(0.0, 0.0);
        for (const auto& h : taps) response += tk::firResponse(h, kTones[b] / kRate);
        const double through = kAmps[b] * std::abs(response);
        EXPECT_NEAR(tone(in, kQuietAt, kTones[b]), kAmps[b], 1e-9);
        EXPECT_NEAR(tone(out, kQuietAt, kTones[b]) / (std::sqrt(10.0) * through), 1.0, 1e-6) << kTones[b];
        EXPECT_NEAR(tone(out, kLoudAt, kTones[b]) / through, 1.0, 1e-6) << kTones[b];
    }
    // The right channel follows at half the level.
    double l = 0.0, r = 0.0;
    for (size_t i = kQuietAt; i < kQuietAt + kRate; ++i) {
        l += out[i].l * out[i].l;
        r += out[i].r * out[i].r;
    }
    EXPECT_NEAR(std::sqrt(r / l), 0.5, 1e-9);
    // The interface reports the lowest band's region gain.
    EXPECT_NEAR(amp.getLevel(1.0), 10.0, 1e-9);
    EXPECT_NEAR(amp.getLevel(4.0), 0.0, 1e-9);
}

// Without the sum each band is an output of its own: it carries its own tone
// (levelled) and next to nothing of the others; a band pushed past full scale
// is held down by its limiter while the others keep their gain.
TEST(MultibandAmplifier, FFTBandsSeparately) {
    const std::vector<double> freqs = kSplits;
    auto det = twoRegions();
    Frames in = threeTones(2 * kRegion);
    // The lowest tone at 0.5: +10 dB would take it to 1.58.
    for (size_t i = 0; i < in.size(); ++i) {
        const double extra = 0.46 * std::sin(2.0 * M_PI * kTones[0] * double(i) / kRate);
        in[i].l += extra;
        in[i].r += 0.5 * extra;
    }
    SoundTools::Status status;
    const std::vector<Frames> bands = tk::runOutputs(
        SoundRef<SoundAlgoFFTMultibandAmplifier>::make(freqs, -20.0, 0.005, 0.05, det.get(), 8192u, false).release(), 3,
        in, kRate, 4096, &status);
    ASSERT_EQ(status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
    for (int b = 0; b < 3; ++b) {
        const Frames& band = bands[size_t(b)];
        ASSERT_GE(band.size(), in.size());
        for (int other = 0; other < 3; ++other) {
            const double quiet = tone(band, kQuietAt, kTones[other]), loud = tone(band, kLoudAt, kTones[other]);
            if (other != b) {
                EXPECT_LT(quiet, 2e-3 * std::sqrt(10.0) * 0.5) << "band " << b << ", tone " << other;
                continue;
            }
            if (b == 0) {
                // Limited: peaks at the ceiling, far below the +10 dB asked for.
                EXPECT_LE(tk::peak(Frames(band.begin() + long(kQuietAt), band.begin() + long(kRegion))),
                          SoundAlgoLimiter::kClipTrigger);
                EXPECT_GT(quiet, 0.9);
                EXPECT_NEAR(loud, 0.5, 0.5 * 0.06);
            } else {
                EXPECT_NEAR(quiet / (std::sqrt(10.0) * kAmps[b]), 1.0, 0.04) << "band " << b;
                EXPECT_NEAR(loud / kAmps[b], 1.0, 0.04) << "band " << b;
            }
        }
    }
}

// The IIR variant with per-band offsets of +4, 0 and -6 dB: each tone comes out
// at its region's gain plus its band's offset, and the sum passes the final
// limiter's -0.3 dB.
TEST(MultibandAmplifier, FilterBandsAreLevelledWithTheirOffsets) {
    const std::vector<double> offsets = {4.0, 0.0, -6.0};
    auto det = twoRegions();
    const Frames in = threeTones(2 * kRegion);
    SoundAlgoFilterMultibandAmplifier amp(kSplits, -20.0, 0.005, 0.05, 0.05, det.get(),
                                          SoundAlgoComposite::CrossoverSplit, 0, 10.0, offsets);
    SoundTools::Status status;
    const Frames out = tk::run(amp, in, kRate, 999, &status);
    ASSERT_EQ(status, SoundTools::Ok);
    ASSERT_EQ(out.size(), in.size());
    for (int b = 0; b < 3; ++b) {
        const double through = kAmps[b] * tk::fromDb(offsets[size_t(b)] - 0.3);
        // The crossovers' neighbouring bands leak about 1 % of each tone at
        // their own offsets: 0.25 dB of slack.
        EXPECT_NEAR(tk::db(tone(out, kQuietAt, kTones[b]) / (std::sqrt(10.0) * through)), 0.0, 0.25) << kTones[b];
        EXPECT_NEAR(tk::db(tone(out, kLoudAt, kTones[b]) / through), 0.0, 0.25) << kTones[b];
    }
    EXPECT_NEAR(amp.getLevel(1.0), 10.0 + offsets[0], 1e-9);
}

TEST(MultibandAmplifier, LevelInterfaceReachesEveryBand) {
    auto det = twoRegions();
    SoundAlgoFilterMultibandAmplifier amp(kSplits, -20.0, 0.005, 0.05, 0.05, det.get(),
                                          SoundAlgoComposite::CrossoverSplit, 0, 10.0, {4.0, 0.0, -6.0});
    tk::run(amp, threeTones(2 * kRegion), kRate);
    amp.setLevel(-14.0);  // the offsets were part of the old targets: one level for all now
    for (SoundAlgoRMSAmplifier* a : amp.getAmplifiers()) EXPECT_NEAR(a->getLevel(1.0), 16.0, 1e-9);
    EXPECT_NEAR(amp.getLevel(4.0), 6.0, 1e-9);
    // The quieter channel is raised to the louder one: left 6 dB below the
    // right asks 6 dB more on the left, and the region's level reads 6 dB higher.
    amp.SetBalanceFromRMS(SoundTools::StereoFrame<double>(-26.0, -20.0));
    for (SoundAlgoRMSAmplifier* a : amp.getAmplifiers()) EXPECT_NEAR(a->getLevel(1.0), 10.0, 1e-9);
    amp.reset();
    for (SoundAlgoRMSAmplifier* a : amp.getAmplifiers()) EXPECT_NEAR(a->getLevel(1.0), 16.0, 1e-9);
    amp.SetDebugFile("trace");  // names the limiters' traces; they take none after construction
    amp.changeSong();
    for (SoundAlgoLimiter* l : amp.getLimiters()) EXPECT_DOUBLE_EQ(l->getLevel(0.0), 0.0);
}

// A player changes the level from its own thread while the amplifier runs.
TEST(MultibandAmplifierThreads, LevelChangesWhileRunning) {
    auto det = twoRegions();
    SoundAlgoFFTMultibandAmplifier amp(kSplits, -20.0, 0.005, 0.05, det.get(), 4096, true);
    std::atomic<bool> done{false};
    std::thread player([&] {
        int i = 0;
        while (!done.load()) {
            amp.setLevel(i++ % 2 ? -20.0 : -26.0);
            amp.getLevel(1.5);
            std::this_thread::yield();
        }
    });
    SoundTools::Status status;
    const Frames out = tk::run(amp, threeTones(2 * kRegion), kRate, 2048, &status);
    done = true;
    player.join();
    EXPECT_EQ(status, SoundTools::Ok);
    ASSERT_EQ(out.size(), 2 * kRegion + 446);
    for (const Frame& f : out) ASSERT_TRUE(std::isfinite(f.l) && std::isfinite(f.r) && f.absmax() <= 1.0);
}
