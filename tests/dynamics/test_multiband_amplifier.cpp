// SoundAlgoFilterMultibandAmplifier and SoundAlgoFFTMultibandAmplifier: how they
// are built, the recombined FFT bands against convolution with the sum of the
// band filters, and band levels before and after on tones with one tone per band
// and a region list that asks for known gains.
#include <cmath>

#include "common/FilterKit.h"
#include "common/FourierKit.h"
#include "common/Recordings.h"
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

Frames threeTones(size_t n, double extraLow = 0.0) {
    Frames f(n);
    for (size_t i = 0; i < n; ++i) {
        double v = extraLow * std::sin(2.0 * M_PI * kTones[0] * double(i) / kRate);
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

// The sum of the band filters of an FFT multiband amplifier, as it builds them.
std::vector<double> fftBandSum(unsigned N) {
    std::vector<double> sum;
    for (size_t k = 0; k <= kSplits.size(); ++k) {
        const double lo = k ? kSplits[k - 1] + 150.0 : kSplits[0];
        const auto type = k == 0 ? SoundTools::LowPass : k < kSplits.size() ? SoundTools::BandPass : SoundTools::HighPass;
        std::vector<double> h;
        EXPECT_EQ(SoundAlgoFFTFilter(type, lo, type == SoundTools::BandPass ? kSplits[k] : 0.0).design(kRate, N, h), SoundTools::Ok);
        sum.resize(h.size(), 0.0);
        for (size_t i = 0; i < h.size(); ++i) sum[i] += h[i];
    }
    return sum;
}

}  // namespace

// No split frequency builds an empty composite, which refuses to run.
TEST(MultibandAmplifier, NoSplitFrequencyBuildsNothingToRun) {
    SoundAlgoFilterMultibandAmplifier noFilter({}, -20.0, 0.005, 0.1, 1.0, nullptr, SoundAlgoComposite::CrossoverSplit);
    SoundAlgoFFTMultibandAmplifier noFFT({}, -20.0, 0.005, 0.1, nullptr);
    for (SoundAlgoMultibandAmplifier* none : std::vector<SoundAlgoMultibandAmplifier*>{&noFilter, &noFFT}) {
        EXPECT_EQ(none->getBranchNumber(), 0u);
        none->setLevel(-3.0);
        none->reset();
        EXPECT_EQ(none->getLevel(1.0), 0.0);
        SoundTools::Status status = SoundTools::Ok;
        EXPECT_TRUE(tk::run(*none, tk::noise(1000), kRate, 1024, &status).empty());
        EXPECT_EQ(status, SoundTools::Error);
    }
}

// With level 0 the FFT amplifier is its band filters added up: the output is
// the convolution of the stream with the sum of their taps, and its chain is
// sealed. Levelled, every band
// gets the gain its region asks for (+10 dB, then 0 dB) and the bands add up
// again: each tone comes out at its level times that gain times the response of
// the band filters at its frequency, the right channel at half.
TEST(MultibandAmplifier, FFTBandsAreLevelledSummedOrApart) {
    const Frames noise = tk::mixedStereo(40000, kRate, 9);
    SoundAlgoFFTMultibandAmplifier flat(kSplits, 0.0, 0.005, 0.1, nullptr, 2048, true);
    SoundTools::Status status;
    const Frames flatOut = tk::run(flat, noise, kRate, 777, &status);
    const size_t members = flat.getBranch(0).size();
    auto extra = SoundRef<SoundAlgoScale>::make(0.0);
    flat.pushAlgo(extra.get());  // the chain is sealed: ignored, the reference stays the caller's
    EXPECT_EQ(flat.getBranch(0).size(), members);
    ASSERT_EQ(status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
    EXPECT_TRUE(tk::framesNear(flatOut, tk::fullConvolution(noise, fftBandSum(2048)), 1e-9));

    const std::vector<double> sum = fftBandSum(8192);
    auto det = twoRegions();
    const Frames in = threeTones(2 * kRegion);
    SoundAlgoFFTMultibandAmplifier amp(kSplits, -20.0, 0.005, 0.05, det.get(), 8192, true);
    const Frames out = tk::run(amp, in, kRate, 1500, &status);
    ASSERT_EQ(status, SoundTools::Ok);
    ASSERT_EQ(out.size(), in.size() + 446);
    for (int b = 0; b < 3; ++b) {
        const double through = kAmps[b] * std::abs(tk::firResponse(sum, kTones[b] / kRate));
        EXPECT_NEAR(tone(out, kQuietAt, kTones[b]) / (std::sqrt(10.0) * through), 1.0, 1e-6) << kTones[b];
        EXPECT_NEAR(tone(out, kLoudAt, kTones[b]) / through, 1.0, 1e-6) << kTones[b];
    }
    double l = 0.0, r = 0.0;
    for (size_t i = kQuietAt; i < kQuietAt + kRate; ++i) l += out[i].l * out[i].l, r += out[i].r * out[i].r;
    EXPECT_NEAR(std::sqrt(r / l), 0.5, 1e-9);
    // The interface reports the lowest band's region gain.
    EXPECT_NEAR(amp.getLevel(1.0), 10.0, 1e-9);
    EXPECT_NEAR(amp.getLevel(4.0), 0.0, 1e-9);

    // Without the sum each band is an output of its own: it carries its own tone
    // (levelled) and next to nothing of the others; the lowest band, pushed past
    // full scale (0.5 at +10 dB), is held down by its limiter while the others
    // keep their gain.
    const Frames hot = threeTones(2 * kRegion, 0.46);
    const std::vector<Frames> bands = tk::runOutputs(
        SoundRef<SoundAlgoFFTMultibandAmplifier>::make(kSplits, -20.0, 0.005, 0.05, det.get(), 8192u, false).release(), 3,
        hot, kRate, 4096, &status);
    ASSERT_EQ(status, SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
    for (size_t b = 0; b < 3; ++b) {
        SCOPED_TRACE(b);
        const Frames& band = bands[b];
        ASSERT_GE(band.size(), hot.size());
        for (size_t other = (b + 1) % 3; other != b; other = (other + 1) % 3)  // the two other bands
            EXPECT_LT(tone(band, kQuietAt, kTones[other]), 2e-3 * std::sqrt(10.0) * 0.5) << other;
        const double quiet = tone(band, kQuietAt, kTones[b]), loud = tone(band, kLoudAt, kTones[b]);
        if (b == 0) {
            EXPECT_LE(tk::peak(Frames(band.begin() + long(kQuietAt), band.begin() + long(kRegion))), SoundAlgoLimiter::kClipTrigger);
            EXPECT_GT(quiet, 0.9);
            EXPECT_NEAR(loud, 0.5, 0.5 * 0.06);
        } else {
            EXPECT_NEAR(quiet / (std::sqrt(10.0) * kAmps[b]), 1.0, 0.04);
            EXPECT_NEAR(loud / kAmps[b], 1.0, 0.04);
        }
    }
}

// The IIR variant with per-band offsets of +4, 0 and -6 dB: each tone comes out
// at its region's gain plus its band's offset, and the sum passes the final
// limiter's -0.3 dB; each band but the highest has a limiter, each amplifier is
// named after its band. The level interface then reaches every band.
TEST(MultibandAmplifier, FilterBandsAreLevelledWithTheirOffsets) {
    const std::vector<double> offsets = {4.0, 0.0, -6.0};
    auto det = twoRegions();
    const Frames in = threeTones(2 * kRegion);
    SoundAlgoFilterMultibandAmplifier amp(kSplits, -20.0, 0.005, 0.05, 0.05, det.get(), SoundAlgoComposite::CrossoverSplit,
                                          0, 10.0, offsets);
    SoundTools::Status status;
    const Frames out = tk::run(amp, in, kRate, 999, &status);
    ASSERT_EQ(status, SoundTools::Ok);
    ASSERT_EQ(out.size(), in.size());
    ASSERT_EQ(amp.getAmplifiers().size(), 3u);
    EXPECT_EQ(amp.getLimiters().size(), 2u);  // none on the highest band
    EXPECT_EQ(amp.getAmplifiers()[1]->getId(), "[500-5000]");
    for (int b = 0; b < 3; ++b) {
        const double through = kAmps[b] * tk::fromDb(offsets[size_t(b)] - 0.3);
        // The crossovers' neighbouring bands leak about 1 % of each tone at
        // their own offsets: 0.25 dB of slack.
        EXPECT_NEAR(tk::db(tone(out, kQuietAt, kTones[b]) / (std::sqrt(10.0) * through)), 0.0, 0.25) << kTones[b];
        EXPECT_NEAR(tk::db(tone(out, kLoudAt, kTones[b]) / through), 0.0, 0.25) << kTones[b];
    }
    EXPECT_NEAR(amp.getLevel(1.0), 10.0 + offsets[0], 1e-9);

    amp.setLevel(-14.0);  // the offsets were part of the old targets: one level for all now
    auto allAt = [&](double db) {
        for (SoundAlgoRMSAmplifier* a : amp.getAmplifiers()) EXPECT_NEAR(a->getLevel(1.0), db, 1e-9);
    };
    allAt(16.0);
    EXPECT_NEAR(amp.getLevel(4.0), 6.0, 1e-9);
    // The quieter channel is raised to the louder one: left 6 dB below the
    // right asks 6 dB more on the left, and the region's level reads 6 dB higher.
    amp.SetBalanceFromRMS(SoundTools::StereoFrame<double>(-26.0, -20.0));
    allAt(10.0);
    amp.reset();
    allAt(16.0);
    amp.SetDebugFile("trace");  // names the limiters' traces; they take none after construction
    amp.changeSong();
    for (SoundAlgoLimiter* l : amp.getLimiters()) EXPECT_DOUBLE_EQ(l->getLevel(0.0), 0.0);
}
