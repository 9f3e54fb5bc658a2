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
#include "tonewright/SoundAlgoFFT.h"
#include "tonewright/SoundAlgoEqFIR.h"
#include "tonewright/SoundAlgoFFTFilter.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoTruePeakLimiter.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoMultibandAmplifier.h"
#include "tonewright/SoundAlgoGapFinder.h"
#include "tonewright/SoundAlgoNoiseGate.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"
#include "tonewright/SoundAlgoStatAnalysis.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundFilterBuilders.h"

namespace rel {
namespace {

using namespace SoundTools;
constexpr unsigned kRate = 44100;

// Takes over the one reference a member pointer carries.
template <typename T>
SoundRef<SoundAlgo> own(T* algo) {
    return SoundRef<SoundAlgo>::adopt(algo);
}

template <typename T, typename... Args>
SoundRef<SoundAlgo> make(Args&&... args) {
    return SoundRef<SoundAlgo>(SoundRef<T>::make(std::forward<Args>(args)...));
}

// A new algorithm whose creator's reference goes to the composite it is pushed
// into (or to own()).
template <typename T, typename... Args>
T* fresh(Args&&... args) {
    return SoundRef<T>::make(std::forward<Args>(args)...).release();
}

// Feeds `algo` (of `inputs` inputs) with that many different streams made from
// the one input: gains and a short delay, so that nothing cancels out.
SoundRef<SoundAlgo> fanIn(SoundAlgo* algo, unsigned inputs) {
    auto top = SoundRef<SoundAlgoComposite>::make("fan-in");
    auto split = SoundRef<SoundAlgoComposite>::make("split");
    for (unsigned i = 0; i < inputs; ++i) {
        if (i > 0) split->addNewBranch();
        if (i % 2 == 0)
            split->pushAlgo(SoundRef<SoundAlgoScale>::make(-3.0 * i).release());
        else
            split->pushAlgo(SoundRef<SoundAlgoDelay>::make(double(7 * i) / kRate, false).release());
    }
    top->pushAlgo(split.release());
    top->pushAlgo(algo);
    return own(top.release());
}

// Adds the outputs of an algorithm of several outputs back into one.
SoundRef<SoundAlgo> mixDown(SoundAlgo* algo) {
    const unsigned outputs = algo->getOutputNumber();
    auto top = SoundRef<SoundAlgoComposite>::make("mix-down");
    top->pushAlgo(algo);
    if (outputs > 1) top->pushAlgo(SoundRef<SoundAlgoAdd>::make(int(outputs), true).release());
    return own(top.release());
}

SoundRef<SoundAlgo> chain(std::vector<SoundAlgo*> members) {
    auto c = SoundRef<SoundAlgoComposite>::make("chain");
    for (SoundAlgo* m : members) c->pushAlgo(m);
    return own(c.release());
}

// A detector with regions of the table's test stream: loud, quiet, loud.
SoundRef<RMSStepDetector> someRegions() {
    return tk::detectorFromList({tk::region(0, 20000, -12, -13), tk::region(20000, 15000, -60, -61, true),
                                 tk::region(35000, 100000, -6, -7)});
}

class ScaleBuilder : public SoundAlgoComposite::FrequencyAlgoBuilder {
public:
    void buildAlgo(SoundAlgoComposite* target, int band, const QString&) override {
        target->pushAlgo(SoundRef<SoundAlgoScale>::make(-1.0 * band).release());
    }
};

SoundRef<SoundAlgo> multiband(SoundAlgoComposite::SplitterType type, bool parallel) {
    auto c = SoundRef<SoundAlgoComposite>::make("multiband");
    ScaleBuilder builder;
    c->buildMultibandTree({200.0, 1000.0, 5000.0}, builder, type);
    c->setParallelBranches(parallel);
    return own(c.release());
}

SoundRef<SoundAlgo> fftRoundTrip(unsigned size, bool overlap, bool window) {
    return chain({SoundRef<SoundAlgoFFTDirectCompute>::make(size, overlap, window).release(),
                  SoundRef<SoundAlgoFFTInverseCompute>::make(false).release()});
}

// FFT statistics sit in a branch beside the stream, as the analysis puts them.
SoundRef<SoundAlgo> besideTheStream(std::vector<SoundAlgo*> branch) {
    auto c = SoundRef<SoundAlgoComposite>::make("beside");
    c->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
    c->addNewBranch();
    for (SoundAlgo* m : branch) c->pushAlgo(m);
    auto top = SoundRef<SoundAlgoComposite>::make("beside-top");
    top->pushAlgo(c.release());
    top->pushAlgo(SoundRef<SoundAlgoSelectChannel>::make(0, 2).release());
    return own(top.release());
}

SoundRef<SoundAlgo> filterOf(std::vector<std::shared_ptr<FilterBuilder>> builders) {
    auto f = SoundRef<SoundAlgoFilter>::make();
    for (auto& b : builders) f->pushFilter(b);
    return own(f.release());
}

}  // namespace

const std::vector<AlgoEntry>& algorithmTable() {
    static const std::vector<AlgoEntry> table = {
        // ---- elementary
        {"Scale", [] { return make<SoundAlgoScale>(-3.0); }},
        {"Delay", [] { return make<SoundAlgoDelay>(0.01, false); }},
        {"Delay as overlap", [] { return make<SoundAlgoDelay>(0.01, true); }},
        {"Bypass with overlaps and delay", [] { return make<SoundAlgoBypass>(300u, 77u, 50u); }},
        {"Add of 3", [] { return fanIn(fresh<SoundAlgoAdd>(3, true), 3); }},
        {"Add, 3 outputs, select 1", [] { return fanIn(chain({fresh<SoundAlgoAdd>(3, false), fresh<SoundAlgoSelectChannel>(1, 3)}).release(), 3); }},
        {"AddSqr of 2", [] { return fanIn(fresh<SoundAlgoAddSqr>(2, true), 2); }},
        {"Sub of 2", [] { return fanIn(fresh<SoundAlgoSub>(2, true), 2); }},
        // ---- composites
        {"Chain with delays and overlaps",
         [] { return chain({fresh<SoundAlgoBypass>(200u, 0u, 0u), fresh<SoundAlgoDelay>(0.005, false), fresh<SoundAlgoScale>(1.0)}); }},
        {"Branches of different delays, padded",
         [] {
             auto c = SoundRef<SoundAlgoComposite>::make("padded");
             c->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
             c->addNewBranch();
             c->pushAlgo(SoundRef<SoundAlgoBypass>::make(0u, 100u, 0u).release());
             c->addNewBranch();
             c->pushAlgo(SoundRef<SoundAlgoLimiter>::make(-1.0).release());
             return mixDown(c.release());
         }},
        {"Multiband tree, first-order splits, parallel", [] { return multiband(SoundAlgoComposite::FirstOrderSplit, true); }, true, false},
        {"Multiband tree, biquad splits, serial", [] { return multiband(SoundAlgoComposite::BiquadSplit, false); }, true, false},
        {"Multiband tree, crossovers, parallel", [] { return multiband(SoundAlgoComposite::CrossoverSplit, true); }},
        // ---- filters
        {"Filter of builders",
         [] {
             return filterOf({std::make_shared<BiquadEqBuilder>(BandEq, 500.0, 1.0, 6.0),
                              std::make_shared<BiquadEqBuilder>(HighShelf, 5000.0, 1.0, -4.0),
                              std::make_shared<Order4FilterBuilder>(HighPass, 40.0),
                              std::make_shared<Order6FilterBuilder>(LowPass, 12000.0),
                              std::make_shared<Order1FilterBuilder>(LowPass, 15000.0)});
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
        {"FFT and back, overlapped, windowed", [] { return fftRoundTrip(512, true, true); }, true, false},
        {"FFT and back, plain", [] { return fftRoundTrip(1024, false, false); }, true, false},
        {"FFT statistics beside the stream",
         [] { return besideTheStream({fresh<SoundAlgoFFTDirectCompute>(1024, true, true), fresh<SoundAlgoFFTStats>()}); }},
        {"FFT equaliser, band-pass", [] { return make<SoundAlgoEqFFT>(BandPass, 300.0, 3000.0, 2048u); }, true, false},
        {"FFT filter, high-pass, in a chain of its own",
         [] {
             return chain({fresh<SoundAlgoFFTDirectCompute>(1024u, true, false),
                           fresh<SoundAlgoFFTFilter>(HighPass, 1000.0, 0.0, 1024u),
                           fresh<SoundAlgoFFTInverseCompute>(false)});
         }, true, false},
        {"FFT bin translation",
         [] {
             return chain({fresh<SoundAlgoFFTDirectCompute>(1024u, false, false), fresh<SoundAlgoFFTTranslate>(5),
                           fresh<SoundAlgoFFTInverseCompute>(false)});
         }, true, false},
        {"Autocorrelation chain", [] { return make<SoundFFTAutocorrelChain>(2048u); }, true, false},
        // Synthesises a tone for each block it is given, its phase starting
        // again at every block: its output follows the block size by design.
        {"Autocorrelation statistics", [] { return make<SoundAutocorrelStats>(3); }, false, false},
        // ---- dynamics
        {"Step detector, pass-through", [] { return make<RMSStepDetector>(-40.0, 0.2, 1.0, RMSStepDetector::PassThrough, false); }},
        {"Step detector, region RMS", [] { return make<RMSStepDetector>(-40.0, 0.05, 1.0, RMSStepDetector::RegionRMS, false); }},
        {"Step detector, window mean square, real time",
         [] { return make<RMSStepDetector>(-40.0, 0.1, 1.0, RMSStepDetector::WindowMeanSquare, true); }},
        {"RMS amplifier", [] { return make<SoundAlgoRMSAmplifier>(-14.0, someRegions().get(), 0.5); }},
        {"Multiband amplifier, IIR crossovers",
         [] {
             return make<SoundAlgoFilterMultibandAmplifier>(std::vector<double>{200.0, 2000.0, 8000.0}, -14.0, 0.005,
                                                            0.1, 0.5, someRegions().get(),
                                                            SoundAlgoComposite::CrossoverSplit);
         }},
        {"Multiband amplifier, biquad splits, with offsets",
         [] {
             return make<SoundAlgoFilterMultibandAmplifier>(std::vector<double>{500.0, 4000.0}, -14.0, 0.005, 0.1, 0.5,
                                                            someRegions().get(), SoundAlgoComposite::BiquadSplit, 0,
                                                            10.0, std::vector<double>{2.0, -1.0, 0.0});
         }, true, false},
        {"Multiband amplifier, FFT bands, recombined",
         [] {
             return make<SoundAlgoFFTMultibandAmplifier>(std::vector<double>{300.0, 3000.0}, -14.0, 0.005, 0.05,
                                                         someRegions().get(), 2048u, true);
         }, true, false},
        {"Multiband amplifier, FFT bands, one output each",
         [] {
             return mixDown(fresh<SoundAlgoFFTMultibandAmplifier>(std::vector<double>{300.0, 3000.0}, -14.0, 0.005,
                                                                  0.05, someRegions().get(), 2048u, false));
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
        const QString text = QString::fromUtf8(f.readAll());
        auto it = declaration.globalMatch(text);
        while (it.hasNext()) {
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
