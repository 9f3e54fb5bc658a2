#pragma once
// The tool's side of a library job call: the controls it passes (progress to
// the bar, a stop on an interrupt, warnings printed as they come, -y and the
// run's inputs), its errors printed as the tool prints errors, and a report's
// JSON text back as an object.
#include <QJsonObject>
#include <QString>
#include <functional>
#include <string>

#include "tonewright/Jobs.h"

namespace tonewright {
struct SplitReport;
}

namespace cli {

// The controls of a call working on file `index` of the batch. `fraction`, when
// given, maps the job's own progress (0 to 1) onto the file's bar (a step of a
// longer run).
tonewright::JobControl jobControl(int index, const std::function<double(double)>& fraction = {});
// Prints the error; nothing for a cancellation (the interrupt says enough).
void printJobError(const tonewright::JobError& error);
// A warning of a job ("<file>: <what>") printed as printWarning prints it.
void printJobWarning(const std::string& message);
QJsonObject jsonObject(const std::string& json);
inline QString qtext(const std::string& utf8) { return QString::fromStdString(utf8); }

// The text split prints for a report (job_split.cpp; the demo prints it too),
// and split's errors in the tool's words.
QString splitSummary(const tonewright::SplitReport& report);
void printSplitError(const tonewright::JobError& error, const QString& input);

}  // namespace cli
