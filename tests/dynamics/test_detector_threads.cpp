// The region list read from another thread while a real-time analysis runs.
#include <atomic>
#include <chrono>
#include <thread>

#include "common/Recordings.h"
#include "tonewright/RMSStepDetector.h"

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
