// Modes that time the readers and writers themselves: the chain passes frames on
// unchanged, so file decoding and encoding are all that is measured.
#include "FileTool.h"
#include "tonewright/SoundAlgoElementary.h"

namespace {
filetool::FileToolMode bypass("bypass", "           frames unchanged (reader and writer cost only)",
                              [](const QStringList&, unsigned) { return SoundRef<SoundAlgoBypass>::make().release(); });
}  // namespace
