// The player through a real audio output: Qt Multimedia into a PulseAudio null
// sink of the test program's own, recorded from the sink's monitor with parec
// and compared with the signal the chains were meant to produce. Every test
// runs the device's threads and the output's, so every suite name ends in
// Threads, the ctest label threads (except the format check, which plays
// nothing). The device's failures and lifecycle are playback/test_device's.
#include <QAudioFormat>
#include <QAudioOutput>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/AudioServer.h"
#include "common/PlayerKit.h"
#include "common/Threading.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"
#include "tonewright/SoundPlayerQt.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// Starts the program's audio server before anything touches the audio system.
struct AudioEnvironment : ::testing::Environment {
    void SetUp() override { ready = tk::AudioServer::ensure(&why); }
    void TearDown() override { tk::AudioServer::shutdown(); }
    static bool ready;
    static std::string why;
};
bool AudioEnvironment::ready = false;
std::string AudioEnvironment::why;
::testing::Environment* const kAudioEnvironment = ::testing::AddGlobalTestEnvironment(new AudioEnvironment);

#define REQUIRE_AUDIO()                                                                              \
    do {                                                                                             \
        if (!AudioEnvironment::ready) GTEST_SKIP() << "no audio server: " << AudioEnvironment::why; \
    } while (0)

// Runs the event loop of this thread (where the output lives) until done() or
// the time is up; false on time-out.
bool runEventsUntil(const std::function<bool()>& done, double seconds) {
    QEventLoop loop;
    QTimer poll;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool ok = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) {
            ok = true;
            loop.quit();
        } else if (std::chrono::steady_clock::now() > until) {
            loop.quit();
        }
    });
    poll.start(5);
    loop.exec();
    return ok;
}

void runEventsFor(double seconds) { runEventsUntil([] { return false; }, seconds); }

// The player's signals, as a host sees them.
struct SignalLog {
    std::mutex mutex;
    int loaded = 0;
    int started = 0;
    std::vector<double> progress;
    std::vector<bool> finished;
    explicit SignalLog(SoundPlayer& p) {
        QObject::connect(&p, &SoundPlayer::playerLoaded, [this] { add([&] { ++loaded; }); });
        QObject::connect(&p, &SoundPlayer::playingStarted, [this] { add([&] { ++started; }); });
        QObject::connect(&p, &SoundPlayer::playingProgress, [this](double t) { add([&] { progress.push_back(t); }); });
        QObject::connect(&p, &SoundPlayer::playingHasFinished, [this](bool ok) { add([&] { finished.push_back(ok); }); });
    }
    template <typename F>
    void add(F f) {
        std::lock_guard<std::mutex> lock(mutex);
        f();
    }
    std::vector<bool> ends() {
        std::lock_guard<std::mutex> lock(mutex);
        return finished;
    }
};

// Ran dry with nothing more to come: an underrun on a slow machine is idle too,
// while the device's threads still run.
bool playedOut(SoundPlayerQt& p) {
    return p.getOutput()->state() == QAudio::IdleState && !p.getDevice()->isRunning();
}

// Where the recording holds `expected`: the first sound gives a guess, the
// correlation over 0.1 s from 0.5 s on settles it (the monitor can miss the very
// first milliseconds of a new stream).
long align(const Frames& rec, const Frames& expected) {
    const size_t r0 = tk::firstSound(rec), e0 = tk::firstSound(expected);
    if (r0 == SIZE_MAX || e0 == SIZE_MAX) return 0;
    const size_t from = std::min<size_t>(kRate / 2, expected.size() / 4);
    return tk::alignByCorrelation(rec, expected, long(r0) - long(e0), 4000, from, std::min<size_t>(4410, expected.size() / 2));
}

// Frames of `expected` from `from` on that the recording, shifted by lag, does
// not reproduce within one step of 16 bits; frames past the recording count.
size_t mismatches(const Frames& rec, long lag, const Frames& expected, size_t from, size_t* firstBad = nullptr) {
    size_t bad = 0;
    if (firstBad) *firstBad = SIZE_MAX;
    for (size_t k = from; k < expected.size(); ++k) {
        const long r = long(k) + lag;
        const bool off = r < 0 || size_t(r) >= rec.size() ||
                         std::fabs(rec[size_t(r)].l - expected[k].l) > 1.01 / 32768 ||
                         std::fabs(rec[size_t(r)].r - expected[k].r) > 1.01 / 32768;
        if (off) {
            if (firstBad && *firstBad == SIZE_MAX) *firstBad = k;
            ++bad;
        }
    }
    return bad;
}

std::shared_ptr<tk::MemoryReader> reader(const Frames& in, unsigned rate = kRate) {
    return std::make_shared<tk::MemoryReader>(in, rate);
}

}  // namespace

// ---------------------------------------------------------------- playing

TEST(PlayerAudioThreads, PlaysThroughTheOutputWithItsSignals) {
    REQUIRE_AUDIO();
    tk::Watchdog dog("PlaysThroughTheOutputWithItsSignals");
    const Frames in = tk::mixedStereo(size_t(3.2 * kRate), kRate, 21);
    auto gain = SoundRef<SoundAlgoScale>::make(-3.0);
    SoundPlayerQt player(reader(in), gain.get(), true);
    SignalLog log(player);
    tk::MonitorTap rec;
    ASSERT_TRUE(rec.ok());
    EXPECT_TRUE(player.isStopped());
    player.preload();
    player.start();
    EXPECT_FALSE(player.isStopped());
    // The last idle report may come before the device's threads have ended (a
    // slow machine): the player must still see the end.
    ASSERT_TRUE(runEventsUntil([&] { return playedOut(player); }, 20.0))
        << "the output never ran dry";
    runEventsFor(0.15);
    EXPECT_TRUE(player.isStopped());
    const Frames got = rec.take();
    const std::vector<bool> ends = log.ends();
    player.stop();
    player.stop();

    const Frames expected = tk::quantise16(tk::scaled(in, std::pow(10.0, -3.0 / 20.0)));
    const long lag = align(got, expected);
    size_t firstBad;
    EXPECT_EQ(mismatches(got, lag, expected, kRate / 10, &firstBad), 0u) << "first at frame " << firstBad;
    EXPECT_LT(std::fabs(tk::levelDiffDb(got, lag, expected, kRate / 10, expected.size() - kRate / 10)), 0.5);
    EXPECT_EQ(tk::lastSound(got), size_t(long(tk::lastSound(expected)) + lag)) << "nothing after the stream";

    EXPECT_EQ(log.loaded, 1);
    EXPECT_GE(log.started, 1);
    ASSERT_GE(log.progress.size(), 6u);
    for (size_t k = 0; k < log.progress.size(); ++k) EXPECT_DOUBLE_EQ(log.progress[k], 0.5 * double(k + 1));
    EXPECT_EQ(log.progress[5], 3.0) << "the sixth notification";
    // The device's end of data, then the output going idle; the stops add one
    // "stopped" report.
    EXPECT_EQ(ends, std::vector<bool>({true, true}));
    EXPECT_EQ(log.ends(), std::vector<bool>({true, true, false}));
}

// The processing stalls for longer than the output holds: the output runs dry
// for a while, then plays on. That is not the end of the playback.
class StallOnce : public SoundAlgoBypass {
public:
    StallOnce(int at, int ms) : mAt(at), mMs(ms) {}
    SoundTools::Status process() override {
        if (!mDone && getInOrigin() >= mAt) {
            mDone = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(mMs));
        }
        return SoundAlgoBypass::process();
    }

private:
    int mAt, mMs;
    bool mDone = false;
};

TEST(PlayerAudioThreads, AProcessingStallIsNotTheEnd) {
    REQUIRE_AUDIO();
    tk::Watchdog dog("AProcessingStallIsNotTheEnd");
    const Frames in = tk::mixedStereo(size_t(2.0 * kRate), kRate, 6);
    auto stall = SoundRef<StallOnce>::make(int(0.8 * kRate), 900);
    SoundPlayerQt player(reader(in), stall.get(), true);
    SignalLog log(player);
    std::atomic<int> dry{0};
    QObject::connect(player.getOutput(), &QAudioOutput::stateChanged, [&](QAudio::State st) {
        if (st == QAudio::IdleState && player.getDevice()->isRunning()) dry.fetch_add(1);
    });
    tk::MonitorTap rec;
    ASSERT_TRUE(rec.ok());
    player.preload();
    player.start();
    ASSERT_TRUE(runEventsUntil([&] { return playedOut(player); }, 20.0));
    runEventsFor(0.15);
    const Frames got = rec.take();
    const std::vector<bool> ends = log.ends();
    player.stop();
    EXPECT_GE(dry.load(), 1) << "the stall outlasts what the output holds";
    EXPECT_GE(log.started, 2) << "active again after running dry";
    EXPECT_EQ(ends, std::vector<bool>({true, true})) << "reported at the end only";
    // Everything was heard, with the stall's silence in between.
    const size_t first = tk::firstSound(got), last = tk::lastSound(got);
    ASSERT_NE(first, SIZE_MAX);
    EXPECT_GT(double(last - first), double(in.size()) + 0.2 * kRate);
}

// ---------------------------------------------------------------- format

TEST(PlayerAudio, TheOutputFormatFollowsTheReader) {
    REQUIRE_AUDIO();
    struct Case {
        unsigned rate;
        bool withReader;
    };
    for (const Case c : {Case{48000, true}, Case{22050, true}, Case{44100, false}}) {
        SoundPlayerQt player(c.withReader ? reader(tk::silence(10), c.rate) : nullptr, nullptr, true);
        const QAudioFormat f = player.getOutput()->format();
        EXPECT_EQ(f.sampleRate(), int(c.rate));
        EXPECT_EQ(f.channelCount(), 2);
        EXPECT_EQ(f.sampleSize(), 16);
        EXPECT_EQ(f.codec(), "audio/pcm");
        EXPECT_EQ(f.byteOrder(), QAudioFormat::LittleEndian);
        EXPECT_EQ(f.sampleType(), QAudioFormat::SignedInt);
        EXPECT_EQ(player.getOutput()->notifyInterval(), 500);
    }
    // A player without reader has nothing to play: it says so and ends.
    SoundPlayerQt none(nullptr, nullptr, true);
    SignalLog log(none);
    std::ostringstream diag;
    std::ostream* old = &SoundDebuggableClass::getOStream();
    SoundDebuggableClass::setOStream(&diag);
    none.start();
    SoundDebuggableClass::setOStream(old);
    EXPECT_NE(diag.str().find("Error opening audio device"), std::string::npos);
    EXPECT_EQ(log.ends(), std::vector<bool>({false}));
    EXPECT_TRUE(none.isStopped());
}
