// The measurements: loudness, gaps, regions, band levels and the reference
// curves, run by the library's block loop over a file or an array. Results go
// back as plain Python values (dicts, lists, NumPy arrays); the package turns
// them into its dataclasses.
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <memory>

#include "ArrayIO.h"
#include "Common.h"
#include "Module.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoGapFinder.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoStatAnalysis.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatReference.h"

namespace twpy {
namespace {

// Runs an analysis over the source: a file name (str), or an array with its
// rate. Returns the source's rate. The GIL is released while it runs.
unsigned analyse(SoundAlgo& algo, py::handle source, py::handle rate) {
    if (py::isinstance<py::str>(source)) {
        if (!rate.is_none()) raiseValue("samplerate is given for arrays only; a file has its own");
        const std::string path = source.cast<std::string>();
        const QString name = toQString(path);
        if (SoundReader::isRecognized(name)) checkReadable(path, "cannot measure");
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(name));
        if (!reader) {
            if (!QFileInfo::exists(name)) raiseFile(path, "cannot open", QString());
            raiseValue("'" + path + "' is not a sound file name the library reads (wav, flac, ogg, mp3)");
        }
        SoundTools::Status status;
        QString cause;
        {
            py::gil_scoped_release release;
            status = reader->open(name);
            if (status == SoundTools::Ok) status = algo.processAll(*reader, nullptr);
            if (status != SoundTools::Ok) cause = lastError();
        }
        if (status != SoundTools::Ok) raiseFile(path, "cannot measure", cause);
        return reader->getSampleRate();
    }
    const ArrayView view = viewOf(source);
    if (rate.is_none()) raiseValue("samplerate is needed with an array");
    const unsigned sr = checkRate(rate);
    ArrayReader reader(sr, view.frames);
    SoundTools::Status status;
    QString cause;
    {
        py::gil_scoped_release release;
        reader.feed(&view);
        status = algo.processAll(reader, nullptr);
        reader.feed(nullptr);
        if (status != SoundTools::Ok) cause = lastError();
    }
    if (status != SoundTools::Ok) raiseRuntime("the measurement failed", cause);
    return sr;
}

py::array_t<double> numbers(const std::vector<double>& v) {
    py::array_t<double> a(v.size());
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

py::dict loudness(py::handle source, py::handle rate, double step, unsigned truePeakRate) {
    auto meter = SoundRef<SoundAlgoLoudness>::make(step);
    meter->setTruePeakRate(truePeakRate);
    const unsigned sr = analyse(*meter, source, rate);
    py::dict d;
    d["samplerate"] = sr;
    d["frames"] = meter->getFrameCount();
    d["integrated"] = meter->getIntegrated();
    d["range"] = meter->getRange();
    d["max_momentary"] = meter->getMaxMomentary();
    d["max_short_term"] = meter->getMaxShortTerm();
    d["sample_peak"] = py::make_tuple(meter->getSamplePeak(0), meter->getSamplePeak(1));
    d["true_peak"] = py::make_tuple(meter->getTruePeak(0), meter->getTruePeak(1));
    d["step"] = meter->getShortTermStep();
    d["momentary"] = numbers(meter->getMomentary());
    d["short_term"] = numbers(meter->getShortTerm());
    return d;
}

py::dict gaps(py::handle source, py::handle rate, double minSilence, double threshold, double floorMargin,
              double maxFloor) {
    auto finder = SoundRef<SoundAlgoGapFinder>::make(minSilence, threshold, floorMargin, maxFloor);
    const unsigned sr = analyse(*finder, source, rate);
    py::list list;
    for (const SoundAlgoGapFinder::Gap& g : finder->getGaps()) list.append(py::make_tuple(g.begin, g.frames, g.levelDb));
    py::dict d;
    d["samplerate"] = sr;
    d["frames"] = finder->getFrameCount();
    d["gaps"] = list;
    d["sound_start"] = finder->getSoundBegin();
    d["sound_end"] = finder->getSoundEnd();
    d["level"] = finder->getLevel();
    d["floor"] = finder->getFloor();
    d["ceiling"] = finder->getCeiling();
    return d;
}

double powerDb(double meanSquare) { return meanSquare > 1e-20 ? 10.0 * std::log10(meanSquare) : -200.0; }

py::dict regions(py::handle source, py::handle rate, double threshold, double window, double minSlope) {
    auto detector = SoundRef<RMSStepDetector>::make(threshold, window, minSlope, RMSStepDetector::NoOutput, false);
    const unsigned sr = analyse(*detector, source, rate);
    py::list list;
    const std::vector<RMSStepDetector::Region> all = detector->getRegions(true);
    const int64_t length = all.empty() ? 0 : detector->getFullLength();
    for (const RMSStepDetector::Region& r : all)
        if (r.BeginSample < length && r.SampleNb > 0)  // not the end marker
            list.append(py::make_tuple(r.BeginSample, r.SampleNb, powerDb(r.RMSSqrValue0), powerDb(r.RMSSqrValue1),
                                       r.IsNoise));
    QJsonObject description;
    detector->writeToJSon(description);
    py::dict d;
    d["samplerate"] = sr;
    d["frames"] = length;
    d["regions"] = list;
    d["description"] = toStd(QString::fromUtf8(QJsonDocument(description).toJson(QJsonDocument::Compact)));
    return d;
}

// The reference catalog: the library's default, or a file.
SoundStatReferenceCatalog catalogOf(py::handle catalog) {
    SoundStatReferenceCatalog c;
    if (catalog.is_none()) {
        if (!c.readDefaultCatalog()) raiseRuntime("the default reference catalog cannot be read", lastError());
    } else {
        const std::string path = catalog.cast<std::string>();
        if (!c.readJSonFile(toQString(path))) raiseFile(path, "cannot read the catalog", lastError());
    }
    return c;
}

py::dict curve(const SoundStatReference& r) {
    py::dict d;
    d["name"] = toStd(r.getName());
    d["frequencies"] = numbers(r.getFrequencies());
    d["levels"] = numbers(r.getLevels());
    d["version"] = toStd(r.getVersion());
    return d;
}

py::list references(py::handle catalog) {
    py::list out;
    const SoundStatReferenceCatalog c = catalogOf(catalog);
    for (const SoundStatReference& r : c.getReferenceList())
        if (!r.isEmpty()) out.append(curve(r));
    return out;
}

py::dict bands(py::handle source, py::handle rate, std::vector<double> edges, int splitter, bool spectrum,
               bool reference, py::handle catalog, double maxCorrection) {
    SoundAlgoStatAnalysis::Settings s;
    if (!edges.empty()) s.frequencies = edges;
    s.splitter = SoundAlgoComposite::SplitterType(splitter);
    s.stepDetector = false;
    s.loudness = false;
    s.fftStats = spectrum;
    // Read before the run, so that a bad catalog costs no pass.
    SoundStatReferenceCatalog c;
    if (reference) c = catalogOf(catalog);
    auto analysis = SoundRef<SoundAlgoStatAnalysis>::make(s);
    const unsigned sr = analyse(*analysis, source, rate);
    py::list list;
    const std::vector<SoundAlgoStats*>& stats = analysis->getBandStats();
    for (size_t b = 0; b < stats.size(); ++b) {
        SoundTools::StereoFrame<double> rms(-100.0, -100.0), peak(-100.0, -100.0);
        double full = -100.0;
        if (stats[b]->getTotalCount() > 0) stats[b]->getGlobalStats(rms, full, peak);
        const double lo = b == 0 ? 0.0 : s.frequencies[b - 1];
        const double hi = b < s.frequencies.size() ? s.frequencies[b] : sr / 2.0;
        list.append(py::make_tuple(lo, hi, full, rms.l, rms.r, peak.l, peak.r));
    }
    SoundStatFile file = analysis->getStatFile();
    py::dict d;
    d["samplerate"] = sr;
    d["bands"] = list;
    d["relative"] = numbers(file.getRelativeLevels());
    d["version"] = toStd(file.getVersion());
    py::object match = py::none();
    if (reference) {
        const SoundStatReference nearest = c.getNearestReference(file);
        if (!nearest.isEmpty()) {
            py::dict m = curve(nearest);
            m["distance"] = nearest.getDistance(file);
            m["corrections"] = numbers(nearest.getCorrectedLevels(file, maxCorrection));
            match = m;
        }
    }
    d["reference"] = match;
    return d;
}

}  // namespace

void bindMeasure(py::module_& m) {
    m.def("loudness", &loudness, py::arg("source"), py::arg("samplerate"), py::arg("step"), py::arg("true_peak_rate"));
    m.def("gaps", &gaps, py::arg("source"), py::arg("samplerate"), py::arg("min_silence"), py::arg("threshold"),
          py::arg("floor_margin"), py::arg("max_floor"));
    m.def("regions", &regions, py::arg("source"), py::arg("samplerate"), py::arg("threshold"), py::arg("window"),
          py::arg("min_slope"));
    m.def("bands", &bands, py::arg("source"), py::arg("samplerate"), py::arg("frequencies"), py::arg("splitter"),
          py::arg("spectrum"), py::arg("reference"), py::arg("catalog"), py::arg("max_correction"));
    m.def("references", &references, py::arg("catalog"));
}

}  // namespace twpy
