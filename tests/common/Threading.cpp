#include "Threading.h"

#include <cstdio>
#include <cstdlib>

namespace tk {

Watchdog::Watchdog(std::string what, double seconds) : mWhat(std::move(what)) {
    mThread = std::thread([this, seconds] {
        std::unique_lock<std::mutex> lock(mMutex);
        const auto limit = std::chrono::duration<double>(seconds);
        if (!mCond.wait_for(lock, limit, [this] { return mDone; })) {
            std::fprintf(stderr, "Watchdog: '%s' did not end within %.0f s (deadlock?)\n", mWhat.c_str(), seconds);
            std::fflush(stderr);
            std::abort();
        }
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mDone = true;
    }
    mCond.notify_all();
    mThread.join();
}

double soakSeconds(double ciDefault) {
    if (const char* text = std::getenv("TONEWRIGHT_SOAK_SECONDS")) {
        char* end = nullptr;
        const double v = std::strtod(text, &end);
        if (end != text && v > 0.0) return v;
    }
    return ciDefault;
}

int soakCycles(int ciDefault) {
    if (const char* text = std::getenv("TONEWRIGHT_SOAK_CYCLES")) {
        char* end = nullptr;
        const long v = std::strtol(text, &end, 10);
        if (end != text && v > 0 && v < 100000000) return int(v);
    }
    return ciDefault;
}

void EventCounter::signal() {
    // Notified under the lock: a waiter that returns and destroys the counter
    // cannot do so while this call still touches it.
    std::lock_guard<std::mutex> lock(mMutex);
    mCount.fetch_add(1);
    mCond.notify_all();
}

bool EventCounter::waitFor(int n, double seconds) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCond.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return mCount.load() >= n; });
}

}  // namespace tk
