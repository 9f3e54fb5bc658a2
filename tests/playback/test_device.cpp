// The streaming device: PCM output against an offline run of the same chains,
// the playback lifecycle, source handover, failures, and start/stop stress. Every
// test runs the device's threads, so every suite name ends in Threads (the
// ctest label threads).
#include <QObject>
#include <QThread>
#include <atomic>
#include <random>
#include <thread>

#include "common/AudioServer.h"
#include "common/Faults.h"
#include "common/PlayerKit.h"
#include "common/Threading.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoDevice.h"
#include "tonewright/SoundAlgoElementary.h"

using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// Exposes readData, which the audio output calls through QIODevice::read.
class TestDevice : public SoundAlgoDevice {
public:
    using SoundAlgoDevice::readData;
    using SoundAlgoDevice::SoundAlgoDevice;
};

// The main chain and the post-processing chain of most tests: gains, a hold-back
// (out overlap) in the first and a real delay in the second, so that the pipes
// carry overlapping buffers and the timeline shifts.
SoundRef<SoundAlgoComposite> chain(const char* name, SoundAlgo* first, SoundAlgo* second) {
    auto c = SoundRef<SoundAlgoComposite>::make(name);
    tk::fill(*c, {{first, second}});
    return c;
}
SoundRef<SoundAlgoComposite> mainChain() {
    return chain("main", SoundRef<SoundAlgoScale>::make(-6.0).release(),
                 SoundRef<SoundAlgoDelay>::make(0.004, true).release());
}
SoundRef<SoundAlgoComposite> postChain() {
    return chain("post", SoundRef<SoundAlgoDelay>::make(0.001, false).release(),
                 SoundRef<SoundAlgoScale>::make(3.0).release());
}

std::shared_ptr<tk::MemoryReader> memoryReader(const Frames& in, unsigned rate = kRate) {
    return std::make_shared<tk::MemoryReader>(in, rate);
}

// A device on `in` with `algo` (the main chain by default) and, when asked, the
// post-processing chain.
std::unique_ptr<TestDevice> device(const Frames& in, SoundAlgo* algo, bool withPost,
                                   std::shared_ptr<SoundReader> reader = nullptr) {
    auto dev = std::make_unique<TestDevice>(reader ? reader : memoryReader(in), algo);
    if (withPost) dev->setPostProcessingChain(postChain().release());
    return dev;
}

// What the device must play: both chains run offline, as 16 bits carry it.
Frames expectedPcm(const Frames& in, bool withPost) {
    SoundAlgo* post = withPost ? static_cast<SoundAlgo*>(postChain().release()) : SoundRef<SoundAlgoBypass>::make().release();
    SoundTools::Status status = SoundTools::Error;
    const Frames out = tk::run(*chain("offline", mainChain().release(), post), in, kRate, 1024, &status);
    EXPECT_EQ(status, SoundTools::Ok);
    return tk::quantise16(out);
}

Frames head(const Frames& f, size_t n) { return Frames(f.begin(), f.begin() + long(std::min(n, f.size()))); }

struct ChannelFinished {
    std::atomic<int> count{0};
    std::atomic<bool> onReaderThread{true};
    Qt::HANDLE reader = QThread::currentThreadId();
    QMetaObject::Connection c;
    explicit ChannelFinished(SoundAlgoDevice& d)
        : c(QObject::connect(&d, &QIODevice::readChannelFinished, [this] {
              if (QThread::currentThreadId() != reader) onReaderThread = false;
              count.fetch_add(1);
          })) {}
    ~ChannelFinished() { QObject::disconnect(c); }
};
}  // namespace

// ---------------------------------------------------------------- output

// Every combination of post-processing and continuous playing, read in chunks
// of odd sizes. The end of the source is reported unless playing continuously,
// by whoever read the processing pipe: the output itself, or the
// post-processing thread. A reader reports a failure by a short read: the
// stream ends there, with every frame read before it.
TEST(DeviceThreads, PlaysTheChainsAsSixteenBitPcm) {
    tk::Watchdog dog("PlaysTheChainsAsSixteenBitPcm");
    const Frames in = tk::mixedStereo(30000, kRate);
    const size_t never = SIZE_MAX;  // failAt: the frame where the reader fails
    const std::tuple<bool, qint64, bool, size_t> cases[] = {
        {false, 4097, false, never}, {false, 6, true, never},  {false, 40000, false, never},
        {true, 4097, true, never},   {true, 6, false, never},  {true, 40000, true, never},
        {false, 4096, false, 6000},  {true, 4096, false, 6000}};
    for (const auto& [withPost, chunk, continuous, failAt] : cases) {
        SCOPED_TRACE(::testing::Message() << "post " << withPost << ", chunk " << chunk << ", continuous "
                                          << continuous << ", failing at " << failAt);
        // Made before the device starts: the offline run sets the block size its threads read.
        const Frames expected = expectedPcm(head(in, failAt), withPost);
        auto main = mainChain();
        std::atomic<int> begins{0};
        QObject::connect(main.get(), &SoundAlgo::notifyBegin, [&](unsigned) { begins.fetch_add(1); });
        auto failing = failAt < in.size() ? std::make_shared<tk::FailingReader>(in, failAt) : nullptr;
        auto dev = device(in, main.get(), withPost, failing);
        EXPECT_EQ(main->refCount(), 2) << "the device holds a reference";
        EXPECT_EQ(dev->hasPostProcessing(), withPost);
        dev->setContinuousPlaying(continuous);
        ChannelFinished ends(*dev);
        dev->start();
        dev->start();  // a second start changes nothing: the chain runs once
        EXPECT_TRUE(dev->isOpen() && dev->isSequential());
        EXPECT_TRUE(tk::framesNear(tk::readDevice(*dev, chunk), expected, 0.0));
        const QString error = SoundDebuggableClass::getError();
        EXPECT_TRUE(!failing || error.contains("failing.wav: read error at frame 6000"))
            << error.toStdString();
        EXPECT_EQ(ends.count.load() > 0, !continuous);
        if (!continuous) { EXPECT_EQ(ends.onReaderThread.load(), !withPost); }
        EXPECT_EQ(dev->getStatus(), SoundTools::Ok);
        EXPECT_EQ(begins.load(), 1);
        dev->stop();
        EXPECT_FALSE(dev->isOpen());
    }
}

// Beyond full scale the conversion holds the ends, never wraps, and NaN is
// silence (within range it is the kit's 16-bit model: PlaysTheChainsAsSixteenBitPcm);
// reads give whole frames only.
TEST(DeviceThreads, ConvertsToSixteenBitsInWholeFrames) {
    const std::pair<double, int16_t> cases[] = {
        {-1.0, -32768}, {32767.9 / 32768.0, 32767}, {1.0, 32767},     {1.5, 32767}, {-1.5, -32768},
        {1e300, 32767}, {-1e300, -32768},           {std::nan(""), 0}};
    for (const auto& c : cases) {
        int16_t got;  // the test hosts are little-endian, as the format
        SoundAlgoDevice::toPcm16(&c.first, 1, reinterpret_cast<char*>(&got));
        EXPECT_EQ(got, c.second) << c.first;
    }
    tk::Watchdog dog("ConvertsToSixteenBitsInWholeFrames");
    TestDevice dev(memoryReader(tk::noise(10000)), nullptr);
    dev.start();
    std::vector<char> buf(8192);
    EXPECT_EQ(dev.readData(buf.data(), 4097), 4096) << "1024 frames";
    EXPECT_EQ(dev.readData(buf.data(), 3), 0) << "less than a frame";
    EXPECT_EQ(dev.read(buf.data(), 7), 4) << "through QIODevice::read";
    dev.stop();
    EXPECT_EQ(dev.readData(buf.data(), 400), 0) << "a stopped device gives nothing";
}

// ---------------------------------------------------------------- lifecycle

TEST(DeviceThreads, RefusesAReaderOfAnotherRate) {
    auto first = memoryReader(tk::noise(100)), second = memoryReader(tk::noise(100));
    TestDevice dev(first, nullptr);
    EXPECT_EQ(dev.getSampleRate(), kRate);
    EXPECT_FALSE(dev.setReader(memoryReader(tk::noise(100), 48000)) || dev.setReader(nullptr));
    EXPECT_EQ(dev.getReader(), first.get());
    EXPECT_TRUE(dev.setReader(second));
    EXPECT_EQ(dev.getReader(), second.get());
    EXPECT_FALSE(dev.isRunning()) << "a device not started only keeps the reader";

    TestDevice none(nullptr, nullptr);
    EXPECT_EQ(none.getSampleRate(), 44100u);
    EXPECT_FALSE(none.setReader(second));
    none.start();
    EXPECT_EQ(none.getStatus(), SoundTools::Error);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains("no reader"));
    EXPECT_FALSE(none.isRunning());
    none.stop();
}

// A stop while both threads are blocked on full pipes, or before the output
// read anything, ends them, Interrupted; the next start must play again from
// the reader's start point, not stay at its end. 1000 cycles
// (TONEWRIGHT_SOAK_CYCLES for more: scripts/soak.sh), each stopped after a
// different amount of output: no deadlock, no leak (the sanitizer builds
// check), no crash. How long stop() takes is bench_playback's.
TEST(DeviceStressThreads, StopMidStreamThenStartPlaysFromTheStartPoint) {
    const int cycles = tk::soakCycles(1000);
    tk::Watchdog dog("StopMidStreamThenStartPlaysFromTheStartPoint", 600.0 * std::max(1, cycles / 1000));
    const Frames in = tk::mixedStereo(100000, kRate, 3);
    for (bool withPost : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "post " << withPost);
        // The start point, 0.05 s, is the stream from frame 2205 on.
        const Frames expected = expectedPcm(Frames(in.begin() + 2205, in.end()), withPost);
        auto reader = memoryReader(in);
        reader->setStartPoint(0.05);
        auto main = mainChain();
        auto dev = device(in, main.get(), withPost, reader);
        int faults = 0;
        for (int round = 0; round < cycles / 2; ++round) {
            dev->start();
            faults += !dev->isRunning() || dev->getStatus() != SoundTools::Ok || dev->atEnd();
            const size_t frames = size_t(round % 4) * 1700;
            faults += !tk::framesNear(tk::readDevice(*dev, 2800, frames), head(expected, frames), 0.0);
            dev->stop();
            faults += dev->isRunning() || dev->getStatus() != SoundTools::Interrupted || !dev->atEnd() ||
                      dev->bytesAvailable() != 0;
            dev->stop();
        }
        EXPECT_EQ(faults, 0);
        dev->start();
        EXPECT_TRUE(tk::framesNear(tk::readDevice(*dev), expected, 0.0));
        dev->stop();
    }
}

// The next source is handed over while the output is still inside the queue of
// the previous one. The pipe's end-of-source wake-up must not be taken for a
// buffer after the restart: that would replay a stale slot.
TEST(DeviceThreads, HandoverPlaysBothSourcesWithoutReplay) {
    tk::Watchdog dog("HandoverPlaysBothSourcesWithoutReplay");
    tk::ScopedBlockSize block(1024);
    const Frames first = tk::ramp(2048, 1.0);  // two blocks: fits in the pipe
    const Frames second = tk::mixedStereo(7000, kRate, 11);
    for (bool withPost : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "post " << withPost);
        tk::EventCounter loaded;
        std::atomic<double> loadTime{-1.0};
        auto gain = SoundRef<SoundAlgoScale>::make(-90.0);
        TestDevice dev(memoryReader(first), gain.get());
        if (withPost) dev.setPostProcessingChain(SoundRef<SoundAlgoScale>::make(6.0).release());
        dev.setContinuousPlaying(true);
        QObject::connect(&dev, &SoundAlgoDevice::loadFinished, [&](double t) {
            if (loadTime.load() < 0) loadTime = t;
            loaded.signal();
        });
        dev.start();
        ASSERT_TRUE(loaded.waitFor(1)) << "the first source is processed without the output";
        // The time is where the processing pipe's consumer stood: the output,
        // which has read nothing yet, without post-processing; else the
        // post-processing thread, which may have drained the whole first source.
        EXPECT_GE(loadTime.load(), 0.0);
        EXPECT_LE(loadTime.load(), withPost ? double(first.size()) / kRate + 1e-12 : 0.0);
        if (!withPost) { EXPECT_EQ(dev.bytesAvailable(), qint64(first.size()) * 4) << "queued whole"; }
        Frames got = tk::readDevice(dev, 400, 100);
        EXPECT_FALSE(dev.atEnd());
        ASSERT_TRUE(dev.setReader(memoryReader(second)));
        got = tk::concat({got, tk::readDevice(dev)});
        // The chains' gains applied one after the other, as the device does.
        const Frames both = tk::scaled(tk::concat({first, second}), tk::fromDb(-90.0));
        EXPECT_TRUE(tk::framesNear(got, tk::quantise16(withPost ? tk::scaled(both, tk::fromDb(6.0)) : both), 0.0));
        EXPECT_TRUE(loaded.waitFor(2));
        EXPECT_EQ(dev.bytesAvailable(), 0);
        dev.statusFinished();
        EXPECT_EQ(dev.getStatus(), SoundTools::Finished);
        EXPECT_TRUE(dev.atEnd());
        dev.stop();
    }
}

// ---------------------------------------------------------------- failures

// A failing chain, main or post-processing, ends both threads with Error and
// nothing after the failing block, also when playing continuously (which does
// not hide a failure). (A failing reader: PlaysTheChainsAsSixteenBitPcm.)
TEST(DeviceThreads, FailuresEndTheStream) {
    tk::Watchdog dog("FailuresEndTheStream");
    tk::ScopedBlockSize block(1024);
    const Frames in = tk::mixedStereo(20000, kRate, 5);
    enum Failing { Main, Post };
    const std::tuple<Failing, bool> cases[] = {{Main, false}, {Main, true}, {Post, true}};
    for (const auto& [which, withPost] : cases) {
        SCOPED_TRACE(::testing::Message() << "failing " << which << ", post " << withPost);
        auto main = mainChain();
        auto failing = SoundRef<tk::FailingAlgo>::make(4096);
        TestDevice dev(memoryReader(in), which == Main ? static_cast<SoundAlgo*>(failing.get()) : main.get());
        if (withPost)
            dev.setPostProcessingChain(which == Post ? SoundRef<tk::FailingAlgo>::make(4096).release()
                                                     : static_cast<SoundAlgo*>(postChain().release()));
        dev.setContinuousPlaying(true);
        ChannelFinished ends(dev);
        dev.start();
        EXPECT_LE(tk::readDevice(dev).size(), 4096u + 44) << "nothing after the failing block";
        // The output may reach the end before the failing thread records it; a
        // failure ends both threads without a stop().
        while (dev.isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(dev.getStatus(), SoundTools::Error);
        EXPECT_TRUE(dev.atEnd());
        EXPECT_EQ(dev.bytesAvailable(), 0);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains("cannot be processed"));
        if (!withPost) { EXPECT_GE(ends.count.load(), 1); }
        dev.stop();
    }
}

// The device's references go with it, whether it never ran, was stopped, or is
// destroyed while both threads run blocked on full pipes. (A post-processing
// chain handed over while playing: PlayerThreads.GateAndAmplifierLevelsReachTheRunningChain.)
TEST(DeviceThreads, ReferencesAreDroppedWhateverTheLifecycle) {
    tk::Watchdog dog("ReferencesAreDroppedWhateverTheLifecycle");
    const Frames in = tk::mixedStereo(100000, kRate);
    auto main = mainChain();
    auto post = postChain();
    {
        TestDevice dev(memoryReader(in), main.get());
        dev.stop();
        dev.stop();
        EXPECT_FALSE(dev.isRunning() || dev.isOpen());
        dev.start();
        EXPECT_EQ(tk::readDevice(dev, 4096, 2000).size(), 2000u);
        dev.stop();
        dev.setPostProcessingChain(SoundRef<SoundAlgoComposite>::share(post.get()).release());
        EXPECT_TRUE(dev.hasPostProcessing());
        dev.setPostProcessingChain(nullptr);
        EXPECT_FALSE(dev.hasPostProcessing());
        EXPECT_EQ(post->refCount(), 1);
    }
    EXPECT_EQ(main->refCount(), 1) << "the device dropped its reference";
    for (int reads : {0, 1, 5}) {
        auto dev = std::make_unique<TestDevice>(memoryReader(in), main.get());
        dev->setPostProcessingChain(SoundRef<SoundAlgoComposite>::share(post.get()).release());
        dev->start();
        tk::readDevice(*dev, 4096, size_t(reads) * 1024);
        dev.reset();  // with both threads running
        EXPECT_EQ(post->refCount(), 1) << reads;
        EXPECT_EQ(main->refCount(), 1) << reads;
    }
}

// ---------------------------------------------------------------- stress and soak

// Soak: an output thread pulls all the time, as an audio output does, while the
// host starts, stops and hands over sources at random moments.
TEST(DeviceSoakThreads, StartStopAndHandoverWhileTheOutputPulls) {
    const double seconds = tk::soakSeconds(1.0);
    tk::Watchdog dog("StartStopAndHandoverWhileTheOutputPulls", seconds + 120.0);
    const Frames in = tk::mixedStereo(30000, kRate, 4);
    auto main = mainChain();
    auto dev = device(in, main.get(), true);
    std::atomic<bool> done{false};
    std::atomic<int64_t> pulled{0};
    std::thread output([&] {
        std::vector<char> buf(4096);
        std::mt19937 gen(3);
        std::uniform_int_distribution<int> size(4, 4096);
        while (!done.load()) {
            const qint64 n = dev->readData(buf.data(), size(gen));
            if (n > 0) pulled += n;
            if (n <= 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::mt19937 gen(99);
    std::uniform_int_distribution<int> action(0, 9), pause(0, 3000);
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
         std::chrono::steady_clock::now() < until;) {
        dev->setContinuousPlaying(action(gen) < 5);
        dev->start();
        std::this_thread::sleep_for(std::chrono::microseconds(pause(gen)));
        if (action(gen) < 4) {
            dev->setReader(memoryReader(in));
            std::this_thread::sleep_for(std::chrono::microseconds(pause(gen)));
        }
        dev->stop();
        EXPECT_FALSE(dev->isRunning());
    }
    done = true;
    output.join();
    EXPECT_GT(pulled.load(), 0);
}
