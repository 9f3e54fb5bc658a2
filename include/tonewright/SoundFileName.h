#pragma once
// How the library reads a file name: drive prefix, folder, file part, base name
// and extension. The reader and writer factories choose a class by the
// extension; the multi-file writer numbers segment files from the base name.
#include <QString>
#include <string>

#include "tonewright/Export.h"

namespace SoundTools {

// All parts are in the local 8-bit encoding, with '\' already turned into '/'.
struct FileNameParts {
    std::string name;       // the whole name
    std::string drive;      // text before the first ':' (empty when there is none)
    std::string folder;     // between the drive prefix and the last '/', trailing '/' dropped
    std::string file;       // after the last '/' (after the drive prefix when there is no '/')
    std::string base;       // the file part before its last '.'
    std::string extension;  // after the last '.' of the file part, without the dot
};

TONEWRIGHT_API FileNameParts splitFileName(const QString& name);

// The extension in ASCII lower case.
TONEWRIGHT_API std::string lowerExtension(const QString& name);

}  // namespace SoundTools
