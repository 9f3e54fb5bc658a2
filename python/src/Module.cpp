// _tonewright: the library's face for the Python package `tonewright`. The
// package's Python modules hold the documented interface; this module holds
// the calls into the library, each run with the GIL released.
#include "Module.h"

PYBIND11_MODULE(_tonewright, m) {
    m.doc() = "The extension module of the tonewright package (use the package, not this module).";
    twpy::bindFiles(m);
    twpy::bindChain(m);
    twpy::bindMeasure(m);
}
