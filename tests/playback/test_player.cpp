// The player without an audio output: the equaliser chain it builds (bands,
// bass boost, anti-clip filter, presets) against a cascade of peaking bands run
// from their coefficients, the post-processing chain it hands to the device,
// and live changes from other threads while the device delivers PCM.
#include <cmath>
#include <thread>

#include "common/AudioServer.h"
#include "common/EqualiserKit.h"
#include "common/PlayerKit.h"
#include "common/Threading.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundPlayer.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// The player's pure operations, enough to drive its device by hand.
class TestPlayer : public SoundPlayer {
public:
    using SoundPlayer::lastFilterRank;
    using SoundPlayer::SoundPlayer;
    void preload() override {
        if (mDevice) mDevice->start();
        emit playerLoaded();
    }
    void start() override { mStopped = false; }
    void stop() override {
        if (mDevice) mDevice->stop();
        mStopped = true;
    }
    void endOfData() override {}
};

// A composite closed to further algorithms, as the library's own composites are.
struct Sealed : SoundAlgoComposite {
    explicit Sealed(SoundAlgo* algo) : SoundAlgoComposite("sealed") {
        pushAlgo(algo);
        setReadOnly();
    }
};

std::shared_ptr<tk::MemoryReader> reader(const Frames& in) { return std::make_shared<tk::MemoryReader>(in, kRate); }

// The equaliser's output against the cascade of `bands` run from their coefficients.
::testing::AssertionResult playsBands(TestPlayer& player, const std::vector<tk::EqBand>& bands) {
    const Frames in = tk::concat({tk::noise(3000, 0.1, 3), tk::silence(kRate / 2)});  // the tails included
    return tk::framesNear(tk::run(*player.getEqFilter(), in, kRate), tk::eqCascade(in, bands, kRate), 1e-12);
}
}  // namespace

// ---------------------------------------------------------------- equaliser

TEST(PlayerEqualizer, DefaultBandsAndPresets) {
    TestPlayer player(nullptr, nullptr, true);
    EXPECT_TRUE(player.getDevice() == nullptr && player.getReader() == nullptr && player.isStopped());
    EXPECT_TRUE(player.hasEqualizer() && player.hasBassBoost());
    EXPECT_EQ(player.getEqBandRange(), 8.0);
    EXPECT_EQ(player.getEqFilter()->getFilterNumber(), 0u) << "both switches start off";
    EXPECT_EQ(player.getEqGain(), 1.0);
    // The nine bands at 0 dB, then the bass-boost band.
    std::vector<tk::EqBand> bands = tk::defaultEqBands();
    bands.push_back(tk::bassBoostBand());
    ASSERT_EQ(player.getEqBandNumber(), 9u);
    for (unsigned i = 0; i < 10; ++i)
        EXPECT_EQ(std::make_pair(player.getEqBandFreq(i), player.getEqBandLevel(i)),
                  std::make_pair(bands[i].freq, bands[i].gain)) << i;
    // The presets' names and levels in order: CliEq.PresetsAndPicture; a preset played:
    // PlayerEqualizer.TheChainFollowsThePresetAndTheBandSettings.
    EXPECT_EQ(player.getEqPresets().size(), int(tk::defaultEqPresets().size()));

    TestPlayer bare(nullptr, nullptr, false);
    EXPECT_EQ(bare.getEqBandNumber(), 0u);
    EXPECT_FALSE(bare.hasEqualizer() || bare.hasBassBoost());
    EXPECT_TRUE(bare.getEqPresets().isEmpty());
    bare.setEqGain(0.5);
    EXPECT_EQ(bare.getEqGain(), 1.0) << "no band: the gain is not taken";
    bare.switchEq(true);
    bare.setEqPreset(0);
    EXPECT_EQ(bare.getEqFilter()->getFilterNumber(), 0u);
}

// Which bands run, and which one carries the anti-clip gain: a signal that
// would clip makes only that filter lower its gain.
TEST(PlayerEqualizer, SwitchesChooseTheBandsAndTheAntiClipFilter) {
    TestPlayer player(nullptr, nullptr, true);
    const Frames loud = tk::sine(20000, kRate, 150.0, 0.95);  // +8 dB of bass boost would clip
    const std::tuple<bool, bool, unsigned, int> cases[] = {
        {true, false, 9, 8}, {true, true, 10, 9}, {false, true, 1, 9}, {false, false, 0, 8}};
    for (const auto& [eq, bass, filters, clipRank] : cases) {
        SCOPED_TRACE(::testing::Message() << "eq " << eq << ", bass " << bass);
        player.switchEq(eq);
        player.switchBassBoost(bass);
        EXPECT_EQ(player.getEqFilter()->getFilterNumber(), filters);
        EXPECT_EQ(player.lastFilterRank(), clipRank);
        player.setEqGain(0.9);
        if (filters > 0) { EXPECT_DOUBLE_EQ(player.getEqFilter()->getFilterGain(filters - 1), 0.9); }
        EXPECT_EQ(player.getEqGain(), filters ? 0.9 : 1.0);
        player.setEqGain(1.0);
        tk::run(*player.getEqFilter(), loud, kRate);
        for (unsigned i = 0; i + 1 < filters; ++i)
            EXPECT_EQ(player.getEqFilter()->getFilterGain(i), 1.0) << i;
        // The bass band's 8 dB makes the clip filter step in.
        if (bass) { EXPECT_LT(player.getEqGain(), 0.75); }
        if (!bass) { EXPECT_EQ(player.getEqGain(), 1.0); }
    }
}

TEST(PlayerEqualizer, TheChainFollowsThePresetAndTheBandSettings) {
    TestPlayer player(nullptr, nullptr, true);
    player.switchEq(true);
    player.setEqPreset(7);
    EXPECT_EQ(player.getEqBandLevel(9), 8.0) << "the bass-boost band keeps its level";
    auto bands = tk::withLevels(tk::defaultEqBands(), tk::defaultEqPresets()[7].levels);
    EXPECT_TRUE(playsBands(player, bands));
    // Band settings replace one filter; out-of-range indices change nothing.
    for (unsigned band : {3u, 20u}) {
        player.setEqFreq(band, 700.0);
        player.setEqWidth(band, 1.0);
        player.setEqLevel(band, -6.0);
    }
    bands[3] = {700.0, 1.0, -6.0};
    EXPECT_EQ(player.getEqBandFreq(20), 0.0);
    EXPECT_EQ(player.getEqBandLevel(20), 0.0);
    EXPECT_EQ(player.getEqFilter()->getFilterNumber(), 9u);
    player.switchBassBoost(true);
    bands.push_back(tk::bassBoostBand());
    EXPECT_TRUE(playsBands(player, bands));
    // With the equaliser off the bass-boost band still changes at once.
    player.switchEq(false);
    player.setEqLevel(9, 3.0);
    EXPECT_TRUE(playsBands(player, {{150.0, 0.5, 3.0}}));
    // Band changes made while the equaliser is off are played once it is on.
    player.setEqLevel(0, 5.0);
    EXPECT_EQ(player.getEqFilter()->getFilterNumber(), 1u);
    player.switchEq(true);
    bands[0].gain = 5.0;
    bands[9].gain = 3.0;
    EXPECT_TRUE(playsBands(player, bands));
}

// Raising a band keeps the reduction the anti-clip filter has made; lowering one
// ramps the gain back to 1.0.
TEST(PlayerEqualizer, LoweringABandRestoresTheOutputGain) {
    TestPlayer player(nullptr, nullptr, true);
    player.switchEq(true);
    player.setEqLevel(4, 6.0);  // 1 kHz
    tk::run(*player.getEqFilter(), tk::sine(8000, kRate, 1000.0, 0.9), kRate);
    const double reduced = player.getEqGain();
    EXPECT_LT(reduced, 0.6);
    const Frames quiet = tk::sine(44100, kRate, 1000.0, 0.01);
    player.setEqLevel(2, 3.0);
    tk::run(*player.getEqFilter(), quiet, kRate);
    EXPECT_EQ(player.getEqGain(), reduced) << "a raise keeps the gain, which never rises by itself";
    player.setEqLevel(2, 1.0);
    tk::run(*player.getEqFilter(), quiet, kRate);
    // A linear ramp to 1.0 over 440000 frames, of which 44100 have played.
    EXPECT_NEAR(player.getEqGain(), reduced + (1.0 - reduced) * 44100.0 / 440000.0, 1e-9);
}

TEST(PlayerEqualizer, HostBandsAndPresets) {
    TestPlayer player(nullptr, nullptr, false);
    std::vector<std::shared_ptr<SoundTools::BiquadEqBuilder>> bands = {
        std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, 100.0, 1.0, 2.0), nullptr,
        std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, 3000.0, 2.0, -3.0)};
    player.setEqualizer(bands);
    EXPECT_EQ(player.getEqBandNumber(), 2u) << "null bands are skipped";
    EXPECT_EQ(player.getEqBandFreq(2), 150.0) << "a bass-boost band is appended";
    EXPECT_EQ(player.getEqFilter()->getFilterNumber(), 0u) << "nothing is rebuilt yet";
    player.setEqualizerPresets({{"Mine", {6.0, -6.0}}, {"Short", {1.0}}});
    EXPECT_EQ(player.getEqPresets(), QStringList({"Mine", "Short"}));
    player.setEqPreset(1);
    EXPECT_EQ(player.getEqBandLevel(0), 2.0) << "a preset without a level for every band is ignored";
    player.setEqPreset(5);
    player.setEqPreset(0);
    EXPECT_EQ(bands[0]->gain(), 6.0) << "the bands are shared with the host";
    EXPECT_EQ(player.getEqFilter()->getFilterNumber(), 0u) << "with no filter running, a preset keeps the eq off";
    player.switchEq(true);
    EXPECT_TRUE(playsBands(player, {{100.0, 1.0, 6.0}, {3000.0, 2.0, -6.0}}));
    // The default equaliser goes after the host's bands, the bass band last.
    player.buildDefaultEqualizer();
    EXPECT_EQ(player.getEqBandNumber(), 11u);
    EXPECT_EQ(player.getEqBandFreq(0), 100.0);
    EXPECT_EQ(player.getEqBandFreq(2), 60.0);
    EXPECT_EQ(player.getEqBandFreq(11), 150.0);
}

// ---------------------------------------------------------------- device chains

TEST(PlayerThreads, TheEqualizerRunsFirstInThePostProcessingChain) {
    tk::Watchdog dog("TheEqualizerRunsFirstInThePostProcessingChain");
    const Frames in = tk::mixedStereo(20000, kRate, 5);
    const Frames eqd = tk::eqCascade(tk::scaled(in, 0.5), tk::withLevels(tk::defaultEqBands(), tk::defaultEqPresets()[3].levels), kRate);
    auto gain = SoundRef<SoundAlgoScale>::make(-6.0206);  // the main chain
    const auto scale = [](double db) { return SoundRef<SoundAlgoScale>::make(db).release(); };
    // The host's chain: none (the equaliser alone), a single algorithm, a
    // composite, a sealed composite (wrapped, so that the equaliser still runs first).
    const std::pair<SoundAlgo*, double> hosts[] = {
        {nullptr, 0.0}, {scale(-6.0), -6.0},
        {&tk::fill(*SoundRef<SoundAlgoComposite>::make("host").release(), {{scale(-3.0)}}), -3.0},
        {SoundRef<Sealed>::make(scale(-2.0)).release(), -2.0}};
    for (const auto& [host, hostDb] : hosts) {
        SCOPED_TRACE(::testing::Message() << "host chain " << hostDb << " dB");
        TestPlayer player(reader(in), gain.get(), true);
        player.setEqPreset(3);  // Bass
        player.switchEq(true);
        player.setPostProcessingChain(host);
        EXPECT_TRUE(player.getDevice()->hasPostProcessing());
        EXPECT_EQ(player.getEqFilter()->refCount(), 2) << "the player's and the chain's";
        player.preload();
        EXPECT_TRUE(tk::framesNear(tk::readDevice(*player.getDevice()), tk::quantise16(tk::scaled(eqd, tk::fromDb(hostDb))),
                                   1.0 / 32768 + 1e-12));
        player.stop();
    }
    EXPECT_EQ(gain->refCount(), 1);
}

// Level changes from another thread, as a user interface makes them, reach the
// running chain; a chain cannot be installed while playing.
TEST(PlayerThreads, GateAndAmplifierLevelsReachTheRunningChain) {
    tk::Watchdog dog("GateAndAmplifierLevelsReachTheRunningChain");
    TestPlayer player(reader(tk::sine(10 * kRate, kRate, 440.0, 0.5)), nullptr, true);
    tk::installGateAndAmplifier(player, 0.0, -60.0, 0.001, 0.01);
    player.preload();
    SoundAlgoDevice& dev = *player.getDevice();
    EXPECT_NEAR(tk::rms(tk::readDevice(dev, 4096, 8192)), 0.5 / std::sqrt(2.0), 1e-3);
    std::thread([&] { player.setAmpLevel(-6.0206); }).join();
    tk::readDevice(dev, 4096, 5 * 8192);  // what the pipes held at the old level
    EXPECT_NEAR(tk::rms(tk::readDevice(dev, 4096, 8192)), 0.25 / std::sqrt(2.0), 1e-3);
    std::thread([&] { player.setGateLevel(0.0); }).join();
    tk::readDevice(dev, 4096, 5 * 8192);
    EXPECT_EQ(tk::rms(tk::readDevice(dev, 4096, 8192)), 0.0) << "everything is below 0 dB: the gate is shut";
    auto late = SoundRef<SoundAlgoScale>::make(0.0);
    player.setPostProcessingChain(SoundRef<SoundAlgoScale>::share(late.get()).release());
    EXPECT_EQ(late->refCount(), 1) << "refused: the handed reference is dropped";
    EXPECT_EQ(player.getEqFilter()->refCount(), 2) << "the equaliser stays in the running chain";
    player.stop();
}

// Another thread changes every setting at random while the device delivers, as
// an output would pull it; the output stays whole and the chain never stalls.
TEST(PlayerThreads, LiveChangesFromAnotherThreadWhileTheDeviceDelivers) {
    tk::Watchdog dog("LiveChangesFromAnotherThreadWhileTheDeviceDelivers");
    const Frames in = tk::mixedStereo(6 * kRate, kRate, 2);
    TestPlayer player(reader(in), nullptr, true);
    tk::installGateAndAmplifier(player, -3.0);
    player.preload();
    tk::RandomPlayerChanges host(player, 12, false, std::chrono::microseconds(200));
    EXPECT_EQ(tk::readDevice(*player.getDevice()).size(), in.size());
    EXPECT_GT(host.stop(), 10);
    player.stop();
}
