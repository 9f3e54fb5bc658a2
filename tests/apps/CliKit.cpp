#include "CliKit.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtEndian>

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

std::vector<double> numbers(const QJsonValue& array, const QString& key) {
    std::vector<double> out;
    for (const QJsonValue& x : array.toArray())
        out.push_back(key.isEmpty() ? x.toDouble() : x[key].toDouble());
    return out;
}

::testing::AssertionResult exitsWith(const Run& r, int exitCode, const QStringList& says) {
    bool ok = !r.crashed && r.exitCode == exitCode;
    for (const QString& s : says) ok = ok && r.err.contains(s);
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "exit " << r.exitCode << (r.crashed ? " (crashed)" : "")
                                         << ", stderr: " << r.err.toStdString();
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
    const tk::Frames& one = albumRecording().frames;
    tk::Frames frames;
    for (int i = 0; i < repeats; ++i) frames.insert(frames.end(), one.begin(), one.end());
    return wavFile(dir, name, frames, albumRecording().rate);
}

QString wavFile(const tk::TempDir& dir, const QString& name, const tk::Frames& frames, unsigned rate,
                unsigned channels) {
    if (tk::writeWav16(dir.path(name), frames, rate, channels)) return dir.path(name);
    ADD_FAILURE() << "cannot write " << dir.path(name).toStdString();
    return QString();
}

bool synth(const QString& file, const std::string& format, const std::string& effects) {
    const std::string command = "sox -n " + format + " " + tk::shellQuote(file) + " " + effects;
    return tk::runCommand(command + " 2>/dev/null") == 0;
}

QSize pngSize(const QString& path) {
    QFile f(path);
    const QByteArray b = f.open(QIODevice::ReadOnly) ? f.read(33) : QByteArray();
    if (b.size() < 33 || b.left(8) != QByteArray("\x89PNG\r\n\x1a\n", 8) || b.mid(12, 4) != "IHDR") return QSize();
    return QSize(int(qFromBigEndian<quint32>(b.constData() + 16)), int(qFromBigEndian<quint32>(b.constData() + 20)));
}

QString fileMd5(const QString& path) {
    if (!QFileInfo(path).isFile()) return QString();
    return QString::fromLatin1(QCryptographicHash::hash(tk::fileBytes(path), QCryptographicHash::Md5).toHex());
}

}  // namespace clitest
