// Bytes as a statistics file (binary JSON): read and checked, then everything a
// host asks of a loaded file (checked or not: a file that fails the check still
// loads what it can): relative levels, sample rate, the nearest reference of the
// default catalog and the correction filter built from it, run over a short
// stream; and the file written back.
#include "FuzzKit.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundRefCounted.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatFileCheck.h"
#include "tonewright/SoundStatReference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::quiet();
    static SoundStatReferenceCatalog catalog = [] {
        SoundStatReferenceCatalog c;
        c.readDefaultCatalog();
        return c;
    }();
    const QString path = twfuzz::writeScratch(QStringLiteral("input.ssf"), data, size);
    SoundStatFile file;
    if (!file.readJSonFile(path)) return 0;
    SoundStatFileCheck::validate(path);
    file.getRelativeLevels();
    file.getSampleRate();
    const SoundStatReference nearest = catalog.getNearestReference(file);
    if (!nearest.isEmpty()) {
        SoundRef<SoundAlgoFilter> filter = SoundRef<SoundAlgoFilter>::adopt(nearest.buildCorrectionFilter(file, 12.0, true));
        if (filter) twfuzz::runShortStream(*filter, 3000, file.getSampleRate());
    }
    SoundStatFile copy(file);
    copy.writeJSonFile(twfuzz::scratchPath(QStringLiteral("copy.ssf")));
    return 0;
}
