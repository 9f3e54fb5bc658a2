// tw.AudioFile and tw.write: sound files to NumPy arrays and back, through the
// library's readers, writers and tag layer.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <system_error>
#include <thread>

#include <sys/mman.h>
#include <unistd.h>

#include "ArrayIO.h"
#include "Common.h"
#include "Module.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundFileName.h"
#include "tonewright/SoundFormats.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundSndfile.h"
#include "tonewright/SoundTagFile.h"
#include "tonewright/SoundWriter.h"

namespace twpy {
namespace {

// Frames read or written per call into the library.
constexpr unsigned kBlock = 8192;

// Interleaved stereo floats to the rows of a float32 array.
void toRows(const float* __restrict in, float* __restrict left, float* __restrict right, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        left[i] = in[0];
        right[i] = in[1];
        in += 2;
    }
}
void toRow(const float* __restrict in, float* __restrict out, size_t n) {
    for (size_t i = 0; i < n; ++i, in += 2) out[i] = *in;
}

// A new array's pages are given memory at their first write, which the
// kernel zeroes first: for a whole file that is a tenth of the decoding's time.
// While the decoder fills the array from the front, a second thread has the
// kernel map the rest (MADV_POPULATE_WRITE maps without writing a byte, so the
// two never touch the same data); where the kernel lacks it, nothing happens.
// Small arrays are left alone: a thread costs more than their faults.
class Prefault {
public:
    Prefault(void* data, size_t bytes) {
#if defined(MADV_POPULATE_WRITE)
        constexpr size_t kWorthIt = size_t(8) << 20;
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const uintptr_t begin = (uintptr_t(data) + page - 1) / page * page;
        const uintptr_t end = (uintptr_t(data) + bytes) / page * page;
        if (bytes < kWorthIt || end <= begin) return;
        try {
            mThread = std::thread([begin, end] { madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE); });
        } catch (const std::system_error&) {
            // No thread to be had: the decoder's writes fault the pages in as they come.
        }
#else
        (void)data;
        (void)bytes;
#endif
    }
    ~Prefault() {
        if (mThread.joinable()) mThread.join();
    }
    Prefault(const Prefault&) = delete;
    Prefault& operator=(const Prefault&) = delete;

private:
    std::thread mThread;
};

// The tag record as a dict: the fields that are set, under their own names
// ("title", "artist", "album", "year", "comment", "track", "tracktotal",
// "genre"), then the further fields under their upper-case names.
py::dict tagDict(const SoundIDTag& t) {
    py::dict d;
    const std::pair<const char*, const std::string*> fields[] = {
        {"title", &t.title},     {"artist", &t.artist}, {"album", &t.album},           {"year", &t.year},
        {"comment", &t.comment}, {"track", &t.track},   {"tracktotal", &t.trackTotal}, {"genre", &t.genre}};
    for (const auto& f : fields)
        if (!f.second->empty()) d[f.first] = py::str(*f.second);
    for (const auto& e : t.extra) d[py::str(e.first)] = py::str(e.second);
    return d;
}

void fillTags(py::handle tags, SoundIDTag& t) {
    if (tags.is_none()) return;
    if (!py::isinstance<py::dict>(tags)) raiseValue("tags must be a dict of texts");
    std::map<std::string, std::string*> fields = {
        {"title", &t.title},     {"artist", &t.artist}, {"album", &t.album},           {"year", &t.year},
        {"comment", &t.comment}, {"track", &t.track},   {"tracktotal", &t.trackTotal}, {"genre", &t.genre}};
    for (auto item : py::reinterpret_borrow<py::dict>(tags)) {
        if (!py::isinstance<py::str>(item.first) || !py::isinstance<py::str>(item.second))
            raiseValue("tags must map texts to texts, not " + std::string(py::repr(item.first)) + ": " +
                       std::string(py::repr(item.second)));
        const std::string key = item.first.cast<std::string>();
        const std::string value = item.second.cast<std::string>();
        auto f = fields.find(key);
        if (f != fields.end()) {
            *f->second = value;
            continue;
        }
        std::string upper = key;
        for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
        if (upper.empty() || upper.find_first_of("=\n\r") != std::string::npos)
            raiseValue("tag name " + std::string(py::repr(item.first)) + " cannot be stored");
        t.extra[upper] = value;
    }
}

// The picture's type from its first bytes: the two kinds every tag format holds.
std::string pictureType(const std::string& bytes) {
    if (bytes.size() > 8 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) return "image/png";
    if (bytes.size() > 3 && bytes.compare(0, 3, "\xff\xd8\xff") == 0) return "image/jpeg";
    raiseValue("cover must be the bytes of a PNG or JPEG picture");
}

// ---------------------------------------------------------------- AudioFile

class AudioFile {
public:
    explicit AudioFile(const std::string& path) : mPath(path) {
        const QString name = toQString(path);
        if (SoundReader::isRecognized(name)) checkReadable(path, "cannot read");
        SoundIDTag tags;
        bool opened = false, tagsRead = false;
        QString cause;
        {
            py::gil_scoped_release release;
            mReader.reset(SoundReader::getFromFilename(name));
            if (mReader) {
                opened = mReader->open(name) == SoundTools::Ok;
                if (!opened) cause = lastError();
                if (opened && SoundTagFile::isTaggable(name)) tagsRead = SoundTagFile::read(name, tags) == SoundTools::Ok;
            }
        }
        if (!mReader) {
            if (!QFileInfo::exists(name)) raiseFile(path, "cannot open", QString());
            raiseValue("'" + path + "' is not a sound file name the library reads (wav, flac, ogg, mp3)");
        }
        if (!opened) raiseFile(path, "cannot read", cause);
        if (!tagsRead) mReader->getTags(tags);  // what the reader itself carries
        mTags = tags;
        mFormat = SoundTools::lowerExtension(name);
        mChannels = mReader->getFileChannelNum();
    }

    unsigned samplerate() const { return open().getSampleRate(); }
    int64_t frames() const { return open().getFrameNB(); }
    unsigned channels() const { return open(), mChannels; }
    unsigned rows() const { return mChannels == 1 ? 1u : 2u; }
    double duration() const { return double(frames()) / double(samplerate()); }
    const std::string& format() const { return mFormat; }
    std::string sampleFormat() const { return tonewright::sampleFormatName(open().getInputFormat()); }
    int64_t position() const { return open().getOffset(); }
    py::dict tags() const { return tagDict(mTags); }
    py::object cover() const {
        if (mTags.cover.isEmpty()) return py::none();
        return py::bytes(mTags.cover.constData(), size_t(mTags.cover.size()));
    }
    const std::string& path() const { return mPath; }
    bool closed() const { return !mReader; }

    void close() {
        BusyGuard busy(mBusy, "this AudioFile");
        if (mReader) mReader->close();
        mReader.reset();
    }

    void rewind() {
        BusyGuard busy(mBusy, "this AudioFile");
        open().rewind();
    }

    py::array read(int64_t count) {
        BusyGuard busy(mBusy, "this AudioFile");
        SoundReader& reader = open();
        const unsigned r = rows();
        const int64_t left = std::max<int64_t>(0, int64_t(reader.getFrameNB()) - reader.getOffset());
        // Never more than the file announces is allocated (a stream longer than
        // it announced gives the rest at the next call, or with the whole read).
        const int64_t want = count < 0 ? left : std::min<int64_t>(count, std::max<int64_t>(left, kBlock));
        py::array_t<float> out({size_t(r), size_t(std::max<int64_t>(0, want))});
        float* data = out.mutable_data();
        int64_t got = 0;
        std::vector<float> more;  // a stream longer than it announced
        bool failed = false;
        {
            py::gil_scoped_release release;
            Prefault prefault(data, size_t(r) * size_t(std::max<int64_t>(0, want)) * sizeof(float));
            mFrames.resize(2 * size_t(kBlock));
            auto take = [&](int64_t limit, auto store) {
                for (;;) {
                    const unsigned n = unsigned(std::min<int64_t>(kBlock, limit));
                    if (n == 0) return;
                    const unsigned read = reader.stereoReadFloats(n, mFrames.data());
                    if (read == 0) return;
                    store(mFrames.data(), read);
                    limit -= read;
                    if (read < n && reader.atEnd()) return;
                }
            };
            take(want, [&](const float* f, unsigned n) {
                if (r == 1)
                    toRow(f, data + got, n);
                else
                    toRows(f, data + got, data + want + got, n);
                got += n;
            });
            if (count < 0 && got == want && !reader.atEnd())
                take(SoundAlgo::kMaxStreamFrames, [&](const float* f, unsigned n) { more.insert(more.end(), f, f + 2 * n); });
            failed = reader.hasFailed();
        }
        if (failed) raiseFile(mPath, "cannot read", lastError());
        if (got == want && more.empty()) return std::move(out);
        // Fewer frames than announced, or more: the array is made again to size.
        const int64_t extra = int64_t(more.size() / 2);
        py::array_t<float> sized({size_t(r), size_t(got + extra)});
        float* s = sized.mutable_data();
        for (unsigned row = 0; row < r; ++row) {
            std::copy_n(data + row * want, got, s + row * (got + extra));
            for (int64_t i = 0; i < extra; ++i) s[row * (got + extra) + got + i] = more[size_t(2 * i + row)];
        }
        return std::move(sized);
    }

private:
    SoundReader& open() const {
        if (!mReader) throw py::value_error("I/O operation on a closed AudioFile");
        return *mReader;
    }

    std::string mPath;
    std::unique_ptr<SoundReader> mReader;
    std::vector<float> mFrames;  // one block of interleaved stereo frames
    SoundIDTag mTags;
    std::string mFormat;
    unsigned mChannels = 2;
    std::atomic<bool> mBusy{false};
};

// ---------------------------------------------------------------- write

std::atomic<unsigned> gTemporaryCount{0};

void write(const std::string& path, py::handle audio, py::handle rate, py::handle bits, py::handle tags,
           py::handle cover, unsigned bitRate) {
    const ArrayView view = viewOf(audio);
    const unsigned sr = checkRate(rate);
    const QString name = toQString(path);
    const std::string ext = SoundTools::lowerExtension(name);
    if (ext != "wav" && ext != "flac" && ext != "ogg" && ext != "mp3")
        raiseValue("'" + path + "': the file name must end in .wav, .flac, .ogg or .mp3");
    SoundTools::SoundFormat format = SoundTools::Pcm16;
    if (py::isinstance<py::str>(bits) && bits.cast<std::string>() == "float") {
        format = SoundTools::Float;
    } else if (py::isinstance<py::int_>(bits) && !py::isinstance<py::bool_>(bits)) {
        const int b = bits.cast<int>();
        if (b == 8) format = SoundTools::Pcm8;
        else if (b == 16) format = SoundTools::Pcm16;
        else if (b == 24) format = SoundTools::Pcm24;
        else if (b == 32) format = SoundTools::Pcm32;
        else raiseValue("bits must be 8, 16, 24, 32 or \"float\", not " + std::to_string(b));
    } else {
        raiseValue("bits must be 8, 16, 24, 32 or \"float\", not " + std::string(py::repr(bits)));
    }
    // FLAC holds integers of up to 24 bits.
    if (ext == "flac" && (format == SoundTools::Pcm32 || format == SoundTools::Float))
        raiseValue("FLAC holds 8, 16 or 24-bit samples, not " + std::string(py::repr(bits)));
    if (ext == "mp3" && (bitRate < 8 || bitRate > 320)) raiseValue("bitrate must be from 8 to 320 kbit/s");
    SoundIDTag tag;
    fillTags(tags, tag);
    if (!cover.is_none()) {
        if (!py::isinstance<py::bytes>(cover)) raiseValue("cover must be bytes (a PNG or JPEG picture) or None");
        const std::string bytes = cover.cast<std::string>();
        tag.coverMimeType = pictureType(bytes);
        tag.cover = QByteArray(bytes.data(), int(bytes.size()));
    }

    // Written under a temporary name in the destination folder, which takes
    // the final name only once the file is complete.
    const QFileInfo target(name);
    const QString folder = target.absolutePath();
    if (!QFileInfo(folder).isDir()) raiseFile(toStd(folder), "cannot write into", QString());
    if (!QFileInfo(folder).isWritable()) raiseErrno(PyExc_PermissionError, EACCES, "cannot write: permission denied", path);
    if (target.isDir()) raiseErrno(PyExc_IsADirectoryError, EISDIR, "cannot write: is a folder", path);
    const QString temporary = folder + "/.tonewright-partial-" + QString::number(::getpid()) + "-" +
                              QString::number(gTemporaryCount.fetch_add(1)) + "." + QString::fromStdString(ext);
    std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(temporary, sr, bitRate, format, view.rows));
    if (auto* sndfile = dynamic_cast<SoundWriterSndfile*>(writer.get())) sndfile->setExpectedFrames(view.frames);
    QString cause;
    bool ok = false, nonFinite = false;
    {
        py::gil_scoped_release release;
        if (writer->open(temporary) == SoundTools::Ok) {
            if (!tag.isEmpty()) writer->setTags(tag);
            auto buffer = SoundBuffer::createNew(sr);
            ok = true;
            for (int64_t at = 0; at < view.frames && ok; at += kBlock) {
                const unsigned n = unsigned(std::min<int64_t>(kBlock, view.frames - at));
                buffer->alloc(n, 2);
                buffer->setFrameNB(n);
                buffer->setOrigin(int(at));
                double* frames = buffer->getRelFrame(0);
                view.stereo(at, n, frames);
                // A sample that is not a number has no value in a file.
                for (unsigned i = 0; i < 2 * n && !nonFinite; ++i) nonFinite = !std::isfinite(frames[i]);
                ok = !nonFinite && writer->writeBuffer(buffer, 0) == SoundTools::Ok;
            }
            writer->close();
            ok = ok && !writer->hasFailed();
            if (!ok) cause = lastError();
            if (ok && std::rename(temporary.toLocal8Bit().constData(), name.toLocal8Bit().constData()) != 0) {
                ok = false;
                cause = QString::fromLocal8Bit(std::strerror(errno));
            }
        } else {
            cause = lastError();
        }
        writer.reset();
        if (!ok) QFile::remove(temporary);
    }
    if (nonFinite) raiseValue("audio holds samples that are not finite numbers (NaN or infinity)");
    // The library's message names the temporary; the caller knows the file by its name.
    if (!ok) raiseIo(path, "cannot write", cause.replace(temporary, name));
}

}  // namespace

void bindFiles(py::module_& m) {
    py::class_<AudioFile>(m, "AudioFile")
        .def(py::init<const std::string&>(), py::arg("path"))
        .def_property_readonly("samplerate", &AudioFile::samplerate)
        .def_property_readonly("frames", &AudioFile::frames)
        .def_property_readonly("channels", &AudioFile::channels)
        .def_property_readonly("rows", &AudioFile::rows)
        .def_property_readonly("duration", &AudioFile::duration)
        .def_property_readonly("format", &AudioFile::format)
        .def_property_readonly("sample_format", &AudioFile::sampleFormat)
        .def_property_readonly("position", &AudioFile::position)
        .def_property_readonly("tags", &AudioFile::tags)
        .def_property_readonly("cover", &AudioFile::cover)
        .def_property_readonly("path", &AudioFile::path)
        .def_property_readonly("closed", &AudioFile::closed)
        .def("read", &AudioFile::read, py::arg("frames") = -1)
        .def("rewind", &AudioFile::rewind)
        .def("close", &AudioFile::close);
    m.def("write", &write, py::arg("path"), py::arg("audio"), py::arg("samplerate"), py::arg("bits"),
          py::arg("tags"), py::arg("cover"), py::arg("bitrate"));
}

}  // namespace twpy
