// The region list read, and levels changed, from another thread while the
// detector, the amplifier and the limiter run.
#include <atomic>
#include <chrono>
#include <thread>

#include "common/Recordings.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"

TEST(DetectorThreads, ReadersSeeAConsistentListWhileItGrows) {
    // Short, so that it stays quick under the thread sanitizer.
    tk::Recording rec;
    rec.frames = tk::concat({tk::track(2 * 44100 + 500, 44100, -30, 1), tk::track(3 * 44100, 44100, -10, 2),
                             tk::silence(2 * 44100), tk::track(44100, 44100, -12, 3)});
    auto det = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, RMSStepDetector::PassThrough, true);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, disorder{0};
    std::thread reader([&] {
        RMSStepDetector::Region end;
        while (!done.load()) {
            const std::vector<RMSStepDetector::Region> list = det->getRegions();
            for (size_t i = 1; i < list.size(); ++i)
                if (list[i].BeginSample < list[i - 1].BeginSample) disorder.fetch_add(1);
            const int n = det->size();
            if (n > 0) det->getRegion(n - 1);
            det->getSlopeRegion(int(rec.frames.size() / 2), 0, end);
            det->getSlopes();
            reads.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    tk::Frames out = tk::run(*det, rec.frames, 44100, 2048);
    done.store(true);
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(disorder.load(), 0);
    EXPECT_GE(det->size(), 2);
    EXPECT_GE(out.size(), rec.frames.size());
}

TEST(LevelThreads, SetLevelDuringARunTakesEffectBetweenBlocks) {
    const int S = 44100;
    auto det = tk::detectorFromList({tk::region(0, 2 * S, -20, -20), tk::region(2 * S, S, -70, -70, true),
                                     tk::region(3 * S, 2 * S, -8, -8), tk::region(5 * S, 1, -100, -100, true)});
    auto amp = SoundRef<SoundAlgoRMSAmplifier>::make(-10.0, det.get(), 1.0, 0, 10.0, 12.0);
    auto lim = SoundRef<SoundAlgoLimiter>::make(0.0, 0.002, 0.02);
    SoundAlgoComposite chain("player");
    chain.pushAlgo(SoundRef<SoundAlgoRMSAmplifier>::share(amp.get()).release());
    chain.pushAlgo(SoundRef<SoundAlgoLimiter>::share(lim.get()).release());
    const tk::Frames in = tk::noise(5 * size_t(S), 0.5, 3);

    std::atomic<bool> done{false};
    std::atomic<int> changes{0};
    std::thread player([&] {
        double level = -12;
        while (!done.load()) {
            amp->setLevel(level);
            lim->setLevel(level / 4);
            amp->getLevel(1.5);
            lim->getLevel(0);
            if (changes.fetch_add(1) % 7 == 0) {
                amp->reset();
                lim->reset();
            }
            level = level < -20 ? -6 : level - 1;
            std::this_thread::yield();
        }
    });
    tk::Frames out = tk::run(chain, in, 44100, 512);
    done.store(true);
    player.join();
    EXPECT_GT(changes.load(), 0);
    ASSERT_GE(out.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) ASSERT_TRUE(std::isfinite(out[i].l) && std::isfinite(out[i].r)) << i;
    EXPECT_LE(tk::peak(out), SoundAlgoLimiter::kClipTrigger * 2);  // the limiter's level is at most 1.5 dB up
}
