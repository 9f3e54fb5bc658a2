#pragma once
// Private to the library: notices that the file a writer is writing has been
// removed (its folder deleted, or the file itself) while the writer still holds
// it open. The kernel keeps an unlinked file alive for its open descriptors, so
// every later write "succeeds" into a file nobody can reach: without this check
// a writer would report success for a recording that is gone.
//
// Watches through a descriptor of its own that does not open the file for
// reading or writing (O_PATH), so it never blocks on a FIFO and never changes
// the file. Where O_PATH is not available the check is skipped.
#include <QByteArray>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class OutputFileWatch {
public:
    OutputFileWatch() = default;
    ~OutputFileWatch() { stop(); }
    OutputFileWatch(const OutputFileWatch&) = delete;
    OutputFileWatch& operator=(const OutputFileWatch&) = delete;

    // Starts watching the file of this name (local 8-bit encoding), which the
    // writer has just created.
    void watch(const QByteArray& localName) {
        stop();
#if defined(O_PATH)
        mFd = ::open(localName.constData(), O_PATH | O_CLOEXEC);
#else
        (void)localName;
#endif
    }
    // True once the file has no name left in any folder.
    bool removed() const {
        if (mFd < 0) return false;
        struct stat st {};
        return ::fstat(mFd, &st) == 0 && st.st_nlink == 0;
    }
    void stop() {
        if (mFd >= 0) ::close(mFd);
        if (mSyncFd >= 0) ::close(mSyncFd);
        mFd = mSyncFd = -1;
    }
    // Has the kernel start writing what was written so far to the disk,
    // without waiting for it: the fsync that commits an output then has little
    // left to wait for, instead of the whole file at the end. Regular files
    // only (opened for reading, which a FIFO would block); Linux only.
    void startWriteback() {
#if defined(__linux__) && defined(SYNC_FILE_RANGE_WRITE) && defined(O_PATH)
        struct stat st {};
        if (mSyncFd < 0 && mFd >= 0 && ::fstat(mFd, &st) == 0 && S_ISREG(st.st_mode)) {
            const std::string self = "/proc/self/fd/" + std::to_string(mFd);
            mSyncFd = ::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        }
        if (mSyncFd >= 0) ::sync_file_range(mSyncFd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    }

private:
    int mFd = -1;
    int mSyncFd = -1;  // for startWriteback, opened at its first call
};
