#include "JobHooks.h"

#include "Cli.h"
#include "Progress.h"

namespace cli {

tonewright::JobControl jobControl(int fileIndex, const QString& input, const QStringList& inputs) {
    tonewright::JobControl c;
    c.overwrite = options().overwrite;
    for (const QString& i : inputs) c.otherInputs.push_back(toPath(i));
    c.progress = [fileIndex](const tonewright::JobProgress& p) {
        progress::set(fileIndex, p.fraction());
        return !interrupted();
    };
    c.warning = [input](const std::string& message) {
        const QString text = QString::fromStdString(message);
        const QString lead = input + ": ";
        if (!input.isEmpty() && text.startsWith(lead))
            printWarning(input, text.mid(lead.size()));
        else
            printWarning(QString(), text);
    };
    return c;
}

void printJobError(const tonewright::JobError& error) {
    if (error.kind == tonewright::JobError::Kind::Cancelled) return;
    printError(QString::fromStdString(error.file), QString::fromStdString(error.what),
               QString::fromStdString(error.cause));
}

std::filesystem::path toPath(const QString& name) { return std::filesystem::path(name.toStdString()); }
QString fromPath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

}  // namespace cli
