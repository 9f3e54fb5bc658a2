#include "jobs/InputTags.h"

#include <iterator>

#include "tonewright/SoundTagFile.h"

namespace tonewright {
namespace detail {

namespace {
// Every field the file carries, with the reader's for those the tag layer left empty.
SoundIDTag carriedTags(const QString& input, SoundReader& reader) {
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
    return tags;
}

}  // namespace

SoundIDTag inputTags(const QString& input, SoundReader& reader) {
    SoundIDTag tags = carriedTags(input, reader);
    // The readers' own guess from the whole path is not taken.
    if (tags.track.empty()) tags.track = SoundTagFile::trackFromFileName(input);
    return tags;
}

SoundIDTag outputTags(const QString& input, SoundReader& reader) {
    SoundIDTag tags = carriedTags(input, reader);
    for (auto it = tags.extra.begin(); it != tags.extra.end();)
        it = it->first.compare(0, 11, "REPLAYGAIN_") == 0 ? tags.extra.erase(it) : std::next(it);
    return tags;
}

}  // namespace detail
}  // namespace tonewright
