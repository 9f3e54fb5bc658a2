// Modes built from the filter algorithms and the per-band statistics.
#include <cstdio>

#include "FileTool.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoStats.h"

namespace {
// The player's equaliser bands (Hz).
const std::vector<double> kBands = {60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000};
// Default band levels (dB): all non-zero, so that no band is a no-op.
const double kLevels[9] = {4, -3, 2, -1, 1, -2, 3, -4, 2};

filetool::FileToolMode eq9("eq9", "[dB x9]  nine peaking bands 60..15000 Hz, width 1.9 octaves (SoundAlgoFilterBiquad)",
                           [](const QStringList& args, unsigned) -> SoundAlgo* {
                               auto eq = SoundRef<SoundAlgoFilterBiquad>::make();
                               for (size_t i = 0; i < kBands.size(); ++i) {
                                   const double db = int(i) < args.size() ? args[int(i)].toDouble() : kLevels[i];
                                   eq->pushFilter(SoundTools::BandEq, kBands[i], 1.9, db);
                               }
                               return eq.release();
                           });

filetool::FileToolMode bandstats(
    "bandstats",
    "[first|biquad|crossover [block]]  per-band SoundAlgoStats of a ten-band tree (prints the band levels)",
    [](const QStringList& args, unsigned) -> SoundAlgo* {
        if (args.size() > 1) {
            bool ok = false;
            const unsigned block = args[1].toUInt(&ok);
            if (!ok || block == 0) return nullptr;
            SoundBuffer::setDefaultSize(block);
        }
        SoundAlgoComposite::SplitterType type = SoundAlgoComposite::CrossoverSplit;
        if (!args.isEmpty()) {
            if (args[0] == "first")
                type = SoundAlgoComposite::FirstOrderSplit;
            else if (args[0] == "biquad")
                type = SoundAlgoComposite::BiquadSplit;
            else if (args[0] != "crossover")
                return nullptr;
        }
        // The builder must outlive the run to report; the tree owns the algorithms.
        static SoundAlgoStats::FrequencyBuilder builder;
        auto tree = SoundRef<SoundAlgoComposite>::make("bands");
        tree->buildMultibandTree(kBands, builder, type);
        QObject::connect(tree.get(), &SoundAlgo::notifyEnd, [](int status) {
            if (status != 0) return;
            for (SoundAlgoStats* s : builder.getStatsVector())
                std::fprintf(stderr, "%-14s %8.2f dB\n", qPrintable(s->getId()), s->getFullRMS());
        });
        return tree.release();
    });
}  // namespace
