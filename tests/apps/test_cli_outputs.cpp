// Outputs are never seen half made and never take the place of an input:
// interrupts (two signals at once, SIGKILL) while a job writes, names that lead
// to an input (the input itself, hard and symbolic links, pictures), two jobs
// racing for one name, write failures (file size limit, standard output on a
// full device) and names in another encoding.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <csignal>
#include <set>
#include <unistd.h>

#include "CliKit.h"
#include "common/ExternalAudio.h"

using clitest::tool;

namespace {

const QString kPartial = ".tonewright-partial-";

// The album four times (about four minutes), long enough to catch a job while it writes.
const QString& longInput() {
    static tk::TempDir dir;
    static const QString path = clitest::longAlbum(dir, 4);
    return path;
}

// The entries of dir that are temporaries (or those that are not).
QStringList entries(const QString& dir, bool temporary) {
    QStringList out;
    for (const QString& e : QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        if (e.startsWith(kPartial) == temporary) out << e;
    return out;
}

// Starts the tool and stops it (SIGSTOP) once `count` temporaries in dir hold
// data (a file of some size, or a folder with a file in it). False when the
// process ended first.
bool startAndCatchWriting(QProcess& p, const QStringList& args, const QString& dir, int count = 1) {
    p.start(TW_CLI_PATH, args);
    if (!p.waitForStarted(10000)) return false;
    p.closeWriteChannel();
    // waitForFinished also lets QProcess notice the end of the process.
    while (!p.waitForFinished(1)) {
        int writing = 0;
        for (const QString& t : entries(dir, true)) {
            const QFileInfo info(QDir(dir).filePath(t));
            writing += info.isDir() ? !QDir(info.filePath()).isEmpty(QDir::Files) : info.size() > 65536;
        }
        if (writing >= count) return ::kill(pid_t(p.processId()), SIGSTOP) == 0;
    }
    ADD_FAILURE() << "the job ended before it could be interrupted: " << p.readAllStandardError().toStdString();
    return false;
}

}  // namespace

// Two signals at once (the second ends the process without the jobs' own
// clean-up) and SIGKILL, while a job writes: no file appears under a final
// name, a previous good output and the input stay as they were. Two signals
// leave no temporary; SIGKILL leaves one, which the next run removes.
TEST(CliOutputs, InterruptNeverLeavesAPartialFile) {
    ASSERT_FALSE(longInput().isEmpty());
    const QString inputMd5 = clitest::fileMd5(longInput());
    // job: the output is appended as "-o <dir>/<output>" (the folder for split); output: a piece name for
    // split; previous: a good output of an earlier run is there (and -y given).
    const std::tuple<QStringList, QString, std::vector<int>, bool> cases[] = {
        {{"eq", "--preset", "Rock"}, "long-eq.wav", {SIGINT, SIGTERM}, false},
        {{"level", "-y"}, "long-levelled.flac", {SIGTERM, SIGINT}, true},
        {{"split"}, "001-long.wav", {SIGINT, SIGTERM}, false},
        {{"eq", "--preset", "Rock"}, "long-eq.wav", {SIGKILL}, false},
        {{"split", "-y"}, "001-long.wav", {SIGKILL}, true},
    };
    for (const auto& [job, output, sent, previous] : cases) {
        SCOPED_TRACE(job.join(' ').toStdString() + (sent[0] == SIGKILL ? " KILL" : " two signals"));
        tk::TempDir dir;
        const QString out = dir.path("out"), target = QDir(out).filePath(output);
        ASSERT_TRUE(QDir().mkpath(out));
        const QStringList args =
            job + QStringList{"-q", "-o", job[0] == "split" ? out + "/" : target, longInput()};
        if (previous) { ASSERT_TRUE(QFile::copy(clitest::albumWav(), target)); }
        // Empty when there is none.
        const QString previousMd5 = clitest::fileMd5(target);
        QProcess p;
        ASSERT_TRUE(startAndCatchWriting(p, args, out));
        for (int s : sent) ::kill(pid_t(p.processId()), s);
        ::kill(pid_t(p.processId()), SIGCONT);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_FALSE(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0);
        EXPECT_EQ(entries(out, false), previous ? QStringList{output} : QStringList());
        EXPECT_EQ(clitest::fileMd5(target), previousMd5);
        EXPECT_EQ(clitest::fileMd5(longInput()), inputMd5);
        const bool killed = sent[0] == SIGKILL;
        EXPECT_EQ(entries(out, true).isEmpty(), !killed) << entries(out, true).join(' ').toStdString();
        if (!killed) continue;
        // The next run into the folder removes what the killed one left.
        EXPECT_EQ(tool(args).exitCode, 0);
        EXPECT_TRUE(entries(out, true).isEmpty()) << entries(out, true).join(' ').toStdString();
        EXPECT_TRUE(entries(out, false).contains(output));
    }
}

// Outputs are told from inputs by identity: the input itself, a hard link of
// it, a symbolic link to it and a picture named like it. An output may replace
// its own input with -y only, and then the input's data stays intact (the new
// file takes the name); a dangling link needs -y; two spellings of one output
// name in one run are refused; an existing default output stays without -y.
TEST(CliOutputs, OutputsAreComparedWithInputsByIdentity) {
    tk::TempDir dir;
    const QString input = clitest::albumCopy(dir, "in.wav"), md5 = clitest::fileMd5(input);
    const QByteArray in = QFile::encodeName(input);
    ASSERT_EQ(::link(in.constData(), QFile::encodeName(dir.path("hard.wav")).constData()), 0);
    ASSERT_EQ(::link(in.constData(), QFile::encodeName(dir.path("hard.png")).constData()), 0);
    ASSERT_TRUE(QFile::link(input, dir.path("soft.wav")) && QFile::link(dir.path("nowhere.wav"), dir.path("dangling.wav")));
    ASSERT_TRUE(QDir().mkpath(dir.path("d")) && tk::writeBytes(dir.path("in-levelled.wav"), "keep"));
    const QString inD = clitest::albumCopy(dir, "d/x.wav"), readOnly = dir.path("ro.wav");
    ASSERT_TRUE(tk::writeBytes(readOnly, "keep") && QFile::setPermissions(readOnly, QFileDevice::ReadOwner));
    // replaced: a name that now holds a new, regular file.
    const std::tuple<QStringList, int, QString> cases[] = {
        {{"eq", "--preset", "Rock", "-o", dir.path("hard.wav"), input}, 2, {}},
        {{"analyse", "--no-save", "-y", "--plot", dir.path("hard.png"), input}, 2, {}},
        {{"level", "-o", dir.path("soft.wav"), input}, 2, {}},
        {{"eq", "-o", dir.path("dangling.wav"), input}, 2, {}},
        {{"level", "-o", input, input}, 2, {}},
        {{"level", input}, 2, {}},
        {{"eq", inD, dir.path("d/./x.wav")}, 1, {}},
        {{"eq", "-y", "--preset", "Rock", "-o", readOnly, input}, 2, {}},  // read-only: never replaced
        {{"eq", "-y", "--preset", "Rock", "-o", dir.path("hard.wav"), input}, 0, dir.path("hard.wav")},
        {{"level", "-y", "-o", dir.path("soft.wav"), input}, 0, dir.path("soft.wav")},
        {{"eq", "-y", "--preset", "Rock", "-o", dir.path("dangling.wav"), input}, 0,
         dir.path("dangling.wav")},
        {{"eq", "-y", "--preset", "Rock", "-o", inD, inD}, 0, inD},
        {{"level", "-y", input}, 0, dir.path("in-levelled.wav")},
    };
    for (const auto& [args, exit, replaced] : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const clitest::Run r = tool(args);
        EXPECT_EQ(r.exitCode, exit) << r.err.toStdString();
        EXPECT_TRUE(exit == 0 || !r.err.trimmed().isEmpty());
        EXPECT_EQ(clitest::fileMd5(input), md5);
        if (replaced.isEmpty()) continue;
        EXPECT_TRUE(QFileInfo(replaced).isFile() && !QFileInfo(replaced).isSymLink());
        // A complete recording of the input's length, as read back by the tool.
        EXPECT_EQ(clitest::frames(clitest::json({"info", "--json", replaced})["frames"]),
                  qint64(clitest::albumRecording().frames.size()));
    }
    EXPECT_TRUE(entries(dir.root(), true).isEmpty());
    EXPECT_EQ(tk::fileBytes(readOnly), "keep");
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
    EXPECT_EQ(std::set<int>({first.exitCode(), second.exitCode()}), std::set<int>({0, 2}));
    EXPECT_TRUE(entries(dir.root(), true).isEmpty());
    EXPECT_EQ(clitest::json({"info", "--json", out})["frames"], clitest::json({"info", "--json", longInput()})["frames"]);
}

// A write that fails (past the file size limit; results on a full device) ends
// with 2 and a message, and leaves no output. Every writer meets every fault in
// the reliability tests: one format here.
TEST(CliOutputs, WriteFailuresAreReported) {
    ASSERT_FALSE(longInput().isEmpty());
    tk::TempDir dir;
    // 64 KiB: far less than four minutes make. The message names the file as the user knows it.
    for (const QString& out : {dir.path("limited.flac"), dir.path("pieces/001-long.wav")}) {
        const QStringList job = out.endsWith(".flac") ? QStringList{"eq", "-o", out} : QStringList{"split", "-o", dir.path("pieces/")};
        const clitest::Run r = clitest::shellTool("ulimit -f 64", job + QStringList{"-q", longInput()});
        EXPECT_TRUE(clitest::exitsWith(r, 2, {out + ": cannot "}));
        EXPECT_TRUE(r.err.contains("too large", Qt::CaseInsensitive)) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains(kPartial)) << r.err.toStdString();
        EXPECT_TRUE(QDir(dir.root()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    }
    if (!QFileInfo::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    for (const QStringList& args : {QStringList{"info", clitest::albumWav()}, QStringList{"info", "--json", clitest::albumWav()},
                                    QStringList{"eq", "--list-presets"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        EXPECT_TRUE(clitest::exitsWith(clitest::shellTool(":", args, "> /dev/full"), 2, {"standard output"}));
    }
}

// A file whose name is not UTF-8 (a Latin-1 "\xe9") is found, read, processed
// and written under a name built from it, byte for byte, for each reader and
// writer: the arguments and the output name go through the shell as raw bytes.
TEST(CliOutputs, NamesInAnotherEncodingReachTheirFiles) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const tk::Recording rec = tk::album(22050, 0.2);
    const QString source = clitest::wavFile(dir, "source.wav", rec.frames, rec.rate);
    const std::string root = dir.root().toStdString() + "/", cli = tk::shellQuote(std::string(TW_CLI_PATH));
    // inName: in: made from the source by ffmpeg; outName: in: made from the source by ffmpeg; slack: frames
    // an MP3 encoder adds or drops.
    const std::tuple<const char*, const char*, int64_t> cases[] = {
        {"\xe9.wav", "\xe9-out.flac", 0},
        {"\xe9.flac", "\xe9 lev\xe9.wav", 0},
        {"caf\xe9.mp3", "caf\xe9-out.mp3", 2 * 1152}};
    for (const auto& [inName, outName, slack] : cases) {
        SCOPED_TRACE(outName);
        const std::string in = root + inName, out = root + outName;
        ASSERT_EQ(tk::runCommand("ffmpeg -v error -y -i " + tk::shellQuote(source) + " " + tk::shellQuote(in)), 0);
        std::string log;
        ASSERT_EQ(tk::runCommand(cli + " info " + tk::shellQuote(in) + " 2>&1", &log), 0) << log;
        EXPECT_NE(log.find(inName), std::string::npos) << log;
        ASSERT_EQ(tk::runCommand(cli + " level -y -o " + tk::shellQuote(out) + " " + tk::shellQuote(in) + " 2>&1", &log), 0)
            << log;
        // Read back through its raw name: a whole recording (what level made of
        // it is the level tests' business).
        ASSERT_EQ(tk::runCommand(cli + " info --json " + tk::shellQuote(out), &log), 0) << log;
        const qint64 n = clitest::frames(QJsonDocument::fromJson(QByteArray::fromStdString(log)).object()["frames"]);
        EXPECT_LE(std::llabs(n - int64_t(rec.frames.size())), slack) << log;
        // Names Qt cannot hold are removed here: the temporary folder's own
        // clean-up would not find them.
        ::unlink(in.c_str());
        ::unlink(out.c_str());
    }
}
