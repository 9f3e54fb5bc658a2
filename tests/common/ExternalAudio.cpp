#include "common/ExternalAudio.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>
#include <algorithm>
#include <cmath>
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
void put16(QByteArray& b, uint16_t v) {
    b.append(char(v & 0xff));
    b.append(char(v >> 8));
}
void put32(QByteArray& b, uint32_t v) {
    put16(b, uint16_t(v & 0xffff));
    put16(b, uint16_t(v >> 16));
}
int16_t toShort(double v) {
    const double s = std::round(std::max(-1.0, std::min(1.0, v)) * 32767.0);
    return int16_t(s);
}
}  // namespace

bool writeWav16(const QString& path, const Frames& frames, unsigned rate, unsigned channels) {
    const uint32_t dataBytes = uint32_t(frames.size() * channels * 2);
    QByteArray b;
    b.append("RIFF");
    put32(b, 36 + dataBytes);
    b.append("WAVEfmt ");
    put32(b, 16);
    put16(b, 1);
    put16(b, uint16_t(channels));
    put32(b, rate);
    put32(b, rate * channels * 2);
    put16(b, uint16_t(channels * 2));
    put16(b, 16);
    b.append("data");
    put32(b, dataBytes);
    for (const Frame& f : frames) {
        put16(b, uint16_t(toShort(f.l)));
        if (channels == 2) put16(b, uint16_t(toShort(f.r)));
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(b) == b.size();
}

namespace {
uint32_t crc32(const QByteArray& bytes) {
    uint32_t crc = 0xffffffffu;
    for (char ch : bytes) {
        crc ^= uint8_t(ch);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}
void pngChunk(QByteArray& png, const char* type, const QByteArray& data) {
    QByteArray body(type, 4);
    body += data;
    for (int shift = 24; shift >= 0; shift -= 8) png.append(char((uint32_t(data.size()) >> shift) & 0xff));
    png += body;
    const uint32_t crc = crc32(body);
    for (int shift = 24; shift >= 0; shift -= 8) png.append(char((crc >> shift) & 0xff));
}
}  // namespace

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
    const size_t n = (wav.size() - start) / (2 * c);
    out->resize(n);
    for (size_t i = 0; i < n; ++i) {
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
    std::string line;
    while (std::getline(lines, line)) {
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
    if (python.empty()) return -1;
    QTemporaryFile file(QDir::tempPath() + "/tonewright-script-XXXXXX.py");
    if (!file.open()) return -1;
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
        if (at == std::string::npos) return false;
        *value = std::strtod(text.c_str() + at + std::strlen(key), nullptr);
        return true;
    };
    out.ok = after("I:", &out.integrated) && after("LRA:", &out.range) && after("Peak:", &out.truePeak);
    return out;
}

}  // namespace tk
