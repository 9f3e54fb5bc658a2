#pragma once
// Every algorithm class the library exports, each built in a typical setting as
// one runnable algorithm with one stereo input and one stereo output (algorithms
// of several inputs or outputs come inside the small composite that a host puts
// them in). Suites that must hold for every algorithm iterate over this table.
//
// A new algorithm class is one line in AlgorithmTable.cpp. The table is checked
// against the public headers: a class deriving from SoundAlgo that no entry
// builds makes AlgorithmTable.CoversEveryExportedAlgorithm fail.
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundRefCounted.h"

namespace rel {

struct AlgoEntry {
    std::string name;
    std::function<SoundRef<SoundAlgo>()> make;
    // The output does not depend on the block size (true for all but a few).
    bool blockSizeFree = true;
    // Samples that are no numbers are taken as silence at once. Where false, the
    // algorithm's blocks or windows (FIR and FFT blocks, level windows, band
    // splits) may spread them over their length before they pass.
    bool badSamplesAsSilence = true;
};

const std::vector<AlgoEntry>& algorithmTable();

// Class names (Qt meta-object names) of the algorithm and of every member of
// every composite inside it.
void collectClassNames(SoundAlgo* algo, std::set<std::string>& names);

// Classes deriving from SoundAlgo declared with TONEWRIGHT_API in the public
// headers, abstract bases excluded.
std::set<std::string> exportedAlgorithmClasses();

}  // namespace rel
