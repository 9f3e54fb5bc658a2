// The frame every job shares: usage and processing errors, exit codes, the
// streams results and messages go to, versions and the progress bar.
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>

#include "CliKit.h"
#include "common/ExternalAudio.h"

using clitest::tool;

namespace {
const QStringList kJobs = {"info", "analyse", "split", "level", "correct", "eq", "play", "demo"};
}

// Wrong command lines end with 1, a message on stderr, nothing on stdout and
// nothing made on the way.
TEST(CliFrame, UsageErrorsExitWithOne) {
    const QString wav = clitest::albumWav();
    const std::vector<QStringList> cases = {
        {}, {"frobnicate", wav}, {"info", "--bogus", wav}, {"analyse"}, {"level", "--target", "loud", wav},
        {"level", "--target", "6", wav}, {"info", "-j", "0", wav}, {"split", "-o", "pieces.xyz", wav},
        {"level", "-f", "aiff", wav}, {"level", "-o", "x.wav", wav, wav},
        {"analyse", "--plot", "x.png", "--plot-size", "10x10", wav},
        {"analyse", "--no-save", "--plot", "x.png", wav, wav}, {"eq", "--preset", "Rock", "--plot", "p.txt"},
        {"level", "-f", "aiff", "-o", "made-by-usage-error/", wav}, {"split", "--min-length", "-1", wav},
        {"demo", wav, wav}, {"correct", "--reference", "Nonesuch", wav}, {"correct", "--max-correction", "-3", wav},
        {"eq", "--preset", "Nonesuch", wav}, {"eq", "--band", "33=2", wav}, {"eq", "--band", "1k=20", wav},
        {"eq", "--preset", "Rock"}, {"play", wav, wav}, {"play", "--gate", "5", wav},
        {"level", "--target", "-80LUFS", "-o", "x.wav", wav}, {"level", "--target", "1LUFS", "-o", "x.wav", wav},
        {"level", "--true-peak", "0.5", "-o", "x.wav", wav}};
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const clitest::Run r = tool(args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        EXPECT_FALSE(r.err.trimmed().isEmpty());
    }
    for (const char* name : {"x.png", "p.txt", "x.wav", "made-by-usage-error"}) EXPECT_FALSE(QFileInfo::exists(name)) << name;
}

// Files that cannot be read end with 2 and a message naming the file, for
// every job, and never leave an output behind; in a batch the other files are
// done and reported.
TEST(CliFrame, BadInputsExitWithTwoAndNameTheFile) {
    tk::TempDir dir;
    const QString empty = dir.path("empty.flac");
    ASSERT_TRUE(tk::writeBytes(dir.path("garbage.wav"), QByteArray(5000, 'x')) && tk::writeBytes(empty, "") &&
                tk::writeBytes(dir.path("notes.txt"), "not sound\n") && tk::writeBytes(dir.path("fake.mp3"), QByteArray(3000, '\0')));
    const QStringList inputs = {dir.path("missing.wav"), dir.path("garbage.wav"), empty, dir.path("notes.txt"),
                                dir.path("fake.mp3"), dir.root()};
    for (const QString& job : kJobs.mid(0, 7))
        for (const QString& input : inputs) {
            SCOPED_TRACE((job + " " + input).toStdString());
            // info and play write nothing and take no -y.
            const bool writes = job != "info" && job != "play";
            const clitest::Run r = tool(writes ? QStringList{job, "-y", "--json", input} : QStringList{job, "--json", input});
            EXPECT_TRUE(clitest::exitsWith(r, 2, {input}));
            EXPECT_TRUE(r.out.isEmpty());
        }
    EXPECT_EQ(QDir(dir.root()).entryList(QDir::Files).size(), 4);

    const clitest::Run batch = tool({"info", "--json", clitest::albumWav(), "/nonexistent/x.wav", clitest::albumWav()});
    EXPECT_EQ(batch.exitCode, 2);
    EXPECT_EQ(batch.json().array().size(), 2) << batch.out.toStdString();
    EXPECT_TRUE(batch.err.contains("/nonexistent/x.wav"));
}

// Messages name the file and the cause in words (never a class of the
// library), and what is told of a file comes from its data, not its name.
TEST(CliFrame, MessagesSayTheCauseInWords) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    tk::TempDir dir;
    // A header whose rate is 0 (the plain 44-byte header's field at 24), and a
    // float file of sox's whose last second of samples is made NaN.
    const QString rate0 = clitest::wavFile(dir, "rate0.wav", tk::silence(100), 22050);
    ASSERT_TRUE(tk::writeBytes(rate0, tk::fileBytes(rate0).replace(24, 4, "\0\0\0\0", 4)));
    ASSERT_TRUE(
        clitest::synth(dir.path("nan.wav"), "-r 22050 -c 2 -e floating-point -b 32", "synth 1 sine 440"));
    QByteArray nan = tk::fileBytes(dir.path("nan.wav"));
    for (int i = nan.size() - 8 * 22050; i >= 0 && i < nan.size(); i += 4)
        qToLittleEndian(std::nanf(""), nan.data() + i);
    ASSERT_TRUE(tk::writeBytes(dir.path("nan.wav"), nan));
    // 59.9996 s: rounded to the millisecond it is one minute.
    ASSERT_TRUE(tk::writeWav16(dir.path("minute.wav"), tk::noise(599996, 0.1), 10000, 2));
    ASSERT_EQ(tk::runCommand("sox " + tk::shellQuote(clitest::albumWav()) + " -t flac " + tk::shellQuote(dir.path("flac-data.wav"))), 0);
    const std::tuple<QStringList, int, QString, QString> cases[] = {
        {{"info", rate0}, 2, "no sample rate", "SF_INFO"},
        {{"correct", "-o", dir.path("c.wav"), dir.path("nan.wav")}, 2, "not numbers", ""},
        {{"info", dir.path("minute.wav")}, 0, "00:01:00.000", "00:00:60.000"},
        {{"info", dir.path("flac-data.wav")}, 0, "FLAC", "WAV,"},
    };
    for (const auto& [args, exit, says, never] : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const clitest::Run r = tool(args);
        EXPECT_TRUE(clitest::exitsWith(r, exit, exit == 0 ? QStringList() : QStringList{args.last()}));
        const QString text = r.out + r.err;
        EXPECT_TRUE(text.contains(says) && (never.isEmpty() || !text.contains(never))) << text.toStdString();
        EXPECT_FALSE(r.err.contains(QRegularExpression("Sound[A-Z]\\w+|::"))) << r.err.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(dir.path("c.wav")));
}

// Help for the tool and every job on stdout; the versions are those of the
// libraries installed, as pkg-config and lame report them (pkg-config may leave
// out a patch level of 0), on every job too.
TEST(CliFrame, HelpAndVersions) {
    const clitest::Run help = tool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const QString& job : kJobs) {
        const clitest::Run r = tool({job, "--help"});
        EXPECT_EQ(r.exitCode, 0) << job.toStdString();
        EXPECT_TRUE(r.out.startsWith("Usage: tonewright " + job) && r.err.isEmpty()) << r.out.toStdString();
        EXPECT_TRUE(help.out.contains(job));
    }
    const clitest::Run r = tool({"--version"});
    ASSERT_EQ(r.exitCode, 0);
    const QStringList lines = r.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 5) << r.out.toStdString();
    const std::pair<QString, std::string> libraries[] = {
        {"tonewright", ""}, {"libsndfile", "pkg-config --modversion sndfile"}, {"mpg123", ""},
        {"TagLib", "pkg-config --modversion taglib"}, {"LAME", "lame --version 2>/dev/null | head -1"}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(lines[i].startsWith(libraries[i].first + " ")) << lines[i].toStdString();
        std::string version;
        if (libraries[i].second.empty() || tk::runCommand(libraries[i].second + " 2>/dev/null", &version) != 0 ||
            version.empty())
            continue;
        // The encoder is loaded at run time: its own tool's banner holds the version.
        const QString v = QString::fromStdString(version).trimmed(), shown = lines[i].mid(libraries[i].first.size() + 1);
        EXPECT_TRUE(i == 4 ? v.contains(shown) : shown.startsWith(v)) << v.toStdString() << " vs " << lines[i].toStdString();
    }
    EXPECT_EQ(tool({"split", "--version"}).out, r.out);
}

// --verbose sends the library's diagnostics to stderr while stdout stays valid
// JSON; the progress bar is drawn on a terminal only, and --quiet silences it.
TEST(CliFrame, DiagnosticsAndProgressGoToStderr) {
    const clitest::Run verbose = tool({"analyse", "--no-save", "--json", "--verbose", clitest::albumWav()});
    EXPECT_TRUE(verbose.json().isObject());
    EXPECT_FALSE(verbose.err.isEmpty());  // the statistics report, at least
    // Not a terminal: nothing on stderr at all.
    const clitest::Run quiet = tool({"analyse", "--no-save", "--json", clitest::albumWav()}, {{"TONEWRIGHT_PROGRESS_DELAY", "0"}});
    EXPECT_TRUE(quiet.json().isObject());
    EXPECT_TRUE(quiet.err.isEmpty()) << quiet.err.toStdString();
    if (!tk::haveTool("script")) GTEST_SKIP() << "no script(1) to give the tool a terminal";
    tk::TempDir dir;
    auto onTerminal = [&](const std::string& extra) {
        // script runs the command on a pseudo-terminal; stdout goes to a file,
        // what reaches the terminal is stderr.
        const std::string inner = std::string("TONEWRIGHT_PROGRESS_DELAY=0 ") + TW_CLI_PATH + " analyse --no-save " + extra +
                                  " " + tk::shellQuote(clitest::albumWav()) + " >" + tk::shellQuote(dir.path("out.txt"));
        std::string text;
        tk::runCommand("script -qec " + tk::shellQuote(inner) + " /dev/null", &text);
        return QString::fromStdString(text);
    };
    const QString bar = onTerminal("");
    EXPECT_TRUE(bar.contains(QRegularExpression("analyse \\[#+\\.*\\] +\\d+%"))) << bar.toStdString();
    EXPECT_FALSE(onTerminal("--quiet").contains('%'));
}

// The writing jobs give a mono recording mono results (every format, the pieces
// of split too) holding the recording's samples; a 5.1 recording is announced
// as mixed down, by info and by the jobs that read it.
TEST(CliFrame, OutputChannelsFollowTheInput) {
    if (!tk::haveTool("ffprobe") || !tk::haveTool("ffmpeg") || !tk::haveTool("sox")) GTEST_SKIP() << "ffmpeg and sox are needed";
    tk::TempDir dir;
    const tk::Recording& album = clitest::albumRecording();
    tk::Frames mono(album.frames.begin(), album.frames.begin() + 25 * album.rate);
    for (tk::Frame& f : mono) f.r = f.l;
    const QString input = dir.path("mono.wav"), pieces = dir.path("pieces");
    ASSERT_TRUE(tk::writeWav16(input, mono, album.rate, 1) && QDir().mkpath(pieces));
    auto channels = [](const QString& f) { return tk::ffprobe(f, "stream=channels")["channels"]; };
    for (const QString job : {"eq.flac", "level.wav", "correct.ogg", "eq.mp3", "split"}) {
        SCOPED_TRACE(job.toStdString());
        const QString out = job == "split" ? pieces : dir.path(job);
        ASSERT_EQ(tool({QFileInfo(job).baseName(), "-o", out, input}).exitCode, 0);
        const QDir where(job == "split" ? pieces : dir.root());
        const QStringList files = job == "split" ? where.entryList(QDir::Files) : QStringList{job};
        ASSERT_FALSE(files.isEmpty());
        for (const QString& f : files) EXPECT_EQ(channels(where.filePath(f)), "1") << f.toStdString();
    }
    // The flat equaliser gives the recording back in its one channel, at its level
    // and no louder at its peak than the ceiling lets it be (0.01 dB).
    tk::Frames in, flat;
    ASSERT_TRUE(tk::decodeWithFfmpeg(input, &in) && tk::decodeWithFfmpeg(dir.path("eq.flac"), &flat));
    EXPECT_TRUE(flat.size() == in.size() && std::fabs(tk::rms(flat) / tk::rms(in) - 1.0) < 0.01);
    EXPECT_LE(tk::peak(flat), tk::peak(in) * 1.0012);

    const QString six = dir.path("six.wav");
    ASSERT_TRUE(clitest::synth(six, "-r 22050 -c 6 -b 16", "synth 3 sine 440 vol 0.3"));
    const QJsonObject info = clitest::json({"info", "--json", six});
    EXPECT_EQ(info["channels"].toInt(), 6);
    EXPECT_TRUE(info["mixedDownToStereo"].toBool());
    const clitest::Run eq = tool({"eq", "-o", dir.path("six-eq.wav"), six});
    ASSERT_TRUE(clitest::exitsWith(eq, 0, {"mixed down to stereo"}));
    EXPECT_EQ(channels(dir.path("six-eq.wav")), "2");
}
