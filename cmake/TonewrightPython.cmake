# Finds what the Python package needs and sets TW_PYTHON_DEFAULT, the default of
# TONEWRIGHT_BUILD_PYTHON: ON when tonewright is the top-level project, is not
# built with sanitizers (an uninstrumented interpreter cannot load it) and
# pybind11 and NumPy are there for the interpreter.
#
# The interpreter is Debian's /usr/bin/python3 unless Python3_EXECUTABLE names
# another: the package is built for, tested with and installed into that one,
# never whichever python3 comes first on the PATH.
set(TW_PYTHON_DEFAULT OFF)
if(NOT TONEWRIGHT_BUILD_PYTHON AND (NOT PROJECT_IS_TOP_LEVEL OR TONEWRIGHT_SANITIZE))
  return()
endif()
if(DEFINED TONEWRIGHT_BUILD_PYTHON AND NOT TONEWRIGHT_BUILD_PYTHON)
  return()
endif()
if(NOT Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The interpreter the Python package is built for")
endif()
find_package(Python3 QUIET COMPONENTS Interpreter Development.Module NumPy)
if(Python3_FOUND)
  find_package(pybind11 CONFIG QUIET)
endif()
if(Python3_FOUND AND Python3_NumPy_FOUND AND pybind11_FOUND)
  set(TW_PYTHON_DEFAULT ON)
endif()
