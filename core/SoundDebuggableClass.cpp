#include "tonewright/SoundDebuggableClass.h"

#include "core/ThreadError.h"

#include <QMessageLogger>
#include <QtGlobal>
#include <iostream>
#include <mutex>

namespace {
bool gVerbose = false;
bool gDebug = false;
std::ostream* gStream = nullptr;  // null: standard output

// The error text is reported from processing threads too; a std::mutex (visible
// to the thread sanitizer) keeps two simultaneous reports from tearing it.
std::mutex& errorMutex() {
    static std::mutex m;
    return m;
}
QString& errorText() {
    static QString text;
    return text;
}

thread_local QString tThreadError;
}  // namespace

namespace SoundTools {
namespace detail {
void noteThreadError(const QString& text) { tThreadError = text; }
QString threadError() { return tThreadError; }
void clearThreadError() { tThreadError.clear(); }
}  // namespace detail
}  // namespace SoundTools

bool SoundDebuggableClass::isVerbose() { return gVerbose; }
void SoundDebuggableClass::setVerbose(bool on) { gVerbose = on; }
bool SoundDebuggableClass::isDebug() { return gDebug; }
void SoundDebuggableClass::setDebug(bool on) { gDebug = on; }

std::ostream& SoundDebuggableClass::getOStream() { return gStream ? *gStream : std::cout; }
void SoundDebuggableClass::setOStream(std::ostream* stream) { gStream = stream; }

QString SoundDebuggableClass::getError() {
    std::lock_guard<std::mutex> lock(errorMutex());
    return errorText();
}

void SoundDebuggableClass::setError(const QString& message, const char* functionName) {
    if (message.isEmpty()) return;
    QString text;
    if (functionName) text = QString::fromUtf8(functionName) + QStringLiteral(" : ");
    text += message.at(0) == QChar(0) ? QStringLiteral("Unknown system error.") : message;
    {
        std::lock_guard<std::mutex> lock(errorMutex());
        errorText() = text;
    }
    tThreadError = text;
    QMessageLogger().warning("%s", qUtf8Printable(text));
}

void SoundDebuggableClass::warn(const QString& message, const char* functionName) {
    if (message.isEmpty()) return;
    const QString text = functionName ? QString::fromUtf8(functionName) + QStringLiteral(" : ") + message : message;
    QMessageLogger().warning("%s", qUtf8Printable(text));
}
