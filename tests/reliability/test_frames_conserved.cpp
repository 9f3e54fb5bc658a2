// Nothing lost: for every algorithm class the library exports, the writer gets
// exactly the input's frames moved by the algorithm's delay (input length +
// getDelay()), whatever the block size, the same frames in one block as in
// many odd-sized ones, and the same again in a second run; the multi-file
// writer's segments plus the frames it dropped are the stream. (What each writer
// holds, read back by other tools, is the business of the io tests.)
#include <QFileInfo>
#include <cmath>
#include <limits>
#include <memory>
#include <set>
#include <sstream>

#include "AlgorithmTable.h"
#include "common/Recordings.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundWriterMultiFile.h"

using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// Loud, then quiet, then loud (the regions of the table's detector), with
// frames over full scale for the limiters: 1.2 s and a few odd frames.
Frames testStream() {
    Frames in = tk::concat({tk::mixedStereo(20000, kRate, 3), tk::scaled(tk::noise(15000, 0.5, 4), 0.002),
                            tk::scaled(tk::mixedStereo(18777, kRate, 5), 1.6)});
    return in;
}

::testing::AssertionResult sameFrames(const Frames& a, const Frames& b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "lengths " << a.size() << " vs " << b.size();
    for (size_t i = 0; i < a.size(); ++i) {
        const double tol = 1e-9 * (1.0 + std::fabs(a[i].l) + std::fabs(a[i].r));
        if (!(std::fabs(a[i].l - b[i].l) <= tol && std::fabs(a[i].r - b[i].r) <= tol))
            return ::testing::AssertionFailure() << "first difference at frame " << i << ": (" << a[i].l << ", "
                                                 << a[i].r << ") vs (" << b[i].l << ", " << b[i].r << ")";
    }
    return ::testing::AssertionSuccess();
}
}  // namespace

TEST(AlgorithmTable, CoversEveryExportedAlgorithm) {
    std::set<std::string> built;
    for (const rel::AlgoEntry& e : rel::algorithmTable()) {
        SoundRef<SoundAlgo> algo = e.make();
        ASSERT_TRUE(algo) << e.name;
        rel::collectClassNames(algo.get(), built);
    }
    const std::set<std::string> exported = rel::exportedAlgorithmClasses();
    ASSERT_GT(exported.size(), 20u) << "the headers were not found under " TW_SOURCE_DIR;
    for (const std::string& cls : exported)
        EXPECT_TRUE(built.count(cls)) << cls << " is exported but no entry of tests/reliability/AlgorithmTable.cpp builds it";
}

TEST(FramesConserved, EveryAlgorithmGivesInputLengthPlusDelay) {
    const Frames in = testStream();
    const bool verbose = SoundDebuggableClass::isVerbose(), debug = SoundDebuggableClass::isDebug();
    size_t diagnostics = 0;
    for (const rel::AlgoEntry& e : rel::algorithmTable()) {
        SCOPED_TRACE(e.name);
        Frames reference;
        // The whole stream at once is the model of the others; 997 is odd and
        // near the default, 64 small enough to cut every overlap and delay.
        for (unsigned block : {unsigned(in.size()), 997u, 64u}) {
            SoundRef<SoundAlgo> algo = e.make();
            SoundTools::Status status = SoundTools::Error;
            const Frames out = tk::run(*algo, in, kRate, block, &status);
            EXPECT_EQ(status, SoundTools::Ok) << "block " << block;
            EXPECT_EQ(out.size(), in.size() + algo->getDelay(kRate)) << "block " << block;
            if (block == 997) {
                // With every diagnostic switched on (verbose reports, debug traces,
                // to a stream of the test's), the very same frames: diagnostics
                // observe, they never take part.
                // A short stream: too short for some measurements to settle.
                SoundRef<SoundAlgo> quiet = e.make(), talking = e.make();
                const Frames shortIn = tk::concat({tk::mixedStereo(4000, kRate, 3), tk::scaled(tk::noise(3000, 0.5, 4), 0.002)});
                const Frames expected = tk::run(*quiet, shortIn, kRate, block);
                std::ostringstream text;
                SoundDebuggableClass::setOStream(&text);
                SoundDebuggableClass::setVerbose(true);
                SoundDebuggableClass::setDebug(true);
                const Frames said = tk::run(*talking, shortIn, kRate, block);
                SoundDebuggableClass::setDebug(debug);
                SoundDebuggableClass::setVerbose(verbose);
                SoundDebuggableClass::setOStream(nullptr);
                EXPECT_TRUE(sameFrames(said, expected)) << "with diagnostics";
                diagnostics += text.str().size();
            }
            if (reference.empty()) {
                reference = out;
                // A second run of the same algorithm starts afresh.
                if (e.blockSizeFree) {
                    EXPECT_TRUE(sameFrames(tk::run(*algo, in, kRate, block), out)) << "second run";
                }
            } else if (e.blockSizeFree) {
                EXPECT_TRUE(sameFrames(out, reference)) << "block " << block << " against one block";
            }
        }
    }
    EXPECT_GT(diagnostics, 0u);
}

// Samples that are no numbers (NaN, infinities, as a damaged file or a faulty
// upstream algorithm may give) in three short stretches of the first 32000
// frames. Every algorithm runs to the end and gives every frame; from 0.3 s
// after the last bad sample on, what it gives is what it gives for the same
// stream with those samples at zero (a bad sample stays local). Most count them
// as silence outright: the whole output is that of the zeroed stream, except
// that a frame may carry a bad sample on where one came in.
TEST(EveryAlgorithm, NonFiniteSamplesStayLocal) {
    const Frames clean = testStream();
    Frames bad = clean, zeroed = clean;
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const double values[] = {nan, inf, -inf, -nan};
    const size_t kBad = 48, kLocalFrom = 32000 + kRate * 3 / 10;
    for (size_t i = 0; i < kBad; ++i) {
        const size_t at = 1000 + 7 * i + (i / 16) * 15000;  // in the loud, quiet and overloaded parts
        bad[at] = tk::Frame(values[i % 4], values[(i + 1) % 4]);
        zeroed[at] = tk::Frame(0.0, 0.0);
    }
    for (const rel::AlgoEntry& e : rel::algorithmTable()) {
        SCOPED_TRACE(e.name);
        SoundRef<SoundAlgo> algo = e.make(), reference = e.make();
        SoundTools::Status status = SoundTools::Error;
        const Frames got = tk::run(*algo, bad, kRate, 997, &status);
        const Frames expected = tk::run(*reference, zeroed, kRate, 997);
        EXPECT_EQ(status, SoundTools::Ok);
        ASSERT_EQ(got.size(), expected.size());
        size_t carried = 0, differ = 0, first = 0;
        const size_t from = e.badSamplesAsSilence ? 0 : kLocalFrom + algo->getDelay(kRate);
        for (size_t i = from; i < got.size(); ++i) {
            if (e.badSamplesAsSilence && (!std::isfinite(got[i].l) || !std::isfinite(got[i].r))) {
                ++carried;
                continue;
            }
            const double tol = 1e-9 * (1.0 + std::fabs(expected[i].l) + std::fabs(expected[i].r));
            if (!(std::fabs(got[i].l - expected[i].l) <= tol && std::fabs(got[i].r - expected[i].r) <= tol))
                if (differ++ == 0) first = i;
        }
        EXPECT_LE(carried, kBad);
        EXPECT_EQ(differ, 0u) << "first at frame " << first;
    }
}

TEST(FramesConserved, SegmentsPlusDroppedFramesAreTheStream) {
    const Frames in = tk::concat({tk::silence(700), tk::mixedStereo(30000, kRate, 1), tk::scaled(tk::noise(9000), 0.001),
                                  tk::mixedStereo(4000, kRate, 2), tk::scaled(tk::noise(6000), 0.001),
                                  tk::mixedStereo(50000, kRate, 3)});
    // Sound, noise, a sound too short to be a piece, noise, sound; the last
    // region ends before the stream does (the rest belongs to it).
    auto detector = tk::detectorFromList({tk::region(0, 30700, -10, -10), tk::region(30700, 9000, -60, -60, true),
                                          tk::region(39700, 4000, -10, -10), tk::region(43700, 6000, -60, -60, true),
                                          tk::region(49700, 40000, -10, -10)});
    for (const char* extension : {"wav", "flac", "mp3"}) {
        SCOPED_TRACE(extension);
        if (std::string(extension) == "mp3" && !SoundWriterMp3::Init()) continue;
        for (unsigned block : {1024u, 333u}) {
            tk::TempDir dir;
            SoundWriterMultiFile writer(detector.get(), 0.5, kRate, 2, 192, SoundTools::Pcm16);
            ASSERT_EQ(writer.open(dir.path(QString("rec.") + extension)), SoundTools::Ok);
            tk::ScopedBlockSize size(block);
            tk::MemoryReader reader(in, kRate);
            auto gain = SoundRef<SoundAlgoScale>::make(0.0);
            ASSERT_EQ(gain->processAll(reader, &writer), SoundTools::Ok);
            writer.close();
            EXPECT_FALSE(writer.hasFailed());
            ASSERT_EQ(writer.GetWrittenFiles(), 2);
            int64_t inFiles = 0;
            for (const QString& f : writer.getFileNames()) inFiles += tk::framesInFile(f);
            EXPECT_EQ(inFiles, writer.getFramesInFiles());
            EXPECT_EQ(writer.getFramesSkippedSilence(), 700);
            EXPECT_EQ(writer.getFramesDroppedShort(), 4000);
            EXPECT_EQ(writer.getFramesLost(), 0);
            EXPECT_EQ(inFiles + writer.getFramesSkippedSilence() + writer.getFramesDroppedNoise() +
                          writer.getFramesDroppedShort(),
                      int64_t(in.size()))
                << "block " << block;
            EXPECT_EQ(writer.getCurrentOffset(), int64_t(in.size()));
        }
    }
}
