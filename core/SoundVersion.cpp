#include "tonewright/SoundVersion.h"

namespace SoundTools {
const char* libraryVersion() { return TONEWRIGHT_VERSION_STRING; }
}  // namespace SoundTools
