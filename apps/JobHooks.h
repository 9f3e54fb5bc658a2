#pragma once
// What the command-line host hands a library job and how it reports back: the
// call's controls (the overwrite option, the run's other inputs, progress on
// the board and interruption by signals, warnings printed as they happen) and
// the printing of a job's error.
//
// Threading: the callbacks run on the job's thread (a batch worker); printing
// and the progress board serialise themselves.
#include <QString>
#include <QStringList>

#include "tonewright/Jobs.h"

namespace cli {

// Controls of a job on `input`, file `fileIndex` of the progress board, in a
// run of `inputs`. Warnings "<input>: <what>" are printed as the input's.
tonewright::JobControl jobControl(int fileIndex, const QString& input, const QStringList& inputs);

// "tonewright: <file>: <what>: <cause>" on stderr; nothing for a cancellation
// (the interruption is reported once, by the batch).
void printJobError(const tonewright::JobError& error);

// A path for the library from a name on the command line, and back.
std::filesystem::path toPath(const QString& name);
QString fromPath(const std::filesystem::path& path);

}  // namespace cli
