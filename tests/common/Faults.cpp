#include "common/Faults.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

namespace tk {

std::string ChildOutcome::describe() const {
    if (exited) return "exit code " + std::to_string(exitCode);
    return "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

ChildOutcome runInChild(const std::function<std::string()>& body) {
    ChildOutcome out;
    int fds[2];
    if (pipe(fds) != 0) {
        out.text = std::string("pipe: ") + std::strerror(errno);
        return out;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        out.text = std::string("fork: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return out;
    }
    if (pid == 0) {
        close(fds[0]);
        const std::string text = body();
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) {
            out.text.append(buf, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    out.exited = WIFEXITED(status);
    out.exitCode = out.exited ? WEXITSTATUS(status) : -1;
    out.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return out;
}

bool mountTmpfs(const std::string& folder, size_t bytes, std::string* why) {
    if (unshare(CLONE_NEWNS) != 0) {
        *why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        return false;
    }
    // Mounts made here must not reach the parent's namespace.
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = std::string("making mounts private: ") + std::strerror(errno);
        return false;
    }
    const std::string options = "size=" + std::to_string(bytes);
    if (mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        *why = std::string("mount tmpfs: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool fillUntilFree(const std::string& folder, uint64_t leaveFree, std::string* why) {
    const std::string path = folder + "/filler";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        *why = "open filler: " + std::string(std::strerror(errno));
        return false;
    }
    std::vector<char> chunk(4096, 'x');
    for (;;) {
        struct statvfs st {};
        if (fstatvfs(fd, &st) != 0) break;
        const uint64_t free = uint64_t(st.f_bavail) * st.f_frsize;
        if (free <= leaveFree) break;
        const size_t want = size_t(std::min<uint64_t>(chunk.size(), free - leaveFree));
        if (::write(fd, chunk.data(), want) <= 0) break;
    }
    ::close(fd);
    return true;
}

HookReader::HookReader(unsigned frames, unsigned rate, unsigned at, std::function<void()> hook)
    : mFrames(frames), mRate(rate), mAt(at), mHook(std::move(hook)) {}

unsigned HookReader::read(unsigned count, double* dest) {
    const unsigned n = std::min(count, mFrames - mPos);
    for (unsigned i = 0; i < 2 * n; ++i) {
        mSeed = mSeed * 1664525u + 1013904223u;
        dest[i] = double(mSeed >> 8) / double(1u << 24) - 0.5;
    }
    const bool crosses = mPos <= mAt && mPos + n > mAt;
    mPos += n;
    if (crosses && mHook) mHook();
    return n;
}

void FailingReader::rewind() {
    MemoryReader::rewind();
    mRead = 0;
}

unsigned FailingReader::read(unsigned count, double* dest) {
    const unsigned allowed = unsigned(std::min<size_t>(count, mFailAt > mRead ? mFailAt - mRead : 0));
    const unsigned n = MemoryReader::read(allowed, dest);
    mRead += n;
    if (n < count) setError(QString("failing.wav: read error at frame %1").arg(mRead), "FailingReader::read");
    return n;
}

SoundTools::Status FailingAlgo::process() {
    if (getInOrigin() >= mFailAt) {
        setError("FailingAlgo : the block cannot be processed", "FailingAlgo::process");
        return SoundTools::Error;
    }
    return SoundAlgoBypass::process();
}

}  // namespace tk
