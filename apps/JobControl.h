#pragma once
// What the command-line tool gives a library job and takes from it: progress
// on the board, interruption by signals, warnings printed as they happen, the
// overwrite rule and the run's inputs in; errors and JSON reports out.
//
// Threading: the controls are made and used on the worker that runs the job.
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <string>

#include "tonewright/Jobs.h"

namespace cli {

// The controls of a job over input `fileIndex` of the batch. Its progress
// fills the file's bar from `from` to `to` (a job that is one step of several
// on the file). A warning about one of `files` is printed as the tool's
// warning about that file.
tonewright::JobControl jobControl(int fileIndex, const QStringList& files, double from = 0.0, double to = 1.0);

// "tonewright: <file>: <what>: <cause>" on stderr; nothing for a job the
// user stopped (the batch says so).
void printJobError(const tonewright::JobError& error);

// A report's JSON text as the object printed.
QJsonObject jsonObject(const std::string& json);

inline QString qstring(const std::string& utf8) { return QString::fromStdString(utf8); }

}  // namespace cli
