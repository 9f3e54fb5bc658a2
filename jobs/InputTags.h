#pragma once
// Private to the library: the tags of an input recording as the jobs show and
// copy them.
#include <QString>

#include "tonewright/SoundIDTag.h"
#include "tonewright/SoundReader.h"

namespace tonewright {
namespace detail {

// What the file really carries (every field, through the tag layer), what its
// reader gives for fields the tag layer found empty, and a track number from
// the leading number of the file name itself when no tag gives one. Fields a
// file leaves at zero (MP3 years and track numbers) count as absent.
SoundIDTag inputTags(const QString& input, SoundReader& reader);

// The tags a processed copy of the input keeps: every field and the cover, as
// inputTags gives them but without the guess from the file name, and without
// ReplayGain fields, which the processing has made wrong.
SoundIDTag outputTags(const QString& input, SoundReader& reader);

}  // namespace detail
}  // namespace tonewright
