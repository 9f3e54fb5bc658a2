// Multiband trees: a composite that splits the spectrum at band edges, runs one
// algorithm per band and adds the bands back together.
//
// Each level is a chain  splitter -> sub-composite -> SoundAlgoAdd  where the
// sub-composite (separate inputs) runs the band below the edge in branch 0
// (splitter output 0) and the next level of the tree in branch 1 (output 1).
#include <cmath>

#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoFilter.h"

namespace {
// A band edge as the integer (Hz) shown in band labels.
QString edgeText(double f) {
    return QString::number(std::isfinite(f) && std::fabs(f) < 1e15 ? qlonglong(f) : 0);
}

QString bandLabel(double lo, double hi) { return QString("[%1-%2]").arg(edgeText(lo), edgeText(hi)); }

// The splitter of one level: output 0 the band below freq, output 1 the rest.
SoundAlgo* makeSplitter(SoundAlgoComposite::SplitterType type, double freq) {
    using namespace SoundTools;
    switch (type) {
        case SoundAlgoComposite::FirstOrderSplit:
            return SoundRef<SoundAlgoFilterSplit>::make(std::make_shared<Order1FilterBuilder>(LowPass, freq))
                .release();
        case SoundAlgoComposite::BiquadSplit:
            return SoundRef<SoundAlgoFilterSplit>::make(std::make_shared<BiquadEqBuilder>(LowPass, freq, 1.9, 0.0))
                .release();
        case SoundAlgoComposite::CrossoverSplit:
            return SoundRef<SoundAlgoFilterCrossover>::make(freq).release();
    }
    return nullptr;
}
}  // namespace

void SoundAlgoComposite::buildMultibandTree(const std::vector<double>& freqs, FrequencyAlgoBuilder& builder,
                                            SplitterType type) {
    if (!mWritable) return;
    if (freqs.empty()) {
        // No edge: one band covering everything, nothing to split or add.
        builder.buildAlgo(this, 0, bandLabel(0.0, 22050.0));
        return;
    }
    recursiveBuildMultibandTree(freqs, 0, builder, type);
}

void SoundAlgoComposite::recursiveBuildMultibandTree(const std::vector<double>& freqs, int i,
                                                     FrequencyAlgoBuilder& builder, SplitterType type) {
    // Members made for a read-only composite would have no owner: build nothing.
    if (!mWritable || i < 0 || size_t(i) >= freqs.size()) return;
    const double hi = freqs[size_t(i)];
    const double lo = i == 0 ? 0.0 : freqs[size_t(i) - 1];
    const QString label = bandLabel(lo, hi);

    if (SoundAlgo* splitter = makeSplitter(type, hi)) {
        splitter->setId(label);
        pushAlgo(splitter);
    }
    // References are handed to this composite at once (no SoundRef outlives
    // the statement that made it).
    SoundAlgoComposite* level = SoundRef<SoundAlgoComposite>::make(label, false).release();
    // Branch 0 holds one band, branch 1 the rest of the tree: side by side they
    // would save at most one band's time per block and pay a fork and a join
    // for it.
    level->setParallelBranches(false);
    pushAlgo(level);
    SoundAlgoAdd* sum = SoundRef<SoundAlgoAdd>::make(2, true, nullptr).release();
    sum->setId(label);
    pushAlgo(sum);

    builder.buildAlgo(level, i, label);
    level->addNewBranch();
    if (size_t(i) + 1 < freqs.size())
        level->recursiveBuildMultibandTree(freqs, i + 1, builder, type);
    else
        builder.buildAlgo(level, i + 1, bandLabel(hi, 22050.0));
}
