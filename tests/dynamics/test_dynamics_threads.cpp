// The region list read, and levels changed, from another thread while the
// detector, the amplifier, the limiter and a multiband amplifier run.
#include <atomic>
#include <thread>

#include "common/FourierKit.h"
#include "common/Recordings.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoMultibandAmplifier.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"

// A player's chain: a real-time detector growing its list, then levelling from a
// list found before. The player's thread reads the growing list (which must stay
// in order) and sets the levels, which take effect between blocks.
TEST(DynamicsThreads, ReadersAndLevelChangesWhileTheChainRuns) {
    // Short, so that it stays quick under the thread sanitizer.
    const int S = 44100;
    const tk::Frames in = tk::concat({tk::track(2 * S + 500, S, -30, 1), tk::track(3 * S, S, -10, 2), tk::silence(2 * S),
                                      tk::track(S, S, -12, 3)});
    auto live = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, RMSStepDetector::PassThrough, true);
    auto det = tk::detectorFromList({tk::region(0, 2 * S, -20, -20), tk::region(2 * S, S, -70, -70, true),
                                     tk::region(3 * S, 5 * S, -8, -8), tk::region(8 * S, 1, -100, -100, true)});
    auto amp = SoundRef<SoundAlgoRMSAmplifier>::make(-10.0, det.get(), 1.0, 0, 10.0, 12.0);
    auto lim = SoundRef<SoundAlgoLimiter>::make(0.0, 0.002, 0.02);
    auto bands = SoundRef<SoundAlgoFFTMultibandAmplifier>::make(std::vector<double>{500.0, 5000.0}, -20.0, 0.005, 0.05,
                                                                det.get(), 4096u, true);
    SoundAlgoComposite chain("player");
    chain.pushAlgo(SoundRef<RMSStepDetector>::share(live.get()).release());
    chain.pushAlgo(SoundRef<SoundAlgoRMSAmplifier>::share(amp.get()).release());
    chain.pushAlgo(SoundRef<SoundAlgoLimiter>::share(lim.get()).release());
    chain.pushAlgo(SoundRef<SoundAlgoFFTMultibandAmplifier>::share(bands.get()).release());
    std::atomic<bool> done{false};
    std::atomic<int> changes{0}, disorder{0};
    std::thread player([&] {
        RMSStepDetector::Region end;
        for (double level = -12; !done.load(); level = level < -20 ? -6 : level - 1) {
            const std::vector<RMSStepDetector::Region> list = live->getRegions();
            for (size_t i = 1; i < list.size(); ++i) disorder += list[i].BeginSample < list[i - 1].BeginSample;
            if (live->size() > 0) live->getRegion(live->size() - 1);
            live->getSlopeRegion(int(in.size() / 2), 0, end);
            live->getSlopes();
            amp->setLevel(level);
            lim->setLevel(level / 4);
            bands->setLevel(level - 8);
            amp->getLevel(1.5), lim->getLevel(0), bands->getLevel(1.5);
            if (changes.fetch_add(1) % 7 == 0) amp->reset(), lim->reset();
            std::this_thread::yield();
        }
    });
    SoundTools::Status status = SoundTools::Error;
    const tk::Frames out = tk::run(chain, in, S, 512, &status);
    done.store(true);
    player.join();
    EXPECT_EQ(status, SoundTools::Ok);
    EXPECT_GT(changes.load(), 0);
    EXPECT_EQ(disorder.load(), 0);
    EXPECT_GE(live->size(), 2);
    ASSERT_GE(out.size(), in.size());
    EXPECT_TRUE(tk::allFinite(out));
    EXPECT_LE(tk::peak(out), 1.0);  // the multiband amplifier ends with a limiter
}
