#pragma once
// Files made and read by tools outside the library, as independent models for the
// file readers and writers: a hand-made WAV writer, decoding through ffmpeg,
// stream properties and tags through ffprobe, and Python with mutagen.
#include <map>

#include "common/TestKit.h"

namespace tk {

// The text in single quotes for /bin/sh.
std::string shellQuote(const std::string& text);
std::string shellQuote(const QString& text);

// A 16-bit PCM WAV written without the library; a mono file takes the left channel.
bool writeWav16(const QString& path, const Frames& frames, unsigned rate, unsigned channels);

// A valid 1x1 PNG carrying every byte value in a private chunk (zeros and 0xFF
// included, which tag writers must not alter), as a cover picture.
QByteArray pngCover();

// Every frame of the file as ffmpeg decodes it to 16-bit samples; mono gives
// two equal channels.
bool decodeWithFfmpeg(const QString& path, Frames* out);

// ffmpeg's loudness measurement of a file (its ebur128 filter with true peak):
// integrated LUFS, range LU, true peak dBTP (the louder channel). ok is false
// when ffmpeg is missing or its summary cannot be read.
struct FfmpegLoudness {
    bool ok = false;
    double integrated = 0, range = 0, truePeak = 0;
};
FfmpegLoudness ffmpegLoudness(const QString& path);

// ffprobe's "key=value" lines for the given -show_entries argument (for example
// "stream=sample_rate,channels:format=duration:format_tags"); tag keys come as
// "TAG:title". Empty when ffprobe fails.
std::map<std::string, std::string> ffprobe(const QString& path, const std::string& entries);

// A Python interpreter that can import mutagen, or empty when there is none.
std::string mutagenPython();
// Runs a Python script with the interpreter above and the given argument string
// (already quoted); returns the exit code, standard output in out.
int runPython(const std::string& script, const std::string& args, std::string* out = nullptr);

}  // namespace tk
