#pragma once
// File names that are not valid in the locale's encoding (a Latin-1 "\xe9.wav"
// on a UTF-8 system) must reach the C libraries byte for byte. Qt 5 turns
// such bytes into U+FFFD when it decodes a name, and the name is lost: the
// file "does not exist". The host therefore installs, once at start, a locale
// codec that is UTF-8 for valid text and keeps every byte that is not: each
// such byte b becomes the lone surrogate U+DC00 + b, and back. Then
// QFile::decodeName / encodeName (and everything of Qt that opens files)
// round-trip any name.
//
// Installed from main() before the arguments are read, on UTF-8 systems only;
// other locale encodings are left as they are.
namespace cli {

void installFileNameCodec();

}  // namespace cli
