// The block loop: what reaches the writer (from sources that deliver fewer
// frames than asked too), the signals and stops of a run, and the runs it refuses.
#include <QObject>
#include <functional>
#include <vector>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"

using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// A live source (the in-memory pipe between two recordings handed over without
// a gap): its reads return at most the given sizes, cycled, so that most come
// short and nothing may be put between them.
class HiccupReader : public tk::MemoryReader {
public:
    HiccupReader(tk::Frames f, std::vector<unsigned> sizes) : tk::MemoryReader(std::move(f), kRate), mSizes(std::move(sizes)) {}

protected:
    unsigned read(unsigned count, double* dest) override {
        const unsigned n = std::min(count, mSizes[mCall++ % mSizes.size()]);
        return n ? tk::MemoryReader::read(n, dest) : 0;
    }

private:
    std::vector<unsigned> mSizes;
    size_t mCall = 0;
};

// A run in blocks of 333 fed by such a source.
Frames runLive(SoundAlgo& algo, const Frames& in, SoundTools::Status* status) {
    HiccupReader reader(in, {100, 5000, 1, 700, 4096});
    tk::ScopedBlockSize size(333);
    tk::MemoryWriter writer(kRate);
    *status = algo.processAll(reader, &writer);
    return writer.frames();
}

SoundAlgo* delay(double frames, bool overlap) { return SoundRef<SoundAlgoDelay>::make(frames / kRate, overlap).release(); }
SoundAlgo* lookAhead(unsigned frames) { return SoundRef<SoundAlgoBypass>::make(frames, 0u, 0u).release(); }
SoundAlgo* chain(std::vector<SoundAlgo*> members) {
    return &tk::fill(*SoundRef<SoundAlgoComposite>::make("chain").release(), {members});
}
}  // namespace

// Every input frame reaches the writer, moved by the delay, and nothing after:
// the lead-in of a delayed algorithm is part of what the first block consumed
// (losing it would shift every later block), and the zero frames that flush the
// end of the stream are not part of it. Chains of delays, look-aheads and
// hold-backs stay aligned, for streams shorter than a look-ahead too, in any
// block size and from a live source whose reads come short.
TEST(BlockLoop, OutputIsTheStreamMovedByTheDelay) {
    struct Case { const char* name; std::function<SoundAlgo*()> make; size_t delay; double gain; } cases[] = {
        {"delay 441", [] { return delay(441, false); }, 441, 1.0},
        {"delay 2.5, rounded up", [] { return delay(2.5, false); }, 3, 1.0},
        {"negative delay, none", [] { return delay(-441, false); }, 0, 1.0},
        {"look-ahead 5000", [] { return lookAhead(5000); }, 0, 1.0},
        {"hold", [] { return delay(120, true); }, 0, 1.0},
        {"bypass delay", [] { return SoundRef<SoundAlgoBypass>::make(0u, 77u, 0u).release(); }, 77, 1.0},
        {"look-ahead, delay and hold", [] { return chain({lookAhead(2000), delay(500, false), delay(64, true)}); }, 500, 1.0},
        {"gain, delays and a hold",
         [] { return chain({SoundRef<SoundAlgoScale>::make(-6.0).release(), delay(441, false), delay(132.3, true), delay(88.2, false)}); },
         441 + 88, tk::fromDb(-6.0)},
    };
    for (const auto& c : cases)
        for (size_t n : {1u, 100u, 4999u, 5001u, 10007u})
            for (unsigned block : {997u, 10007u, 64u, 7u, 0u}) {  // 0: a live source
                SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(n) + " frames, block " + std::to_string(block));
                if (block == 7 && n > 100) continue;
                const Frames in = tk::mixedStereo(n, kRate);
                SoundRef<SoundAlgo> algo = SoundRef<SoundAlgo>::adopt(c.make());
                SoundTools::Status status = SoundTools::Error;
                const Frames out =
                    block ? tk::run(*algo, in, kRate, block, &status) : runLive(*algo, in, &status);
                EXPECT_EQ(status, SoundTools::Ok);
                EXPECT_TRUE(tk::framesNear(out, tk::delayed(tk::scaled(in, c.gain), c.delay), 1e-15));
            }
}

// A run announces the stream's length, reports progress once per block and its
// status at the end; a stop asked before the run is cleared when it starts, one
// asked during a block ends the run after that block is written.
TEST(BlockLoop, SignalsAndStops) {
    // stopAt: 0: never
    struct Case { size_t frames; unsigned stopAt; std::vector<unsigned> progress; int end; size_t written; };
    for (const Case& c : {Case{0, 0, {}, 0, 0}, Case{3500, 0, {1000, 2000, 3000, 3500}, 0, 3500},
                          Case{5000, 2000, {1000, 2000}, int(SoundTools::Interrupted), 2000}}) {
        SCOPED_TRACE(c.frames);
        auto scale = SoundRef<SoundAlgoScale>::make(0.0);
        std::vector<unsigned> begin, progress;
        std::vector<int> end;
        QObject::connect(scale.get(), &SoundAlgo::notifyBegin, [&](unsigned n) { begin.push_back(n); });
        QObject::connect(scale.get(), &SoundAlgo::notifyInProgress, [&](unsigned done, unsigned) {
            progress.push_back(done);
            if (c.stopAt && done >= c.stopAt) scale->pleaseStop();
        });
        QObject::connect(scale.get(), &SoundAlgo::notifyEnd, [&](int s) { end.push_back(s); });
        scale->pleaseStop();
        SoundTools::Status status = SoundTools::Error;
        const tk::Frames out = tk::run(*scale, tk::ramp(c.frames), kRate, 1000, &status);
        EXPECT_TRUE(tk::framesNear(out, tk::ramp(c.written), 0.0));
        EXPECT_EQ(int(status), c.end);
        EXPECT_EQ(begin, std::vector<unsigned>{unsigned(c.frames)});
        EXPECT_EQ(progress, c.progress);
        EXPECT_EQ(end, std::vector<int>{c.end});
    }
}

// An algorithm the loop cannot feed is refused before any block (a writer's
// refusals: the writer and fault-injection tests); so is a stream longer than
// the 32-bit timeline (a source of unknown length read up to its end), with a
// message and nothing read past the point the run stops at.
TEST(BlockLoop, RunsThatCannotBeMadeAreRefused) {
    auto two = SoundRef<SoundAlgoAdd>::make(2, true);  // a mixer of two inputs
    bool began = false;
    QObject::connect(two.get(), &SoundAlgo::notifyBegin, [&](unsigned) { began = true; });
    tk::MemoryReader reader(tk::ramp(100), kRate);
    EXPECT_EQ(two->processAll(reader, nullptr), SoundTools::Error);
    EXPECT_FALSE(began);

    // Zeros without end from `start` on, claiming `frames` (0: not known).
    struct EndlessReader : tk::MemoryReader {
        EndlessReader(unsigned frames, int start) : tk::MemoryReader({}, kRate), frames(frames) { mOffset = start; }
        unsigned getFrameNB() const override { return frames; }
        unsigned read(unsigned count, double* dest) override {
            ++reads;
            std::fill(dest, dest + 2 * size_t(count), 0.0);
            return count;
        }
        unsigned frames, reads = 0;
    };
    const int64_t limit = SoundAlgo::kMaxStreamFrames;
    struct Case { unsigned frames; int start; bool refusedAtOnce; };
    for (const Case& c : {Case{unsigned(limit + 1), 0, true}, Case{0xFFFFFFFFu, 0, true}, Case{0, int(limit - 5000), false}}) {
        SCOPED_TRACE(c.frames);
        EndlessReader endless(c.frames, c.start);
        tk::MemoryWriter writer(kRate);
        EXPECT_EQ(SoundRef<SoundAlgoScale>::make(1.0)->processAll(endless, &writer), SoundTools::Error);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(QString::number(limit)));
        EXPECT_EQ(endless.reads > 0, !c.refusedAtOnce);
        EXPECT_LE(int64_t(endless.getOffset()), limit);
    }
}
