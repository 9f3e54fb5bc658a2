// Modes built from the elementary algorithms.
#include "FileTool.h"
#include "tonewright/SoundAlgoElementary.h"

namespace {
filetool::FileToolMode scale("scale", "[dB=-3]  one SoundAlgoScale", [](const QStringList& args, unsigned) {
    const double db = args.isEmpty() ? -3.0 : args[0].toDouble();
    return SoundRef<SoundAlgoScale>::make(db).release();
});
}  // namespace
