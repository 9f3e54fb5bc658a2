#include "JobHost.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include "Cli.h"
#include "Progress.h"

namespace cli {

tonewright::JobControl jobControl(int index, const std::function<double(double)>& fraction) {
    tonewright::JobControl c;
    c.progress = [index, fraction](const tonewright::JobProgress& p) {
        progress::set(index, fraction ? fraction(p.fraction()) : p.fraction());
        return !interrupted();
    };
    c.warning = printJobWarning;
    c.overwrite = options().overwrite;
    for (const QString& input : runInputs()) c.otherInputs.push_back(QFile::encodeName(input).toStdString());
    return c;
}

void printJobError(const tonewright::JobError& e) {
    if (e.kind == tonewright::JobError::Kind::Cancelled) return;
    printError(qtext(e.file), qtext(e.what), qtext(e.cause));
}

void printJobWarning(const std::string& message) {
    // The file is the part before ": "; a name holding ": " itself is told by
    // its existence.
    const QString m = qtext(message);
    int split = m.indexOf(": ");
    for (int at = split; at >= 0; at = m.indexOf(": ", at + 1))
        if (QFileInfo::exists(m.left(at))) {
            split = at;
            break;
        }
    if (split < 0) {
        printWarning(QString(), m);
        return;
    }
    printWarning(m.left(split), m.mid(split + 2));
}

QJsonObject jsonObject(const std::string& json) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
}

}  // namespace cli
