#pragma once
// The checks a statistics file's document passes before anything in it is
// used: every key the file may hold has the JSON type and the range its writer
// gives it, and the parts agree with each other (one more band than band
// edges, one sample rate, one length of the recording, regions in order inside
// the recording). Internal to the library; hosts call validate
// (tonewright/SoundStatFileCheck.h), which applies them to a file.
#include <QJsonObject>
#include <QString>

#include "tonewright/SoundStatFileCheck.h"

namespace SoundStatFileCheck {

// Empty when the document can be loaded; otherwise what is wrong, naming the
// field ("StepDetector" "Regions"[3] "SampleNb" is negative). A document with
// a "Checksum" must match it; older ones without are checked field by field
// only.
QString problem(const QJsonObject& root);

// SHA-1 (40 hexadecimal digits) of the document without its "Checksum" key,
// over its compact JSON text (keys in order, numbers printed exactly).
QString checksum(QJsonObject root);

}  // namespace SoundStatFileCheck
