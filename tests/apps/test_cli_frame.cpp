// The frame every job shares: usage and processing errors, exit codes, the
// streams results and messages go to, versions and the progress bar.
#include <QDir>
#include <cmath>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>

#include "CliKit.h"
#include "common/ExternalAudio.h"

using clitest::tool;

namespace {

struct BadCommand {
    const char* what;
    QStringList args;
};

}  // namespace

// Wrong command lines end with 1, a message on stderr and nothing on stdout.
TEST(CliFrame, UsageErrorsExitWithOne) {
    const QString wav = clitest::albumWav();
    const BadCommand cases[] = {
        {"no job", {}},
        {"unknown job", {"frobnicate", wav}},
        {"unknown option", {"info", "--bogus", wav}},
        {"no input", {"analyse"}},
        {"target not a number", {"level", "--target", "loud", wav}},
        {"target out of range", {"level", "--target", "6", wav}},
        {"jobs zero", {"info", "-j", "0", wav}},
        {"output of unknown type", {"split", "-o", "pieces.xyz", wav}},
        {"unknown format", {"level", "-f", "aiff", wav}},
        {"several inputs to one output file", {"level", "-o", "x.wav", wav, wav}},
        {"picture size", {"analyse", "--plot", "x.png", "--plot-size", "10x10", wav}},
        {"several inputs to one picture", {"analyse", "--no-save", "--plot", "x.png", wav, wav}},
        {"picture under a text name", {"eq", "--preset", "Rock", "--plot", "p.txt"}},
        {"output folder of a usage error", {"level", "-f", "aiff", "-o", "made-by-usage-error/", wav}},
        {"negative minimum length", {"split", "--min-length", "-1", wav}},
        {"two demo inputs", {"demo", wav, wav}},
        {"unknown reference curve", {"correct", "--reference", "Nonesuch", wav}},
        {"correction out of range", {"correct", "--max-correction", "-3", wav}},
        {"unknown preset", {"eq", "--preset", "Nonesuch", wav}},
        {"band of no frequency", {"eq", "--band", "33=2", wav}},
        {"band gain out of range", {"eq", "--band", "1k=20", wav}},
        {"eq without input or picture", {"eq", "--preset", "Rock"}},
        {"play of two files", {"play", wav, wav}},
        {"gate out of range", {"play", "--gate", "5", wav}},
    };
    for (const BadCommand& c : cases) {
        SCOPED_TRACE(c.what);
        const clitest::Run r = tool(c.args);
        EXPECT_FALSE(r.crashed);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        EXPECT_FALSE(r.err.trimmed().isEmpty());
    }
    // Nothing was made on the way.
    for (const char* name : {"x.png", "p.txt", "made-by-usage-error"}) EXPECT_FALSE(QFileInfo::exists(name)) << name;
}

// Files that cannot be read end with 2 and a message naming the file, for
// every job, and never leave an output behind.
TEST(CliFrame, BadInputsExitWithTwoAndNameTheFile) {
    tk::TempDir dir;
    const QString garbage = dir.path("garbage.wav");
    ASSERT_TRUE(tk::writeBytes(garbage, QByteArray(5000, 'x')));
    const QString empty = dir.path("empty.flac");
    QFile(empty).open(QIODevice::WriteOnly);
    const QString text = dir.path("notes.txt");
    ASSERT_TRUE(tk::writeBytes(text, "not sound\n"));
    const QString fakeMp3 = dir.path("fake.mp3");
    ASSERT_TRUE(tk::writeBytes(fakeMp3, QByteArray(3000, '\0')));
    const QStringList inputs = {dir.path("missing.wav"), garbage, empty, text, fakeMp3, dir.root()};
    for (const QString job : {"info", "analyse", "split", "level", "correct", "eq", "play"}) {
        for (const QString& input : inputs) {
            SCOPED_TRACE((job + " " + input).toStdString());
            // info and play write nothing and take no -y.
            const bool writes = job != "info" && job != "play";
            const clitest::Run r = tool(writes ? QStringList{job, "-y", "--json", input} : QStringList{job, "--json", input});
            EXPECT_FALSE(r.crashed);
            EXPECT_EQ(r.exitCode, 2);
            EXPECT_TRUE(r.err.contains(input)) << r.err.toStdString();
            EXPECT_TRUE(r.out.isEmpty());
        }
    }
    // Nothing was written beside the inputs.
    const QStringList left = QDir(dir.root()).entryList(QDir::Files);
    EXPECT_EQ(left.size(), 4) << left.join(' ').toStdString();
}

// One bad file in a batch: the others are done and reported, the exit code says a file failed.
TEST(CliFrame, BatchGoesOnPastABadFile) {
    const QString wav = clitest::albumWav();
    const clitest::Run r = tool({"info", "--json", wav, "/nonexistent/x.wav", wav});
    EXPECT_EQ(r.exitCode, 2);
    const QJsonDocument doc = r.json();
    ASSERT_TRUE(doc.isArray()) << r.out.toStdString();
    EXPECT_EQ(doc.array().size(), 2);
    EXPECT_TRUE(r.err.contains("/nonexistent/x.wav"));
}

namespace {
// A WAV header of the given fields followed by `data` bytes (float when bits is 32).
void writeWavHeader(const QString& path, unsigned rate, unsigned bits, const QByteArray& data) {
    QByteArray b("RIFF");
    auto put = [&](quint32 v, int bytes) {
        for (int i = 0; i < bytes; ++i) b.append(char((v >> (8 * i)) & 0xff));
    };
    put(36 + data.size(), 4);
    b.append("WAVEfmt ");
    put(16, 4);
    put(bits == 32 ? 3 : 1, 2);
    put(2, 2);
    put(rate, 4);
    put(rate * bits / 4, 4);
    put(bits / 4, 2);
    put(bits, 2);
    b.append("data");
    put(data.size(), 4);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(b + data);
}
}  // namespace

// Messages name the file and the cause in words (never a class of the
// library), and what is told of a file comes from its data, not its name.
TEST(CliFrame, MessagesSayTheCauseInWords) {
    tk::TempDir dir;
    writeWavHeader(dir.path("rate0.wav"), 0, 16, QByteArray(400, '\0'));
    QByteArray nan;
    const float notANumber = std::nanf("");
    for (int i = 0; i < 2 * 22050; ++i) nan.append(reinterpret_cast<const char*>(&notANumber), 4);
    writeWavHeader(dir.path("nan.wav"), 22050, 32, nan);
    // 59.9996 s: rounded to the millisecond it is one minute.
    ASSERT_TRUE(tk::writeWav16(dir.path("minute.wav"), tk::noise(599996, 0.1), 10000, 2));
    const bool haveSox = tk::haveTool("sox");
    if (haveSox) {
        ASSERT_EQ(tk::runCommand("sox " + tk::shellQuote(clitest::albumWav()) + " -t flac " +
                                 tk::shellQuote(dir.path("flac-data.wav"))),
                  0);
    }
    struct Case {
        const char* what;
        QStringList args;
        int exit;
        QString says, never;
    };
    const Case cases[] = {
        {"no sample rate", {"info", dir.path("rate0.wav")}, 2, "no sample rate", "SF_INFO"},
        {"samples that are not numbers", {"correct", "-o", dir.path("c.wav"), dir.path("nan.wav")}, 2, "not numbers", ""},
        {"length rounded as a whole", {"info", dir.path("minute.wav")}, 0, "00:01:00.000", "00:00:60.000"},
        {"FLAC data named .wav", {"info", dir.path("flac-data.wav")}, 0, "FLAC", "WAV,"},
    };
    for (const Case& c : cases) {
        if (!haveSox && c.args.last().contains("flac-data")) continue;
        SCOPED_TRACE(c.what);
        const clitest::Run r = tool(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << r.err.toStdString();
        const QString text = r.out + r.err;
        EXPECT_TRUE(text.contains(c.says)) << text.toStdString();
        if (!c.never.isEmpty()) {
            EXPECT_FALSE(text.contains(c.never)) << text.toStdString();
        }
        EXPECT_FALSE(r.err.contains(QRegularExpression("Sound[A-Z]\\w+|::"))) << r.err.toStdString();
        if (c.exit != 0) {
            EXPECT_TRUE(r.err.contains(c.args.last())) << r.err.toStdString();
        }
    }
    EXPECT_FALSE(QFileInfo::exists(dir.path("c.wav")));
}

TEST(CliFrame, HelpForEveryJob) {
    for (const QString job : {"info", "analyse", "split", "level", "correct", "eq", "play", "demo"}) {
        const clitest::Run r = tool({job, "--help"});
        EXPECT_EQ(r.exitCode, 0) << job.toStdString();
        EXPECT_TRUE(r.out.startsWith("Usage: tonewright " + job)) << r.out.toStdString();
        EXPECT_TRUE(r.err.isEmpty());
    }
    const clitest::Run all = tool({"--help"});
    EXPECT_EQ(all.exitCode, 0);
    for (const QString job : {"info", "analyse", "split", "level", "correct", "eq", "play", "demo"})
        EXPECT_TRUE(all.out.contains(job));
}

// The versions are those of the libraries installed, as pkg-config reports them
// (which may leave out a patch level of 0), on every job too.
TEST(CliFrame, VersionListsTheLibraries) {
    const clitest::Run r = tool({"--version"});
    ASSERT_EQ(r.exitCode, 0);
    const QStringList lines = r.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 5) << r.out.toStdString();
    const char* names[] = {"tonewright", "libsndfile", "mpg123", "TagLib", "LAME"};
    const char* packages[] = {nullptr, "sndfile", nullptr, "taglib", nullptr};
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(lines[i].startsWith(QString(names[i]) + " ")) << lines[i].toStdString();
        std::string version;
        if (packages[i] && tk::runCommand(std::string("pkg-config --modversion ") + packages[i] + " 2>/dev/null", &version) == 0) {
            EXPECT_TRUE(lines[i].startsWith(QString(names[i]) + " " + QString::fromStdString(version).trimmed()))
                << lines[i].toStdString();
        }
    }
    std::string lame;  // the encoder is loaded at run time: its own tool says which
    if (tk::haveTool("lame") && tk::runCommand("lame --version 2>&1 | head -1", &lame) == 0) {
        EXPECT_TRUE(QString::fromStdString(lame).contains(lines[4].mid(5))) << lame << " vs " << lines[4].toStdString();
    }
    EXPECT_EQ(tool({"split", "--version"}).out, r.out);
}

// --verbose sends the library's diagnostics to stderr: stdout stays valid JSON.
TEST(CliFrame, VerboseKeepsResultsClean) {
    const clitest::Run r = tool({"analyse", "--no-save", "--json", "--verbose", clitest::albumWav()});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.json().isObject());
    EXPECT_FALSE(r.err.isEmpty());  // the statistics report, at least
    const clitest::Run quiet = tool({"analyse", "--no-save", "--json", clitest::albumWav()});
    EXPECT_TRUE(quiet.err.isEmpty()) << quiet.err.toStdString();
}

// The bar is drawn on a terminal only, and --quiet silences it.
TEST(CliFrame, ProgressBarOnlyOnATerminal) {
    if (!tk::haveTool("script")) GTEST_SKIP() << "no script(1) to give the tool a terminal";
    tk::TempDir dir;
    const std::string wav = tk::shellQuote(clitest::albumWav());
    auto onTerminal = [&](const std::string& extra) {
        // script runs the command on a pseudo-terminal; stdout goes to a file,
        // what reaches the terminal is stderr.
        const std::string inner = std::string("TONEWRIGHT_PROGRESS_DELAY=0 ") + TW_CLI_PATH + " analyse --no-save " + extra + " " +
                                  wav + " >" + tk::shellQuote(dir.path("out.txt"));
        std::string text;
        tk::runCommand("script -qec " + tk::shellQuote(inner) + " /dev/null", &text);
        return QString::fromStdString(text);
    };
    const QString bar = onTerminal("");
    EXPECT_TRUE(bar.contains(QRegularExpression("analyse \\[#+\\.*\\] +\\d+%"))) << bar.toStdString();
    EXPECT_FALSE(onTerminal("--quiet").contains('%'));
    // Not a terminal: nothing on stderr at all.
    const clitest::Run r = tool({"analyse", "--no-save", clitest::albumWav()}, {{"TONEWRIGHT_PROGRESS_DELAY", "0"}});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
}

// The writing jobs give a mono recording mono results (every format, the pieces
// of split too) holding the recording's samples; a 5.1 recording is announced
// as mixed down, by info and by the jobs that read it.
TEST(CliFrame, OutputChannelsFollowTheInput) {
    if (!tk::haveTool("ffprobe") || !tk::haveTool("sox")) GTEST_SKIP() << "ffprobe and sox are needed";
    tk::TempDir dir;
    const tk::Recording& album = clitest::albumRecording();
    tk::Frames mono(album.frames.begin(), album.frames.begin() + 25 * album.rate);
    for (tk::Frame& f : mono) f.r = f.l;
    const QString input = dir.path("mono.wav");
    ASSERT_TRUE(tk::writeWav16(input, mono, album.rate, 1));
    struct Case {
        QStringList args;
        QString output;  // a file, or a folder of pieces
    };
    QDir(dir.root()).mkpath("pieces");
    const Case cases[] = {{{"eq", "-o", dir.path("eq.flac"), input}, dir.path("eq.flac")},
                          {{"level", "-o", dir.path("level.wav"), input}, dir.path("level.wav")},
                          {{"correct", "-o", dir.path("correct.ogg"), input}, dir.path("correct.ogg")},
                          {{"eq", "-o", dir.path("eq.mp3"), input}, dir.path("eq.mp3")},
                          {{"split", "-o", dir.path("pieces"), input}, dir.path("pieces")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const clitest::Run r = tool(c.args);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        QStringList files{c.output};
        if (QFileInfo(c.output).isDir()) {
            files.clear();
            for (const QString& f : QDir(c.output).entryList(QDir::Files)) files << c.output + "/" + f;
        }
        ASSERT_FALSE(files.isEmpty());
        for (const QString& f : files)
            EXPECT_EQ(tk::ffprobe(f, "stream=channels")["channels"], "1") << f.toStdString();
    }
    // The flat equaliser gives the recording back: one channel, the same samples.
    EXPECT_LT(clitest::soxStat(dir.path("eq.flac"), "Pk lev dB") - clitest::soxStat(input, "Pk lev dB"), 0.01);

    const QString six = dir.path("six.wav");
    ASSERT_EQ(tk::runCommand("sox -n -r 22050 -c 6 -b 16 " + tk::shellQuote(six) + " synth 3 sine 440 vol 0.3"), 0);
    const clitest::Run info = tool({"info", "--json", six});
    ASSERT_EQ(info.exitCode, 0) << info.err.toStdString();
    EXPECT_EQ(info.json().object()["channels"].toInt(), 6);
    EXPECT_TRUE(info.json().object()["mixedDownToStereo"].toBool());
    const clitest::Run eq = tool({"eq", "-o", dir.path("six-eq.wav"), six});
    ASSERT_EQ(eq.exitCode, 0) << eq.err.toStdString();
    EXPECT_TRUE(eq.err.contains("mixed down to stereo")) << eq.err.toStdString();
    EXPECT_EQ(tk::ffprobe(dir.path("six-eq.wav"), "stream=channels")["channels"], "2");
}
