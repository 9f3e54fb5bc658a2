// Live changes of a running filter chain from another thread (run under
// ThreadSanitizer in CI): no crash, no data race, and every change lands between
// two blocks, never inside one.
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "common/FilterKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoFilter.h"

using namespace SoundTools;
using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

std::shared_ptr<Filter> scaleFilter(double g, int kind) {
    const double b[3] = {g, 0.0, 0.0}, a[3] = {1.0, 0.0, 0.0};
    switch (kind % 3) {
        case 0: return std::make_shared<BiquadFilter>(b, a);
        case 1: return std::make_shared<BiquadClipFilter>(b, a, 1.0);
        default: return std::make_shared<Filter>(std::valarray<double>(b, 3), std::valarray<double>(a, 3));
    }
}

// A reader that pauses at every block, so that the other thread's changes
// surely fall between blocks of the run.
class PausingReader : public tk::MemoryReader {
public:
    using tk::MemoryReader::MemoryReader;

protected:
    unsigned read(unsigned count, double* dest) override {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        return tk::MemoryReader::read(count, dest);
    }
};

// Runs `mutate(step)` in a loop on another thread while `body` runs here.
template <typename Mutate, typename Body>
void whileMutating(Mutate mutate, Body body) {
    std::atomic<bool> done{false};
    std::atomic<long> steps{0};
    std::thread other([&] {
        for (; !done.load(); ++steps, std::this_thread::yield()) mutate(steps.load());
    });
    while (steps.load() == 0) std::this_thread::yield();
    body();
    done = true;
    other.join();
}
}  // namespace

TEST(FilterThreads, ChangesLandBetweenBlocks) {
    constexpr unsigned kBlock = 256;
    SoundAlgoFilter filter;  // on the stack: nothing else holds it
    SoundAlgoFilter* f = &filter;
    f->addFilter(scaleFilter(1.0, 0));
    f->addFilter(scaleFilter(0.5, 0));
    const Frames in(kBlock * 600, Frame(0.5, -0.5));
    Frames out;
    whileMutating(
        [&](long i) {
            // Gains at most 1, so that no clip filter ever clips (a clip fades
            // inside a block by design).
            const double g = 1.0 / (1.0 + double(i % 7));
            switch (i % 6) {
                case 0: f->setFilter(1, scaleFilter(g, int(i))); break;
                case 1: f->setFilter(0, scaleFilter(0.5 + 0.5 * g, int(i))); break;
                case 2: f->clearFilters(); break;
                case 3: f->addFilter(scaleFilter(g, int(i))); break;
                case 4: f->replaceFilters({scaleFilter(g, int(i)), scaleFilter(0.25, int(i) + 1)}); break;
                default:
                    f->resetFilterGain(0);
                    (void)f->getFilterGain(1);
                    (void)f->hasFilters();
                    (void)f->getFilterNumber();
            }
        },
        [&] {
            tk::ScopedBlockSize size(kBlock);
            PausingReader reader(in, kRate);
            tk::MemoryWriter writer(kRate);
            ASSERT_EQ(f->processAll(reader, &writer), SoundTools::Ok);
            out = writer.frames();
        });
    ASSERT_EQ(out.size(), in.size());
    // Every block carries one gain from its first frame to its last. (A clip
    // filter's reset ramp moves by 1/440000 per frame: far below this check.)
    int changes = 0;
    for (size_t b = 0; b < out.size() / kBlock; ++b) {
        const Frame first = out[b * kBlock];
        for (size_t j = 1; j < kBlock; ++j) {
            const Frame x = out[b * kBlock + j];
            ASSERT_NEAR(x.l, first.l, 1e-4 * std::fabs(first.l)) << "block " << b << " frame " << j;
            ASSERT_EQ(x.r, -x.l);
        }
        if (b > 0 && std::fabs(first.l - out[(b - 1) * kBlock].l) > 1e-4) ++changes;
    }
    RecordProperty("GainChangesSeen", changes);
    EXPECT_GT(changes, 0);
}

TEST(FilterThreads, LiveEqualiserSettingsWhileAChainRuns) {
    const double bands[9] = {60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000};
    SoundAlgoFilterBiquad* live = SoundRef<SoundAlgoFilterBiquad>::make().release();
    for (double f : bands) live->pushFilter(BandEq, f, 1.9, 0.0);
    SoundAlgoComposite chain("chain");  // on the stack; it owns the two members
    chain.pushAlgo(live);
    chain.pushAlgo(SoundRef<SoundAlgoScale>::make(-6.0).release());
    const Frames in = tk::noise(150000, 0.5, 21);
    Frames out;
    // Includes the bad values: corners at and above Nyquist, zero and negative
    // widths, +-60 dB.
    const double freqs[] = {30.0, 900.0, 22050.0, 40000.0, 0.0, 12000.0};
    const double widths[] = {0.1, 1.9, 0.0, -1.0, 4.0};
    const double levels[] = {-60.0, 12.0, 0.0, 60.0, -8.0};
    whileMutating(
        [&](long i) {
            const unsigned band = unsigned(i % 11);  // 9 and 10 are past the end
            switch (i % 3) {
                case 0: live->SetFreq(band, freqs[i % 6]); break;
                case 1: live->SetWidth(band, widths[i % 5]); break;
                default: live->SetLevel(band, levels[i % 5]); break;
            }
        },
        [&] { out = tk::run(chain, in, kRate, 512); });
    ASSERT_EQ(out.size(), in.size());
    for (const Frame& x : out) ASSERT_TRUE(std::isfinite(x.l) && std::isfinite(x.r));
}
