#include "JobControl.h"

#include <QJsonDocument>

#include "Cli.h"
#include "Progress.h"

namespace cli {

tonewright::JobControl jobControl(int fileIndex, const QStringList& files, double from, double to) {
    tonewright::JobControl c;
    c.progress = [fileIndex, from, to](const tonewright::JobProgress& p) {
        progress::set(fileIndex, from + (to - from) * p.fraction());
        return !interrupted();
    };
    c.warning = [files](const std::string& message) {
        const QString m = QString::fromStdString(message);
        for (const QString& f : files)
            if (!f.isEmpty() && m.startsWith(f + ": ")) {
                printWarning(f, m.mid(f.size() + 2));
                return;
            }
        printWarning(QString(), m);
    };
    c.overwrite = options().overwrite;
    for (const QString& i : runInputs()) c.otherInputs.emplace_back(i.toStdString());
    return c;
}

void printJobError(const tonewright::JobError& e) {
    if (e.kind == tonewright::JobError::Kind::Cancelled) return;
    printError(qstring(e.file), qstring(e.what), qstring(e.cause));
}

QJsonObject jsonObject(const std::string& json) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
}

}  // namespace cli
