#include "jobs/InputTags.h"

#include "tonewright/SoundTagFile.h"

namespace tonewright {
namespace detail {

SoundIDTag inputTags(const QString& input, SoundReader& reader) {
    SoundIDTag tags;
    if (!SoundTagFile::isTaggable(input) || SoundTagFile::read(input, tags) != SoundTools::Ok) tags = SoundIDTag();
    SoundIDTag fromReader;
    reader.getTags(fromReader);
    for (std::string SoundIDTag::*f : {&SoundIDTag::title, &SoundIDTag::artist, &SoundIDTag::album, &SoundIDTag::year,
                                       &SoundIDTag::comment, &SoundIDTag::genre})
        if ((tags.*f).empty()) tags.*f = fromReader.*f;
    if (tags.cover.isEmpty()) {
        tags.cover = fromReader.cover;
        tags.coverMimeType = fromReader.coverMimeType;
    }
    if (tags.year == "0") tags.year.clear();
    if (tags.track == "0") tags.track.clear();
    // The readers' own guess from the whole path is not taken.
    if (tags.track.empty()) tags.track = SoundTagFile::trackFromFileName(input);
    return tags;
}

}  // namespace detail
}  // namespace tonewright
