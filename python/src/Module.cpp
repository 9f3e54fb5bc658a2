// _tonewright: the library's face for the Python package `tonewright`. The
// package's Python modules hold the documented interface; this module holds
// the calls into the library, each run with the GIL released.
#include "Module.h"

#include <QtGlobal>
#include <cstdlib>

namespace {
QtMessageHandler gPrevious = nullptr;

// The library logs every error and warning it reports through Qt as well; from
// Python they reach the caller as exceptions and warnings, so the log lines
// would only repeat them on stderr. They are shown when TONEWRIGHT_VERBOSE is
// set; critical and fatal messages always are. Called on any thread, without
// the GIL: it touches no Python object.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    static const bool verbose = std::getenv("TONEWRIGHT_VERBOSE") != nullptr;
    if (gPrevious && (verbose || type == QtCriticalMsg || type == QtFatalMsg)) gPrevious(type, context, text);
}
}  // namespace

PYBIND11_MODULE(_tonewright, m) {
    m.doc() = "The extension module of the tonewright package (use the package, not this module).";
    gPrevious = qInstallMessageHandler(messageHandler);
    twpy::bindFiles(m);
    twpy::bindChain(m);
    twpy::bindMeasure(m);
    twpy::bindJobs(m);
}
