#pragma once
// The parts of the extension module, each in its own source file.
#include "Common.h"

namespace twpy {
void bindFiles(pybind11::module_& m);
void bindChain(pybind11::module_& m);
void bindMeasure(pybind11::module_& m);
}  // namespace twpy
