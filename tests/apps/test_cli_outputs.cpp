// Outputs are never seen half made and never take the place of an input:
// interrupts (two signals at once, SIGKILL) while a job writes, names that lead
// to an input (hard and symbolic links, pictures), two jobs racing for one name,
// and write failures (file size limit, standard output on a full device).
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <csignal>
#include <functional>
#include <sys/types.h>
#include <unistd.h>

#include "CliKit.h"
#include "common/ExternalAudio.h"

using clitest::tool;

namespace {

const QString kPartial = ".tonewright-partial-";

// A long recording shared by the tests of this file: the album twelve times
// (about twelve minutes), long enough to catch a job while it writes.
const QString& longInput() {
    static tk::TempDir dir;
    static const QString path = clitest::longAlbum(dir, 12);
    return path;
}

QStringList entries(const QString& dir, bool temporary) {
    QStringList out;
    for (const QFileInfo& e : QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                      QDir::NoDotAndDotDot))
        if (e.fileName().startsWith(kPartial) == temporary) out << e.fileName();
    return out;
}

// Whether the temporaries in dir hold data (a file of some size, or a folder
// with a file in it).
int writingTemporaries(const QString& dir) {
    int n = 0;
    for (const QString& t : entries(dir, true)) {
        const QFileInfo info(QDir(dir).filePath(t));
        if (info.isDir() ? !QDir(info.filePath()).isEmpty(QDir::Files) : info.size() > 65536) ++n;
    }
    return n;
}

// Starts the tool and stops it (SIGSTOP) once `count` temporaries in dir hold
// data. False when the process ended first.
bool startAndCatchWriting(QProcess& p, const QStringList& args, const QString& dir, int count = 1) {
    p.start(TW_CLI_PATH, args);
    if (!p.waitForStarted(10000)) return false;
    p.closeWriteChannel();
    // waitForFinished also lets QProcess notice the end of the process.
    while (!p.waitForFinished(1)) {
        if (writingTemporaries(dir) >= count) {
            ::kill(pid_t(p.processId()), SIGSTOP);
            return true;
        }
    }
    ADD_FAILURE() << "the job ended before it could be interrupted: " << p.readAllStandardError().toStdString();
    return false;
}

// The tool run by /bin/sh after `prelude` (a ulimit, a redirection).
clitest::Run shellTool(const QString& prelude, const QStringList& args, const QString& redirect = QString()) {
    QString command = prelude + "; exec " + QString::fromStdString(tk::shellQuote(QString(TW_CLI_PATH)));
    for (const QString& a : args) command += " " + QString::fromStdString(tk::shellQuote(a));
    command += " " + redirect;
    QProcess p;
    p.start("/bin/sh", {"-c", command});
    clitest::Run r;
    if (!p.waitForStarted(10000) || !p.waitForFinished(120000)) return r;
    r.crashed = p.exitStatus() == QProcess::CrashExit;
    r.exitCode = r.crashed ? -1 : p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

}  // namespace

// Two signals at once (the second ends the process without the jobs' own
// clean-up) and SIGKILL, while a job writes: no file appears under a final
// name, a previous good output and the input stay as they were. Two signals
// leave no temporary; SIGKILL leaves one, which the next run removes.
TEST(CliOutputs, InterruptNeverLeavesAPartialFile) {
    ASSERT_FALSE(longInput().isEmpty());
    const QString inputMd5 = clitest::fileMd5(longInput());
    struct Case {
        const char* what;
        QStringList args;       // the output folder is appended as "-o <dir>/<output>"
        QString output;         // relative to the output folder; a piece name for split
        std::vector<int> sent;
        bool previous;          // a good output of an earlier run is there (and -y given)
    };
    const Case cases[] = {
        {"eq, INT and TERM", {"eq", "--preset", "Rock"}, "long-eq.wav", {SIGINT, SIGTERM}, false},
        {"level -y over a good file, TERM and INT", {"level", "-y"}, "long-levelled.flac", {SIGTERM, SIGINT}, true},
        {"split, INT and TERM", {"split"}, "001-long.wav", {SIGINT, SIGTERM}, false},
        {"eq, KILL", {"eq", "--preset", "Rock"}, "long-eq.wav", {SIGKILL}, false},
        {"split -y over a good piece, KILL", {"split", "-y"}, "001-long.wav", {SIGKILL}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tk::TempDir dir;
        const QString out = dir.path("out");
        ASSERT_TRUE(QDir().mkpath(out));
        const bool split = c.args[0] == "split";
        const QStringList args =
            c.args + QStringList{"-q", "-o", split ? out + "/" : QDir(out).filePath(c.output), longInput()};
        QString previousMd5;
        if (c.previous) {
            ASSERT_TRUE(QFile::copy(clitest::albumWav(), QDir(out).filePath(c.output)));
            previousMd5 = clitest::fileMd5(QDir(out).filePath(c.output));
        }
        QProcess p;
        ASSERT_TRUE(startAndCatchWriting(p, args, out)) << "the job ended before it could be interrupted";
        for (int s : c.sent) ::kill(pid_t(p.processId()), s);
        ::kill(pid_t(p.processId()), SIGCONT);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_FALSE(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0);

        EXPECT_EQ(entries(out, false), c.previous ? QStringList{c.output} : QStringList());
        if (c.previous) {
            EXPECT_EQ(clitest::fileMd5(QDir(out).filePath(c.output)), previousMd5);
        }
        EXPECT_EQ(clitest::fileMd5(longInput()), inputMd5);
        const bool killed = c.sent == std::vector<int>{SIGKILL};
        EXPECT_EQ(entries(out, true).isEmpty(), !killed) << entries(out, true).join(' ').toStdString();
        if (!killed) continue;
        // The next run into the folder removes what the killed one left.
        const clitest::Run again = tool(args);
        EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
        EXPECT_TRUE(entries(out, true).isEmpty()) << entries(out, true).join(' ').toStdString();
        EXPECT_TRUE(entries(out, false).contains(c.output));
    }
}

// Outputs are told from inputs by identity: a hard link of the input, a
// symbolic link to it and a picture named like it. An output may replace its
// own input with -y only, and then the input's data stays intact (the new
// file takes the name); a dangling link needs -y; two spellings of one output
// name in one run are refused.
TEST(CliOutputs, OutputsAreComparedWithInputsByIdentity) {
    tk::TempDir dir;
    const QString input = clitest::albumCopy(dir, "in.wav");
    const QString md5 = clitest::fileMd5(input);
    ASSERT_EQ(::link(QFile::encodeName(input).constData(), QFile::encodeName(dir.path("hard.wav")).constData()), 0);
    ASSERT_EQ(::link(QFile::encodeName(input).constData(), QFile::encodeName(dir.path("hard.png")).constData()), 0);
    ASSERT_TRUE(QFile::link(input, dir.path("soft.wav")));
    ASSERT_TRUE(QFile::link(dir.path("nowhere.wav"), dir.path("dangling.wav")));
    ASSERT_TRUE(QDir().mkpath(dir.path("d")));
    const QString inD = clitest::albumCopy(dir, "d/x.wav");

    struct Case {
        const char* what;
        QStringList args;
        int exit;
        QString replaced;  // a name that now holds a new, regular file
    };
    const Case cases[] = {
        {"hard link of the input, no -y", {"eq", "--preset", "Rock", "-o", dir.path("hard.wav"), input}, 2, {}},
        {"picture on a hard link of the input, -y", {"analyse", "--no-save", "-y", "--plot", dir.path("hard.png"), input}, 2, {}},
        {"symbolic link to the input, no -y", {"level", "-o", dir.path("soft.wav"), input}, 2, {}},
        {"dangling link, no -y", {"eq", "-o", dir.path("dangling.wav"), input}, 2, {}},
        {"one output by two spellings", {"eq", inD, dir.path("d/./x.wav")}, 1, {}},
        {"hard link of the input, -y", {"eq", "-y", "--preset", "Rock", "-o", dir.path("hard.wav"), input}, 0, dir.path("hard.wav")},
        {"symbolic link to the input, -y", {"level", "-y", "-o", dir.path("soft.wav"), input}, 0, dir.path("soft.wav")},
        {"dangling link, -y", {"eq", "-y", "--preset", "Rock", "-o", dir.path("dangling.wav"), input}, 0, dir.path("dangling.wav")},
        {"the input itself, -y", {"eq", "-y", "--preset", "Rock", "-o", inD, inD}, 0, inD},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const clitest::Run r = tool(c.args);
        EXPECT_FALSE(r.crashed);
        EXPECT_EQ(r.exitCode, c.exit) << r.err.toStdString();
        if (c.exit != 0) {
            EXPECT_FALSE(r.err.trimmed().isEmpty());
        }
        EXPECT_EQ(clitest::fileMd5(input), md5);
        if (!c.replaced.isEmpty()) {
            const QFileInfo out(c.replaced);
            EXPECT_FALSE(out.isSymLink());
            EXPECT_TRUE(out.isFile());
            EXPECT_NE(clitest::fileMd5(c.replaced), md5);
            // A complete recording of the input's length, as read back by the tool.
            const clitest::Run info = tool({"info", "--json", c.replaced});
            EXPECT_EQ(info.json().object()["frames"].toDouble(), clitest::albumRecording().frames.size());
        }
    }
    EXPECT_TRUE(entries(dir.root(), true).isEmpty());
}

// Two jobs writing one name without -y, both past their first check: exactly
// one wins, the other fails at the final move, and the file is the winner's.
TEST(CliOutputs, TwoJobsRacingForOneNameOneWins) {
    ASSERT_FALSE(longInput().isEmpty());
    tk::TempDir dir;
    const QString out = dir.path("race.wav");
    const QStringList args = {"eq", "-q", "--preset", "Rock", "-o", out, longInput()};
    QProcess first, second;
    ASSERT_TRUE(startAndCatchWriting(first, args, dir.root(), 1));
    ASSERT_TRUE(startAndCatchWriting(second, args, dir.root(), 2));
    for (QProcess* p : {&first, &second}) ::kill(pid_t(p->processId()), SIGCONT);
    ASSERT_TRUE(first.waitForFinished(120000) && second.waitForFinished(120000));
    const int wins = int(first.exitCode() == 0) + int(second.exitCode() == 0);
    EXPECT_EQ(wins, 1);
    EXPECT_EQ(first.exitCode() + second.exitCode(), 2);
    EXPECT_TRUE(entries(dir.root(), true).isEmpty());
    const clitest::Run info = tool({"info", "--json", out});
    const clitest::Run source = tool({"info", "--json", longInput()});
    EXPECT_EQ(info.json().object()["frames"], source.json().object()["frames"]);
}

// A write that fails (past the file size limit; results on a full device) ends
// with 2 and a message, and leaves no output. Every writer meets every fault in
// the reliability tests: one format here.
TEST(CliOutputs, WriteFailuresAreReported) {
    ASSERT_FALSE(longInput().isEmpty());
    tk::TempDir dir;
    const QString out = dir.path("limited.flac");
    // 64 KiB: far less than twelve minutes make.
    const clitest::Run r = shellTool("ulimit -f 64", {"eq", "-q", "-o", out, longInput()});
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.contains(out) && r.err.contains("too large", Qt::CaseInsensitive)) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains(kPartial)) << r.err.toStdString();
    EXPECT_TRUE(QDir(dir.root()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    if (!QFileInfo::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    for (const QStringList& args : {QStringList{"info", clitest::albumWav()}, QStringList{"info", "--json", clitest::albumWav()},
                                    QStringList{"eq", "--list-presets"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const clitest::Run full = shellTool(":", args, "> /dev/full");
        EXPECT_EQ(full.exitCode, 2);
        EXPECT_TRUE(full.err.contains("standard output")) << full.err.toStdString();
    }
}

// A file whose name is not UTF-8 (a Latin-1 "\xe9") is found, read, processed
// and written under a name built from it, byte for byte, for each reader and
// writer: the arguments and the output name go through the shell as raw bytes.
TEST(CliOutputs, NamesInAnotherEncodingReachTheirFiles) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const tk::Recording rec = tk::album(22050, 0.2);
    const QString source = dir.path("source.wav");
    ASSERT_TRUE(tk::writeWav16(source, rec.frames, rec.rate, 2));
    const std::string root = dir.root().toStdString() + "/";
    struct Case {
        const char* in;   // made from the source by ffmpeg
        const char* out;
        int64_t slack;    // frames an MP3 encoder adds or drops
    };
    const Case cases[] = {{"\xe9.wav", "\xe9-out.flac", 0}, {"\xe9.flac", "\xe9 lev\xe9.wav", 0},
                          {"caf\xe9.mp3", "caf\xe9-out.mp3", 2 * 1152}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        const std::string in = root + c.in, out = root + c.out;
        ASSERT_EQ(tk::runCommand("ffmpeg -v error -y -i " + tk::shellQuote(source) + " " + tk::shellQuote(in)), 0);
        const std::string cli = tk::shellQuote(std::string(TW_CLI_PATH));
        std::string info;
        ASSERT_EQ(tk::runCommand(cli + " info " + tk::shellQuote(in) + " 2>&1", &info), 0) << info;
        EXPECT_NE(info.find(c.in), std::string::npos) << info;
        std::string log;
        ASSERT_EQ(tk::runCommand(cli + " level -y -o " + tk::shellQuote(out) + " " + tk::shellQuote(in) + " 2>&1", &log), 0)
            << log;
        // Read back by another tool through a plain name.
        const QString link = dir.path("link" + QFileInfo(QString::fromLatin1(c.out)).suffix().prepend('.'));
        QFile::remove(link);
        ASSERT_EQ(::symlink(out.c_str(), QFile::encodeName(link).constData()), 0);
        tk::Frames back;
        ASSERT_TRUE(tk::decodeWithFfmpeg(link, &back));
        EXPECT_LE(std::llabs(int64_t(back.size()) - int64_t(rec.frames.size())), c.slack);
        EXPECT_GT(tk::rms(back), 0.01);
        // Names Qt cannot hold are removed here: the temporary folder's own
        // clean-up would not find them.
        ::unlink(in.c_str());
        ::unlink(out.c_str());
    }
}
