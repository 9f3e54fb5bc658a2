#include "tonewright/Utilities.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QJsonParseError>
#include "stats/BinaryJson.h"
#include "core/ThreadError.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundOutputFile.h"
#include <QtGlobal>

namespace {
// Statistics files and catalogs are kilobytes; a path that names something far
// larger (or endless, like a character device) is not one of them, and reading
// it whole would only exhaust memory.
constexpr qint64 kMaxDocumentBytes = qint64(256) << 20;

void setText(QString* errorText, const QString& text) {
    if (errorText) *errorText = text;
}

// Qt 5.15 marks its binary JSON form deprecated; it is the format of the
// library's statistics files, so it is written on purpose. Reading is the
// library's own (see BinaryJson.h).
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
QByteArray toBinary(const QJsonDocument& document) { return document.toBinaryData(); }
QT_WARNING_POP
}  // namespace

namespace Utilities {

QJsonDocument readJSONFromFile(QString path, bool binaryAllowed) {
    return readJSONFromFile(path, binaryAllowed, nullptr);
}

QJsonDocument readJSONFromFile(QString path, bool binaryAllowed, QString* errorText) {
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        setText(errorText, path + " : cannot be opened (" + file.errorString() + ")");
        return QJsonDocument();
    }
    QByteArray data;
    for (;;) {
        const QByteArray chunk = file.read(qint64(1) << 20);
        if (chunk.isEmpty()) break;
        data += chunk;
        if (data.size() > kMaxDocumentBytes) {
            setText(errorText, path + " : too large for a JSON document");
            return QJsonDocument();
        }
    }
    if (binaryAllowed && !path.endsWith(QLatin1String(".json"))) {
        QJsonDocument document = SoundTools::detail::decodeBinaryJson(data);
        if (document.isNull())
            setText(errorText, path + (data.isEmpty() ? " : empty file" : " : not a valid binary JSON document"));
        return document;
    }
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (document.isNull()) {
        qCritical().noquote().nospace() << "JSON read error offset " << error.offset << " : " << error.errorString();
        setText(errorText, path + " : JSON read error at offset " + QString::number(error.offset) + " (" +
                               error.errorString() + ")");
    }
    return document;
}

bool writeJSONToFile(QJsonDocument document, QString path, bool binary) {
    // A missing folder is not made here: the document goes where its caller
    // named, or nowhere.
    if (path.isEmpty() || !QFileInfo(QFileInfo(path).path()).isDir()) {
        qCritical().noquote().nospace() << "JSON write error ; unable to open file " << path;
        return false;
    }
    const QByteArray data = binary ? toBinary(document) : document.toJson(QJsonDocument::Indented);
    // Written beside the target under a temporary name and moved over it when
    // complete, so that a reader never sees half a document.
    SoundOutputFile output(path);
    QFile file(output.path());
    if (!output.ok() || !file.open(QIODevice::WriteOnly)) {
        output.discard();
        // Where no temporary file can be made beside the target (a folder the
        // user may not write to, holding a file they may), it is written in place.
        file.setFileName(path);
        if (!file.open(QIODevice::WriteOnly)) {
            qCritical().noquote().nospace() << "JSON write error ; unable to open file " << path;
            // The system's reason, for the caller to give (the log line above has none).
            SoundTools::detail::noteThreadError(file.errorString());
            return false;
        }
        const bool written = file.write(data) == qint64(data.size()) && file.flush();
        if (!written) {
            qCritical().noquote().nospace() << "JSON write error ; unable to write file " << path << " : "
                                            << file.errorString();
            SoundTools::detail::noteThreadError(file.errorString());
        }
        return written;
    }
    const bool written = file.write(data) == qint64(data.size()) && file.flush();
    const QString cause = file.errorString();
    file.close();
    if (!written || !output.commit(true)) {
        const QString why = written ? SoundDebuggableClass::getError() : cause;
        qCritical().noquote().nospace() << "JSON write error ; unable to write file " << path << " : " << why;
        SoundTools::detail::noteThreadError(why);
        output.discard();
        return false;
    }
    return true;
}

}  // namespace Utilities
