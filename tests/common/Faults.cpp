#include "common/Faults.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
    if (pid == 0) {
        close(fds[0]);
        const std::string text = body();
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        _exit(0);
    }
    if (pid < 0) out.text = std::string("fork: ") + std::strerror(errno);
    close(fds[1]);
    char buf[4096];
    for (ssize_t n; pid > 0 && ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR));)
        if (n > 0) out.text.append(buf, size_t(n));
    close(fds[0]);
    if (pid < 0) return out;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    out.exited = WIFEXITED(status);
    out.exitCode = out.exited ? WEXITSTATUS(status) : -1;
    out.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return out;
}

unsigned HookReader::read(unsigned count, double* dest) {
    const size_t before = position();
    const unsigned n = MemoryReader::read(count, dest);
    if (mHook && before <= mAt && before + n > mAt) mHook();
    return n;
}

void FailingReader::rewind() {
    MemoryReader::rewind();
    mRead = 0;
}

unsigned FailingReader::read(unsigned count, double* dest) {
    const unsigned n = MemoryReader::read(unsigned(std::min<size_t>(count, mFailAt > mRead ? mFailAt - mRead : 0)), dest);
    mRead += n;
    if (n < count) setError(QString("failing.wav: read error at frame %1").arg(mRead), "FailingReader::read");
    return n;
}

SoundTools::Status FailingAlgo::process() {
    if (getInOrigin() < mFailAt) return SoundAlgoBypass::process();
    setError("FailingAlgo : the block cannot be processed", "FailingAlgo::process");
    return SoundTools::Error;
}

}  // namespace tk
