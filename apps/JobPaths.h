#pragma once
// File names between the tool and the library's jobs. The tool holds names as
// Qt decoded them from the command line; a job takes a std::filesystem::path,
// the bytes of the name. Both ways go through QFile's coding, so that a name
// that is no valid UTF-8 still reaches its file and is printed as given.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <filesystem>

namespace cli {

inline std::filesystem::path jobPath(const QString& name) { return QFile::encodeName(name).toStdString(); }
inline QString pathText(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

}  // namespace cli
