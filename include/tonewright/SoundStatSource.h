#pragma once
// SoundStatSource: what a statistics file records of the recording it was made
// from, so that a later job can tell whether the file still describes the
// recording beside it: the frame count and sample rate, the file's size and
// modification time, and a fingerprint of the decoded samples.
//
// The fingerprint is a SHA-1 over a few short blocks of decoded frames spread
// evenly over the recording (the whole recording when it is short), the frames
// quantised to 24 bits first so that it does not hang on the last bits of a
// double. It costs a handful of seeks and reads, not a decode of the file, and
// tells apart two recordings of the same length and rate, or one recording
// whose gain changed. The same reader type decoding the same file always gives
// the same fingerprint; a different decoder version may not (the recording
// then reads as changed and is analysed again, which is safe).
//
// Threading: a plain value; measure() drives the reader it is given, on the
// caller's thread.
#include <QJsonObject>
#include <QString>
#include <cstdint>

#include "tonewright/Export.h"

class SoundReader;

struct TONEWRIGHT_API SoundStatSource {
    int64_t frames = -1;   // frames of the recording (-1: unknown)
    unsigned sampleRate = 0;  // Hz
    int64_t fileSize = -1;    // bytes
    int64_t modified = 0;     // modification time, milliseconds since 1970 (UTC)
    QString fingerprint;      // 40 hexadecimal digits

    // Blocks the fingerprint reads, and their length in frames.
    static constexpr int kBlocks = 16;
    static constexpr unsigned kBlockFrames = 2048;

    bool isEmpty() const { return fingerprint.isEmpty(); }

    // Describes the file at `path`, decoded by `reader` (open on that file). The
    // reader is left rewound to the start of the recording with its start
    // point at 0. False with the cause in *error when the file cannot be read.
    static bool measure(const QString& path, SoundReader& reader, SoundStatSource& out, QString* error);
    // The same with a reader of its own.
    static bool measure(const QString& path, SoundStatSource& out, QString* error);

    // Why this (stored) description is not that of `actual`, in words; empty
    // when it is. The modification time is not compared: a copy of a file is
    // the same recording.
    QString differenceFrom(const SoundStatSource& actual) const;

    // JSON object: "Frames", "SampleRate", "FileSize", "Modified" (numbers),
    // "Fingerprint" (text).
    void writeToJSon(QJsonObject& object) const;
    // False (out untouched) when a key is missing, of another type or out of
    // range; *cause then names the key.
    static bool readFromJSon(const QJsonObject& object, SoundStatSource& out, QString* cause);
};
