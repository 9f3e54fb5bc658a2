#pragma once
// Helpers for tests of threaded code: a watchdog that turns a hang into a named
// failure, soak durations taken from the environment, and a counting latch for
// signals emitted on other threads.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tk {

// Aborts the test program with a message naming `what` when the object is not
// destroyed within `seconds`: a deadlock then fails at once, with a name, instead
// of running into the test runner's timeout. The limit only catches hangs; it is
// far above any normal duration, sanitizers included.
class Watchdog {
public:
    explicit Watchdog(std::string what, double seconds = 60.0);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string mWhat;
    std::mutex mMutex;
    std::condition_variable mCond;
    bool mDone = false;
    std::thread mThread;
};

// Seconds a soak test runs: the environment variable TONEWRIGHT_SOAK_SECONDS
// when set to a positive number (a reliability run sets it high), else ciDefault.
double soakSeconds(double ciDefault);
// Repetitions of a stress loop: TONEWRIGHT_SOAK_CYCLES when set to a positive
// whole number, else ciDefault.
int soakCycles(int ciDefault);

// Counts events signalled from any thread and lets a test wait for a number of
// them. Declare it before the object whose signals it counts, so that it outlives
// the threads that signal.
class EventCounter {
public:
    void signal();
    int count() const { return mCount.load(); }
    // True once count() >= n; false after `seconds`.
    bool waitFor(int n, double seconds = 30.0);

private:
    std::atomic<int> mCount{0};
    std::mutex mMutex;
    std::condition_variable mCond;
};

}  // namespace tk
