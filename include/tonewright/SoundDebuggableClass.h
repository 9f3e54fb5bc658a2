#pragma once
// Process-wide diagnostics: verbose and debug switches, the diagnostic stream and
// the last error text. Base of algorithms, readers and writers.
//
// Threading: set the switches and the stream before processing starts; they are
// plain globals. setError/getError may be called from any thread: the error text
// is guarded, and when two threads report at once one of the two texts remains.
#include <QString>
#include <iosfwd>

#include "tonewright/Export.h"

class TONEWRIGHT_API SoundDebuggableClass {
public:
    SoundDebuggableClass() = default;
    SoundDebuggableClass(const SoundDebuggableClass&) = default;
    // The state is process-wide: assignment copies nothing.
    SoundDebuggableClass& operator=(const SoundDebuggableClass&) { return *this; }

    static bool isVerbose();
    static void setVerbose(bool on);
    static bool isDebug();
    static void setDebug(bool on);

    // The stream for diagnostic text (standard output by default). The caller
    // keeps ownership of a stream it installs; null restores standard output.
    static std::ostream& getOStream();
    static void setOStream(std::ostream* stream);

    static QString getError();
    // Records message as the last error, prefixed by "functionName : " when the
    // name is given, and emits the whole text as a Qt warning. An empty message
    // changes nothing.
    static void setError(const QString& message, const char* functionName = nullptr);
    // Emits message (prefixed as setError does) as a Qt warning without making
    // it the last error: for what an operation that still succeeds left out or
    // changed (a damaged cover skipped, a picture too large for its container).
    static void warn(const QString& message, const char* functionName = nullptr);

protected:
    ~SoundDebuggableClass() = default;
};
