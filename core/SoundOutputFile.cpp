#include "tonewright/SoundOutputFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tonewright/SoundDebuggableClass.h"

namespace {

const char kPrefix[] = ".tonewright-partial-";

// ---------------------------------------------------------------- registry
// Fixed slots, so that the signal handler reads them without allocating or
// locking. A slot is free (0), being filled (1) or live (2). More temporaries
// at once than slots are not cleaned by the handler (a later run removes them).
constexpr int kSlots = 272;
constexpr size_t kPathBytes = 4096;
struct Slot {
    std::atomic<int> state{0};
    bool folder = false;
    char path[kPathBytes];
};
Slot gSlots[kSlots];

int registerTemporary(const QString& name, bool folder) {
    const QByteArray bytes = QFile::encodeName(QFileInfo(name).absoluteFilePath());
    if (size_t(bytes.size()) >= kPathBytes) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (!gSlots[i].state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(gSlots[i].path, bytes.constData(), size_t(bytes.size()) + 1);
        gSlots[i].folder = folder;
        gSlots[i].state.store(2);
        return i;
    }
    return -1;
}

void unregisterTemporary(int& slot) {
    if (slot >= 0) gSlots[slot].state.store(0);
    slot = -1;
}

// The kernel's directory entry layout for getdents64.
struct DirEntry64 {
    unsigned long long ino;
    long long off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

// Async-signal-safe: raw system calls only.
void removeFolderNow(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    alignas(8) char buffer[4096];
    // Removing entries while reading the folder may skip some: read again until
    // a pass finds nothing to remove.
    for (int pass = 0; pass < 64; ++pass) {
        bool removed = false;
        ::lseek(fd, 0, SEEK_SET);
        for (;;) {
            const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
            if (n <= 0) break;
            for (long at = 0; at < n;) {
                const DirEntry64* e = reinterpret_cast<const DirEntry64*>(buffer + at);
                at += e->reclen;
                if (e->name[0] == '.' && (e->name[1] == 0 || (e->name[1] == '.' && e->name[2] == 0))) continue;
                if (::unlinkat(fd, e->name, 0) == 0) removed = true;
            }
        }
        if (!removed) break;
    }
    ::close(fd);
    ::rmdir(path);
}

// ---------------------------------------------------------------- helpers
QString causeOf(int error) { return QString::fromLocal8Bit(std::strerror(error)).toLower(); }

int sequence() {
    static std::atomic<int> next{0};
    return ++next;
}

QString temporaryName(const QString& folder, const QString& suffix) {
    QString name = QString("%1%2-%3").arg(kPrefix).arg(qint64(::getpid())).arg(sequence());
    // The writers choose the format by the extension.
    if (!suffix.isEmpty()) name += "." + suffix;
    return QDir(folder).filePath(name);
}

// Creates the folder and its missing parents; the ones made are listed, the
// innermost first, so that they can be removed again.
bool makeFolder(const QString& folder, QStringList* made) {
    QStringList missing;
    QString f = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!QFileInfo(f).exists()) {
        missing.prepend(f);
        const QString parent = QFileInfo(f).path();
        if (parent == f) break;
        f = parent;
    }
    for (const QString& m : missing) {
        if (::mkdir(QFile::encodeName(m).constData(), 0777) != 0) {
            // Jobs running side by side may make the same folder: theirs is as good.
            if (errno == EEXIST && QFileInfo(m).isDir()) continue;
            const QString cause = QString::fromLocal8Bit(std::strerror(errno));
            SoundDebuggableClass::setError("cannot create the folder " + m + " (" + cause + ")");
            return false;
        }
        made->prepend(m);
    }
    return true;
}

void removeEmptyFolders(const QStringList& made) {
    for (const QString& m : made) QDir().rmdir(m);  // only succeeds when empty
}

void syncFile(const QString& name) {
    const int fd = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// A device, a pipe or a socket under the final name is written in place.
bool isSpecialFile(const QString& name) {
    struct stat st {};
    return ::stat(QFile::encodeName(name).constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool processIsGone(qint64 pid) { return pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH; }

// Device and inode of the file a name leads to (symbolic links followed).
bool identity(const QString& name, dev_t* dev, ino_t* ino) {
    struct stat st {};
    if (::stat(QFile::encodeName(name).constData(), &st) != 0) return false;
    *dev = st.st_dev;
    *ino = st.st_ino;
    return true;
}

}  // namespace

bool SoundOutputFile::sameFile(const QString& a, const QString& b) {
    dev_t da = 0, db = 0;
    ino_t ia = 0, ib = 0;
    return identity(a, &da, &ia) && identity(b, &db, &ib) && da == db && ia == ib;
}

bool SoundOutputFile::mayWrite(const QString& output, const QString& input, const std::vector<QString>& inputs,
                               bool overwrite, QString* why) {
    const QByteArray local = QFile::encodeName(output);
    struct stat link {};
    if (::lstat(local.constData(), &link) != 0) return true;  // nothing there yet
    const QFileInfo out(output);
    if (out.isDir()) {
        *why = "is a folder";
        return false;
    }
    // By identity, not by name: hard links, "d/./x.wav" and links to the input
    // are the input too.
    for (const QString& other : inputs) {
        if (!sameFile(output, other)) continue;
        if (input.isEmpty() || !sameFile(input, other)) {
            *why = input.isEmpty() ? "this is an input of the job, which is never replaced by this output"
                                   : "this is another input of the job";
            return false;
        }
    }
    // A file marked read-only is left as it is, -y or not (the tag job's rule
    // too): its owner's write bit counts even for a user who could replace it.
    struct stat target {};
    if (::stat(local.constData(), &target) == 0 && S_ISREG(target.st_mode) && !(target.st_mode & S_IWUSR)) {
        *why = "the file is read-only; it is left as it was";
        return false;
    }
    if (!input.isEmpty() && sameFile(output, input) && !overwrite) {
        *why = "the output would replace the input (use -y to replace it once the new file is complete)";
        return false;
    }
    if (!overwrite) {
        *why = S_ISLNK(link.st_mode) && !out.exists() ? "a link to a missing file has this name (use -y to replace it)"
                                                      : "file exists (use -y to overwrite)";
        return false;
    }
    return true;
}

const char* SoundOutputFile::temporaryPrefix() { return kPrefix; }

void SoundOutputFile::removeTemporariesNow() {
    // Files first: a folder goes once it is empty.
    for (int round = 0; round < 2; ++round)
        for (Slot& s : gSlots) {
            if (s.state.load() != 2 || s.folder != (round == 1)) continue;
            if (s.folder)
                removeFolderNow(s.path);
            else
                ::unlink(s.path);
        }
}

void SoundOutputFile::removeStaleTemporaries(const QString& folder) {
    static std::mutex lock;
    static std::set<QString> swept;
    const QString key = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!swept.insert(key).second) return;
    }
    static const QRegularExpression pattern(QString("^%1(\\d+)-").arg(QRegularExpression::escape(kPrefix)));
    const QDir dir(key);
    for (const QFileInfo& e : dir.entryInfoList(QStringList{QString(kPrefix) + "*"},
                                                QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System)) {
        const QRegularExpressionMatch m = pattern.match(e.fileName());
        if (!m.hasMatch()) continue;
        const qint64 pid = m.captured(1).toLongLong();
        if (pid == qint64(::getpid()) || !processIsGone(pid)) continue;
        if (e.isDir() && !e.isSymLink())
            QDir(e.absoluteFilePath()).removeRecursively();
        else
            QFile::remove(e.absoluteFilePath());
    }
}

int SoundOutputFile::moveFile(const QString& from, const QString& to, bool replace) {
    const QByteArray f = QFile::encodeName(from), t = QFile::encodeName(to);
    if (replace) return ::rename(f.constData(), t.constData()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, f.constData(), AT_FDCWD, t.constData(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
    // A file system without the exclusive rename: a hard link is made
    // exclusively too.
    if (::link(f.constData(), t.constData()) == 0) {
        ::unlink(f.constData());
        return 0;
    }
    if (errno == EEXIST) return EEXIST;
    // Nor hard links: the best that is left is a check right before the move.
    struct stat st {};
    if (::lstat(t.constData(), &st) == 0) return EEXIST;
    return ::rename(f.constData(), t.constData()) == 0 ? 0 : errno;
}

// ---------------------------------------------------------------- OutputFile
SoundOutputFile::SoundOutputFile(const QString& finalName) : mFinal(finalName) {
    if (isSpecialFile(finalName)) return;
    const QFileInfo info(finalName);
    if (!makeFolder(info.path(), &mMadeFolders)) {
        mOk = false;
        return;
    }
    removeStaleTemporaries(info.path());
    mTemporary = temporaryName(info.path(), info.suffix());
    mSlot = registerTemporary(mTemporary, false);
}

SoundOutputFile::~SoundOutputFile() {
    if (!mDone) discard();
}

void SoundOutputFile::discard() {
    mDone = true;
    if (!mTemporary.isEmpty()) QFile::remove(mTemporary);
    unregisterTemporary(mSlot);
    removeEmptyFolders(mMadeFolders);
}

bool SoundOutputFile::commit(bool replace) {
    if (!mOk) return false;
    if (mTemporary.isEmpty()) {
        mDone = true;
        return true;
    }
    // On the disk before its name: a power loss leaves the old file or the new
    // one, never a name for data that never arrived.
    syncFile(mTemporary);
    const int error = moveFile(mTemporary, mFinal, replace);
    if (error != 0) {
        SoundDebuggableClass::setError(
            error == EEXIST ? QString("another program wrote this file meanwhile; it is kept (use -y to replace it)")
                            : "cannot give the finished file its name: " + causeOf(error));
        discard();
        return false;
    }
    syncFile(QFileInfo(mFinal).path());
    mDone = true;
    unregisterTemporary(mSlot);
    return true;
}

// ---------------------------------------------------------------- OutputFolder
SoundOutputFolder::SoundOutputFolder(const QString& destination) : mDestination(destination) {
    if (!makeFolder(destination, &mMadeFolders)) {
        mOk = false;
        return;
    }
    SoundOutputFile::removeStaleTemporaries(destination);
    mTemporary = temporaryName(destination, QString());
    if (!QDir().mkdir(mTemporary)) {
        SoundDebuggableClass::setError("cannot create a folder in " + destination);
        mTemporary.clear();
        mOk = false;
        return;
    }
    mSlot = registerTemporary(mTemporary, true);
}

SoundOutputFolder::~SoundOutputFolder() {
    if (!mTemporary.isEmpty()) QDir(mTemporary).removeRecursively();
    unregisterTemporary(mSlot);
    removeEmptyFolders(mMadeFolders);
}

QString SoundOutputFolder::path(const QString& fileName) const { return QDir(mTemporary).filePath(fileName); }

QString SoundOutputFolder::finalPath(const QString& fileName) const { return QDir(mDestination).filePath(fileName); }

bool SoundOutputFolder::commit(const QStringList& fileNames, bool replace) {
    if (!mOk) return false;
    for (const QString& n : fileNames) syncFile(path(n));
    QStringList moved;
    for (const QString& n : fileNames) {
        const int error = SoundOutputFile::moveFile(path(n), finalPath(n), replace);
        if (error == 0) {
            moved << n;
            continue;
        }
        SoundDebuggableClass::setError(
            finalPath(n) + (error == EEXIST ? QString(": another program wrote this file meanwhile; it is kept (use -y "
                                                      "to replace it)")
                                            : ": cannot give the finished file its name: " + causeOf(error)));
        // Without -y the names were free: the pieces moved are this run's own.
        if (!replace)
            for (const QString& m : moved) QFile::remove(finalPath(m));
        return false;
    }
    syncFile(mDestination);
    return true;
}
