// A deliberate data race. Built and run only in ThreadSanitizer builds, where the
// test passes only if the sanitizer reports it.
#include <cstdio>
#include <thread>

namespace {
int gShared = 0;  // written by two threads without synchronisation, on purpose
void count() {
    for (int i = 0; i < 100000; ++i) ++gShared;
}
}  // namespace

int main() {
    std::thread a(count), b(count);
    a.join();
    b.join();
    std::printf("%d\n", gShared);
}
