#include "CliKit.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <cmath>
#include <memory>
#include <sstream>

#include "common/ExternalAudio.h"
#include "common/Recordings.h"

namespace clitest {

QJsonDocument Run::json() const {
    QJsonParseError error;
    QJsonDocument doc = QJsonDocument::fromJson(out.toUtf8(), &error);
    return error.error == QJsonParseError::NoError ? doc : QJsonDocument();
}

Run tool(const QStringList& args, const std::map<QString, QString>& env, int timeoutMs) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const auto& kv : env) e.insert(kv.first, kv.second);
    p.setProcessEnvironment(e);
    p.start(TW_CLI_PATH, args);
    Run r;
    if (!p.waitForStarted(10000)) return r;
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
    }
    r.crashed = p.exitStatus() == QProcess::CrashExit;
    r.exitCode = r.crashed ? -1 : p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

namespace {
struct Album {
    QTemporaryDir dir;
    tk::Recording rec;
    QString path;
    Album() {
        rec = tk::album(22050, 1.0);
        path = dir.filePath("album.wav");
        tk::writeWav16(path, rec.frames, rec.rate, 2);
    }
};
Album& album() {
    static Album a;
    return a;
}
}  // namespace

QString albumWav() { return album().path; }
const tk::Recording& albumRecording() { return album().rec; }

QString albumCopy(const tk::TempDir& dir, const QString& name) {
    const QString path = dir.path(name);
    QFile::remove(path);
    return QFile::copy(albumWav(), path) ? path : QString();
}

QString longAlbum(const tk::TempDir& dir, int repeats, const QString& name) {
    QFile in(albumWav());
    if (!in.open(QIODevice::ReadOnly)) return QString();
    // The album's own header is the plain 44-byte one: only its sizes change.
    QByteArray header = in.read(44);
    const QByteArray data = in.readAll();
    const quint32 bytes = quint32(data.size()) * quint32(repeats);
    auto put32 = [&](int at, quint32 v) {
        for (int i = 0; i < 4; ++i) header[at + i] = char((v >> (8 * i)) & 0xff);
    };
    put32(4, 36 + bytes);
    put32(40, bytes);
    const QString path = dir.path(name);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(header) != header.size()) return QString();
    for (int i = 0; i < repeats; ++i)
        if (out.write(data) != data.size()) return QString();
    return path;
}

std::vector<double> albumTrackStarts() {
    std::vector<double> starts;
    const tk::Recording& rec = albumRecording();
    bool inTrack = false;
    for (const tk::Piece& p : rec.pieces) {
        const bool sound = p.kind == tk::Piece::Track || p.kind == tk::Piece::Fade;
        if (sound && !inTrack) starts.push_back(double(p.begin) / rec.rate);
        inTrack = sound;
    }
    return starts;
}

bool pngSize(const QString& path, int* width, int* height) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return false;
    const QByteArray b = f.read(33);
    static const char sig[] = "\x89PNG\r\n\x1a\n";
    if (b.size() < 33 || b.left(8) != QByteArray(sig, 8) || b.mid(12, 4) != "IHDR") return false;
    auto be32 = [&](int at) {
        return (int(uchar(b[at])) << 24) | (int(uchar(b[at + 1])) << 16) | (int(uchar(b[at + 2])) << 8) |
               int(uchar(b[at + 3]));
    };
    *width = be32(16);
    *height = be32(20);
    return true;
}

double soxStat(const QString& file, const std::string& name, double trimStart, double trimLength) {
    std::string cmd = "sox " + tk::shellQuote(file) + " -n";
    if (trimStart >= 0) cmd += " trim " + std::to_string(trimStart) + " " + std::to_string(trimLength);
    cmd += " stats 2>&1";
    std::string text;
    if (tk::runCommand(cmd, &text) != 0) return NAN;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, name.size(), name) != 0) continue;
        // "RMS lev dB    -14.00    -14.01    -14.02": overall, left, right.
        std::istringstream values(line.substr(name.size()));
        double overall = NAN, left = NAN, right = NAN;
        values >> overall >> left >> right;
        if (std::isnan(left)) return overall;
        return std::max(left, right);
    }
    return NAN;
}

std::string soxi(const QString& option, const QString& file) {
    std::string out;
    tk::runCommand("soxi " + option.toStdString() + " " + tk::shellQuote(file) + " 2>/dev/null", &out);
    return QString::fromStdString(out).trimmed().toStdString();
}

QString fileMd5(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    return QString::fromLatin1(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Md5).toHex());
}

}  // namespace clitest
