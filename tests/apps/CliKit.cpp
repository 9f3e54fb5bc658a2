#include "CliKit.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <cmath>

#include "common/ExternalAudio.h"

namespace clitest {

QJsonDocument Run::json() const {
    QJsonParseError error;
    QJsonDocument doc = QJsonDocument::fromJson(out.toUtf8(), &error);
    return error.error == QJsonParseError::NoError ? doc : QJsonDocument();
}

namespace {
Run finish(QProcess& p, int timeoutMs) {
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
}  // namespace

Run tool(const QStringList& args, const std::map<QString, QString>& env, int timeoutMs) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const auto& kv : env) e.insert(kv.first, kv.second);
    p.setProcessEnvironment(e);
    p.start(TW_CLI_PATH, args);
    return finish(p, timeoutMs);
}

Run shellTool(const QString& prelude, const QStringList& args, const QString& redirect) {
    QString command = prelude + "; exec " + QString::fromStdString(tk::shellQuote(QString(TW_CLI_PATH)));
    for (const QString& a : args) command += " " + QString::fromStdString(tk::shellQuote(a));
    QProcess p;
    p.start("/bin/sh", {"-c", command + " " + redirect});
    return finish(p, 120000);
}

const QJsonObject json(const QStringList& args) {
    const Run r = tool(args);
    EXPECT_EQ(r.exitCode, 0) << args.join(' ').toStdString() << ": " << r.err.toStdString();
    return r.json().object();
}

namespace {
struct Album {
    QTemporaryDir dir;
    tk::Recording rec = tk::album(22050, 1.0);
    QString path = dir.filePath("album.wav");
    Album() { tk::writeWav16(path, rec.frames, rec.rate, 2); }
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
    QByteArray file = tk::fileBytes(albumWav());
    // The album's own header is the plain 44-byte one: only its sizes change.
    QByteArray header = file.left(44);
    const QByteArray data = file.mid(44);
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

QSize pngSize(const QString& path) {
    QFile f(path);
    const QByteArray b = f.open(QIODevice::ReadOnly) ? f.read(33) : QByteArray();
    if (b.size() < 33 || b.left(8) != QByteArray("\x89PNG\r\n\x1a\n", 8) || b.mid(12, 4) != "IHDR") return QSize();
    auto be32 = [&](int at) {
        return (int(uchar(b[at])) << 24) | (int(uchar(b[at + 1])) << 16) | (int(uchar(b[at + 2])) << 8) |
               int(uchar(b[at + 3]));
    };
    return QSize(be32(16), be32(20));
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
