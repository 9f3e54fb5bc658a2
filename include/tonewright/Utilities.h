#pragma once
// JSON files: statistics files (binary JSON) and reference catalogs (JSON text
// or binary JSON) are read and written through these two functions.
//
// Binary JSON is Qt 5's own binary form of a JSON document
// (QJsonDocument::toBinaryData). It is only read when the caller allows it and
// the path does not end with ".json": a ".json" file is always JSON text.
//
// Threading: plain functions without shared state; any thread may call them.
// Two threads writing the same path at once leave one of the two documents.
#include <QJsonDocument>
#include <QString>

#include "tonewright/Export.h"

namespace Utilities {

// The document stored at path, or a null document when the file cannot be
// opened (no message) or does not hold a valid document. Invalid JSON text is
// logged at Qt's critical level as "JSON read error offset <n> : <cause>";
// invalid binary JSON yields a null document without a message.
TONEWRIGHT_API QJsonDocument readJSONFromFile(QString path, bool binaryAllowed);

// As above; when errorText is given it receives, on failure, a readable cause
// beginning with the path (for callers that report errors themselves).
TONEWRIGHT_API QJsonDocument readJSONFromFile(QString path, bool binaryAllowed, QString* errorText);

// Writes the document as binary JSON or as indented JSON text. The file is
// replaced only once the whole document is written, so a failed write leaves a
// previous file intact. Failures are logged at Qt's critical level ("JSON write
// error ; unable to open file <path>" when the file cannot be created) and
// return false.
TONEWRIGHT_API bool writeJSONToFile(QJsonDocument document, QString path, bool binary);

}  // namespace Utilities
