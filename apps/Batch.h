#pragma once
// Runs a job over several input files, one file per worker thread, as many
// workers as --jobs (one per core by default). Each file's text result is
// printed on stdout in input order as soon as it and the files before it are
// done; JSON results are gathered and printed once at the end (one object for
// one file, an array for several). Errors go to stderr when they happen.
//
// Threading: the work function runs on the workers; it builds, runs and
// destroys its own algorithm graph and readers and writers, so nothing is
// shared between files but the host's output lock and the progress board.
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <functional>

namespace cli {

struct FileOutcome {
    bool ok = false;
    bool interrupted = false;
    // The work is done and its results are shown, but a part of it asked for
    // failed (the error is printed already): the run's exit code says so.
    bool partlyFailed = false;
    QString text;      // printed on stdout (without --json)
    QJsonObject json;  // gathered (with --json)
};

// index: position of the input in the list (for the progress board).
using FileWork = std::function<FileOutcome(int index, const QString& input)>;

// What a job says about the whole set once every file is done (an album's
// figures), on the calling thread: `text` is printed after the files' texts,
// `json` is the gathered result (an object for one file, an array for several)
// that it may wrap. Not called when no file succeeded or the job was stopped.
using BatchEnd = std::function<void(QString& text, QJsonValue& json)>;

// Returns Success when every file succeeded, InterruptedExit when a signal
// stopped the job, ProcessingError otherwise.
int runBatch(const QString& label, const QStringList& inputs, const FileWork& work, const BatchEnd& end = BatchEnd());

}  // namespace cli
