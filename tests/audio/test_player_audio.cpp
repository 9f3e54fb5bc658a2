// The player through a real audio output: Qt Multimedia into a PulseAudio null
// sink of the test program's own, recorded from the sink's monitor with parec
// and compared with the signal the chain was meant to produce. The tests run
// the device's threads and the output's, so their suite name ends in Threads
// (the ctest label threads). The device's own scenarios (failures, stops,
// handovers) are the playback tests'.
#include <QAudioOutput>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/AudioServer.h"
#include "common/Threading.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundPlayerQt.h"

using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// Starts the program's audio server before anything touches the audio system.
struct AudioEnvironment : ::testing::Environment {
    void SetUp() override { ready = tk::AudioServer::ensure(&why); }
    void TearDown() override { tk::AudioServer::shutdown(); }
    static inline bool ready = false;
    static inline std::string why;
};
::testing::Environment* const kAudioEnvironment = ::testing::AddGlobalTestEnvironment(new AudioEnvironment);

// Runs the event loop of this thread (where the output lives) until the output
// ran dry with nothing more to come (an underrun on a slow machine is idle too,
// while the device's threads still run), then 0.15 s more; false on time-out.
bool playOut(SoundPlayerQt& p) {
    QEventLoop loop;
    QTimer poll;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool ok = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        ok = p.getOutput()->state() == QAudio::IdleState && !p.getDevice()->isRunning();
        if (ok || std::chrono::steady_clock::now() > until) loop.quit();
    });
    poll.start(5);
    loop.exec();
    QTimer::singleShot(150, &loop, &QEventLoop::quit);
    loop.exec();
    return ok;
}

// The player's signals, as a host sees them.
struct SignalLog {
    std::atomic<int> loaded{0}, started{0};
    std::mutex mutex;  // guards the lists
    std::vector<double> progress;
    std::vector<bool> finished;
    explicit SignalLog(SoundPlayer& p) {
        QObject::connect(&p, &SoundPlayer::playerLoaded, [this] { ++loaded; });
        QObject::connect(&p, &SoundPlayer::playingStarted, [this] { ++started; });
        QObject::connect(&p, &SoundPlayer::playingProgress, [this](double t) { add(progress, t); });
        QObject::connect(&p, &SoundPlayer::playingHasFinished, [this](bool ok) { add(finished, ok); });
    }
    template <typename T>
    void add(std::vector<T>& list, T value) {
        std::lock_guard<std::mutex> lock(mutex);
        list.push_back(value);
    }
    std::vector<bool> ends() {
        std::lock_guard<std::mutex> lock(mutex);
        return finished;
    }
};

// A gain of -3 dB whose processing stalls once, at frame `at`, for longer than
// the output holds.
class StallingGain : public SoundAlgoScale {
public:
    StallingGain(int at, int ms) : SoundAlgoScale(-3.0), mAt(at), mMs(ms) {}
    SoundTools::Status process() override {
        if (!mDone && getInOrigin() >= mAt) {
            mDone = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(mMs));
        }
        return SoundAlgoScale::process();
    }

private:
    int mAt, mMs;
    bool mDone = false;
};

}  // namespace

// What was heard is the chain's output to one step of 16 bits up to a stall of
// the processing, which runs the output dry for a while; it then plays on, and
// that is not the end. The signals come in order (progress every 0.5 s, the end
// reported once by the device and once by the output, a stop adding one
// "stopped").
TEST(PlayerAudioThreads, PlaysThroughTheOutputWithItsSignalsAndOutlastsAStall) {
    if (!AudioEnvironment::ready) GTEST_SKIP() << "no audio server: " << AudioEnvironment::why;
    tk::Watchdog dog("PlaysThroughTheOutputWithItsSignalsAndOutlastsAStall");
    const Frames in = tk::mixedStereo(size_t(3.2 * kRate), kRate, 21);
    const size_t stallAt = 2 * kRate;
    auto chain = SoundRef<StallingGain>::make(int(stallAt), 900);
    SoundPlayerQt player(std::make_shared<tk::MemoryReader>(in, kRate), chain.get(), true);
    SignalLog log(player);
    std::atomic<int> dry{0};
    QObject::connect(player.getOutput(), &QAudioOutput::stateChanged, [&](QAudio::State st) {
        if (st == QAudio::IdleState && player.getDevice()->isRunning()) dry.fetch_add(1);
    });
    tk::MonitorTap rec;
    ASSERT_TRUE(rec.ok());
    EXPECT_TRUE(player.isStopped());
    player.preload();
    player.start();
    EXPECT_FALSE(player.isStopped());
    // The last idle report may come before the device's threads have ended (a
    // slow machine): the player must still see the end.
    ASSERT_TRUE(playOut(player)) << "the output never ran dry";
    EXPECT_TRUE(player.isStopped());
    const Frames got = rec.take();
    const std::vector<bool> ends = log.ends();
    player.stop();
    player.stop();

    const Frames expected = tk::quantise16(tk::scaled(in, std::pow(10.0, -3.0 / 20.0)));
    ASSERT_NE(tk::firstSound(got), SIZE_MAX);
    // The first sound gives a guess, the correlation over 0.1 s from 0.5 s on
    // settles it (the monitor can miss the very first milliseconds of a stream).
    const long lag = tk::alignByCorrelation(got, expected, long(tk::firstSound(got)) - long(tk::firstSound(expected)),
                                            4000, kRate / 2, 4410);
    ASSERT_TRUE(lag >= 0 && size_t(lag) + stallAt <= got.size()) << lag;
    const size_t from = kRate / 10;
    EXPECT_LE(tk::maxAbsDiff(Frames(got.begin() + lag + long(from), got.begin() + lag + long(stallAt)),
                             Frames(expected.begin() + long(from), expected.begin() + long(stallAt))),
              1.01 / 32768);
    // Everything was heard, with the stall's silence in between.
    EXPECT_GT(double(tk::lastSound(got) - tk::firstSound(got)), double(in.size()) + 0.2 * kRate);
    EXPECT_GE(dry.load(), 1) << "the stall outlasts what the output holds";
    EXPECT_GE(log.started.load(), 2) << "active again after running dry";

    EXPECT_EQ(log.loaded.load(), 1);
    ASSERT_GE(log.progress.size(), 6u);
    for (size_t k = 0; k < log.progress.size(); ++k) EXPECT_DOUBLE_EQ(log.progress[k], 0.5 * double(k + 1));
    EXPECT_EQ(ends, std::vector<bool>({true, true})) << "reported at the end only";
    EXPECT_EQ(log.ends(), std::vector<bool>({true, true, false}));
}

// A player without a reader has nothing to play: it says so and ends.
TEST(PlayerAudio, WithoutAReaderItEndsAtOnce) {
    if (!AudioEnvironment::ready) GTEST_SKIP() << "no audio server: " << AudioEnvironment::why;
    SoundPlayerQt none(nullptr, nullptr, true);
    SignalLog log(none);
    std::ostringstream diag;
    SoundDebuggableClass::setOStream(&diag);
    none.start();
    SoundDebuggableClass::setOStream(nullptr);
    EXPECT_NE(diag.str().find("Error opening audio device"), std::string::npos);
    EXPECT_EQ(log.ends(), std::vector<bool>({false}));
    EXPECT_TRUE(none.isStopped());
}
