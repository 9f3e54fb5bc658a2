// Versions of the file libraries, for hosts that report them (a --version).
#include <mpg123.h>
#include <sndfile.h>
#include <taglib/taglib.h>

#include <string>

#include "tonewright/SoundMp3.h"
#include "tonewright/SoundVersion.h"

namespace {

// libsndfile says "libsndfile-1.2.0"; the name is given separately.
std::string withoutPrefix(const char* text, const char* prefix) {
    std::string s = text ? text : "";
    const std::string p = prefix;
    if (s.compare(0, p.size(), p) == 0) s.erase(0, p.size());
    return s;
}

std::string mpg123Version() {
#if MPG123_API_VERSION >= 48
    return mpg123_distversion(nullptr, nullptr, nullptr);
#elif defined(TONEWRIGHT_MPG123_VERSION)
    return TONEWRIGHT_MPG123_VERSION;
#else
    return "API " + std::to_string(MPG123_API_VERSION);
#endif
}

std::string taglibVersion() {
    return std::to_string(TAGLIB_MAJOR_VERSION) + "." + std::to_string(TAGLIB_MINOR_VERSION) + "." +
           std::to_string(TAGLIB_PATCH_VERSION);
}

}  // namespace

namespace SoundTools {

std::vector<DependencyVersion> dependencyVersions() {
    const char* lame = SoundWriterMp3::lameVersion();
    return {{"libsndfile", withoutPrefix(sf_version_string(), "libsndfile-")},
            {"mpg123", mpg123Version()},
            {"TagLib", taglibVersion()},
            {"LAME", lame ? std::string(lame) : std::string()}};
}

}  // namespace SoundTools
