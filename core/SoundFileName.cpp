#include "tonewright/SoundFileName.h"

#include <QFile>
#include <algorithm>

namespace SoundTools {

FileNameParts splitFileName(const QString& name) {
    FileNameParts p;
    p.name = QFile::encodeName(name).toStdString();
    std::replace(p.name.begin(), p.name.end(), '\\', '/');

    std::string rest = p.name;
    const size_t colon = p.name.find(':');
    if (colon != std::string::npos) {
        p.drive = p.name.substr(0, colon);
        rest = p.name.substr(colon + 1);
    }
    const size_t slash = rest.rfind('/');
    if (slash == std::string::npos) {
        p.file = rest;
    } else {
        p.file = rest.substr(slash + 1);
        p.folder = rest.substr(0, slash);
        while (!p.folder.empty() && p.folder.back() == '/') p.folder.pop_back();
    }
    const size_t dot = p.file.rfind('.');
    if (dot == std::string::npos) {
        p.base = p.file;
    } else {
        p.base = p.file.substr(0, dot);
        p.extension = p.file.substr(dot + 1);
    }
    return p;
}

std::string lowerExtension(const QString& name) {
    std::string ext = splitFileName(name).extension;
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return ext;
}

}  // namespace SoundTools
