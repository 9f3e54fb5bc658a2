#include "Threading.h"

#include <cmath>
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

namespace {
// The number in the environment variable `name`; 0 when unset or not a number.
double fromEnv(const char* name) { return std::getenv(name) ? std::atof(std::getenv(name)) : 0.0; }
}  // namespace

double soakSeconds(double ciDefault) {
    return fromEnv("TONEWRIGHT_SOAK_SECONDS") > 0.0 ? fromEnv("TONEWRIGHT_SOAK_SECONDS") : ciDefault;
}

int soakCycles(int ciDefault) {
    const double v = std::floor(fromEnv("TONEWRIGHT_SOAK_CYCLES"));
    return v >= 1.0 && v < 1e8 ? int(v) : ciDefault;
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
