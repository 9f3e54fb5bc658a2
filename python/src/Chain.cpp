// tw.Chain's engine: a composite built from the library's algorithm
// descriptions, run by the library's block loop over the caller's arrays.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <memory>

#include "ArrayIO.h"
#include "Common.h"
#include "Module.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoDescription.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundPlayer.h"

namespace twpy {
namespace {

QJsonArray parseList(const std::string& json) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(json.data(), int(json.size())), &error);
    if (doc.isNull()) raiseValue("not JSON text: " + toStd(error.errorString()));
    if (doc.isObject()) return QJsonArray{doc.object()};
    if (!doc.isArray()) raiseValue("a chain is described by a JSON array of algorithm descriptions");
    return doc.array();
}

// The algorithm of one description; ValueError with the reason when refused.
SoundRef<SoundAlgo> build(const QJsonValue& description, int index) {
    QString why = QStringLiteral("an algorithm description is a JSON object");
    SoundAlgo* algo = description.isObject() ? SoundTools::buildFromDescription(description.toObject(), &why) : nullptr;
    if (!algo) raiseValue((index >= 0 ? "algorithm " + std::to_string(index) + ": " : std::string()) + toStd(why));
    return SoundRef<SoundAlgo>::adopt(algo);
}

// Checks one description (builds it and lets it go).
void check(const std::string& json) {
    const QJsonArray list = parseList(json);
    for (int i = 0; i < list.size(); ++i) build(list[i], list.size() > 1 ? i : -1);
}

// One pass of a chain: the composite, the reader and writer over arrays, and
// the loop's state between calls.
class Runner {
public:
    // Builds the chain for a new pass over streams shaped like `audio` (any
    // pass still open is dropped). The length of the stream is that of audio
    // when `whole`, else unknown (fed piece by piece).
    void start(const std::string& json, py::handle audio, py::handle rate, bool whole) {
        BusyGuard busy(mBusy, "this Chain");
        const ArrayView view = viewOf(audio);
        const unsigned sr = checkRate(rate);
        const QJsonArray list = parseList(json);
        auto chain = SoundRef<SoundAlgoComposite>::make("Chain");
        for (int i = 0; i < list.size(); ++i) chain->pushAlgo(build(list[i], i).release());
        // An empty chain passes the stream as it is.
        if (list.isEmpty()) chain->pushAlgo(new SoundAlgoScale(0.0));
        if (chain->getInputNumber() != 1 || chain->getOutputNumber() != 1)
            raiseValue("a chain must take one stream and give one: these algorithms take " +
                       std::to_string(chain->getInputNumber()) + " and give " +
                       std::to_string(chain->getOutputNumber()) + " (follow a crossover with a mixer)");
        drop();
        mChain = std::move(chain);
        mReader = std::make_unique<ArrayReader>(sr, whole ? view.frames : 0);
        mWriter = std::make_unique<CollectWriter>(sr);
        mRate = sr;
        mRows = view.rows;
        mDouble = view.isDouble;
        mWhole = whole;
        mCtx = SoundAlgo::LoopContext();
        SoundTools::Status status;
        {
            py::gil_scoped_release release;
            status = mChain->initProcessLoop(*mReader, mCtx);
        }
        if (status != SoundTools::Ok) {
            const QString cause = lastError();
            mChain.reset();
            raiseRuntime("the chain cannot start", cause);
        }
        mRunning = true;
    }

    // Runs the blocks the stream now holds; with `final`, the end of the stream
    // too (the pass ends). Returns the frames that became final.
    py::array feed(py::handle audio, bool final) {
        BusyGuard busy(mBusy, "this Chain");
        if (!mRunning) throw py::value_error("no pass is running");
        std::unique_ptr<ArrayView> view;
        if (!audio.is_none()) {
            view = std::make_unique<ArrayView>(viewOf(audio));
            if (view->rows != mRows)
                raiseValue("this pass carries " + std::to_string(mRows) + " channel(s), not " +
                           std::to_string(view->rows));
        }
        // A whole pass goes straight into its result: the input's frames and
        // the delay's.
        // A part of a stream goes straight into an array as long as all the
        // stream now holds (what the loop gives back cannot be more before
        // the end).
        py::array whole;
        const bool direct = final && mWhole;
        const int64_t frames = direct  ? mReader->getFrameNB() + int64_t(delay())
                               : final ? 0
                                       : mReader->available() + (view ? view->frames : 0);
        if (frames > 0) {
            whole = mDouble ? py::array(py::array_t<double>({int64_t(mRows), frames}))
                            : py::array(py::array_t<float>({int64_t(mRows), frames}));
            mWriter->target(whole.mutable_data(), mDouble, mRows, frames);
        }
        SoundTools::Status status = SoundTools::Ok;
        {
            py::gil_scoped_release release;
            mReader->feed(view.get());
            for (;;) {
                // Only whole blocks until the end is known: the blocks are then
                // those of a run over the whole stream, however it was cut.
                if (!final && mReader->available() < int64_t(nextRead())) break;
                status = mChain->singleProcessLoop(*mReader, mCtx, mWriter.get());
                if (status != SoundTools::Ok) break;
            }
            mReader->holdRest();
        }
        const bool failed = status == SoundTools::Error || status == SoundTools::Interrupted;
        const QString cause = failed ? lastError() : QString();
        if (final || failed) {
            py::gil_scoped_release release;
            mChain->endProcessLoop(mCtx);
            mRunning = false;
        }
        if (failed) raiseRuntime("the chain failed", cause);
        const int64_t filled = mWriter->targetFilled();
        mWriter->target(nullptr, mDouble, mRows, 0);
        if (frames > 0 && filled == whole.shape(1) && mWriter->frames().empty()) return whole;
        py::array out = toArray(mWriter->frames(), mRows, mDouble);
        mWriter->frames().clear();
        if (frames == 0) return out;
        // Not the length expected: the two parts put together (a new array).
        py::object numpy = py::module_::import("numpy");
        py::object head = whole[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::slice(0, filled, 1))];
        return numpy.attr("concatenate")(py::make_tuple(head, out), 1);
    }

    bool running() const { return mRunning; }
    unsigned rate() const { return mRate; }
    unsigned rows() const { return mRows; }
    unsigned delay() const { return mChain ? mChain->getDelay(mRate) : 0u; }
    unsigned block() const { return mRunning ? nextRead() : 0u; }

    ~Runner() { drop(); }

private:
    // Frames the next block reads: the input buffer less what it keeps (the
    // delay's lead-in on the first block, the input overlap afterwards), as
    // SoundReader::stereoRead counts them.
    unsigned nextRead() const {
        const SoundBuffer& in = *mCtx.inBuffer;
        unsigned kept;
        if (mCtx.frameNbProcessed == 0) {
            kept = mCtx.delay;
        } else {
            const unsigned have = in.getFrameNB(), margin = mCtx.inOverlap;
            kept = margin < have ? margin : (margin > 0 && have > 0 ? have : 0u);
        }
        return in.getFrameNBAllocated() > kept ? in.getFrameNBAllocated() - kept : 1u;
    }

    void drop() {
        if (mRunning && mChain) mChain->endProcessLoop(mCtx);
        mRunning = false;
    }

    SoundRef<SoundAlgoComposite> mChain;
    std::unique_ptr<ArrayReader> mReader;
    std::unique_ptr<CollectWriter> mWriter;
    SoundAlgo::LoopContext mCtx;
    unsigned mRate = 0, mRows = 2;
    bool mDouble = false, mRunning = false, mWhole = false;
    std::atomic<bool> mBusy{false};
};

// The player's equaliser: band frequencies (Hz), widths (octaves), the
// bass-boost band and the presets.
class EqualizerHolder : public SoundPlayer {
public:
    EqualizerHolder() : SoundPlayer(nullptr, nullptr, true) {}
    void preload() override {}
    void start() override {}
    void stop() override {}
    void endOfData() override {}

    py::dict layout() const {
        py::list freqs, widths;
        for (size_t i = 0; i + 1 < mEqBuilders.size(); ++i) {
            freqs.append(mEqBuilders[i]->freq());
            widths.append(mEqBuilders[i]->width());
        }
        py::dict presets;
        for (const Preset& p : mPresets) presets[py::str(toStd(p.name))] = py::cast(p.levels);
        py::dict d;
        d["frequencies"] = freqs;
        d["widths"] = widths;
        d["bass_boost_frequency"] = mEqBuilders.empty() ? 0.0 : mEqBuilders.back()->freq();
        d["bass_boost_gain"] = mEqBuilders.empty() ? 0.0 : mEqBuilders.back()->gain();
        d["presets"] = presets;
        return d;
    }
};

}  // namespace

void bindChain(py::module_& m) {
    py::class_<Runner>(m, "Runner")
        .def(py::init<>())
        .def("start", &Runner::start, py::arg("descriptions"), py::arg("audio"), py::arg("samplerate"),
             py::arg("whole"))
        .def("feed", &Runner::feed, py::arg("audio"), py::arg("final"))
        .def_property_readonly("running", &Runner::running)
        .def_property_readonly("samplerate", &Runner::rate)
        .def_property_readonly("rows", &Runner::rows)
        .def_property_readonly("delay", &Runner::delay)
        .def_property_readonly("block", &Runner::block);
    m.def("check_descriptions", &check, py::arg("descriptions"));
    m.def("equalizer_layout", [] { return EqualizerHolder().layout(); });
}

}  // namespace twpy
