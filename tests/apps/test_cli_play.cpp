// play: the tool plays into a PulseAudio null sink of the test program's own,
// whose monitor is recorded: the equaliser, amplifier and gate settings of the
// command line are heard, and playback stops at the end, after --duration, on
// SIGTERM and on 'q' at a terminal. Skipped only when no audio server can be
// started.
#include <QElapsedTimer>

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

QString wav(const tk::TempDir& dir, const QString& name, const Frames& f) {
    return tk::writeWav16(dir.path(name), f, kRate, 2) ? dir.path(name) : QString();
}

// Seconds of sound in a recording (first to last sample above the floor).
double soundSeconds(const Frames& f) {
    const size_t a = tk::firstSound(f), b = tk::lastSound(f);
    return a == SIZE_MAX ? 0.0 : double(b - a + 1) / kRate;
}

}  // namespace

// The equaliser band at the tone's frequency and the amplifier level add up; a
// gate at -40 dB mutes the quiet second half of a recording (the same tone 40
// dB lower: 33 steps of 16 bits, audible to the recorder); --duration plays that
// many seconds; each run says why it stopped. SIGTERM stops with 130 and no
// crash; on a terminal, 'q' stops playback (script(1) gives the tool a terminal
// and passes what it reads to it); a rate the output cannot play is refused
// with a message.
TEST(CliPlay, SettingsAreHeardAndPlaybackStopsWhereAsked) {
    std::string why;
    if (!tk::AudioServer::ensure(&why)) GTEST_SKIP() << "no audio server: " << why;
    tk::TempDir dir;
    const QString tone = wav(dir, "tone.wav", tk::sine(size_t(1.5 * kRate), kRate, 1000, 0.1));
    const QString steps = wav(dir, "steps.wav", tk::concat({tk::sine(kRate, kRate, 500, 0.1), tk::sine(kRate, kRate, 500, 0.001)}));
    const QString longer = wav(dir, "long.wav", tk::sine(8 * kRate, kRate, 440, 0.1));
    // gainDb: of the steady middle; NaN: not measured; seconds: of sound heard.
    const std::tuple<QStringList, double, double, const char*> cases[] = {
        {{tone}, 0.0, 1.5, "end"},
        {{"--band", "1k=6", "--amp", "3", tone}, 9.0, 1.5, "end"},
        {{"--gate", "-40", steps}, NAN, 1.0, "end"},
        {{"--duration", "0.7", longer}, NAN, 0.7, "duration"}};
    for (const auto& [args, gainDb, seconds, stoppedBy] : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        tk::MonitorTap tap;
        ASSERT_TRUE(tap.ok());
        const QJsonObject j = clitest::json(QStringList{"play", "--json"} + args);
        const Frames heard = tap.take();
        EXPECT_EQ(j["stoppedBy"].toString(), stoppedBy);
        EXPECT_NEAR(soundSeconds(heard), seconds, 0.06);
        if (stoppedBy == std::string("duration")) { EXPECT_NEAR(j["seconds"].toDouble(), seconds, 0.05); }
        if (std::isnan(gainDb)) continue;
        const size_t start = tk::firstSound(heard);
        ASSERT_NE(start, SIZE_MAX);
        // The steady middle of the tone (past the equaliser's and limiter's settling).
        const double rms = tk::rms(heard, start + kRate / 4, start + 3 * kRate / 4);
        EXPECT_NEAR(20 * std::log10(rms / (0.1 / std::sqrt(2.0))), gainDb, 0.3);
    }

    // The shell's process becomes the tool's (exec): $$ is the tool.
    const clitest::Run stopped = clitest::shellTool("(sleep 1.2; kill -TERM $$) & true", {"play", longer});
    EXPECT_TRUE(clitest::exitsWith(stopped, 130, {"interrupted"}));

    // Readable (the readers go to 768 kHz), beyond what the sound server plays.
    const QString high = clitest::wavFile(dir, "high.wav", Frames(7680, tk::Frame(0.1, 0.1)), 768000);
    EXPECT_TRUE(clitest::exitsWith(tool({"play", high}), 2, {"cannot play", "768000 Hz"}));

    if (!tk::haveTool("script")) GTEST_SKIP() << "no script(1) to give the tool a terminal";
    const std::string inner = std::string(TW_CLI_PATH) + " play --json " + tk::shellQuote(longer) + " >" +
                              tk::shellQuote(dir.path("out.json"));
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(tk::runCommand("(sleep 1.5; printf q; sleep 3) | script -qec " + tk::shellQuote(inner) + " /dev/null >/dev/null 2>&1"), 0);
    // Far less than the recording's 8 s: the key ended it, not the end.
    EXPECT_LT(clock.elapsed(), 6500);
    EXPECT_EQ(QJsonDocument::fromJson(tk::fileBytes(dir.path("out.json"))).object()["stoppedBy"].toString(), "key");
}
