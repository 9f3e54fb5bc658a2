// Bytes as a piece-name template (UTF-8): parsed, and a template that parses is
// expanded for a few pieces with texts holding folder separators and control
// characters, none of which may reach a name.
#include <cstdlib>
#include <map>

#include "FuzzKit.h"
#include "tonewright/SoundNameTemplate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::quiet();
    SoundNameTemplate t;
    QString why;
    if (!t.parse(QString::fromUtf8(reinterpret_cast<const char*>(data), int(size)), &why)) return 0;
    const std::map<QString, QString> texts = {{"title", "a/b\\c"}, {"artist", QString("x\ny")}, {"album", "{n}"},
                                              {"name", "rec"}};
    for (int n : {1, 9, 10, 123456}) {
        const QString name = t.expand(n, 123456, texts);
        if (name.contains('/') || name.contains('\\') || name.contains('\n')) std::abort();
    }
    return 0;
}
