// Level changes from another thread while the amplifier and the limiter run.
#include <atomic>
#include <thread>

#include "common/Recordings.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"

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
