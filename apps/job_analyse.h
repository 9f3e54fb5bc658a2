#pragma once
// The text the analyse job prints for one recording and for an album, also
// printed by the demo.
#include <QString>

#include "tonewright/Analyse.h"

namespace cli {

QString analysisSummary(const tonewright::AnalyseReport& a);
QString albumSummary(const tonewright::AlbumLoudness& a);

}  // namespace cli
