#pragma once
// Reading and writing whole files through the library's readers and writers, and
// a tag record as one line of text, for the tests of files and formats.
#include <memory>

#include "common/TestKit.h"
#include "tonewright/SoundIDTag.h"

namespace tk {

// Every frame the reader still gives, read in blocks of `block` frames.
Frames readAll(SoundReader& reader, unsigned block = 4096);

// A reader from the factory, opened on `path`; null when either step fails
// (the library's error text says why).
std::unique_ptr<SoundReader> openReader(const QString& path);

// `frames` through a unity pass, in blocks of `block`, into `writer`, which is
// opened on `path` first (after which `tags`, when given, are set) and closed
// after. The run's status; Error when the open fails.
SoundTools::Status writeThrough(SoundWriter& writer, const QString& path, const Frames& frames, unsigned rate,
                                unsigned block = 1024, const SoundIDTag* tags = nullptr);

// The same into a writer the factory makes for `path`; false when any step fails.
bool writeFile(const QString& path, const Frames& frames, unsigned rate, SoundTools::SoundFormat format,
               const SoundIDTag* tags = nullptr, unsigned kbps = 192);

// Every field of the record, one "name=value" line each (the cover as hex), so
// that two records compare in one expectation that shows every difference.
std::string tagText(const SoundIDTag& tag);

}  // namespace tk
