// A counter protected by a bare QMutex. Built and run only in ThreadSanitizer
// builds, where the test passes only if the sanitizer reports a data race: Qt's
// lock hands over through futexes inside an uninstrumented library, which the
// sanitizer cannot see. SyncThreads.MutexKeepsALockedCounterClean runs the same
// counter behind SoundTools::Mutex and must stay clean.
#include <QMutex>
#include <cstdio>
#include <thread>

namespace {
QMutex gMutex;
long gCounter = 0;

void count() {
    for (int i = 0; i < 200000; ++i) {
        gMutex.lock();
        ++gCounter;
        gMutex.unlock();
    }
}
}  // namespace

int main() {
    std::thread a(count), b(count);
    a.join();
    b.join();
    std::printf("%ld\n", gCounter);
    return gCounter == 400000 ? 0 : 1;
}
