#include "AlgorithmTable.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <map>

#include "common/Recordings.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoBassBoost.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoEqFIR.h"
#include "tonewright/SoundAlgoFFT.h"
#include "tonewright/SoundAlgoFFTFilter.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoGapFinder.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoMultibandAmplifier.h"
#include "tonewright/SoundAlgoNoiseGate.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"
#include "tonewright/SoundAlgoStatAnalysis.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundAlgoTruePeakLimiter.h"
#include "tonewright/SoundFilterBuilders.h"

namespace rel {
namespace {

using namespace SoundTools;
using Members = std::vector<SoundAlgo*>;
constexpr unsigned kRate = 44100;

template <typename T, typename... Args>
SoundRef<SoundAlgo> make(Args&&... args) {
    return SoundRef<SoundAlgo>(SoundRef<T>::make(std::forward<Args>(args)...));
}

// A new algorithm whose creator's reference goes to the composite it is pushed into.
template <typename T, typename... Args>
T* fresh(Args&&... args) {
    return SoundRef<T>::make(std::forward<Args>(args)...).release();
}

// A composite of side-by-side branches; it takes over the members' references.
SoundRef<SoundAlgoComposite> branches(const std::vector<Members>& list) {
    auto c = SoundRef<SoundAlgoComposite>::make("table");
    tk::fill(*c, list);
    return c;
}

SoundRef<SoundAlgo> chain(const Members& members) { return SoundRef<SoundAlgo>(branches({members})); }

// Feeds `algo` (of `inputs` inputs) with that many different streams made from
// the one input: gains and a short delay, so that nothing cancels out.
SoundRef<SoundAlgo> fanIn(SoundAlgo* algo, unsigned inputs) {
    std::vector<Members> split;
    for (unsigned i = 0; i < inputs; ++i)
        split.push_back({i % 2 == 0 ? static_cast<SoundAlgo*>(fresh<SoundAlgoScale>(-3.0 * i))
                                    : fresh<SoundAlgoDelay>(double(7 * i) / kRate, false)});
    return chain({branches(split).release(), algo});
}

// Adds the outputs of an algorithm of several outputs back into one.
SoundRef<SoundAlgo> mixDown(SoundAlgo* algo) {
    const unsigned outputs = algo->getOutputNumber();
    return outputs > 1 ? chain({algo, fresh<SoundAlgoAdd>(int(outputs), true)}) : chain({algo});
}

// A detector with regions of the table's test stream: loud, quiet, loud.
SoundRef<RMSStepDetector> someRegions() {
    return tk::detectorFromList({tk::region(0, 20000, -12, -13), tk::region(20000, 15000, -60, -61, true),
                                 tk::region(35000, 100000, -6, -7)});
}

class ScaleBuilder : public SoundAlgoComposite::FrequencyAlgoBuilder {
public:
    void buildAlgo(SoundAlgoComposite* target, int band, const QString&) override {
        target->pushAlgo(fresh<SoundAlgoScale>(-1.0 * band));
    }
};

SoundRef<SoundAlgo> multiband(SoundAlgoComposite::SplitterType type, bool parallel) {
    auto c = SoundRef<SoundAlgoComposite>::make("multiband");
    ScaleBuilder builder;
    c->buildMultibandTree({200.0, 1000.0, 5000.0}, builder, type);
    c->setParallelBranches(parallel);
    return SoundRef<SoundAlgo>(std::move(c));
}

SoundRef<SoundAlgo> inSpectrum(unsigned size, bool overlap, bool window, Members between = {}) {
    between.insert(between.begin(), fresh<SoundAlgoFFTDirectCompute>(size, overlap, window));
    between.push_back(fresh<SoundAlgoFFTInverseCompute>(false));
    return chain(between);
}

}  // namespace

const std::vector<AlgoEntry>& algorithmTable() {
    using MBA = SoundAlgoFilterMultibandAmplifier;
    using FFTMBA = SoundAlgoFFTMultibandAmplifier;
    using Split = SoundAlgoComposite;
    using Detector = RMSStepDetector;
    static const std::vector<AlgoEntry> table = {
        // ---- elementary
        {"Scale", [] { return make<SoundAlgoScale>(-3.0); }},
        {"Delay", [] { return make<SoundAlgoDelay>(0.01, false); }},
        {"Delay as overlap", [] { return make<SoundAlgoDelay>(0.01, true); }},
        {"Bypass", [] { return make<SoundAlgoBypass>(); }},
        {"Bypass with overlaps and delay", [] { return make<SoundAlgoBypass>(300u, 77u, 50u); }},
        {"Add of 3", [] { return fanIn(fresh<SoundAlgoAdd>(3, true), 3); }},
        {"Add, 3 outputs, select 1",
         [] { return fanIn(chain({fresh<SoundAlgoAdd>(3, false), fresh<SoundAlgoSelectChannel>(1, 3)}).release(), 3); }},
        {"AddSqr of 2", [] { return fanIn(fresh<SoundAlgoAddSqr>(2, true), 2); }},
        {"Sub of 2", [] { return fanIn(fresh<SoundAlgoSub>(2, true), 2); }},
        // ---- composites
        {"Chain with delays and overlaps",
         [] {
             return chain({fresh<SoundAlgoBypass>(200u, 0u, 0u), fresh<SoundAlgoDelay>(0.005, false), fresh<SoundAlgoScale>(1.0)});
         }},
        {"Branches of different delays, padded",
         [] {
             return mixDown(branches({{fresh<SoundAlgoScale>(0.0)}, {fresh<SoundAlgoBypass>(0u, 100u, 0u)},
                                      {fresh<SoundAlgoLimiter>(-1.0)}}).release());
         }},
        {"Multiband tree, first-order splits, parallel", [] { return multiband(Split::FirstOrderSplit, true); }, true, false},
        {"Multiband tree, biquad splits, serial", [] { return multiband(Split::BiquadSplit, false); }, true, false},
        {"Multiband tree, crossovers, parallel", [] { return multiband(Split::CrossoverSplit, true); }},
        // ---- filters
        {"Filter of builders",
         [] {
             auto f = SoundRef<SoundAlgoFilter>::make(std::make_shared<Order4FilterBuilder>(HighPass, 40.0));
             f->pushFilter(std::make_shared<BiquadEqBuilder>(BandEq, 500.0, 1.0, 6.0));
             f->pushFilter(std::make_shared<BiquadEqBuilder>(HighShelf, 5000.0, 1.0, -4.0));
             f->pushFilter(std::make_shared<Order6FilterBuilder>(LowPass, 12000.0));
             f->pushFilter(std::make_shared<Order1FilterBuilder>(LowPass, 15000.0));
             return SoundRef<SoundAlgo>(std::move(f));
         }},
        {"FIR equaliser, band-stop", [] { return make<SoundAlgoEqFIR>(BandStop, 800.0, 2500.0); }, true, false},
        {"FIR equaliser, low-pass, with gain",
         [] {
             auto eq = SoundRef<SoundAlgoEqFIR>::make(LowPass, 4000.0, 0.0);
             eq->SetOutputGain(-2.0);
             return SoundRef<SoundAlgo>(std::move(eq));
         }, true, false},
        {"Biquad equaliser", [] { return make<SoundAlgoFilterBiquad>(BandEq, 1000.0, 1.0, 3.0); }},
        {"Filter split", [] { return mixDown(fresh<SoundAlgoFilterSplit>(std::make_shared<Order1FilterBuilder>(LowPass, 500.0))); }},
        {"Crossover", [] { return mixDown(fresh<SoundAlgoFilterCrossover>(1000.0)); }},
        // ---- FFT
        {"FFT and back, overlapped, windowed", [] { return inSpectrum(512, true, true); }, true, false},
        {"FFT and back, plain", [] { return inSpectrum(1024, false, false); }, true, false},
        // FFT statistics sit in a branch beside the stream, as the analysis puts them.
        {"FFT statistics beside the stream",
         [] {
             auto beside = branches({{fresh<SoundAlgoScale>(0.0)},
                                     {fresh<SoundAlgoFFTDirectCompute>(1024, true, true), fresh<SoundAlgoFFTStats>()}});
             return chain({beside.release(), fresh<SoundAlgoSelectChannel>(0, 2)});
         }},
        {"FFT equaliser, band-pass", [] { return make<SoundAlgoEqFFT>(BandPass, 300.0, 3000.0, 2048u); }, true, false},
        {"FFT filter, high-pass, in a chain of its own",
         [] { return inSpectrum(1024u, true, false, {fresh<SoundAlgoFFTFilter>(HighPass, 1000.0, 0.0, 1024u)}); }, true, false},
        {"FFT bin translation", [] { return inSpectrum(1024u, false, false, {fresh<SoundAlgoFFTTranslate>(5)}); }, true, false},
        {"Autocorrelation chain", [] { return make<SoundFFTAutocorrelChain>(2048u); }, true, false},
        // Synthesises a tone for each block it is given, its phase starting
        // again at every block: its output follows the block size by design.
        {"Autocorrelation statistics", [] { return make<SoundAutocorrelStats>(3); }, false, false},
        // ---- dynamics
        {"Step detector, pass-through", [] { return make<Detector>(-40.0, 0.2, 1.0, Detector::PassThrough, false); }},
        {"Step detector, region RMS", [] { return make<Detector>(-40.0, 0.05, 1.0, Detector::RegionRMS, false); }},
        {"Step detector, window mean square, real time",
         [] { return make<Detector>(-40.0, 0.1, 1.0, Detector::WindowMeanSquare, true); }},
        {"RMS amplifier", [] { return make<SoundAlgoRMSAmplifier>(-14.0, someRegions().get(), 0.5); }},
        {"Multiband amplifier, IIR crossovers",
         [] {
             return make<MBA>(std::vector<double>{200.0, 2000.0, 8000.0}, -14.0, 0.005, 0.1, 0.5, someRegions().get(),
                              Split::CrossoverSplit);
         }},
        {"Multiband amplifier, biquad splits, with offsets",
         [] {
             return make<MBA>(std::vector<double>{500.0, 4000.0}, -14.0, 0.005, 0.1, 0.5, someRegions().get(),
                              Split::BiquadSplit, 0, 10.0, std::vector<double>{2.0, -1.0, 0.0});
         }, true, false},
        {"Multiband amplifier, FFT bands, recombined",
         [] {
             return make<FFTMBA>(std::vector<double>{300.0, 3000.0}, -14.0, 0.005, 0.05, someRegions().get(), 2048u, true);
         }, true, false},
        {"Multiband amplifier, FFT bands, one output each",
         [] {
             return mixDown(fresh<FFTMBA>(std::vector<double>{300.0, 3000.0}, -14.0, 0.005, 0.05, someRegions().get(), 2048u,
                                          false));
         }, true, false},
        {"Gap finder", [] { return make<SoundAlgoGapFinder>(0.3); }},
        {"Noise gate", [] { return make<SoundAlgoNoiseGate>(-30.0, 0.01, 0.05); }},
        {"Noise gate, long window, slow fade", [] { return make<SoundAlgoNoiseGate>(-45.0, 0.2, 0.3); }},
        {"Integrator", [] { return make<SoundAlgoFWIntegrator>(0.01); }},
        {"Bass boost", [] { return make<SoundAlgoBassBoost>(6.0, 100.0, 300.0, 0.01); }},
        {"Limiter", [] { return make<SoundAlgoLimiter>(-1.0, 0.005, 0.1); }},
        {"Simple limiter", [] { return make<SoundAlgoSimpleLimiter>(0.005); }},
        {"True-peak limiter", [] { return make<SoundAlgoTruePeakLimiter>(-6.0); }, true, false},
        // ---- statistics
        {"Level statistics and RMS", [] { return make<SoundAlgoStats>(SoundAlgoStats::StatsAndRMS, 0.2); }, true, false},
        {"Level RMS only", [] { return make<SoundAlgoStats>(SoundAlgoStats::RMSOnly, 0.05); }, true, false},
        {"Level statistics only", [] { return make<SoundAlgoStats>(SoundAlgoStats::StatsOnly, 0.0); }},
        {"Loudness", [] { return make<SoundAlgoLoudness>(1.0); }},
        {"Statistics analysis",
         [] {
             SoundAlgoStatAnalysis::Settings s;
             s.fftSize = 1024;
             return make<SoundAlgoStatAnalysis>(s);
         }},
    };
    return table;
}

void collectClassNames(SoundAlgo* algo, std::set<std::string>& names) {
    if (!algo) return;
    names.insert(algo->metaObject()->className());
    if (auto* c = dynamic_cast<SoundAlgoComposite*>(algo))
        for (size_t b = 0; b < c->getBranchNumber(); ++b)
            for (SoundAlgo* m : c->getBranch(b)) collectClassNames(m, names);
}

std::set<std::string> exportedAlgorithmClasses() {
    std::map<std::string, std::string> baseOf;
    const QDir include(QStringLiteral(TW_SOURCE_DIR "/include/tonewright"));
    static const QRegularExpression declaration(QStringLiteral("class\\s+TONEWRIGHT_API\\s+(\\w+)\\s*:\\s*public\\s+([\\w:]+)"));
    for (const QString& name : include.entryList({"*.h"}, QDir::Files)) {
        QFile f(include.filePath(name));
        if (!f.open(QIODevice::ReadOnly)) continue;
        for (auto it = declaration.globalMatch(QString::fromUtf8(f.readAll())); it.hasNext();) {
            const auto m = it.next();
            baseOf[m.captured(1).toStdString()] = m.captured(2).toStdString();
        }
    }
    // Bases that are never run as they are (the multiband amplifier's
    // constructor is for its two kinds only).
    const std::set<std::string> abstract = {"SoundAlgoMulti", "SoundAlgoFFT", "SoundAlgoMultibandAmplifier"};
    std::set<std::string> result;
    for (const auto& [cls, base] : baseOf) {
        std::string b = base;
        for (int depth = 0; depth < 10 && b != "SoundAlgo" && baseOf.count(b); ++depth) b = baseOf[b];
        if (b == "SoundAlgo" && !abstract.count(cls)) result.insert(cls);
    }
    return result;
}

}  // namespace rel
