#include "Common.h"

#include <QFileInfo>
#include <cerrno>
#include <cmath>

#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundReader.h"

namespace twpy {

BusyGuard::BusyGuard(std::atomic<bool>& flag, const char* what) : mFlag(flag) {
    if (mFlag.exchange(true, std::memory_order_acquire))
        throw std::runtime_error(std::string(what) + " is in use by another thread; use one object per thread");
}

void raiseValue(const std::string& message) { throw py::value_error(message); }

[[noreturn]] void raiseErrno(PyObject* type, int code, const std::string& text, const std::string& path) {
    py::object args = py::make_tuple(code, text, path);
    PyErr_SetObject(type, args.ptr());
    throw py::error_already_set();
}

void checkReadable(const std::string& path, const std::string& what) {
    const QFileInfo info(toQString(path));
    if (!info.exists()) raiseErrno(PyExc_FileNotFoundError, ENOENT, what + ": no such file", path);
    if (info.isDir()) raiseErrno(PyExc_IsADirectoryError, EISDIR, what + ": is a folder", path);
    // Opening a FIFO would wait for a writer; the readers seek.
    if (!info.isFile()) raiseErrno(PyExc_OSError, EINVAL, what + ": not a regular file (a pipe or a device)", path);
    if (!info.isReadable()) raiseErrno(PyExc_PermissionError, EACCES, what + ": permission denied", path);
}

void raiseFile(const std::string& path, const std::string& what, const QString& cause) {
    checkReadable(path, what);
    raiseIo(path, what, cause);
}

void raiseIo(const std::string& path, const std::string& what, const QString& cause) {
    // The library's messages often begin with the file's name, which the
    // exception carries anyway.
    QString text = cause.trimmed();
    const QString name = toQString(path);
    for (const QString& lead : {name + " : ", name + ": "})
        if (text.startsWith(lead)) text = text.mid(lead.size());
    // EIO: the file is there, and could still not be used.
    raiseErrno(PyExc_OSError, EIO, what + (text.isEmpty() ? std::string() : ": " + toStd(text)), path);
}

void raiseRuntime(const std::string& what, const QString& cause) {
    throw std::runtime_error(cause.isEmpty() ? what : what + ": " + toStd(cause));
}

QString lastError() { return SoundDebuggableClass::getError(); }

unsigned checkRate(py::handle rate) {
    if (py::isinstance<py::bool_>(rate) || !(py::isinstance<py::int_>(rate) || py::isinstance<py::float_>(rate)))
        raiseValue("samplerate must be a number of Hz, not " + std::string(py::str(py::type::of(rate).attr("__name__"))));
    const double r = rate.cast<double>();
    if (!(r >= double(SoundReader::kMinSampleRate) && r <= double(SoundReader::kMaxSampleRate)) || r != std::floor(r))
        raiseValue("samplerate must be a whole number of Hz from " + std::to_string(SoundReader::kMinSampleRate) +
                   " to " + std::to_string(SoundReader::kMaxSampleRate) + ", not " + std::string(py::repr(rate)));
    return unsigned(r);
}

double checkNumber(py::handle value, const char* name, double lo, double hi) {
    if (py::isinstance<py::bool_>(value) || !(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)))
        raiseValue(std::string(name) + " must be a number, not " + std::string(py::repr(value)));
    const double x = value.cast<double>();
    if (!std::isfinite(x) || x < lo || x > hi) {
        char text[160];
        std::snprintf(text, sizeof text, " must be a number from %g to %g, not ", lo, hi);
        raiseValue(std::string(name) + text + std::string(py::repr(value)));
    }
    return x;
}

QString toQString(const std::string& s) { return QString::fromUtf8(s.data(), int(s.size())); }
std::string toStd(const QString& s) { return s.toUtf8().toStdString(); }

namespace {
template <typename T>
void interleave(const T* __restrict left, const T* __restrict right, double* __restrict out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        out[0] = double(left[i]);
        out[1] = double(right[i]);
        out += 2;
    }
}
}  // namespace

void ArrayView::stereo(int64_t from, unsigned n, double* out) const {
    const char* p = data + from * frameStride;
    if (rows == 1) {
        if (isDouble)
            for (unsigned i = 0; i < n; ++i, p += frameStride) out[2 * i] = out[2 * i + 1] = *reinterpret_cast<const double*>(p);
        else
            for (unsigned i = 0; i < n; ++i, p += frameStride) out[2 * i] = out[2 * i + 1] = *reinterpret_cast<const float*>(p);
        return;
    }
    const char* q = p + rowStride;
    // Rows of contiguous samples (the usual layout): plain pointers and a
    // size_t count, which the compiler turns into loads and shuffles of whole
    // vectors; by byte strides it moves one sample at a time.
    if (frameStride == (isDouble ? int64_t(sizeof(double)) : int64_t(sizeof(float)))) {
        if (isDouble)
            interleave(reinterpret_cast<const double*>(p), reinterpret_cast<const double*>(q), out, n);
        else
            interleave(reinterpret_cast<const float*>(p), reinterpret_cast<const float*>(q), out, n);
        return;
    }
    if (isDouble)
        for (unsigned i = 0; i < n; ++i, p += frameStride, q += frameStride) {
            out[2 * i] = *reinterpret_cast<const double*>(p);
            out[2 * i + 1] = *reinterpret_cast<const double*>(q);
        }
    else
        for (unsigned i = 0; i < n; ++i, p += frameStride, q += frameStride) {
            out[2 * i] = *reinterpret_cast<const float*>(p);
            out[2 * i + 1] = *reinterpret_cast<const float*>(q);
        }
}

ArrayView viewOf(py::handle audio, const char* name) {
    const std::string n(name);
    if (!py::isinstance<py::array>(audio))
        raiseValue(n + " must be a NumPy array of shape (channels, frames), not " +
                   std::string(py::str(py::type::of(audio).attr("__name__"))));
    ArrayView v;
    v.array = py::reinterpret_borrow<py::array>(audio);
    const py::dtype dt = v.array.dtype();
    if (dt.is(py::dtype::of<float>()) || (dt.kind() == 'f' && dt.itemsize() == 4))
        v.isDouble = false;
    else if (dt.kind() == 'f' && dt.itemsize() == 8)
        v.isDouble = true;
    else
        raiseValue(n + " must be float32 or float64 samples (full scale 1.0), not " + std::string(py::str(static_cast<const py::handle&>(dt))));
    if (!dt.attr("isnative").cast<bool>()) raiseValue(n + " must be in the machine's byte order");
    if (v.array.ndim() != 2)
        raiseValue(n + " must have shape (channels, frames), two dimensions, not " + std::to_string(v.array.ndim()) +
                   (v.array.ndim() == 1 ? " (a mono signal x is x[None, :])" : ""));
    if (v.array.shape(0) != 1 && v.array.shape(0) != 2)
        raiseValue(n + " must have shape (channels, frames) with 1 or 2 channels, not shape (" +
                   std::to_string(v.array.shape(0)) + ", " + std::to_string(v.array.shape(1)) + ")" +
                   (v.array.shape(1) <= 2 ? " (an array of shape (frames, channels) is audio.T)" : ""));
    if (v.array.shape(1) > SoundAlgo::kMaxStreamFrames)
        raiseValue(n + " is longer than the " + std::to_string(SoundAlgo::kMaxStreamFrames) + " frames a run carries");
    v.rows = unsigned(v.array.shape(0));
    v.frames = v.array.shape(1);
    v.rowStride = v.array.strides(0);
    v.frameStride = v.array.strides(1);
    v.data = static_cast<const char*>(v.array.data());
    return v;
}

}  // namespace twpy
