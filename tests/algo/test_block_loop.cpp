#include <QObject>
#include <algorithm>
#include <functional>
#include <vector>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"

using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// Records where the loop placed its first input block.
class ProbeDelay : public SoundAlgoDelay {
public:
    using SoundAlgoDelay::SoundAlgoDelay;
    SoundTools::Status process() override {
        if (firstInOrigin == 12345) {
            firstInOrigin = getInOrigin();
            firstOutOrigin = getOutOrigin();
            firstLeadIn = mInBuffers[0]->getStereoFrame(getInOrigin())->l;
        }
        return SoundAlgoDelay::process();
    }
    int firstInOrigin = 12345;
    int firstOutOrigin = 0;
    double firstLeadIn = -1;
};

class TwoInputs : public SoundAlgoScale {
public:
    TwoInputs() : SoundAlgoScale(0) {}
    unsigned getInputNumber() const override { return 2; }
};

struct SignalLog {
    std::vector<unsigned> begin;
    std::vector<unsigned> progress;
    std::vector<int> end;
    void attach(SoundAlgo& a) {
        QObject::connect(&a, &SoundAlgo::notifyBegin, [this](unsigned n) { begin.push_back(n); });
        QObject::connect(&a, &SoundAlgo::notifyInProgress, [this](unsigned done, unsigned) { progress.push_back(done); });
        QObject::connect(&a, &SoundAlgo::notifyEnd, [this](int s) { end.push_back(s); });
    }
};

// Delivers its frames in the given read sizes, cycled: each read returns at
// most that many, so that most reads are short.
class HiccupReader : public tk::MemoryReader {
public:
    HiccupReader(tk::Frames f, std::vector<unsigned> sizes) : tk::MemoryReader(std::move(f), 44100), mSizes(std::move(sizes)) {}

protected:
    unsigned read(unsigned count, double* dest) override {
        const unsigned n = std::min(count, mSizes[mCall++ % mSizes.size()]);
        return n ? tk::MemoryReader::read(n, dest) : 0;
    }

private:
    std::vector<unsigned> mSizes;
    size_t mCall = 0;
};
}  // namespace

TEST(BlockLoop, FirstBlockStartsAtMinusDelay) {
    auto probe = SoundRef<ProbeDelay>::make(0.01, false);
    tk::run(*probe, tk::ramp(3000), kRate);
    EXPECT_EQ(probe->firstInOrigin, -441);
    EXPECT_EQ(probe->firstOutOrigin, 0);  // delay + in origin - out overlap
    EXPECT_EQ(probe->firstLeadIn, 0.0);
}

TEST(BlockLoop, EmptyStreamBeginsAndEndsWithoutBlocks) {
    auto scale = SoundRef<SoundAlgoScale>::make(0.0);
    SignalLog log;
    log.attach(*scale);
    tk::MemoryReader reader({}, kRate);
    tk::MemoryWriter writer(kRate);
    EXPECT_EQ(scale->processAll(reader, &writer), SoundTools::Ok);
    EXPECT_EQ(log.begin, std::vector<unsigned>{0});
    EXPECT_TRUE(log.progress.empty());
    EXPECT_EQ(log.end, std::vector<int>{0});
    EXPECT_TRUE(writer.frames().empty());
}

TEST(BlockLoop, ProgressOncePerBlockAndEndStatus) {
    auto scale = SoundRef<SoundAlgoScale>::make(0.0);
    SignalLog log;
    log.attach(*scale);
    tk::ScopedBlockSize block(1000);
    tk::MemoryReader reader(tk::ramp(3500), kRate);
    EXPECT_EQ(scale->processAll(reader, nullptr), SoundTools::Ok);
    EXPECT_EQ(log.begin, std::vector<unsigned>{3500});
    EXPECT_EQ(log.progress, (std::vector<unsigned>{1000, 2000, 3000, 3500}));
    EXPECT_EQ(log.end, std::vector<int>{0});
}

TEST(BlockLoop, StopRequests) {
    auto scale = SoundRef<SoundAlgoScale>::make(0.0);
    scale->pleaseStop();  // before the run: cleared when the loop starts
    tk::ScopedBlockSize block(1000);
    {
        tk::MemoryReader reader(tk::ramp(5000), kRate);
        tk::MemoryWriter writer(kRate);
        EXPECT_EQ(scale->processAll(reader, &writer), SoundTools::Ok);
        EXPECT_EQ(writer.frames().size(), 5000u);
    }
    SignalLog log;
    log.attach(*scale);
    QObject::connect(scale.get(), &SoundAlgo::notifyInProgress, [&](unsigned done, unsigned) {
        if (done >= 2000) scale->pleaseStop();
    });
    tk::MemoryReader reader(tk::ramp(5000), kRate);
    tk::MemoryWriter writer(kRate);
    EXPECT_EQ(scale->processAll(reader, &writer), SoundTools::Interrupted);
    EXPECT_EQ(writer.frames().size(), 2000u);  // the stopping block is written
    EXPECT_EQ(log.end, std::vector<int>{2});
}

TEST(BlockLoop, ConfigurationAndWriterFailures) {
    auto two = SoundRef<TwoInputs>::make();
    SignalLog log;
    log.attach(*two);
    tk::MemoryReader reader(tk::ramp(100), kRate);
    EXPECT_EQ(two->processAll(reader, nullptr), SoundTools::Error);
    EXPECT_TRUE(log.begin.empty());
    EXPECT_TRUE(log.end.empty());

    auto scale = SoundRef<SoundAlgoScale>::make(0.0);
    tk::MemoryWriter wrongRate(48000);
    tk::MemoryReader reader2(tk::ramp(100), kRate);
    EXPECT_EQ(scale->processAll(reader2, &wrongRate), SoundTools::Error);
    EXPECT_EQ(SoundDebuggableClass::getError(), "SoundWriter::WriteBuffer : Samplerate conversion not implemented");
}

// The stream timeline is 32-bit: a stream longer than a run can carry, or a
// source of unknown length read up to the end of the timeline, is refused
// with a message, and nothing is read past the point the run stops at.
TEST(BlockLoop, StreamsPastTheTimelineAreRefused) {
    // Zeros without end from `start` on, claiming `frames` (0: not known).
    class EndlessReader : public tk::MemoryReader {
    public:
        EndlessReader(unsigned frames, int start) : tk::MemoryReader({}, kRate), mFrames(frames) { mOffset = start; }
        unsigned getFrameNB() const override { return mFrames; }
        unsigned reads = 0;

    protected:
        unsigned read(unsigned count, double* dest) override {
            ++reads;
            std::fill(dest, dest + 2 * size_t(count), 0.0);
            return count;
        }

    private:
        unsigned mFrames;
    };
    const int64_t limit = SoundAlgo::kMaxStreamFrames;
    struct Case {
        const char* what;
        unsigned frames;
        int start;
        bool refusedAtOnce;
    };
    const Case cases[] = {
        {"longer than the timeline", unsigned(limit + 1), 0, true},
        {"more than 2^32 frames, clamped", 0xFFFFFFFFu, 0, true},
        {"unknown length, near the end of the timeline", 0, int(limit - 5000), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EndlessReader reader(c.frames, c.start);
        auto scale = SoundRef<SoundAlgoScale>::make(1.0);
        tk::MemoryWriter writer(kRate);
        SoundDebuggableClass::setError("none");
        EXPECT_EQ(scale->processAll(reader, &writer), SoundTools::Error);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(QString::number(limit)))
            << SoundDebuggableClass::getError().toStdString();
        if (c.refusedAtOnce) {
            EXPECT_EQ(reader.reads, 0u);
        } else {
            EXPECT_GT(reader.reads, 0u);
        }
        EXPECT_LE(int64_t(reader.getOffset()), limit);
    }
}

TEST(BlockLoop, NamesCarryTheId) {
    auto scale = SoundRef<SoundAlgoScale>::make(0.0);
    EXPECT_EQ(scale->getName(), "SoundAlgoScale");
    scale->setId("gain");
    EXPECT_EQ(scale->getName(), "SoundAlgoScale(gain)");
}

// Every input frame reaches the writer, moved by the delay, and nothing after:
// the lead-in of a delayed algorithm is part of what the first block consumed
// (losing it would shift every later block), and the zero frames that flush the
// end of the stream are not part of it (a history-keeping algorithm gives exactly
// the input back). Chains of delays, look-aheads and hold-backs stay aligned.
TEST(BlockLoop, OutputIsTheStreamMovedByTheDelay) {
    const Frames in = tk::mixedStereo(10007, kRate);
    const auto delay = [](double frames, bool overlap) {
        return SoundRef<SoundAlgoDelay>::make(frames / kRate, overlap).release();
    };
    const auto chain = [](std::vector<SoundAlgo*> members) {
        auto c = SoundRef<SoundAlgoComposite>::make("chain");
        for (SoundAlgo* m : members) c->pushAlgo(m);
        return c.release();
    };
    struct Case {
        const char* name;
        std::function<SoundAlgo*()> make;
        size_t delay;
        double gain;
    } cases[] = {
        {"delay 441", [&] { return delay(441, false); }, 441, 1.0},
        {"delay 44", [&] { return delay(44.1, false); }, 44, 1.0},
        {"delay 2205", [&] { return delay(2205, false); }, 2205, 1.0},
        {"history", [] { return SoundRef<SoundAlgoBypass>::make(300u, 0u, 0u).release(); }, 0, 1.0},
        {"hold", [&] { return delay(120, true); }, 0, 1.0},
        {"bypass delay", [] { return SoundRef<SoundAlgoBypass>::make(0u, 77u, 0u).release(); }, 77, 1.0},
        {"look-ahead, delay and hold",
         [&] { return chain({SoundRef<SoundAlgoBypass>::make(2000u, 0u, 0u).release(), delay(500, false), delay(64, true)}); },
         500, 1.0},
        {"gain, delays and a hold",
         [&] {
             return chain({SoundRef<SoundAlgoScale>::make(-6.0).release(), delay(441, false), delay(132.3, true),
                           delay(88.2, false)});
         },
         441 + 88, tk::fromDb(-6.0)},
    };
    for (const auto& c : cases) {
        for (unsigned block : {997u, 10007u, 64u}) {
            SoundRef<SoundAlgo> algo = SoundRef<SoundAlgo>::adopt(c.make());
            SoundTools::Status status = SoundTools::Error;
            const Frames out = tk::run(*algo, in, kRate, block, &status);
            EXPECT_EQ(status, SoundTools::Ok);
            EXPECT_TRUE(tk::framesNear(out, tk::delayed(tk::scaled(in, c.gain), c.delay), 1e-15))
                << c.name << ", block " << block;
        }
    }
}

// A live source (the in-memory pipe between two recordings handed over without
// a gap) may deliver fewer frames than asked and more at the next call: nothing
// may be put between them.
TEST(StereoRead, AShortReadIsNotPaddedWhenTheSourceGoesOn) {
    HiccupReader reader(tk::ramp(30), {10, 2, 10});
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(12, 2);
    EXPECT_EQ(reader.stereoRead(buffer, 5), 10u);
    EXPECT_EQ(reader.stereoRead(buffer, 5), 2u) << "fewer than the 5 kept";
    EXPECT_EQ(reader.getOffset(), 12);
    EXPECT_EQ(buffer->getFrameNB(), 7u);
    EXPECT_EQ(reader.stereoRead(buffer, 5), 7u) << "the source goes on";
    ASSERT_EQ(buffer->getOrigin(), 7);
    for (int p = 7; p < 19; ++p) EXPECT_EQ(buffer->getStereoFrame(p)->l, p + 1.0) << p;
    EXPECT_EQ(reader.getOffset(), 19);
}

TEST(BlockLoop, ALiveSourceWithShortReadsComesOutWhole) {
    const tk::Frames in = tk::ramp(20000);
    HiccupReader reader(in, {100, 5000, 1, 700, 4096});
    auto chain = SoundRef<SoundAlgoComposite>::make("chain");
    chain->pushAlgo(SoundRef<SoundAlgoBypass>::make(2000u, 0u, 0u).release());  // a look-ahead
    chain->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.01, true).release());     // a hold-back
    tk::ScopedBlockSize size(333);
    tk::MemoryWriter writer(44100);
    EXPECT_EQ(chain->processAll(reader, &writer), SoundTools::Ok);
    EXPECT_TRUE(tk::framesNear(writer.frames(), in, 0.0));
}

// Streams shorter than an algorithm's look-ahead (its input overlap): every frame
// must still come out, once, in place.
TEST(BlockLoop, StreamsShorterThanTheInputOverlapComeOutWhole) {
    for (size_t n : {1u, 100u, 1023u, 4999u, 5000u, 5001u, 12000u})
        for (unsigned block : {1024u, 64u, 7u}) {
            const tk::Frames in = tk::ramp(n);
            auto lookAhead = SoundRef<SoundAlgoBypass>::make(5000u, 0u, 0u);
            EXPECT_TRUE(tk::framesNear(tk::run(*lookAhead, in, 44100, block), in, 0.0)) << n << ", block " << block;
            // The same look-ahead inside a chain, behind a delay.
            auto chain = SoundRef<SoundAlgoComposite>::make("chain");
            chain->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.001, false).release());
            chain->pushAlgo(SoundRef<SoundAlgoBypass>::make(3000u, 0u, 0u).release());
            EXPECT_TRUE(tk::framesNear(tk::run(*chain, in, 44100, block), tk::delayed(in, 44), 0.0))
                << n << ", block " << block;
        }
}
