// The streaming device: PCM output against an offline run of the same chains,
// the playback lifecycle, source handover, failures, and start/stop stress. Every
// test runs the device's threads, so every suite name ends in Threads (the
// ctest label threads).
#include <QObject>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <thread>

#include "common/Faults.h"
#include "common/TestKit.h"
#include "common/Threading.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoDevice.h"
#include "tonewright/SoundAlgoElementary.h"

using SoundTools::Status;
using tk::Frame;
using tk::Frames;
using Pcm = std::vector<int16_t>;

namespace {
constexpr unsigned kRate = 44100;

// Exposes readData, which the audio output calls through QIODevice::read.
class TestDevice : public SoundAlgoDevice {
public:
    using SoundAlgoDevice::SoundAlgoDevice;
    using SoundAlgoDevice::readData;
};

// Independent model of the output format: full scale 32768, truncation toward
// zero, held within the 16-bit range.
Pcm pcmModel(const Frames& frames) {
    Pcm out;
    out.reserve(frames.size() * 2);
    for (const Frame& f : frames)
        for (double x : {f.l, f.r}) {
            const double v = std::trunc(x * 32768.0);
            out.push_back(int16_t(std::max(-32768.0, std::min(32767.0, v))));
        }
    return out;
}

void appendPcm(Pcm& out, const char* bytes, qint64 n) {
    for (qint64 i = 0; i + 1 < n; i += 2)
        out.push_back(int16_t(uint16_t(uint8_t(bytes[i])) | uint16_t(uint16_t(uint8_t(bytes[i + 1])) << 8)));
}

// Reads until readData returns nothing (the end, or a stop) or maxFrames.
Pcm readAll(TestDevice& d, qint64 chunk, size_t maxFrames = SIZE_MAX) {
    std::vector<char> buf(size_t(std::max<qint64>(chunk, 4)));
    Pcm out;
    while (out.size() / 2 < maxFrames) {
        const size_t left = maxFrames - out.size() / 2;
        const qint64 ask = left >= size_t(chunk / 4 + 1) ? chunk : qint64(left) * 4;
        const qint64 n = d.readData(buf.data(), ask);
        EXPECT_EQ(n % 4, 0);
        if (n <= 0) break;
        appendPcm(out, buf.data(), n);
    }
    return out;
}

::testing::AssertionResult samePcm(const Pcm& got, const Pcm& expected) {
    if (got.size() != expected.size())
        return ::testing::AssertionFailure() << "lengths differ: " << got.size() / 2 << " vs " << expected.size() / 2
                                             << " frames";
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != expected[i])
            return ::testing::AssertionFailure() << "frame " << i / 2 << (i % 2 ? " right: " : " left: ") << got[i]
                                                 << " vs " << expected[i];
    return ::testing::AssertionSuccess();
}

// The main chain and the post-processing chain of most tests: gains, a hold-back
// (out overlap) in the first and a real delay in the second, so that the pipes
// carry overlapping buffers and the timeline shifts.
SoundRef<SoundAlgoComposite> mainChain() {
    auto c = SoundRef<SoundAlgoComposite>::make("main");
    c->pushAlgo(SoundRef<SoundAlgoScale>::make(-6.0).release());
    c->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.004, true).release());
    return c;
}
SoundRef<SoundAlgoComposite> postChain() {
    auto c = SoundRef<SoundAlgoComposite>::make("post");
    c->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.001, false).release());
    c->pushAlgo(SoundRef<SoundAlgoScale>::make(3.0).release());
    return c;
}

Frames offline(const Frames& in, bool withPost, double startPoint = 0.0) {
    auto all = SoundRef<SoundAlgoComposite>::make("offline");
    all->pushAlgo(mainChain().release());
    if (withPost) all->pushAlgo(postChain().release());
    tk::MemoryReader reader(in, kRate);
    reader.setStartPoint(startPoint);
    reader.rewind();
    tk::MemoryWriter writer(kRate);
    EXPECT_EQ(all->processAll(reader, &writer), SoundTools::Ok);
    return writer.frames();
}

std::shared_ptr<tk::MemoryReader> memoryReader(const Frames& in, unsigned rate = kRate) {
    return std::make_shared<tk::MemoryReader>(in, rate);
}

struct ChannelFinished {
    std::atomic<int> count{0};
    std::atomic<bool> onReaderThread{true};
    Qt::HANDLE reader;
    QMetaObject::Connection c;
    explicit ChannelFinished(SoundAlgoDevice& d) : reader(QThread::currentThreadId()) {
        c = QObject::connect(&d, &QIODevice::readChannelFinished, [this] {
            if (QThread::currentThreadId() != reader) onReaderThread = false;
            count.fetch_add(1);
        });
    }
    ~ChannelFinished() { QObject::disconnect(c); }
};
}  // namespace

// ---------------------------------------------------------------- output

TEST(DeviceThreads, PlaysTheChainsAsSixteenBitPcm) {
    tk::Watchdog dog("PlaysTheChainsAsSixteenBitPcm");
    const Frames in = tk::mixedStereo(30000, kRate);
    for (bool withPost : {false, true}) {
        const Pcm expected = pcmModel(offline(in, withPost));
        for (qint64 chunk : {qint64(4096), qint64(4097), qint64(6), qint64(40000)}) {
            auto chain = mainChain();
            std::atomic<int> begins{0};
            QObject::connect(chain.get(), &SoundAlgo::notifyBegin, [&](unsigned) { begins.fetch_add(1); });
            TestDevice dev(memoryReader(in), chain.get());
            EXPECT_EQ(chain->refCount(), 2) << "the device holds a reference";
            if (withPost) dev.setPostProcessingChain(postChain().release());
            EXPECT_EQ(dev.hasPostProcessing(), withPost);
            ChannelFinished ends(dev);
            dev.start();
            dev.start();  // a second start changes nothing: the chain runs once
            EXPECT_TRUE(dev.isOpen());
            EXPECT_TRUE(dev.isSequential());
            const Pcm got = readAll(dev, chunk);
            EXPECT_TRUE(samePcm(got, expected)) << "post " << withPost << ", chunk " << chunk;
            EXPECT_GE(ends.count.load(), 1) << "the end of the source is reported";
            EXPECT_EQ(dev.getStatus(), SoundTools::Ok);
            EXPECT_EQ(begins.load(), 1);
            dev.stop();
            EXPECT_FALSE(dev.isOpen());
        }
    }
}

TEST(DeviceThreads, ReadSizesAreWholeFrames) {
    tk::Watchdog dog("ReadSizesAreWholeFrames");
    TestDevice dev(memoryReader(tk::noise(10000)), nullptr);
    dev.start();
    std::vector<char> buf(8192);
    EXPECT_EQ(dev.readData(buf.data(), 4097), 4096) << "1024 frames";
    EXPECT_EQ(dev.readData(buf.data(), 3), 0) << "less than a frame";
    EXPECT_EQ(dev.read(buf.data(), 7), 4) << "through QIODevice::read";
    dev.stop();
    EXPECT_EQ(dev.readData(buf.data(), 400), 0) << "a stopped device gives nothing";
}

TEST(DeviceThreads, ConvertsToSixteenBitsHeldWithinRange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double sample;
        int16_t expected;
    } cases[] = {
        {-1.0, -32768},   {0.5, 16384},   {-0.00001, 0},    {0.0, 0},       {1.0 / 32768.0, 1},
        {-1.0 / 32768.0, -1}, {0.25, 8192}, {-0.25, -8192}, {32767.9 / 32768.0, 32767},
        // Beyond full scale the output is held at the ends, never wrapped.
        {0.99999, 32767}, {1.0, 32767},   {1.5, 32767},     {-1.5, -32768}, {1e300, 32767},
        {-1e300, -32768}, {nan, 0},
    };
    Frames in;
    Pcm expected;
    for (const auto& c : cases) {
        char bytes[2];
        SoundAlgoDevice::toPcm16(&c.sample, 1, bytes);
        Pcm one;
        appendPcm(one, bytes, 2);
        EXPECT_EQ(one[0], c.expected) << c.sample;
        in.emplace_back(c.sample, c.sample);
        expected.insert(expected.end(), {c.expected, c.expected});
    }
    // The same through a device whose chain is the default bypass.
    tk::Watchdog dog("ConvertsToSixteenBitsHeldWithinRange");
    TestDevice dev(memoryReader(in), nullptr);
    dev.start();
    EXPECT_TRUE(samePcm(readAll(dev, 4096), expected));
}

// ---------------------------------------------------------------- lifecycle

TEST(DeviceThreads, RefusesAReaderOfAnotherRate) {
    auto first = memoryReader(tk::noise(100));
    TestDevice dev(first, nullptr);
    EXPECT_EQ(dev.getSampleRate(), kRate);
    EXPECT_FALSE(dev.setReader(memoryReader(tk::noise(100), 48000)));
    EXPECT_FALSE(dev.setReader(nullptr));
    EXPECT_EQ(dev.getReader(), first.get());
    auto second = memoryReader(tk::noise(100));
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

TEST(DeviceThreads, EndOfSourceIsReportedUnlessPlayingContinuously) {
    tk::Watchdog dog("EndOfSourceIsReportedUnlessPlayingContinuously");
    const Frames in = tk::noise(9000);
    for (bool withPost : {false, true})
        for (bool continuous : {false, true}) {
            const size_t frames = withPost ? tk::run(*postChain(), in, kRate).size() : in.size();
            TestDevice dev(memoryReader(in), nullptr);
            if (withPost) dev.setPostProcessingChain(postChain().release());
            dev.setContinuousPlaying(continuous);
            EXPECT_EQ(dev.getContinuousPlaying(), continuous);
            ChannelFinished ends(dev);
            dev.start();
            EXPECT_EQ(readAll(dev, 4096).size(), 2 * frames);
            dev.stop();
            if (continuous) {
                EXPECT_EQ(ends.count.load(), 0) << "post " << withPost;
            } else {
                EXPECT_GE(ends.count.load(), 1) << "post " << withPost;
                // Reported by whoever read the processing pipe: the output itself,
                // or the post-processing thread.
                EXPECT_EQ(ends.onReaderThread.load(), !withPost) << "post " << withPost;
            }
        }
}

TEST(DeviceThreads, StopDuringPlaybackEndsBothThreads) {
    tk::Watchdog dog("StopDuringPlaybackEndsBothThreads");
    auto chain = mainChain();
    TestDevice dev(memoryReader(tk::noise(200000)), chain.get());
    dev.setPostProcessingChain(postChain().release());
    dev.start();
    EXPECT_TRUE(dev.isRunning());
    EXPECT_EQ(readAll(dev, 4096, 3000).size(), 6000u);
    // Both threads are now blocked on full pipes.
    dev.stop();
    EXPECT_FALSE(dev.isRunning());
    EXPECT_EQ(dev.getStatus(), SoundTools::Interrupted);
    EXPECT_TRUE(dev.atEnd());
    EXPECT_EQ(dev.bytesAvailable(), 0);
    dev.stop();
    EXPECT_FALSE(dev.isRunning());
}

// A stop in the middle of a stream leaves the status Interrupted; the next start
// must play again from the reader's start point, not stay at its end.
TEST(DeviceThreads, StartAfterAStopPlaysFromTheStartPoint) {
    tk::Watchdog dog("StartAfterAStopPlaysFromTheStartPoint");
    const Frames in = tk::mixedStereo(40000, kRate, 3);
    for (bool withPost : {false, true}) {
        const Pcm expected = pcmModel(offline(in, withPost, 0.05));
        auto reader = memoryReader(in);
        reader->setStartPoint(0.05);
        auto chain = mainChain();
        TestDevice dev(reader, chain.get());
        if (withPost) dev.setPostProcessingChain(postChain().release());
        for (int round = 0; round < 3; ++round) {
            dev.start();
            EXPECT_EQ(dev.getStatus(), SoundTools::Ok) << "round " << round;
            EXPECT_FALSE(dev.atEnd());
            const Pcm part = readAll(dev, 4096, 5000);
            EXPECT_TRUE(samePcm(part, Pcm(expected.begin(), expected.begin() + 10000))) << "round " << round;
            dev.stop();
        }
        dev.start();
        EXPECT_TRUE(samePcm(readAll(dev, 4096), expected)) << "post " << withPost;
        dev.stop();
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
        Pcm got = readAll(dev, 400, 100);
        ASSERT_TRUE(loaded.waitFor(1)) << "the first source is processed without the output";
        EXPECT_GE(loadTime.load(), 0.0);
        // The time is where the processing pipe's consumer stood: the output
        // without post-processing, else the post-processing thread, which may
        // have drained the whole first source already.
        const double consumed = withPost ? double(first.size()) : 100.0;
        EXPECT_LE(loadTime.load(), consumed / kRate + 1e-12);
        ASSERT_TRUE(dev.setReader(memoryReader(second)));
        const Pcm rest = readAll(dev, 4096);
        got.insert(got.end(), rest.begin(), rest.end());
        // The chains' gains applied one after the other, as the device does.
        Frames both = tk::concat({first, second});
        both = tk::scaled(both, std::pow(10.0, -90.0 / 20.0));
        if (withPost) both = tk::scaled(both, std::pow(10.0, 6.0 / 20.0));
        EXPECT_TRUE(samePcm(got, pcmModel(both))) << "post " << withPost;
        EXPECT_TRUE(loaded.waitFor(2));
        dev.stop();
    }
}

TEST(DeviceThreads, LoadFinishedAndQueuedBytesOfAShortSource) {
    tk::Watchdog dog("LoadFinishedAndQueuedBytesOfAShortSource");
    tk::ScopedBlockSize block(1024);
    tk::EventCounter loaded;
    std::atomic<double> time{-1.0};
    TestDevice dev(memoryReader(tk::noise(2048)), nullptr);
    QObject::connect(&dev, &SoundAlgoDevice::loadFinished, [&](double t) {
        time = t;
        loaded.signal();
    });
    dev.start();
    ASSERT_TRUE(loaded.waitFor(1));
    EXPECT_EQ(time.load(), 0.0) << "the output had read nothing yet";
    EXPECT_EQ(dev.bytesAvailable(), 2048 * 4);
    EXPECT_FALSE(dev.atEnd());
    EXPECT_EQ(readAll(dev, 4096).size(), 4096u);
    EXPECT_EQ(dev.bytesAvailable(), 0);
    dev.statusFinished();
    EXPECT_EQ(dev.getStatus(), SoundTools::Finished);
    EXPECT_TRUE(dev.atEnd());
    dev.stop();
}

// ---------------------------------------------------------------- failures

TEST(DeviceThreads, AReaderFailingMidStreamEndsTheStream) {
    tk::Watchdog dog("AReaderFailingMidStreamEndsTheStream");
    const Frames in = tk::mixedStereo(20000, kRate, 5);
    for (bool withPost : {false, true}) {
        auto chain = mainChain();
        TestDevice dev(std::make_shared<tk::FailingReader>(in, 6000), chain.get());
        if (withPost) dev.setPostProcessingChain(postChain().release());
        ChannelFinished ends(dev);
        dev.start();
        const Pcm got = readAll(dev, 4096);
        // A reader reports a failure by a short read: the stream ends there, with
        // every frame read before it.
        EXPECT_TRUE(samePcm(got, pcmModel(offline(Frames(in.begin(), in.begin() + 6000), withPost))))
            << "post " << withPost;
        EXPECT_GE(ends.count.load(), 1);
        EXPECT_EQ(dev.getStatus(), SoundTools::Ok);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains("failing.wav: read error at frame 6000"));
        dev.stop();
    }
}

TEST(DeviceThreads, AFailingChainEndsWithError) {
    tk::Watchdog dog("AFailingChainEndsWithError");
    tk::ScopedBlockSize block(1024);
    const Frames in = tk::noise(50000);
    const struct {
        const char* what;
        bool mainFails;
        bool withPost;
    } cases[] = {{"main chain, no post", true, false}, {"main chain, with post", true, true}, {"post chain", false, true}};
    for (const auto& c : cases) {
        auto failing = SoundRef<tk::FailingAlgo>::make(4096);
        TestDevice dev(memoryReader(in), c.mainFails ? failing.get() : nullptr);
        if (c.withPost) {
            if (c.mainFails)
                dev.setPostProcessingChain(postChain().release());
            else
                dev.setPostProcessingChain(SoundRef<tk::FailingAlgo>::make(4096).release());
        }
        // Continuous playing does not hide a failure.
        dev.setContinuousPlaying(true);
        ChannelFinished ends(dev);
        dev.start();
        const Pcm got = readAll(dev, 4096);
        EXPECT_LE(got.size(), 2u * (4096 + 44)) << c.what << ": nothing after the failing block";
        // The output may reach the end before the failing thread records it; a
        // failure ends both threads without a stop().
        while (dev.isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(dev.getStatus(), SoundTools::Error) << c.what;
        EXPECT_TRUE(dev.atEnd());
        EXPECT_EQ(dev.bytesAvailable(), 0);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains("cannot be processed")) << c.what;
        dev.stop();
        EXPECT_EQ(readAll(dev, 4096).size(), 0u);
        if (c.mainFails && !c.withPost) {
            EXPECT_GE(ends.count.load(), 1) << c.what;
        }
    }
}

TEST(DeviceThreads, StopBeforeStartAndDestroyingARunningDevice) {
    tk::Watchdog dog("StopBeforeStartAndDestroyingARunningDevice");
    const Frames in = tk::mixedStereo(100000, kRate);
    auto chain = mainChain();
    {
        TestDevice dev(memoryReader(in), chain.get());
        dev.stop();
        dev.stop();
        EXPECT_FALSE(dev.isRunning());
        EXPECT_FALSE(dev.isOpen());
        dev.start();
        EXPECT_EQ(readAll(dev, 4096, 2000).size(), 4000u);
    }
    EXPECT_EQ(chain->refCount(), 1) << "the device dropped its reference";
    for (int reads : {0, 1, 5}) {
        auto post = postChain();
        post->addRef();  // kept to watch it outlive the device's reference
        {
            auto dev = std::make_unique<TestDevice>(memoryReader(in), chain.get());
            dev->setPostProcessingChain(post.get());
            dev->start();
            readAll(*dev, 4096, size_t(reads) * 1024);
            // Destroyed while both threads run, blocked on full pipes.
        }
        EXPECT_EQ(post->refCount(), 1) << reads;
        EXPECT_EQ(chain->refCount(), 1) << reads;
    }
}

TEST(DeviceThreads, PostChainCannotChangeWhilePlaying) {
    tk::Watchdog dog("PostChainCannotChangeWhilePlaying");
    TestDevice dev(memoryReader(tk::noise(100000)), nullptr);
    dev.start();
    auto post = postChain();
    post->addRef();
    dev.setPostProcessingChain(post.get());
    EXPECT_FALSE(dev.hasPostProcessing());
    EXPECT_EQ(post->refCount(), 1) << "the handed-over reference is dropped";
    dev.stop();
    post->addRef();
    dev.setPostProcessingChain(post.get());
    EXPECT_TRUE(dev.hasPostProcessing());
    dev.setPostProcessingChain(nullptr);
    EXPECT_FALSE(dev.hasPostProcessing());
    EXPECT_EQ(post->refCount(), 1);
}

// ---------------------------------------------------------------- stress and soak

// 1000 playbacks (TONEWRIGHT_SOAK_CYCLES for more: scripts/soak.sh) with both
// chains, each stopped after a different amount of
// output (none at all, in the middle of the first buffers, or further on). Each
// must start from the beginning; no deadlock, no leak (the sanitizer builds
// check), no crash. The longest stop() is reported, not asserted: bench_playback
// measures it.
TEST(DeviceStressThreads, ThousandStartStopCycles) {
    const int cycles = tk::soakCycles(1000);
    tk::Watchdog dog("ThousandStartStopCycles", 600.0 * std::max(1, cycles / 1000));
    const Frames in = tk::mixedStereo(60000, kRate, 9);
    const Pcm expected = pcmModel(offline(in, true));
    auto chain = mainChain();
    TestDevice dev(memoryReader(in), chain.get());
    dev.setPostProcessingChain(postChain().release());
    double longestStopMs = 0.0;
    int mismatches = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        dev.start();
        const size_t frames = size_t(cycle % 4) * 700;
        const Pcm got = readAll(dev, 2800, frames);
        if (!samePcm(got, Pcm(expected.begin(), expected.begin() + ptrdiff_t(2 * frames)))) ++mismatches;
        const auto t0 = std::chrono::steady_clock::now();
        dev.stop();
        longestStopMs = std::max(
            longestStopMs, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (dev.isRunning()) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
    RecordProperty("longest_stop_ms", std::to_string(longestStopMs));
    RecordProperty("cycles", std::to_string(cycles));
    std::printf("%d start/stop cycles, longest stop(): %.2f ms\n", cycles, longestStopMs);
}

// Soak: an output thread pulls all the time, as an audio output does, while the
// host starts, stops and hands over sources at random moments.
TEST(DeviceSoakThreads, StartStopAndHandoverWhileTheOutputPulls) {
    const double seconds = tk::soakSeconds(1.0);
    tk::Watchdog dog("StartStopAndHandoverWhileTheOutputPulls", seconds + 120.0);
    const Frames in = tk::mixedStereo(30000, kRate, 4);
    auto chain = mainChain();
    TestDevice dev(memoryReader(in), chain.get());
    dev.setPostProcessingChain(postChain().release());
    std::atomic<bool> done{false};
    std::atomic<int64_t> pulled{0};
    std::thread output([&] {
        std::vector<char> buf(4096);
        std::mt19937 gen(3);
        std::uniform_int_distribution<int> size(4, 4096);
        while (!done.load()) {
            const qint64 n = dev.readData(buf.data(), size(gen));
            if (n > 0)
                pulled += n;
            else
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::mt19937 gen(99);
    std::uniform_int_distribution<int> action(0, 9), pause(0, 3000);
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int cycles = 0;
    while (std::chrono::steady_clock::now() < until) {
        dev.setContinuousPlaying(action(gen) < 5);
        dev.start();
        std::this_thread::sleep_for(std::chrono::microseconds(pause(gen)));
        if (action(gen) < 4) {
            dev.setReader(memoryReader(in));
            std::this_thread::sleep_for(std::chrono::microseconds(pause(gen)));
        }
        dev.stop();
        EXPECT_FALSE(dev.isRunning());
        ++cycles;
    }
    done = true;
    output.join();
    RecordProperty("cycles", std::to_string(cycles));
    RecordProperty("bytes", std::to_string(pulled.load()));
    std::printf("%.0f s: %d start/stop/handover cycles, %lld bytes pulled\n", seconds, cycles,
                static_cast<long long>(pulled.load()));
    EXPECT_GT(pulled.load(), 0);
}
