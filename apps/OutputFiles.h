#pragma once
// Outputs that are never seen half made. Every file a job writes (recordings,
// pieces of a split, pictures) is written under a temporary name in its
// destination folder and moved to its final name only once the job has
// finished it, so that an interrupt, a kill or a full disk leaves the final
// name as it was: absent, or holding the previous good file.
//
// Temporary names start with ".tonewright-partial-<pid>-": the handler of a
// second signal removes them before the process ends (removeTemporariesNow),
// and a later run removes those of processes that are gone (a kill by SIGKILL
// or a power loss leaves them behind).
//
// Without -y the final name is taken exclusively at the moment of the move
// (no replace), so of two jobs writing the same name only one wins; with -y
// the move replaces what is there in one step (the input itself included:
// it stays intact until the new file is complete).
//
// A missing destination folder is created when the output is made, and removed
// again when nothing was moved into it.
//
// Threading: objects are used by one thread; the registry of temporaries the
// signal handler reads is lock-free.
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "tonewright/SoundIDTag.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriter.h"

namespace cli {

class OutputFile {
public:
    explicit OutputFile(const QString& finalName);
    // Removes the temporary unless commit() succeeded.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False (cause in lastError()) when the destination folder cannot be made.
    bool ok() const { return mOk; }
    // The name to write to: the temporary, or the final name itself when that
    // is a device or a pipe (written in place, there is nothing to move).
    QString path() const { return mTemporary.isEmpty() ? mFinal : mTemporary; }
    const QString& finalName() const { return mFinal; }
    // Moves the finished file to its final name. False, with the cause in
    // lastError() and the temporary removed, when the move fails (without -y:
    // when another job has taken the name meanwhile).
    bool commit();
    // The same, replacing what has the final name whatever -y says: for a
    // file changed in place (tags), whose copy was made and changed here.
    bool commitOver();
    void discard();

private:
    QString mFinal, mTemporary;
    QStringList mMadeFolders;  // created here, outermost last
    int mSlot = -1;
    bool mOk = true, mDone = false;

    bool commit(bool replace);
};

// One processing pass of a job that writes `output` from `input`: the input's
// reader, a fresh temporary of the output (replacing `file`, which removes an
// earlier attempt's temporary) and its writer in the format the output's
// extension names, at the input's rate and channels, with the input's tags
// (into `tag`, when given, also kept from an earlier attempt). False after
// printing the error.
bool openPass(const QString& input, const QString& output, unsigned bitRate, std::unique_ptr<SoundReader>& reader,
              std::unique_ptr<OutputFile>& file, std::unique_ptr<SoundWriter>& writer, SoundIDTag* tag = nullptr);

// The pieces of one split: written into a temporary folder inside their
// destination folder, moved out together at the end.
class OutputFolder {
public:
    explicit OutputFolder(const QString& destination);
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    bool ok() const { return mOk; }
    // The temporary place of a file of this name.
    QString path(const QString& fileName) const;
    // Where a file of this name ends up.
    QString finalPath(const QString& fileName) const;
    // Moves the named files to the destination. Without -y either all or none
    // arrive: on a failure the ones moved already are taken back out.
    bool commit(const QStringList& fileNames);

private:
    QString mDestination, mTemporary;
    QStringList mMadeFolders;
    int mSlot = -1;
    bool mOk = true;
};

// Moves from -> to in one step; without replace, fails with EEXIST when `to`
// exists (also when it appears at the same instant). 0 or an errno value.
int moveFile(const QString& from, const QString& to, bool replace);

// Removes every registered temporary at once. Async-signal-safe: for the
// handler of a signal that ends the process.
void removeTemporariesNow();

// Removes what processes that are gone left in this folder. Once per folder
// and process; called by the constructors above.
void removeStaleTemporaries(const QString& folder);

// The prefix of every temporary name.
const char* temporaryPrefix();

}  // namespace cli
