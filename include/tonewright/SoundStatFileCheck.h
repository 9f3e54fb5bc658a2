#pragma once
// Whether a statistics file (SoundStatFile.h) can be trusted as the analysis
// of a recording before a host reuses it instead of analysing again: its
// content matches its "Checksum" (files written before files were sealed
// have none and are checked field by field only), every key has the JSON type
// and range its writer gives it, and the parts agree with each other (one
// more band than band edges, one sample rate, one length of the recording,
// regions in order and within the recording, slopes within the regions).
// SoundStatFile::readJSonFile loads what it can of any statistics file; this
// check is the one that refuses a damaged one.
//
// Stateless; any thread.
#include <QString>

#include "tonewright/Export.h"

namespace SoundStatFileCheck {

// Empty when the statistics file of `path` (SoundStatFile::getStatFileName)
// can be reused; otherwise why not, in words, naming the file and the field at
// fault: "take.ssf : damaged statistics file, "BandStats" holds 9 bands for 9
// band edges (one more band than edges)".
TONEWRIGHT_API QString validate(const QString& path);

}  // namespace SoundStatFileCheck
