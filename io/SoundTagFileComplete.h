#pragma once
// Private to the library: the tags a writer adds to a file it has just
// finished, over those its encoder wrote (libsndfile's comment fields stay).
#include <QString>

#include "tonewright/SoundIDTag.h"
#include "tonewright/SoundTools.h"

namespace SoundTagFileComplete {

// As SoundTagFile::write, but the fields of the record are set over those the
// file holds instead of replacing them all, and pictures are replaced only
// when the record has a cover.
SoundTools::Status complete(const QString& fileName, const SoundIDTag& tag);

}  // namespace SoundTagFileComplete
