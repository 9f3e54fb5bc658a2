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
        mFd = -1;
    }

private:
    int mFd = -1;
};
