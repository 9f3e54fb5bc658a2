// A deliberate data race. Built and run only in ThreadSanitizer builds, where the
// test passes only if the sanitizer reports it.
#include <cstdio>
#include <thread>

namespace {
int gShared = 0;  // written by two threads without synchronisation, on purpose
}

int main() {
    std::thread a([] {
        for (int i = 0; i < 100000; ++i) ++gShared;
    });
    std::thread b([] {
        for (int i = 0; i < 100000; ++i) ++gShared;
    });
    a.join();
    b.join();
    std::printf("%d\n", gShared);
    return 0;
}
