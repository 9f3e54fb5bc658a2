#pragma once
// Fault injection for tests: running a piece of a test in a forked child (for
// faults that change the process, such as a file-size limit) and a generated
// source that calls a hook when its stream passes a given frame (to break
// something mid-run).
#include <functional>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"

namespace tk {

struct ChildOutcome {
    bool exited = false;  // ended through _exit, not a signal
    int exitCode = -1;
    int signal = 0;       // the signal that ended it, when not exited
    std::string text;     // what the body returned
    std::string describe() const;
};

// Forks; the child runs body and passes its result back through a pipe, then
// ends with _exit (no static destructors, no test-runner output). The child
// must not use OpenMP or other threads started before the fork.
ChildOutcome runInChild(const std::function<std::string()>& body);

// A stereo source of reproducible noise (-0.5..0.5) that calls `hook` once,
// on the read that takes the stream past frame `at`.
class HookReader : public MemoryReader {
public:
    HookReader(unsigned frames, unsigned rate, unsigned at, std::function<void()> hook)
        : MemoryReader(noise(frames, 0.5, 12345), rate), mAt(at), mHook(std::move(hook)) {}

protected:
    unsigned read(unsigned count, double* dest) override;

private:
    size_t mAt;
    std::function<void()> mHook;
};

// A source of `frames` whose reads fail `failAt` frames after a rewind: it returns what
// it had and records the failure ("failing.wav: read error at frame N"), as a
// file reader does on a read error.
class FailingReader : public MemoryReader {
public:
    FailingReader(Frames frames, size_t failAt, unsigned rate = 44100)
        : MemoryReader(std::move(frames), rate), mFailAt(failAt) {}
    void rewind() override;

protected:
    unsigned read(unsigned count, double* dest) override;

private:
    size_t mFailAt;
    size_t mRead = 0;  // frames read since the rewind
};

// Copies its input until its input reaches stream position `failAt`, then
// fails every block with "... cannot be processed".
class FailingAlgo : public SoundAlgoBypass {
public:
    explicit FailingAlgo(int failAt) : mFailAt(failAt) {}
    SoundTools::Status process() override;

private:
    int mFailAt;
};

}  // namespace tk
