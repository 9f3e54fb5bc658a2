#pragma once
// Private to the library (not installed): the reading side of the binary JSON
// form statistics files are stored in. Qt writes that form; its own reader
// trusts the sizes and offsets inside it (a root size near 4 GiB wraps its
// bounds check), so the library never hands it bytes from a file. This reader
// checks every size and offset against the bytes it is given before using it
// and gives a null document for anything not well formed.
#include <QByteArray>
#include <QJsonDocument>

namespace SoundTools {
namespace detail {

// The document held by `data` (a "qbjs" header, version 1, then an object or
// an array); null when `data` is not one. Any thread; no shared state.
QJsonDocument decodeBinaryJson(const QByteArray& data);

}  // namespace detail
}  // namespace SoundTools
