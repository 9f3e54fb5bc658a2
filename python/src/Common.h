#pragma once
// Shared pieces of the extension module: the per-object busy flag, the checks
// every array and setting passes before it reaches the library, the
// conversion of the library's errors into Python exceptions, and the views of
// NumPy arrays the in-memory reader walks.
//
// Threading: every function here runs with the GIL held, except ArrayView's
// accessors, which read plain memory and may be used without it.
// Python's headers name a member "slots", which Qt defines as a keyword.
#pragma push_macro("slots")
#undef slots
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#pragma pop_macro("slots")

#include <QString>
#include <atomic>
#include <cstdint>
#include <string>

namespace twpy {

namespace py = pybind11;

// Marks an object as in use for the length of one call. A second thread
// calling into the same object meanwhile gets a RuntimeError at once: the
// library's readers, writers and algorithm graphs are driven by one thread at
// a time, and waiting for the first call (with the GIL released) could
// deadlock a program that holds the GIL elsewhere.
class BusyGuard {
public:
    BusyGuard(std::atomic<bool>& flag, const char* what);
    ~BusyGuard() { mFlag.store(false, std::memory_order_release); }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    std::atomic<bool>& mFlag;
};

[[noreturn]] void raiseValue(const std::string& message);
// FileNotFoundError, IsADirectoryError or PermissionError (filename: the path)
// when the file cannot be opened at all; nothing otherwise.
void checkReadable(const std::string& path, const std::string& what);
// An OSError for a file: what checkReadable raises, else errno EIO with the
// text "<what>: <cause>" and the path as its filename.
[[noreturn]] void raiseFile(const std::string& path, const std::string& what, const QString& cause);
// OSError errno EIO, "<what>: <cause>", for a file that exists (or is being
// made) and could not be used.
[[noreturn]] void raiseIo(const std::string& path, const std::string& what, const QString& cause);
// An OSError of the given type and errno, with the path as its filename.
[[noreturn]] void raiseErrno(PyObject* type, int code, const std::string& text, const std::string& path);
// A RuntimeError with the library's last error text.
[[noreturn]] void raiseRuntime(const std::string& what, const QString& cause);

// The text of the library's last error (process-wide: read it right after the
// failing call).
QString lastError();

// Checks a sample rate (a whole number of Hz the readers accept).
unsigned checkRate(py::handle rate);
// A finite number within [lo, hi], or ValueError naming the setting.
double checkNumber(py::handle value, const char* name, double lo, double hi);

QString toQString(const std::string& s);
std::string toStd(const QString& s);

// A (channels, frames) array of float32 or float64, one or two rows, in any
// memory layout: the library reads it where it lies, without a copy.
struct ArrayView {
    py::array array;  // keeps the memory alive; touched only with the GIL held
    const char* data = nullptr;
    bool isDouble = false;
    unsigned rows = 0;
    int64_t frames = 0;
    int64_t rowStride = 0;    // bytes
    int64_t frameStride = 0;  // bytes

    double at(unsigned row, int64_t frame) const {
        const char* p = data + row * rowStride + frame * frameStride;
        return isDouble ? *reinterpret_cast<const double*>(p) : double(*reinterpret_cast<const float*>(p));
    }
    // Frames [from, from + n) as interleaved stereo doubles; one row is both channels.
    void stereo(int64_t from, unsigned n, double* out) const;
};

// The checks of an audio array: ValueError for anything but a two-dimensional
// float32 or float64 array of one or two rows (channels) with at most the
// longest stream a run carries.
ArrayView viewOf(py::handle audio, const char* name = "audio");

}  // namespace twpy
