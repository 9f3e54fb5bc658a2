#include "tonewright/SoundNameTemplate.h"

namespace {
const char* const kTextFields[] = {"title", "artist", "album", "genre", "date", "name"};

bool isTextField(const QString& f) {
    for (const char* k : kTextFields)
        if (f == k) return true;
    return false;
}

QString fileSafe(QString s) {
    for (QChar& c : s)
        if (c == '/' || c == '\\' || c.unicode() < 0x20 || c.unicode() == 0x7F) c = '-';
    return s;
}
}  // namespace

bool SoundNameTemplate::parse(const QString& text, QString* error) {
    auto fail = [&](const QString& why) {
        if (error) *error = why;
        return false;
    };
    std::vector<Part> parts;
    if (text.isEmpty()) return fail("the name template is empty");
    if (text.contains('/') || text.contains('\\'))
        return fail("the name template holds a folder separator; pieces go into the output folder");
    for (int i = 0; i < text.size(); ++i)
        if (text[i].unicode() < 0x20 || text[i].unicode() == 0x7F)
            return fail(QString("the name template holds a control character at character %1; "
                                "a file name cannot carry it").arg(i + 1));
    QString literal;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == '}') {
            if (i + 1 < text.size() && text[i + 1] == '}') {
                literal += '}';
                ++i;
                continue;
            }
            return fail(QString("'}' without '{' at character %1 of the name template").arg(i + 1));
        }
        if (c != '{') {
            literal += c;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '{') {
            literal += '{';
            ++i;
            continue;
        }
        const int close = text.indexOf('}', i + 1);
        if (close < 0) return fail(QString("'{' at character %1 of the name template is not closed").arg(i + 1));
        const QString inside = text.mid(i + 1, close - i - 1);
        Part p;
        const int colon = inside.indexOf(':');
        p.field = colon < 0 ? inside : inside.left(colon);
        if (colon >= 0) {
            const QString width = inside.mid(colon + 1);
            bool ok = false;
            const int w = width.toInt(&ok);
            if (p.field != "n" || !ok || !width.startsWith('0') || width.size() != 2 || w < 1 || w > 9)
                return fail("'{" + inside + "}': only the number takes a width, as {n:02} (1 to 9 digits)");
            p.width = w;
        }
        if (p.field != "n" && p.field != "total" && !isTextField(p.field))
            return fail("unknown field '{" + p.field +
                        "}' in the name template (use n, total, title, artist, album, genre, date or name)");
        if (!literal.isEmpty()) parts.push_back(Part{literal, QString(), 0});
        literal.clear();
        parts.push_back(p);
        i = close;
    }
    if (!literal.isEmpty()) parts.push_back(Part{literal, QString(), 0});
    mParts = std::move(parts);
    return true;
}

QString SoundNameTemplate::expand(int n, int total, const std::map<QString, QString>& texts) const {
    QString out;
    for (const Part& p : mParts) {
        if (p.field.isEmpty())
            out += p.literal;
        else if (p.field == "n")
            out += QString("%1").arg(n, p.width, 10, QChar('0'));
        else if (p.field == "total")
            out += QString::number(total);
        else {
            const auto it = texts.find(p.field);
            if (it != texts.end()) out += fileSafe(it->second);
        }
    }
    return out;
}

bool SoundNameTemplate::numbersPieces() const {
    for (const Part& p : mParts)
        if (p.field == "n") return true;
    return false;
}
