// Nothing lost: for every algorithm class the library exports, the writer gets
// exactly the input's frames moved by the algorithm's delay (input length +
// getDelay()), whatever the block size, the same frames in one block as in
// many odd-sized ones, and the same again in a second run. (What each writer
// holds, read back by other tools, is the business of the io tests.)
#include <cmath>
#include <limits>
#include <set>
#include <sstream>

#include "AlgorithmTable.h"
#include "common/TestKit.h"

using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

// Loud, then quiet, then loud (the regions of the table's detector), with
// frames over full scale for the limiters: 1.2 s and a few odd frames.
Frames testStream() {
    return tk::concat({tk::mixedStereo(20000, kRate, 3), tk::scaled(tk::noise(15000, 0.5, 4), 0.002),
                       tk::scaled(tk::mixedStereo(18777, kRate, 5), 1.6)});
}

// The frames from `from` on where a and b differ beyond rounding; with
// `bad`, frames of `a` carrying a non-number are passed over and counted there.
::testing::AssertionResult sameFrames(const Frames& a, const Frames& b, size_t from = 0, size_t* bad = nullptr) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "lengths " << a.size() << " vs " << b.size();
    for (size_t i = from; i < a.size(); ++i) {
        if (bad && !(std::isfinite(a[i].l) && std::isfinite(a[i].r))) {
            ++*bad;
            continue;
        }
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

// The whole stream at once is the model of the others; 997 is odd and near the
// default, 64 small enough to cut every overlap and delay. A second run of the
// same algorithm starts afresh. With every diagnostic switched on (verbose
// reports, debug traces, to a stream of the test's), the very same frames:
// diagnostics observe, they never take part.
TEST(FramesConserved, EveryAlgorithmGivesInputLengthPlusDelay) {
    const Frames in = testStream();
    const Frames shortIn = tk::concat({tk::mixedStereo(4000, kRate, 3), tk::scaled(tk::noise(3000, 0.5, 4), 0.002)});
    const bool verbose = SoundDebuggableClass::isVerbose(), debug = SoundDebuggableClass::isDebug();
    std::ostringstream diagnostics;
    for (const rel::AlgoEntry& e : rel::algorithmTable()) {
        SCOPED_TRACE(e.name);
        Frames whole;
        for (unsigned block : {unsigned(in.size()), 997u, 64u}) {
            SoundRef<SoundAlgo> algo = e.make();
            SoundTools::Status status = SoundTools::Error;
            const Frames out = tk::run(*algo, in, kRate, block, &status);
            EXPECT_EQ(status, SoundTools::Ok) << "block " << block;
            EXPECT_EQ(out.size(), in.size() + algo->getDelay(kRate)) << "block " << block;
            if (whole.empty()) {
                whole = out;
                if (e.blockSizeFree) { EXPECT_TRUE(sameFrames(tk::run(*algo, in, kRate, block), out)) << "second run"; }
            } else if (e.blockSizeFree) {
                EXPECT_TRUE(sameFrames(out, whole)) << "block " << block << " against one block";
            }
        }
        SoundRef<SoundAlgo> quiet = e.make(), talking = e.make();
        const Frames expected = tk::run(*quiet, shortIn, kRate, 997);
        SoundDebuggableClass::setOStream(&diagnostics);
        SoundDebuggableClass::setVerbose(true);
        SoundDebuggableClass::setDebug(true);
        const Frames said = tk::run(*talking, shortIn, kRate, 997);
        SoundDebuggableClass::setDebug(debug);
        SoundDebuggableClass::setVerbose(verbose);
        SoundDebuggableClass::setOStream(nullptr);
        EXPECT_TRUE(sameFrames(said, expected)) << "with diagnostics";
    }
    EXPECT_FALSE(diagnostics.str().empty());
}

// Samples that are no numbers (NaN, infinities, as a damaged file or a faulty
// upstream algorithm may give) in three short stretches of the first 32000
// frames. Every algorithm runs to the end and gives every frame; from 0.3 s
// after the last bad sample on, what it gives is what it gives for the same
// stream with those samples at zero (a bad sample stays local). Most count them
// as silence outright: the whole output is that of the zeroed stream, except
// that a frame may carry a bad sample on where one came in.
TEST(EveryAlgorithm, NonFiniteSamplesStayLocal) {
    Frames bad = testStream(), zeroed = bad;
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
        EXPECT_EQ(status, SoundTools::Ok);
        size_t carried = 0;
        if (e.badSamplesAsSilence)
            EXPECT_TRUE(sameFrames(got, tk::run(*reference, zeroed, kRate, 997), 0, &carried));
        else
            EXPECT_TRUE(sameFrames(got, tk::run(*reference, zeroed, kRate, 997), kLocalFrom + algo->getDelay(kRate)));
        EXPECT_LE(carried, kBad);
    }
}
