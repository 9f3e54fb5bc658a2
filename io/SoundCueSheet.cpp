#include "tonewright/SoundCueSheet.h"

#include <QFile>
#include <QList>
#include <QString>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace {

// The next word of a line, or the quoted text (quotes removed); `pos` moves past it.
std::string nextWord(const QByteArray& line, int& pos) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size()) return std::string();
    std::string word;
    if (line[pos] == '"') {
        ++pos;
        while (pos < line.size() && line[pos] != '"') word += line[pos++];
        if (pos < line.size()) ++pos;  // the closing quote
        return word;
    }
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') word += line[pos++];
    return word;
}

bool digitsOnly(const std::string& s) {
    if (s.empty() || s.size() > 6) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// mm:ss:ff; -1 when the text is not such a time.
int64_t parseTime(const std::string& text) {
    const size_t a = text.find(':');
    const size_t b = a == std::string::npos ? a : text.find(':', a + 1);
    if (b == std::string::npos || text.find(':', b + 1) != std::string::npos) return -1;
    const std::string m = text.substr(0, a), s = text.substr(a + 1, b - a - 1), f = text.substr(b + 1);
    if (!digitsOnly(m) || !digitsOnly(s) || !digitsOnly(f) || s.size() > 2 || f.size() > 2) return -1;
    const int64_t mm = std::stoll(m), ss = std::stoll(s), ff = std::stoll(f);
    if (ss >= 60 || ff >= SoundCueSheet::kFramesPerSecond) return -1;
    return (mm * 60 + ss) * SoundCueSheet::kFramesPerSecond + ff;
}

// A sheet has no escape for quotes, nor for line breaks (a title may hold
// one): a text as a sheet can hold it, quotes as apostrophes, control
// characters as spaces. Texts read are kept in this form too, so that two
// names that would be written alike are the same name already when read.
std::string writable(std::string s) {
    for (char& c : s) c = c == '"' ? '\'' : (c >= 0 && c < 0x20) || c == 0x7F ? ' ' : c;
    return s;
}

std::string quoted(const std::string& s) { return "\"" + writable(s) + "\""; }

}  // namespace

namespace {

// The sheet as UTF-8: UTF-8 as it stands (its byte order mark dropped),
// UTF-16 with a byte order mark converted. Empty, with the reason in `why`,
// for text in an encoding that is not read.
QByteArray asUtf8(const QByteArray& input, QString* why) {
    const QByteArray utf8 = input.startsWith("\xEF\xBB\xBF") ? input.mid(3) : input;
    const bool le32 = input.startsWith(QByteArray("\xFF\xFE\x00\x00", 4)), be32 = input.startsWith(QByteArray("\x00\x00\xFE\xFF", 4));
    if (le32 || be32) {
        *why = QString("the sheet is UTF-32 %1 text; it is read as UTF-8 or UTF-16").arg(le32 ? "LE" : "BE");
        return QByteArray();
    }
    const bool le = input.startsWith("\xFF\xFE"), be = input.startsWith("\xFE\xFF");
    if (le || be) {
        const char* name = le ? "UTF-16 LE" : "UTF-16 BE";
        if (input.size() % 2 != 0) {
            *why = QString("the sheet is %1 text (by its byte order mark) with an odd number of bytes").arg(name);
            return QByteArray();
        }
        QString text;
        text.resize((input.size() - 2) / 2);
        for (int i = 0; i < text.size(); ++i) {
            const uchar a = uchar(input[2 + 2 * i]), b = uchar(input[3 + 2 * i]);
            text[i] = QChar(le ? ushort(a | b << 8) : ushort(a << 8 | b));
        }
        if (text.contains(QChar(0))) {
            *why = QString("the sheet (%1 text) holds NUL characters").arg(name);
            return QByteArray();
        }
        return text.toUtf8();
    }
    if (utf8.contains('\0')) {
        *why = "the sheet holds NUL bytes: UTF-16 or UTF-32 text without a byte order mark is not read (save it as "
               "UTF-8, or as UTF-16 with a byte order mark)";
        return QByteArray();
    }
    return utf8;
}

}  // namespace

bool SoundCueSheet::readFile(const QString& path, QString* error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error) *error = f.errorString();
        return false;
    }
    // Read a byte past the limit, whatever the file claims: a device or a pipe
    // (/dev/zero) has no size and never ends.
    QByteArray text;
    while (text.size() <= kMaxTextBytes) {
        const QByteArray part = f.read(kMaxTextBytes + 1 - text.size());
        if (part.isEmpty()) break;
        text += part;
    }
    if (text.size() > kMaxTextBytes) {
        if (error)
            *error = QString("larger than %1 KiB, more than any CUE sheet (one of 99 tracks takes a few KiB); not read")
                         .arg(kMaxTextBytes / 1024);
        return false;
    }
    return parse(text, error);
}

bool SoundCueSheet::parse(const QByteArray& input, QString* error) {
    auto fail = [&](int line, const QString& why) {
        if (error) *error = QString("line %1: %2").arg(line).arg(why);
        return false;
    };
    if (input.size() > kMaxTextBytes) {
        if (error) *error = QString("larger than %1 KiB, more than any CUE sheet").arg(kMaxTextBytes / 1024);
        return false;
    }
    SoundCueSheet sheet;
    QString encoding;
    QByteArray text = asUtf8(input, &encoding);
    if (!encoding.isEmpty()) {
        if (error) *error = encoding;
        return false;
    }
    text.replace('\r', '\n');
    const QList<QByteArray> lines = text.split('\n');
    std::string file;
    bool inTrack = false, hasIndex = false;
    int trackLine = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const int lineNo = i + 1;
        const QByteArray& line = lines[i];
        int pos = 0;
        std::string command = nextWord(line, pos);
        for (char& c : command) c = char(std::toupper(static_cast<unsigned char>(c)));
        if (command.empty() || command == "REM") continue;
        if (command == "TITLE" || command == "PERFORMER") {
            const std::string value = writable(nextWord(line, pos));
            std::string& field = inTrack ? (command == "TITLE" ? sheet.tracks.back().title : sheet.tracks.back().performer)
                                         : (command == "TITLE" ? sheet.title : sheet.performer);
            field = value;
        } else if (command == "FILE") {
            if (inTrack && !hasIndex) return fail(trackLine, "track without INDEX 01");
            file = writable(nextWord(line, pos));
            if (file.empty()) return fail(lineNo, "FILE without a name");
            inTrack = false;
        } else if (command == "TRACK") {
            if (inTrack && !hasIndex) return fail(trackLine, "track without INDEX 01");
            const std::string number = nextWord(line, pos);
            if (!digitsOnly(number) || std::stoi(number) < 1 || std::stoi(number) > 99)
                return fail(lineNo, "track number '" + QString::fromStdString(number) + "' is not 1 to 99");
            const int n = std::stoi(number);
            if (!sheet.tracks.empty() && n <= sheet.tracks.back().number)
                return fail(lineNo, "track numbers must increase");
            if (file.empty()) return fail(lineNo, "TRACK before any FILE");
            Track t;
            t.number = n;
            t.file = file;
            sheet.tracks.push_back(t);
            inTrack = true;
            hasIndex = false;
            trackLine = lineNo;
        } else if (command == "INDEX") {
            if (!inTrack) return fail(lineNo, "INDEX before the first TRACK");
            const std::string number = nextWord(line, pos);
            const std::string time = nextWord(line, pos);
            if (!digitsOnly(number)) return fail(lineNo, "index number '" + QString::fromStdString(number) + "' is not a number");
            const int64_t at = parseTime(time);
            if (at < 0)
                return fail(lineNo, "bad time '" + QString::fromStdString(time) +
                                        "' (minutes:seconds:frames, seconds below 60, frames below 75)");
            if (std::stoi(number) != 1) continue;  // only where each track starts counts
            Track& t = sheet.tracks.back();
            if (sheet.tracks.size() > 1) {
                const Track& prev = sheet.tracks[sheet.tracks.size() - 2];
                if (prev.file == t.file && at <= prev.start)
                    return fail(lineNo, "track " + QString::number(t.number) + " starts at " +
                                            QString::fromStdString(formatTime(at)) + ", not after track " +
                                            QString::number(prev.number) + " (" +
                                            QString::fromStdString(formatTime(prev.start)) + ")");
            }
            t.start = at;
            hasIndex = true;
        }
    }
    if (inTrack && !hasIndex) return fail(trackLine, "track without INDEX 01");
    if (sheet.tracks.empty()) return fail(int(lines.size()), "no track");
    *this = std::move(sheet);
    return true;
}

QByteArray SoundCueSheet::toText() const {
    std::string out;
    if (!performer.empty()) out += "PERFORMER " + quoted(performer) + "\n";
    if (!title.empty()) out += "TITLE " + quoted(title) + "\n";
    std::string file;
    bool first = true;
    for (const Track& t : tracks) {
        if (first || t.file != file) {
            file = t.file;
            out += "FILE " + quoted(file) + " WAVE\n";
            first = false;
        }
        char number[8];
        std::snprintf(number, sizeof number, "%02d", t.number);
        out += std::string("  TRACK ") + number + " AUDIO\n";
        if (!t.title.empty()) out += "    TITLE " + quoted(t.title) + "\n";
        if (!t.performer.empty()) out += "    PERFORMER " + quoted(t.performer) + "\n";
        out += "    INDEX 01 " + formatTime(t.start) + "\n";
    }
    return QByteArray::fromStdString(out);
}

std::string SoundCueSheet::formatTime(int64_t cdFrames) {
    if (cdFrames < 0) cdFrames = 0;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02d:%02d", static_cast<long long>(cdFrames / (60 * kFramesPerSecond)),
                  int(cdFrames / kFramesPerSecond % 60), int(cdFrames % kFramesPerSecond));
    return text;
}

int64_t SoundCueSheet::toSampleFrames(int64_t cdFrames, unsigned sampleRate) {
    return int64_t(std::llround(double(cdFrames) * sampleRate / kFramesPerSecond));
}

int64_t SoundCueSheet::toCdFrames(int64_t sampleFrames, unsigned sampleRate) {
    return sampleRate ? int64_t(std::llround(double(sampleFrames) * kFramesPerSecond / sampleRate)) : 0;
}
