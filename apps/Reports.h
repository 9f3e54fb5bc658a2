#pragma once
// The text summaries of the library jobs' reports that more than one job of
// the tool prints (the demo shows those of level and correct).
#include <QString>

#include "tonewright/Correct.h"
#include "tonewright/Level.h"

namespace cli {

QString levelSummary(const tonewright::LevelReport& r);
QString correctSummary(const tonewright::CorrectReport& r);

}  // namespace cli
