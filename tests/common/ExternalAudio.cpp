#include "common/ExternalAudio.h"

#include <QDir>
#include <QTemporaryFile>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace tk {

std::string shellQuote(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string shellQuote(const QString& text) { return shellQuote(text.toLocal8Bit().toStdString()); }

namespace {
// `bytes` bytes of v, least significant first (or most significant first).
void put(QByteArray& b, uint32_t v, int bytes, bool bigEndian = false) {
    for (int i = 0; i < bytes; ++i) b.append(char((v >> (8 * (bigEndian ? bytes - 1 - i : i))) & 0xff));
}
uint32_t crc32(const QByteArray& bytes) {
    uint32_t crc = 0xffffffffu;
    for (char ch : bytes) {
        crc ^= uint8_t(ch);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}
void pngChunk(QByteArray& png, const char* type, const QByteArray& data) {
    const QByteArray body = QByteArray(type, 4) + data;
    put(png, uint32_t(data.size()), 4, true);
    png += body;
    put(png, crc32(body), 4, true);
}
}  // namespace

bool writeWav16(const QString& path, const Frames& frames, unsigned rate, unsigned channels) {
    const uint32_t dataBytes = uint32_t(frames.size() * channels * 2);
    QByteArray b("RIFF");
    put(b, 36 + dataBytes, 4);
    b.append("WAVEfmt ");
    // fmt: size, PCM, channels, rate, byte rate, frame size, bits; each with its width in bytes
    const uint32_t fields[][2] = {{16, 4}, {1, 2}, {channels, 2}, {rate, 4}, {rate * channels * 2, 4}, {channels * 2, 2},
                                  {16, 2}};
    for (const auto& field : fields) put(b, field[0], int(field[1]));
    b.append("data");
    put(b, dataBytes, 4);
    for (const Frame& f : frames)
        for (int c = 0; c < int(channels); ++c)
            put(b, uint16_t(int16_t(std::round(std::max(-1.0, std::min(1.0, f[c])) * 32767.0))), 2);
    return writeBytes(path, b);
}

QByteArray pngCover() {
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    pngChunk(png, "IHDR", QByteArray("\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0", 13));  // 1x1, 8-bit RGB
    QByteArray every;
    for (int i = 0; i < 1024; ++i) every.append(char((i * 131 + 7) & 0xff));
    pngChunk(png, "prVt", every);  // a private ancillary chunk: viewers skip it
    pngChunk(png, "IDAT", QByteArray("\x78\x9c\x63\xf8\xcf\xc0\x00\x00\x03\x01\x01\x00", 12));
    pngChunk(png, "IEND", QByteArray());
    return png;
}

bool decodeWithFfmpeg(const QString& path, Frames* out) {
    // WAV on a pipe: its header tells the file's own channel count (ffmpeg's own
    // widening of mono would lower the level); the data runs to the end.
    std::string wav;
    if (runCommand("ffmpeg -v error -i " + shellQuote(path) + " -c:a pcm_s16le -f wav - 2>/dev/null", &wav) != 0)
        return false;
    const size_t fmt = wav.find("fmt ");
    const size_t data = wav.find("data", fmt == std::string::npos ? 0 : fmt);
    if (fmt == std::string::npos || data == std::string::npos || fmt + 12 > wav.size()) return false;
    const size_t c = size_t(uint8_t(wav[fmt + 10])) | size_t(uint8_t(wav[fmt + 11])) << 8;
    if (c != 1 && c != 2) return false;
    const size_t start = data + 8;
    out->resize((wav.size() - start) / (2 * c));
    for (size_t i = 0; i < out->size(); ++i) {
        int16_t s[2];
        std::memcpy(s, wav.data() + start + 2 * c * i, 2 * c);
        (*out)[i] = Frame(s[0] / 32768.0, s[c - 1] / 32768.0);
    }
    return true;
}

std::map<std::string, std::string> ffprobe(const QString& path, const std::string& entries) {
    std::map<std::string, std::string> result;
    std::string text;
    if (runCommand("ffprobe -v error -show_entries " + shellQuote(entries) + " -of default=noprint_wrappers=1 " +
                       shellQuote(path),
                   &text) != 0)
        return result;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) result[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return result;
}

std::string mutagenPython() {
    static const std::string found = [] {
        for (const char* candidate : {"python3", "/usr/bin/python3"})
            if (runCommand(std::string(candidate) + " -c 'import mutagen' >/dev/null 2>&1") == 0) return std::string(candidate);
        return std::string();
    }();
    return found;
}

int runPython(const std::string& script, const std::string& args, std::string* out) {
    const std::string python = mutagenPython();
    QTemporaryFile file(QDir::tempPath() + "/tonewright-script-XXXXXX.py");
    if (python.empty() || !file.open()) return -1;
    file.write(script.data(), qint64(script.size()));
    file.flush();
    return runCommand(python + " " + shellQuote(file.fileName()) + " " + args, out);
}

FfmpegLoudness ffmpegLoudness(const QString& path) {
    FfmpegLoudness out;
    std::string text;
    // The summary goes to the log (stderr) at the end of the run.
    if (runCommand("ffmpeg -nostats -hide_banner -i " + shellQuote(path) + " -af ebur128=peak=true -f null - 2>&1",
                   &text) != 0)
        return out;
    const size_t summary = text.rfind("Summary:");
    if (summary == std::string::npos) return out;
    auto after = [&](const char* key, double* value) {
        const size_t at = text.find(key, summary);
        if (at != std::string::npos) *value = std::strtod(text.c_str() + at + std::strlen(key), nullptr);
        return at != std::string::npos;
    };
    out.ok = after("I:", &out.integrated) && after("LRA:", &out.range) && after("Peak:", &out.truePeak);
    return out;
}

}  // namespace tk
