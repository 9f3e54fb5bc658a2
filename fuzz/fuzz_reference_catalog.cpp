// Bytes as a reference catalog, as JSON text (a path ending in ".json") or as
// binary JSON (any other path), chosen by the first byte: read, names, and for
// every reference the nearest-reference search and the correction filter for a
// fixed statistics file, run over a short stream.
#include <vector>

#include "FuzzKit.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundRefCounted.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatReference.h"

namespace {
// Nine bands of made-up levels, version "1", as the analysis writes them.
const SoundStatFile& statistics() {
    static SoundStatFile file = [] {
        SoundStatFile f;
        const std::vector<double> freqs = SoundStatReference::getDefaultFrequencies();
        std::vector<SoundAlgoStats*> stats;
        for (size_t i = 0; i <= freqs.size(); ++i) {
            QJsonObject o{{"Class", "SoundAlgoStats"}, {"OutputType", 0},         {"WindowTime", 0.2},
                          {"TotalCount", 44100},      {"LeftSqr", 100.0 / (i + 1)}, {"RightSqr", 80.0 / (i + 1)},
                          {"LeftMax", 0.9},           {"RightMax", 0.8},          {"SampleRate", 44100}};
            stats.push_back(SoundAlgoStats::createFromJSon(o));
        }
        f.setStats(freqs, stats, false);
        return f;
    }();
    return file;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::quiet();
    if (size == 0) return 0;
    const bool text = (data[0] & 1) == 0;
    const QString path =
        twfuzz::writeScratch(text ? QStringLiteral("catalog.json") : QStringLiteral("catalog.bin"), data + 1, size - 1);
    SoundStatReferenceCatalog catalog;
    if (!catalog.readJSonFile(path, QStringLiteral("Name_fr"))) return 0;
    catalog.getNameList();
    catalog.getNearestReference(statistics());
    // Bounded: a catalog of thousands of curves would only slow the run.
    size_t built = 0;
    for (const SoundStatReference& ref : catalog.getReferenceList()) {
        if (++built > 8) break;
        catalog.getReference(ref.getName());
        ref.getCorrectedLevels(statistics(), 6.0);
        SoundRef<SoundAlgoFilter> filter =
            SoundRef<SoundAlgoFilter>::adopt(ref.buildCorrectionFilter(statistics(), 6.0, true));
        if (filter) twfuzz::runShortStream(*filter, 2000, 44100);
    }
    return 0;
}
