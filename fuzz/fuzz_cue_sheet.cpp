// Bytes as a CUE sheet: parsed; a sheet that parses is written back, and its
// text must parse to the same tracks. Positions go through the conversions to
// and from sample frames that cutting at a sheet uses.
#include <cstdlib>

#include "FuzzKit.h"
#include "tonewright/SoundCueSheet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::quiet();
    SoundCueSheet sheet;
    QString why;
    if (!sheet.parse(QByteArray(reinterpret_cast<const char*>(data), int(size)), &why)) return 0;
    SoundCueSheet again;
    if (!again.parse(sheet.toText(), &why) || again.tracks.size() != sheet.tracks.size()) std::abort();
    for (size_t k = 0; k < sheet.tracks.size(); ++k) {
        const SoundCueSheet::Track& t = sheet.tracks[k];
        if (again.tracks[k].start != t.start || again.tracks[k].number != t.number) std::abort();
        const int64_t frames = SoundCueSheet::toSampleFrames(t.start, 44100);
        if (SoundCueSheet::toCdFrames(frames, 44100) != t.start) std::abort();
    }
    return 0;
}
