// play: the tool plays into a PulseAudio null sink of the test program's own,
// whose monitor is recorded: what was heard, with the equaliser, amplifier and
// gate settings of the command line, and the ways playback stops (end,
// --duration, SIGTERM, 'q' on a terminal). Skipped only when no audio server
// can be started.
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <cmath>
#include <csignal>

#include "CliKit.h"
#include "common/AudioServer.h"
#include "common/ExternalAudio.h"

using clitest::tool;
using tk::Frames;

namespace {

constexpr unsigned kRate = 44100;  // the sink's rate: nothing is resampled

// The server starts with the first test that needs it and stops at the end.
struct AudioEnvironment : ::testing::Environment {
    void TearDown() override { tk::AudioServer::shutdown(); }
};
::testing::Environment* const kAudio = ::testing::AddGlobalTestEnvironment(new AudioEnvironment);

#define REQUIRE_AUDIO()                                                                \
    do {                                                                               \
        std::string why;                                                               \
        if (!tk::AudioServer::ensure(&why)) GTEST_SKIP() << "no audio server: " << why; \
    } while (0)

// A tone of `amplitude` at `freq` for `seconds`, then the same tone at
// `tailAmplitude` for `tailSeconds`.
QString toneFile(const tk::TempDir& dir, const QString& name, double freq, double amplitude, double seconds,
                 double tailAmplitude = 0, double tailSeconds = 0) {
    Frames f;
    const size_t n = size_t(seconds * kRate), tail = size_t(tailSeconds * kRate);
    for (size_t i = 0; i < n + tail; ++i) {
        const double a = i < n ? amplitude : tailAmplitude;
        const double v = a * std::sin(2 * M_PI * freq * double(i) / kRate);
        f.emplace_back(v, v);
    }
    const QString path = dir.path(name);
    return tk::writeWav16(path, f, kRate, 2) ? path : QString();
}

double rms(const Frames& f, size_t from, size_t n) {
    double s = 0;
    for (size_t i = from; i < from + n && i < f.size(); ++i) s += f[i].l * f[i].l;
    return std::sqrt(s / double(n));
}

// Seconds of sound in a recording (first to last sample above the floor).
double soundSeconds(const Frames& f) {
    const size_t a = tk::firstSound(f), b = tk::lastSound(f);
    return a == SIZE_MAX ? 0.0 : double(b - a + 1) / kRate;
}

}  // namespace

// The equaliser band at the tone's frequency and the amplifier level add up; a
// gate at -40 dB mutes the quiet second half of a recording (the same tone 40
// dB lower: 33 steps of 16 bits, audible to the recorder); the whole recording
// is played and the job says so.
TEST(CliPlay, EqualiserAmplifierAndGateAreHeard) {
    REQUIRE_AUDIO();
    tk::TempDir dir;
    const QString tone = toneFile(dir, "tone.wav", 1000, 0.1, 1.5);
    const QString steps = toneFile(dir, "steps.wav", 500, 0.1, 1.0, 0.001, 1.0);
    ASSERT_FALSE(tone.isEmpty() || steps.isEmpty());
    struct Case {
        QStringList args;
        double gainDb;   // of the steady middle; NaN: not measured
        double seconds;  // of sound heard
    };
    const Case cases[] = {{{tone}, 0.0, 1.5}, {{"--band", "1k=6", "--amp", "3", tone}, 9.0, 1.5},
                          {{"--gate", "-40", steps}, NAN, 1.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        tk::MonitorTap tap;
        ASSERT_TRUE(tap.ok());
        const clitest::Run r = tool(QStringList{"play", "--json"} + c.args);
        const Frames heard = tap.take();
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.json().object()["stoppedBy"].toString(), "end");
        EXPECT_NEAR(soundSeconds(heard), c.seconds, 0.06);
        if (std::isnan(c.gainDb)) continue;
        const size_t start = tk::firstSound(heard);
        ASSERT_NE(start, SIZE_MAX);
        // The steady middle of the tone (past the equaliser's and limiter's settling).
        const double level = 20 * std::log10(rms(heard, start + kRate / 4, kRate / 2) / (0.1 / std::sqrt(2.0)));
        EXPECT_NEAR(level, c.gainDb, 0.3);
    }
}

// --duration plays that many seconds of the recording, heard to within 50 ms,
// and says so; SIGTERM stops with 130 and no crash; a rate the output cannot
// play is refused with a message.
TEST(CliPlay, StopsOnDurationAndSignals) {
    REQUIRE_AUDIO();
    tk::TempDir dir;
    const QString wav = toneFile(dir, "long.wav", 440, 0.1, 8.0);
    for (double duration : {0.7, 2.0}) {
        SCOPED_TRACE(duration);
        tk::MonitorTap tap;
        QElapsedTimer clock;
        clock.start();
        const clitest::Run r = tool({"play", "--json", "--duration", QString::number(duration), wav});
        const double elapsed = clock.elapsed() / 1000.0;
        const Frames heard = tap.take();
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.json().object()["stoppedBy"].toString(), "duration");
        EXPECT_NEAR(r.json().object()["seconds"].toDouble(), duration, 0.05);
        EXPECT_NEAR(soundSeconds(heard), duration, 0.05);
        EXPECT_LT(elapsed, duration + 4.0);
    }
    {
        QProcess p;
        p.start(TW_CLI_PATH, {"play", wav});
        ASSERT_TRUE(p.waitForStarted(5000));
        QThread::msleep(1200);
        ::kill(pid_t(p.processId()), SIGTERM);
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 130);
        EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains("interrupted"));
    }
    {
        // Readable (the readers go to 768 kHz), beyond what the sound server plays.
        Frames f(7680, tk::Frame(0.1, 0.1));
        const QString high = dir.path("high.wav");
        ASSERT_TRUE(tk::writeWav16(high, f, 768000, 2));
        const clitest::Run r = tool({"play", high});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.contains("cannot play") && r.err.contains("768000 Hz")) << r.err.toStdString();
    }
}

// On a terminal, 'q' stops playback (script(1) gives the tool a terminal and
// passes what it reads to it).
TEST(CliPlay, QuitKeyOnATerminal) {
    REQUIRE_AUDIO();
    if (!tk::haveTool("script")) GTEST_SKIP() << "no script(1) to give the tool a terminal";
    tk::TempDir dir;
    const QString wav = toneFile(dir, "long.wav", 440, 0.1, 8.0);
    const std::string inner = std::string(TW_CLI_PATH) + " play --json " + tk::shellQuote(wav) + " >" +
                              tk::shellQuote(dir.path("out.json"));
    QElapsedTimer clock;
    clock.start();
    const int status = tk::runCommand("(sleep 1.5; printf q; sleep 3) | script -qec " + tk::shellQuote(inner) +
                                      " /dev/null >/dev/null 2>&1");
    EXPECT_EQ(status, 0);
    // Far less than the recording's 8 s: the key ended it, not the end.
    EXPECT_LT(clock.elapsed(), 6500);
    QFile out(dir.path("out.json"));
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(out.readAll()).object()["stoppedBy"].toString(), "key");
}
