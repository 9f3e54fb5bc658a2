// split's wiring: each option reaches the library's plan (the tool's JSON is
// the plan's, field for field), and the refusals' exit codes and words. The planning itself: tests/jobs/test_split.cpp.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <functional>
#include <tuple>

#include "CliKit.h"
#include "common/FileKit.h"
#include "tonewright/Split.h"

using clitest::tool;

namespace {

QStringList filesIn(const QString& dir) { return QDir(dir).entryList(QDir::Files, QDir::Name); }

// A CUE sheet for album.wav in dir with a track at each of the times ("mm:ss:ff").
QString cueSheet(const tk::TempDir& dir, const QString& name, const QStringList& times) {
    QString text = "PERFORMER \"Band\"\nTITLE \"Concert\"\nFILE \"album.wav\" WAVE\n";
    for (int n = 1; n <= times.size(); ++n)
        text += QString("  TRACK %1 AUDIO\n    TITLE \"Part %1\"\n    INDEX 01 %2\n").arg(n).arg(times[n - 1]);
    EXPECT_TRUE(tk::writeBytes(dir.path(name), text.toUtf8()));
    return dir.path(name);
}

// Options and the settings they stand for: the dry run's JSON is the plan's.
TEST(CliSplit, EachOptionReachesThePlan) {
    tk::TempDir dir;
    const QString input = clitest::albumCopy(dir);
    const QString cue = cueSheet(dir, "given.cue", {"00:00:00", "00:20:00", "00:40:00"});
    using Change = std::function<void(tonewright::SplitSettings&)>;
    const std::pair<QStringList, Change> rows[] = {
        {{}, [](tonewright::SplitSettings&) {}},
        {{"--min-silence", "2.5", "--threshold", "-30"}, [](tonewright::SplitSettings& s) { s.minSilence = 2.5, s.thresholdDb = -30; }},
        {{"--cut-at", "0.2", "--min-length", "13"}, [](tonewright::SplitSettings& s) { s.cutAt = 0.2, s.minLength = 13; }},
        {{"--keep", "0.3,0.7", "--merge-short", "--min-length", "13"},
         [](tonewright::SplitSettings& s) { s.keep = true, s.keepBefore = 0.3, s.keepAfter = 0.7, s.minLength = 13, s.mergeShort = true; }},
        {{"--name", "{n:02} {title}", "--cue", "--m3u", "-f", "flac"},
         [](tonewright::SplitSettings& s) { s.nameTemplate = "{n:02} {title}", s.cue = s.m3u = true, s.output.replace_extension(".flac"); }},
        {{"--from-cue", cue}, [&](tonewright::SplitSettings& s) { s.fromCue = cue.toStdString(); }},
        {{"-o", dir.path("out") + "/"}, [&](tonewright::SplitSettings& s) { s.output = dir.path("out/album.wav").toStdString(); }},
    };
    for (const auto& [options, change] : rows) {
        SCOPED_TRACE(options.join(' ').toStdString());
        tonewright::SplitSettings s;
        s.input = input.toStdString();
        s.output = dir.path("album.wav").toStdString();
        change(s);
        const tonewright::JobResult<tonewright::SplitReport> plan = tonewright::planSplit(s);
        ASSERT_TRUE(plan.ok()) << plan.error().message();
        const QJsonObject expected = QJsonDocument::fromJson(QByteArray::fromStdString(tonewright::toJson(*plan))).object();
        EXPECT_EQ(clitest::json(QStringList{"split", "-n", "--json"} + options + QStringList{input}), expected);
    }
}

// Refusals come before any piece is written; existing pieces are replaced with -y only.
TEST(CliSplit, RefusalsComeBeforeAnyPieceIsWritten) {
    tk::TempDir dir;
    const QString input = clitest::albumCopy(dir);
    const auto sheet = [&](const QString& name, const QString& times) { return cueSheet(dir, name, times.split(' ')); };
    // The exit code: 1 for a usage error, 2 for a file that cannot be used.
    const std::tuple<QStringList, int, const char*> rows[] = {
        {{"--from-cue", sheet("seconds.cue", "00:00:00 00:61:00")}, 2, "bad time '00:61:00'"},
        {{"--from-cue", sheet("frames.cue", "00:00:00 00:10:75")}, 2, "bad time '00:10:75'"},
        {{"--from-cue", sheet("order.cue", "00:00:00 00:20:00 00:10:00")}, 2, "not after track 2"},
        {{"--from-cue", sheet("late.cue", "00:00:00 09:00:00")}, 2, "after the end of the recording"},
        {{"-y", "--cue", "--from-cue", sheet("album.cue", "00:00:00 00:20:00")}, 2, "album.cue: will not write"},
        {{"--name", "{artist} piece", "-o", dir.path("made/new") + "/"}, 2, "two pieces would get this name: add {n} to --name"},
        {{"--name", "{n} {bogus}"}, 1, "unknown field '{bogus}'"},
        {{"--name", "{n}\n(x)"}, 1, "control character at character 4"},
        {{"--cut-at", "2"}, 1, "--cut-at"},
        {{"-n", "--keep", "nan"}, 1, "--keep takes seconds"},
        {{"-o", "/proc/self/"}, 2, "cannot write pieces here"},
        {{}, 2, "002-album.wav"},  // an existing piece, no -y
    };
    ASSERT_TRUE(tk::writeBytes(dir.path("002-album.wav"), "mine"));
    const QStringList before = filesIn(dir.root());
    for (const auto& [options, exit, says] : rows) {
        SCOPED_TRACE(options.join(' ').toStdString());
        const clitest::Run r = tool(QStringList{"split"} + options + QStringList{input});
        EXPECT_TRUE(clitest::exitsWith(r, exit, {says}));
        EXPECT_EQ(filesIn(dir.root()), before);
    }
    EXPECT_FALSE(QFileInfo::exists(dir.path("made")));  // no folder made for nothing
    EXPECT_EQ(tool({"split", "-y", input}).exitCode, 0);
    EXPECT_GT(QFileInfo(dir.path("002-album.wav")).size(), 1000);
    // A re-split into fewer pieces removes the earlier split's further ones (-y), and says so.
    const QStringList many = filesIn(dir.root());
    const clitest::Run fewer = tool({"split", "-y", "--min-silence", "5", input});
    EXPECT_TRUE(clitest::exitsWith(fewer, 0)) << fewer.out.toStdString();
    EXPECT_TRUE(fewer.out.contains("removes ")) << fewer.out.toStdString();
    EXPECT_EQ(filesIn(dir.root()).size(), many.size() - 1);
}

}  // namespace
