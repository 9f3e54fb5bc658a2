// The in-memory pipe: states, slot accounting, hold-back, and the two ends on
// different threads. Threaded suites end in Threads (the ctest label threads).
#include <QObject>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>

#include "common/TestKit.h"
#include "common/Threading.h"
#include "tonewright/SoundReaderBuffer.h"

using SoundTools::Status;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// Exposes the consumer's read.
class TestPipe : public SoundReaderBuffer {
public:
    using SoundReaderBuffer::SoundReaderBuffer;
    Frames take(unsigned count) {
        Frames out(count);
        const unsigned n = read(count, &out[0].l);
        out.resize(n);
        return out;
    }
};

// Stream positions [from, to) as the frames (p + 1, -(p + 1)).
Frames expectedPositions(int from, int to) { return tk::ramp(size_t(to - from), from + 1.0); }

// A stereo buffer holding stream positions [origin, origin + n), so that any
// lost, repeated or shifted frame shows.
std::shared_ptr<SoundBuffer> positions(int origin, unsigned n, int startOffset = INT32_MIN) {
    auto b = SoundBuffer::createNew(kRate);
    b->alloc(n, 2);
    b->setFrameNB(n);
    b->setOrigin(origin);
    b->setStartOffset(startOffset == INT32_MIN ? origin : startOffset);
    const Frames f = tk::ramp(n, origin + 1.0);
    std::copy(f.begin(), f.end(), b->getRelStereoFrame(0));
    return b;
}


struct SignalCount {
    std::atomic<int> n{0};
    QMetaObject::Connection c;
    explicit SignalCount(SoundReaderBuffer& p) {
        c = QObject::connect(&p, &SoundReaderBuffer::readFinished, [this] { n.fetch_add(1); });
    }
    ~SignalCount() { QObject::disconnect(c); }
};
}  // namespace

// ---------------------------------------------------------------- one thread

TEST(Pipe, StatesFollowTheLifecycle) {
    TestPipe p(kRate, 3);
    SignalCount ends(p);
    EXPECT_EQ(p.getStatus(), SoundTools::Error) << "a new pipe is closed";
    EXPECT_EQ(p.getInputFormat(), SoundTools::Double);
    EXPECT_EQ(p.pushBuffer(positions(0, 10)), SoundTools::Error);
    EXPECT_TRUE(p.take(10).empty());
    EXPECT_EQ(ends.n, 1) << "a read of a closed pipe meets the end";
    ASSERT_EQ(p.open("ignored"), SoundTools::Ok);
    EXPECT_EQ(p.getStatus(), SoundTools::Waiting);
    ASSERT_EQ(p.pushBuffer(positions(0, 10)), SoundTools::Ok);
    EXPECT_EQ(p.open(""), SoundTools::Error) << "open of an open pipe";
    p.rewind();
    EXPECT_EQ(p.getStatus(), SoundTools::Ok);
    EXPECT_EQ(p.getFrameNB(), 10u) << "open and rewind of an open pipe change nothing";
    // Each step and the state it leaves.
    const struct {
        void (*apply)(SoundReaderBuffer&);
        Status expected;
        const char* why;
    } steps[] = {
        {[](SoundReaderBuffer& q) { q.wait(); }, SoundTools::Waiting, "wait"},
        {[](SoundReaderBuffer& q) { q.restart(); }, SoundTools::Waiting, "restart"},
        {[](SoundReaderBuffer& q) { q.interrupt(); }, SoundTools::Interrupted, "interrupt"},
        {[](SoundReaderBuffer& q) { q.restart(); }, SoundTools::Interrupted, "interrupted until closed"},
        {[](SoundReaderBuffer& q) { q.finished(); }, SoundTools::Interrupted, "finished leaves a stopped pipe"},
        {[](SoundReaderBuffer& q) { q.close(); }, SoundTools::Error, "close"},
        {[](SoundReaderBuffer& q) { q.wait(); q.finished(); q.interrupt(); }, SoundTools::Error,
         "a closed pipe ignores state changes"},
    };
    for (const auto& step : steps) {
        step.apply(p);
        EXPECT_EQ(p.getStatus(), step.expected) << step.why;
    }
    p.restart();
    EXPECT_EQ(p.getStatus(), SoundTools::Waiting) << "restart reopens a closed pipe";
    EXPECT_EQ(p.getFrameNB(), 0u) << "reopened empty";
}

// A push into a stopped pipe returns the state and drops the buffer (the closed
// state is the lifecycle test's); buffers without a valid frame are dropped, only
// stereo is carried, and a buffer reaching past the end of the timeline
// (2^31 - 1 frames) is refused after the frames before it.
TEST(Pipe, PushesThatQueueNothing) {
    const struct {
        const char* what;
        void (*apply)(SoundReaderBuffer&);
        Status expected;
    } cases[] = {
        {"finished", [](SoundReaderBuffer& p) { p.finished(); }, SoundTools::Finished},
        {"interrupted", [](SoundReaderBuffer& p) { p.interrupt(); }, SoundTools::Interrupted},
    };
    for (const auto& c : cases) {
        TestPipe p(kRate, 2);
        ASSERT_EQ(p.open(""), SoundTools::Ok);
        c.apply(p);
        EXPECT_EQ(p.pushBuffer(positions(0, 64)), c.expected) << c.what;
        EXPECT_EQ(p.getFrameNB(), 0u) << c.what;
    }

    TestPipe p(kRate, 3);
    ASSERT_EQ(p.open(""), SoundTools::Ok);
    EXPECT_EQ(p.pushBuffer(positions(0, 32, 32)), SoundTools::Ok) << "start point at the end: no valid frame";
    EXPECT_EQ(p.getStatus(), SoundTools::Waiting) << "nothing was queued";
    auto mono = SoundBuffer::createNew(kRate);
    mono->alloc(16, 1);
    mono->setFrameNB(16);
    EXPECT_EQ(p.pushBuffer(mono), SoundTools::Error);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains("two-channel")) << SoundDebuggableClass::getError().toStdString();
    EXPECT_EQ(p.pushBuffer(nullptr), SoundTools::Error);
    EXPECT_EQ(p.getFrameNB(), 0u);
    const int last = INT32_MAX - 100;
    EXPECT_EQ(p.pushBuffer(positions(last - 64, 64, last - 64)), SoundTools::Ok);
    EXPECT_EQ(p.pushBuffer(positions(last, 101)), SoundTools::Error);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains("end of the timeline"));
    EXPECT_EQ(p.getFrameNB(), 64u);
}

TEST(Pipe, OutOverlapHoldsBackTheTailOfEachBuffer) {
    // A chain whose writer holds back 512 frames: each buffer of 4096 valid
    // frames starts 3584 frames after the previous one, and its first 512 frames
    // are the previous buffer's held-back tail, final now.
    TestPipe p(kRate, 3);
    SoundWriterBuffer w(&p);
    EXPECT_EQ(w.getSampleRate(), kRate);
    ASSERT_EQ(w.open("x"), SoundTools::Ok);
    for (int b = 0; b < 3; ++b)
        ASSERT_EQ(w.writeBuffer(positions(b * 3584, 4096), 512u), SoundTools::Ok);
    EXPECT_EQ(w.getCurrentOffset(), 3 * 3584);
    p.finished();
    for (int b = 0; b < 3; ++b)
        EXPECT_TRUE(tk::framesNear(p.take(3584), expectedPositions(b * 3584, (b + 1) * 3584), 0.0))
            << "buffer " << b;
    EXPECT_TRUE(p.take(10).empty());
    w.close();
    EXPECT_EQ(p.getStatus(), SoundTools::Error) << "closing the writer closes the pipe";
}

// ---------------------------------------------------------------- two threads

TEST(PipeThreads, ThirdPushBlocksUntilASlotIsFreedOrTheStop) {
    tk::Watchdog dog("ThirdPushBlocksUntilASlotIsFreedOrTheStop");
    TestPipe p(kRate, 2);
    ASSERT_EQ(p.open(""), SoundTools::Ok);
    for (int b = 0; b < 2; ++b) ASSERT_EQ(p.pushBuffer(positions(b * 100, 100)), SoundTools::Ok);

    std::atomic<int> third{-1};
    std::thread producer([&] { third = p.pushBuffer(positions(200, 100)); });
    // A push that does not block returns within microseconds; a blocked one
    // never does, so this wait cannot give a false alarm.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(third.load(), -1) << "both slots are full: the third push must wait";
    // Reading the first buffer and starting the second frees the first slot.
    EXPECT_TRUE(tk::framesNear(p.take(101), expectedPositions(0, 101), 0.0));
    producer.join();
    EXPECT_EQ(third.load(), int(SoundTools::Ok));

    std::atomic<int> fourth{-1};
    std::thread blocked([&] { fourth = p.pushBuffer(positions(300, 100)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fourth.load(), -1);
    p.interrupt();
    blocked.join();
    EXPECT_EQ(fourth.load(), int(SoundTools::Interrupted));
}

// finished() gives the consumer a wake-up permit. If a consumer that is in the
// middle of the queue took that permit for a buffer, a restart() for the next
// source would leave one permit too many, and the consumer would replay the slot
// after the last queued buffer: stale frames.
TEST(PipeThreads, RestartNeverReplaysAStaleSlot) {
    tk::Watchdog dog("RestartNeverReplaysAStaleSlot");
    TestPipe p(kRate, 3);
    ASSERT_EQ(p.open(""), SoundTools::Ok);
    // Fill every slot once so that a replay would show old frames.
    for (int b = 0; b < 3; ++b) ASSERT_EQ(p.pushBuffer(positions(-3000 + b * 100, 100)), SoundTools::Ok);
    ASSERT_EQ(p.take(300).size(), 300u);

    for (int b = 0; b < 2; ++b) ASSERT_EQ(p.pushBuffer(positions(b * 100, 100)), SoundTools::Ok);
    p.finished();
    // The consumer is inside the first buffer when the next source is handed over.
    EXPECT_TRUE(tk::framesNear(p.take(40), expectedPositions(0, 40), 0.0));
    p.restart();
    EXPECT_EQ(p.getStatus(), SoundTools::Waiting);
    EXPECT_TRUE(tk::framesNear(p.take(160), expectedPositions(40, 200), 0.0));

    // Nothing is queued now: a read takes the next buffer only, with no stale
    // slot before it, and waits for more; a stop ends it with the frames copied
    // so far, and the next read signals the stop.
    SignalCount ends(p);
    ASSERT_EQ(p.pushBuffer(positions(200, 100)), SoundTools::Ok);
    Frames extra;
    const int64_t before = p.getDeliveredFrames();
    std::thread consumer([&] { extra = p.take(1000); });
    while (p.getDeliveredFrames() < before + 100) std::this_thread::yield();
    p.interrupt();
    consumer.join();
    EXPECT_TRUE(tk::framesNear(extra, expectedPositions(200, 300), 0.0));
    EXPECT_EQ(ends.n, 0);
    EXPECT_TRUE(p.take(10).empty());
    EXPECT_EQ(ends.n, 1);
}

// Soak: a producer and a consumer at full speed, buffers and reads of random
// sizes, and now and then the end of a source followed at once by a restart for
// the next one, while the consumer is anywhere in the queue. The consumer must
// see every position exactly once, in order.
TEST(PipeSoakThreads, ProducerAndConsumerAtFullSpeed) {
    const double seconds = tk::soakSeconds(1.0);
    tk::Watchdog dog("ProducerAndConsumerAtFullSpeed", seconds + 120.0);
    TestPipe p(kRate, 3);
    ASSERT_EQ(p.open(""), SoundTools::Ok);
    std::atomic<bool> stopProducing{false};
    std::atomic<int64_t> produced{-1};
    std::thread producer([&] {
        std::mt19937 gen(12345);
        std::uniform_int_distribution<int> size(1, 3000), lead(0, 40), handover(0, 15);
        int64_t position = 0;
        // A long soak at full speed reaches the end of the int timeline (2^31 - 1
        // frames) after some ten minutes: the stream ends there.
        while (!stopProducing.load() && position < int64_t(INT32_MAX) - 4096) {
            // Frames before the start point are never delivered: they mimic the
            // lead-in a chain puts before the stream.
            const int skip = lead(gen) < 5 ? lead(gen) : 0;
            const unsigned n = unsigned(size(gen));
            if (p.pushBuffer(positions(int(position) - skip, n + skip, int(position))) != SoundTools::Ok) break;
            position += n;
            if (handover(gen) == 0) {
                p.finished();
                p.restart();
            }
        }
        p.finished();
        produced = position;
    });

    std::mt19937 gen(777);
    std::uniform_int_distribution<int> size(1, 5000);
    int64_t next = 0;
    int64_t mismatches = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (!stopProducing.load() && std::chrono::steady_clock::now() > until) stopProducing = true;
        const unsigned want = unsigned(size(gen));
        const Frames got = p.take(want);
        for (const tk::Frame& f : got) {
            if (f.l != double(next + 1) || f.r != -double(next + 1)) ++mismatches;
            ++next;
        }
        if (produced.load() >= 0 && next >= produced.load() && p.getFrameNB() == 0 &&
            p.getStatus() == SoundTools::Finished)
            break;
    }
    producer.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(next, produced.load());
    EXPECT_TRUE(p.take(10).empty());
}
