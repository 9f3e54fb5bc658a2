// The library's jobs (Jobs.h and one header per job), each called with the
// GIL released. A call gives the job's report as the JSON text the
// command-line tool prints with --json; jobs.py makes the report objects.
//
// Threading: the job runs on the calling thread with the GIL released; its
// progress and warning callbacks take the GIL back for as long as they call
// into Python. Ctrl-C is seen there (PyErr_CheckSignals): the job is
// cancelled and KeyboardInterrupt raised once it has returned.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <limits>
#include <cctype>
#include <map>

#include "Module.h"
#include "tonewright/Analyse.h"
#include "tonewright/Correct.h"
#include "tonewright/Eq.h"
#include "tonewright/Info.h"
#include "tonewright/Level.h"
#include "tonewright/SoundStatSource.h"
#include "tonewright/Split.h"
#include "tonewright/Tag.h"

namespace twpy {

namespace {

using tonewright::JobError;

// The exception of a job stopped by its progress callback (tw.Cancelled).
PyObject* gCancelled = nullptr;

// The Python keyword of a library setting: jobs.py's names.
std::string keywordOf(const std::string& setting) {
    static const std::map<std::string, std::string> names = {
        {"thresholdDb", "threshold"}, {"truePeakDb", "true_peak"}, {"maxGainDb", "max_gain"},
        {"bitRate", "bitrate"},       {"targetDb", "target"},      {"targetLufs", "target"},
        {"loudnessTarget", "target"}, {"nameTemplate", "name"},    {"keepBefore", "keep"},
        {"keepAfter", "keep"},        {"fromCue", "from_cue"},     {"inputs", "files"}};
    const auto it = names.find(setting);
    if (it != names.end()) return it->second;
    std::string out;
    for (char c : setting) {
        if (std::isupper(static_cast<unsigned char>(c))) {
            out += '_';
            out += char(std::tolower(static_cast<unsigned char>(c)));
        } else {
            out += c;
        }
    }
    return out;
}

// The JobControl of one call, and what its callbacks met in Python: an
// exception (Ctrl-C, or one the progress callback or warnings.warn raised) is
// kept, the job cancelled, and the exception raised after the job returned.
class Control {
public:
    Control(py::object progress, bool overwrite) : mProgress(std::move(progress)) {
        mControl.overwrite = overwrite;
        mControl.progress = [this](const tonewright::JobProgress& p) { return onProgress(p); };
        mControl.warning = [this](const std::string& message) { onWarning(message); };
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    const tonewright::JobControl& control() const { return mControl; }

    // Raises what the callbacks kept (GIL held).
    void raiseKept() {
        if (mKeptType) {
            PyErr_Restore(mKeptType.release().ptr(), mKeptValue.release().ptr(), mKeptTrace.release().ptr());
            throw py::error_already_set();
        }
    }

    // Raises the Python exception of a job error (GIL held).
    [[noreturn]] void raise(const JobError& e) {
        raiseKept();
        switch (e.kind) {
        case JobError::Kind::Setting: {
            const std::string name = keywordOf(e.file);
            std::string text = name.empty() ? std::string("invalid setting") : name;
            if (!e.what.empty()) text += ": " + e.what;
            if (!e.cause.empty()) text += ": " + e.cause;
            throw py::value_error(text);
        }
        case JobError::Kind::Input:
        case JobError::Kind::Output: {
            std::string text = e.what + (e.cause.empty() ? std::string() : ": " + e.cause);
            // The library's causes name the tool's option; here it is a keyword.
            for (size_t at = text.find("use -y"); at != std::string::npos; at = text.find("use -y", at))
                text.replace(at, 6, "use overwrite=True");
            std::error_code ec;
            if (e.kind == JobError::Kind::Input && !e.file.empty() &&
                !std::filesystem::exists(std::filesystem::symlink_status(e.file, ec)))
                raiseErrno(PyExc_FileNotFoundError, ENOENT, text, e.file);
            raiseErrno(PyExc_OSError, EIO, text, e.file);
        }
        case JobError::Kind::Cancelled:
            PyErr_SetString(gCancelled, e.message().c_str());
            throw py::error_already_set();
        case JobError::Kind::Processing:
        default:
            throw std::runtime_error(e.message());
        }
    }

private:
    bool onProgress(const tonewright::JobProgress& p) {
        // The jobs report every block (a thousand times a minute of sound);
        // the GIL is taken, and Python called, at most every 20 ms, at each new
        // pass and at a pass's end. A false answer has cancelled the job already.
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        if (p.pass == mLastPass.load() && (p.total <= 0 || p.done < p.total) && now - mLastCall.load() < kProgressNs)
            return true;
        mLastPass = p.pass;
        mLastCall = now;
        py::gil_scoped_acquire gil;
        if (mKeptType) return false;
        if (PyErr_CheckSignals() != 0) {
            keep();
            return false;
        }
        if (!mProgress || mProgress.is_none()) return true;
        try {
            const py::object r = mProgress(p);
            return !(r.ptr() == Py_False);
        } catch (py::error_already_set& e) {
            e.restore();
            keep();
            return false;
        }
    }

    void onWarning(const std::string& message) {
        py::gil_scoped_acquire gil;
        if (mKeptType) return;
        if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) != 0)
            keep();  // warnings turned into errors: stop at the next step
    }

    // Takes the Python error indicator into the kept exception (GIL held).
    void keep() {
        PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
        PyErr_Fetch(&type, &value, &trace);
        mKeptType = py::reinterpret_steal<py::object>(type);
        mKeptValue = py::reinterpret_steal<py::object>(value);
        mKeptTrace = py::reinterpret_steal<py::object>(trace);
    }

    py::object mProgress;
    tonewright::JobControl mControl;
    py::object mKeptType, mKeptValue, mKeptTrace;
    // When Python was last called, and for which pass; atomic because a job
    // may report from more than one thread.
    static constexpr int64_t kProgressNs = 20'000'000;
    std::atomic<int64_t> mLastCall{std::numeric_limits<int64_t>::min() / 2};
    std::atomic<int> mLastPass{-1};
};

// Runs `job` with the GIL released; its report's JSON, or the error raised.
template <class Job>
std::string run(Control& c, Job job) {
    auto result = [&] {
        py::gil_scoped_release release;
        return job(c.control());
    }();
    c.raiseKept();
    if (!result) c.raise(result.error());
    return tonewright::toJson(*result);
}

unsigned bitRateOf(int kbits) { return kbits < 0 ? 0u : unsigned(kbits); }

}  // namespace

void bindJobs(py::module_& m) {
    gCancelled = PyErr_NewExceptionWithDoc("tonewright._tonewright.Cancelled",
                                           "A job stopped because its progress callback returned False.",
                                           PyExc_Exception, nullptr);
    m.add_object("Cancelled", py::handle(gCancelled));

    py::class_<tonewright::JobProgress>(m, "JobProgress", "Where a job is: one pass over a file of several.")
        .def_readonly("done", &tonewright::JobProgress::done, "frames of the current pass done")
        .def_readonly("total", &tonewright::JobProgress::total, "frames of the current pass (0: not known)")
        .def_property_readonly("pass", [](const tonewright::JobProgress& p) { return p.pass; }, "the current pass, from 0")
        .def_readonly("passes", &tonewright::JobProgress::passes, "passes the job expects")
        .def_property_readonly("fraction", &tonewright::JobProgress::fraction, "of the whole job, 0 to 1")
        .def("__repr__", [](const tonewright::JobProgress& p) {
            return "JobProgress(done=" + std::to_string(p.done) + ", total=" + std::to_string(p.total) +
                   ", pass=" + std::to_string(p.pass) + ", passes=" + std::to_string(p.passes) + ")";
        });

    m.def("_info", [](const std::string& input, py::object progress, bool overwrite) {
        Control c(std::move(progress), overwrite);
        tonewright::InfoSettings s;
        s.input = input;
        return run(c, [&](const tonewright::JobControl& jc) { return tonewright::info(s, jc); });
    });

    m.def("_analyse", [](const std::string& input, double threshold, bool save, const std::string& reference,
                         double maxCorrection, bool reuse, py::object progress, bool overwrite) {
        Control c(std::move(progress), overwrite);
        tonewright::AnalyseSettings s;
        s.input = input;
        s.thresholdDb = threshold;
        s.save = save;
        s.referenceName = reference;
        s.maxCorrection = maxCorrection;
        s.reuse = reuse;
        return run(c, [&](const tonewright::JobControl& jc) { return tonewright::analyse(s, jc); });
    });

    m.def("_split", [](const std::string& input, const std::string& output, double minSilence, double threshold,
                       py::object cutAt, py::object keepBefore, py::object keepAfter, double minLength,
                       bool mergeShort, int bitrate, bool dryRun, const std::string& name, bool cue, bool m3u,
                       const std::string& fromCue, py::object progress, bool overwrite) {
        Control c(std::move(progress), overwrite);
        tonewright::SplitSettings s;
        s.input = input;
        s.output = output;
        s.minSilence = minSilence;
        s.thresholdDb = threshold;
        if (!cutAt.is_none()) s.cutAt = cutAt.cast<double>();
        if (!keepBefore.is_none()) {
            s.keep = true;
            s.keepBefore = keepBefore.cast<double>();
            s.keepAfter = keepAfter.cast<double>();
        }
        s.minLength = minLength;
        s.mergeShort = mergeShort;
        s.bitRate = bitRateOf(bitrate);
        s.dryRun = dryRun;
        s.nameTemplate = name;
        s.cue = cue;
        s.m3u = m3u;
        s.fromCue = fromCue;
        return run(c, [&](const tonewright::JobControl& jc) { return tonewright::split(s, jc); });
    });

    // target: dB RMS per region, or LUFS when loudness.
    auto levelSettings = [](double target, bool loudness, double truePeak, double maxGain, double threshold,
                            int bitrate, bool dither, bool reanalyse) {
        tonewright::LevelSettings s;
        s.loudnessTarget = loudness;
        (loudness ? s.targetLufs : s.targetDb) = target;
        s.truePeakDb = truePeak;
        s.maxGainDb = maxGain;
        s.thresholdDb = threshold;
        s.bitRate = bitRateOf(bitrate);
        s.dither = dither;
        s.reanalyse = reanalyse;
        return s;
    };
    m.def("_level", [levelSettings](const std::string& input, const std::string& output, double target,
                                    bool loudness, double truePeak, double maxGain, double threshold, int bitrate,
                                    bool dither, bool reanalyse, py::object progress, bool overwrite) {
        Control c(std::move(progress), overwrite);
        tonewright::LevelSettings s =
            levelSettings(target, loudness, truePeak, maxGain, threshold, bitrate, dither, reanalyse);
        s.input = input;
        s.output = output;
        return run(c, [&](const tonewright::JobControl& jc) { return tonewright::level(s, jc); });
    });
    m.def("_level_album", [levelSettings](const std::vector<std::string>& inputs,
                                          const std::vector<std::string>& outputs, double target, double truePeak,
                                          double maxGain, double threshold, int bitrate, bool dither, bool reanalyse,
                                          py::object progress, bool overwrite) {
        if (inputs.size() != outputs.size()) raiseValue("outputs: give one output per input");
        Control c(std::move(progress), overwrite);
        const tonewright::LevelSettings s =
            levelSettings(target, true, truePeak, maxGain, threshold, bitrate, dither, reanalyse);
        std::vector<std::pair<std::filesystem::path, std::filesystem::path>> files;
        for (size_t i = 0; i < inputs.size(); ++i) files.emplace_back(inputs[i], outputs[i]);
        auto result = [&] {
            py::gil_scoped_release release;
            return tonewright::levelAlbum(s, files, c.control());
        }();
        c.raiseKept();
        if (!result) c.raise(result.error());
        std::vector<std::string> out;
        for (const tonewright::LevelReport& r : *result) out.push_back(tonewright::toJson(r));
        return out;
    });

    m.def("_correct", [](const std::string& input, const std::string& output, const std::string& reference,
                         double maxCorrection, double truePeak, double threshold, int bitrate, bool dither,
                         bool reanalyse, py::object progress, bool overwrite) {
        Control c(std::move(progress), overwrite);
        tonewright::CorrectSettings s;
        s.input = input;
        s.output = output;
        s.reference = reference;
        s.maxCorrection = maxCorrection;
        s.truePeakDb = truePeak;
        s.thresholdDb = threshold;
        s.bitRate = bitRateOf(bitrate);
        s.dither = dither;
        s.reanalyse = reanalyse;
        return run(c, [&](const tonewright::JobControl& jc) { return tonewright::correct(s, jc); });
    });

    m.def("_eq", [](const std::string& input, const std::string& output, const std::string& preset,
                    const std::vector<double>& gains, py::object bassBoost, double outputGain, double truePeak,
                    int bitrate, bool dither, py::object progress, bool overwrite) {
        Control c(std::move(progress), overwrite);
        tonewright::EqSettings s;
        s.input = input;
        s.output = output;
        s.preset = preset;
        s.gains = gains;
        if (!bassBoost.is_none()) {
            s.bassBoost = true;
            s.bassBoostGain = bassBoost.cast<double>();
        }
        s.outputGain = outputGain;
        s.truePeakDb = truePeak;
        s.bitRate = bitRateOf(bitrate);
        s.dither = dither;
        return run(c, [&](const tonewright::JobControl& jc) { return tonewright::eq(s, jc); });
    });

    m.def("_tag", [](const std::vector<std::string>& inputs, bool album, py::object progress, bool overwrite) {
        Control c(std::move(progress), overwrite);
        tonewright::TagSettings s;
        for (const std::string& i : inputs) s.inputs.emplace_back(i);
        s.album = album;
        auto result = [&] {
            py::gil_scoped_release release;
            return tonewright::tag(s, c.control());
        }();
        c.raiseKept();
        if (!result) c.raise(result.error());
        // Every file is tagged or the first that was not raises (the others stay tagged).
        std::vector<std::string> out;
        for (const tonewright::TagFileReport& f : result->files) {
            if (!f.tagged) c.raise(f.error);
            out.push_back(tonewright::toJson(f));
        }
        return out;
    });

    m.def("_fingerprint", [](const std::string& path) {
        SoundStatSource source;
        QString error;
        bool ok = false;
        {
            py::gil_scoped_release release;
            ok = SoundStatSource::measure(toQString(path), source, &error);
        }
        if (!ok) raiseFile(path, "cannot read", error);
        return toStd(source.fingerprint);
    });
}

}  // namespace twpy
