#pragma once
// Running the built command-line tool from tests, and the files it is run on.
// The tool's path comes from the build (TW_CLI_PATH).
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSize>
#include <QString>
#include <QStringList>
#include <map>
#include <string>
#include <vector>

#include "common/Recordings.h"
#include "common/TestKit.h"

namespace clitest {

struct Run {
    int exitCode = -1;
    bool crashed = false;  // ended by a signal (a crash, an abort)
    QString out, err;
    // stdout parsed as JSON; null when it is not JSON.
    QJsonDocument json() const;
};

// Runs the tool with the arguments; env entries are added to the environment.
Run tool(const QStringList& args, const std::map<QString, QString>& env = {}, int timeoutMs = 120000);
// The tool run by /bin/sh after `prelude` (a ulimit), its output sent to `redirect` when given.
Run shellTool(const QString& prelude, const QStringList& args, const QString& redirect = QString());
// The JSON object a run that must succeed prints (a failure is reported with its stderr).
const QJsonObject json(const QStringList& args);
// A JSON number holding a frame count or position.
inline qint64 frames(const QJsonValue& v) { return v.toVariant().toLongLong(); }
// The numbers of a JSON array, or the number `key` of each object in it.
std::vector<double> numbers(const QJsonValue& array, const QString& key = QString());
// Success when the run ended (no crash) with exitCode and every one of says is in its stderr.
::testing::AssertionResult exitsWith(const Run& r, int exitCode, const QStringList& says = {});

// A recording of known structure (tk::album at 22050 Hz, 59 s): 1 s of digital
// silence, a track at -14 dB (12 s), 3 s of silence, a track at -8 dB (15 s),
// 8 s of room noise at -70 dB, a track at -20 dB (12 s) fading out over 6 s, 2 s
// of silence. Written once per test program by a WAV writer independent of the
// library; the same frames are returned by albumRecording().
QString albumWav();
const tk::Recording& albumRecording();
// A copy of the album in dir (analyse writes its statistics beside its input:
// tests that analyse work on copies, so that the shared album has none).
QString albumCopy(const tk::TempDir& dir, const QString& name = "album.wav");
// The album played `repeats` times in one WAV file in dir (long enough for a
// job to be caught while it writes).
QString longAlbum(const tk::TempDir& dir, int repeats, const QString& name = "long.wav");

// A 16-bit WAV file of the frames at dir/name (written by the independent writer); its
// path, or an empty one (and a failure) when it cannot be written.
QString wavFile(const tk::TempDir& dir, const QString& name, const tk::Frames& frames, unsigned rate,
                unsigned channels = 2);
// A file sox synthesises: `sox -n <format> file <effects>`, format being sox's options of
// rate, channels and encoding. False when sox fails.
bool synth(const QString& file, const std::string& format, const std::string& effects);

// The PNG's width and height from its IHDR chunk; an empty size when the file is not a PNG.
QSize pngSize(const QString& path);

QString fileMd5(const QString& path);

}  // namespace clitest
