#pragma once
// The picture of an analysis: the level envelope with the regions (noise
// shaded, slopes marked), the band levels (filter bands and spectrum) against
// the nearest reference curve, and the correction equaliser's response when a
// reference was found.
#include "Plot.h"
#include "tonewright/Analyse.h"

namespace cli {

plot::Figure analysisFigure(const tonewright::AnalyseReport& a, int width, int height);

}  // namespace cli
