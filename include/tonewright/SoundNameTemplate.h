#pragma once
// A file-name template such as "{n:02} - {title}": literal text and fields in
// braces, expanded once per piece of a recording.
//
// Fields: {n} the piece number, {n:0W} zero-padded to W digits (1 to 9),
// {total} the number of pieces, and the texts {title}, {artist}, {album},
// {genre}, {date} and {name} (the recording's file name without folder and
// extension). "{{" and "}}" stand for braces. A template holds no folder
// separator: pieces go into one folder. Characters a file name cannot carry
// ('/', '\', control characters) in field texts become '-'.
//
// Plain value; no threading concerns.
#include <QString>
#include <map>
#include <vector>

#include "tonewright/Export.h"

class TONEWRIGHT_API SoundNameTemplate {
public:
    // False, with the cause in words, for an empty template, an unknown field, a
    // brace left open or unmatched, a bad width, a folder separator or a
    // control character.
    bool parse(const QString& text, QString* error);

    // The name for piece n of total; texts are looked up by field name.
    QString expand(int n, int total, const std::map<QString, QString>& texts) const;

    // Whether the template gives a different name to every piece whatever the
    // texts are (it holds {n}).
    bool numbersPieces() const;

private:
    struct Part {
        QString literal;  // when field is empty
        QString field;
        int width = 0;
    };
    std::vector<Part> mParts;
};
