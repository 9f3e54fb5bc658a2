#pragma once
// Outputs that are never seen half made. Every file the jobs write
// (recordings, pieces of a split, statistics files, pictures) is written under
// a temporary name in its destination folder and moved to its final name only
// once it is complete, so that an interrupt, a kill or a full disk leaves the
// final name as it was: absent, or holding the previous good file.
//
// Temporary names start with ".tonewright-partial-<pid>-": a host's handler of
// a signal that ends the process removes them (removeTemporariesNow), and a
// later run removes those of processes that are gone (a kill by SIGKILL or a
// power loss leaves them behind).
//
// Without `replace` the final name is taken exclusively at the moment of the
// move, so of two jobs writing the same name only one wins; with it the move
// replaces what is there in one step (an input itself included: it stays
// intact until the new file is complete).
//
// A missing destination folder is created when the output is made, and removed
// again when nothing was moved into it.
//
// Errors are reported through SoundDebuggableClass::setError.
// Threading: objects are used by one thread; different objects may be used by
// different threads at once. The registry of temporaries the signal handler
// reads is lock-free.
#include <QString>
#include <QStringList>
#include <vector>

#include "tonewright/Export.h"

class TONEWRIGHT_API SoundOutputFile {
public:
    explicit SoundOutputFile(const QString& finalName);
    // Removes the temporary unless commit() succeeded.
    ~SoundOutputFile();
    SoundOutputFile(const SoundOutputFile&) = delete;
    SoundOutputFile& operator=(const SoundOutputFile&) = delete;

    // False (cause in the error text) when the destination folder cannot be made.
    bool ok() const { return mOk; }
    // The name to write to: the temporary, or the final name itself when that
    // is a device or a pipe (written in place, there is nothing to move).
    QString path() const { return mTemporary.isEmpty() ? mFinal : mTemporary; }
    const QString& finalName() const { return mFinal; }
    // Moves the finished file to its final name. False, with the cause in the
    // error text and the temporary removed, when the move fails (without
    // replace: when something has taken the name meanwhile).
    bool commit(bool replace);
    void discard();

    // Whether `output` may be written, checked before any work is done (the
    // move checks again). False, with the cause in *why, when something has the
    // name and overwrite is off (a dangling link included), when it is a
    // folder, when it is a file marked read-only (no write bit for its owner;
    // whatever overwrite says), or when it is one of `inputs`: compared by identity (device and
    // inode), so that hard links and other spellings count. An output may
    // replace its own `input` with overwrite (the input stays intact until the
    // new file is complete); any other input, and every input for an output
    // without `input` (pictures, statistics), never.
    static bool mayWrite(const QString& output, const QString& input, const std::vector<QString>& inputs,
                         bool overwrite, QString* why);
    // Whether two names lead to the same file (device and inode, links followed).
    static bool sameFile(const QString& a, const QString& b);

    // Moves from -> to in one step; without replace, fails with EEXIST when `to`
    // exists (also when it appears at the same instant). 0 or an errno value.
    static int moveFile(const QString& from, const QString& to, bool replace);
    // Removes every registered temporary at once. Async-signal-safe: for the
    // handler of a signal that ends the process.
    static void removeTemporariesNow();
    // Removes what processes that are gone left in this folder. Once per folder
    // and process; called by the constructors.
    static void removeStaleTemporaries(const QString& folder);
    // The prefix of every temporary name.
    static const char* temporaryPrefix();

private:
    QString mFinal, mTemporary;
    QStringList mMadeFolders;  // created here, outermost last
    int mSlot = -1;
    bool mOk = true, mDone = false;
};

// The pieces of one split: written into a temporary folder inside their
// destination folder, moved out together at the end.
class TONEWRIGHT_API SoundOutputFolder {
public:
    explicit SoundOutputFolder(const QString& destination);
    ~SoundOutputFolder();
    SoundOutputFolder(const SoundOutputFolder&) = delete;
    SoundOutputFolder& operator=(const SoundOutputFolder&) = delete;

    bool ok() const { return mOk; }
    // The temporary place of a file of this name.
    QString path(const QString& fileName) const;
    // Where a file of this name ends up.
    QString finalPath(const QString& fileName) const;
    // Moves the named files to the destination. Without replace either all or
    // none arrive: on a failure the ones moved already are taken back out.
    bool commit(const QStringList& fileNames, bool replace);

private:
    QString mDestination, mTemporary;
    QStringList mMadeFolders;
    int mSlot = -1;
    bool mOk = true;
};
