#pragma once
// Private to the library (not installed): the last error reported on the
// calling thread. SoundDebuggableClass::setError keeps one process-wide text,
// which files processed side by side overwrite for each other; the jobs layer
// reads the calling thread's own instead, so that each job's error names its
// own cause.
#include <QString>

namespace SoundTools {
namespace detail {

// Records text as the calling thread's last error (setError does this; code
// that reports through the Qt logger alone calls it too).
void noteThreadError(const QString& text);
// The calling thread's last error since clearThreadError(); empty when none.
QString threadError();
void clearThreadError();

}  // namespace detail
}  // namespace SoundTools
