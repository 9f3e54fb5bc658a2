// play: plays a recording through the platform audio output with the player's
// equaliser (preset, bands, bass boost), a noise gate and an amplifier level.
// Playback ends at the end of the recording, after --duration, on 'q' typed on
// a terminal, or on SIGINT/SIGTERM.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <cmath>
#include <termios.h>
#include <unistd.h>

#include "Cli.h"
#include "Equaliser.h"
#include "Progress.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoNoiseGate.h"
#include "tonewright/SoundPlayerQt.h"

namespace {

// Keys without Enter and without echo while playing, when stdin is a terminal;
// the terminal's own settings come back when the object goes.
class RawTerminal {
public:
    RawTerminal() {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &mSaved) != 0) return;
        termios raw = mSaved;
        raw.c_lflag &= tcflag_t(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        mActive = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~RawTerminal() {
        if (mActive) tcsetattr(STDIN_FILENO, TCSANOW, &mSaved);
    }
    bool active() const { return mActive; }

private:
    termios mSaved{};
    bool mActive = false;
};

const QCommandLineOption kGate("gate", "Noise gate threshold in dB: quieter passages are muted (default: no gate).",
                               "dB");
const QCommandLineOption kAmp("amp", "Amplifier level in dB, peaks held at full scale by its limiter (default 0).",
                              "dB", "0");
const QCommandLineOption kStart("start", "Start this many seconds into the recording.", "seconds", "0");
const QCommandLineOption kDuration("duration", "Stop after this many seconds of playback.", "seconds");

int runPlay(const QStringList& args) {
    cli::JobParser p("play",
                     "Plays a recording through the audio output with the player's equaliser (a preset or band "
                     "gains, the bass-boost band), a noise gate and an amplifier level. Stops at the end, after "
                     "--duration, on 'q' typed on a terminal, or on Ctrl-C.",
                     cli::JobParser::Json);
    const cli::EqOptions eqOptions;
    eqOptions.addTo(p);
    for (const QCommandLineOption& o : {kGate, kAmp, kStart, kDuration}) p.addOption(o);
    p.addInputs("The recording to play (wav, flac, ogg, mp3).", "file");
    const int early = p.parse(args);
    if (early >= 0) return early;
    if (p.isSet(eqOptions.listPresets)) {
        if (cli::options().json)
            cli::printJson(cli::presetListJson());
        else
            cli::printOut(cli::presetList());
        return cli::Success;
    }
    if (p.inputs().size() != 1) return p.usageError("one recording to play");
    cli::EqSettings eq;
    double gate = -100, amp = 0, start = 0, duration = 0;
    if (!eqOptions.read(p, eq) || !p.number(kAmp, -40, 20, &amp) || !p.number(kStart, 0, 1e6, &start) ||
        (p.isSet(kGate) && !p.number(kGate, -100, 0, &gate)) ||
        (p.isSet(kDuration) && !p.number(kDuration, 0.1, 1e6, &duration)))
        return cli::UsageError;

    const QString input = p.inputs()[0];
    std::shared_ptr<SoundReader> reader(cli::openReader(input).release());
    if (!reader) {
        cli::printError(input, "cannot play", cli::lastError());
        return cli::ProcessingError;
    }
    const double length = reader->getSampleRate() ? double(reader->getFrameNB()) / reader->getSampleRate() : 0.0;
    if (start > 0) reader->setStartPoint(start);

    SoundPlayerQt player(reader, nullptr, true);
    // The post-processing chain after the equaliser: gate, then the amplifier
    // (a limiter whose make-up gain is the level).
    auto chain = SoundRef<SoundAlgoComposite>::make("PostProcessing", true);
    SoundAlgoNoiseGate* gateAlgo = nullptr;
    if (p.isSet(kGate)) {
        auto g = SoundRef<SoundAlgoNoiseGate>::make(gate);
        gateAlgo = g.get();
        chain->pushAlgo(g.release());
    }
    auto limiter = SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1);
    SoundAlgoLimiter* amplifier = limiter.get();
    chain->pushAlgo(limiter.release());
    player.setPostProcessingChain(chain.release());
    if (gateAlgo) {
        player.setNoiseGate(gateAlgo);
        player.setGateLevel(gate);
    }
    player.setAmplifier(amplifier);
    player.setAmpLevel(amp);

    // The equaliser: the preset's gains, then the bands given one by one.
    if (eq.preset >= 0) player.setEqPreset(unsigned(eq.preset));
    for (size_t i = 0; i < eq.gains.size(); ++i)
        if (player.getEqBandLevel(unsigned(i)) != eq.gains[i]) player.setEqLevel(unsigned(i), eq.gains[i]);
    bool bands = false;
    for (double g : eq.gains) bands |= g != 0.0;
    player.switchEq(bands);
    if (eq.bassBoost) {
        player.setEqLevel(player.getEqBandNumber(), eq.bassBoostGain);
        player.switchBassBoost(true);
    }

    enum class End { None, Finished, Duration, Key, Signal, Failed } end = End::None;
    double played = 0;
    bool stopping = false;
    auto finish = [&](End why) {
        if (end == End::None) end = why;
        if (!stopping && why != End::Finished && why != End::Failed) {
            stopping = true;
            player.stop();
        }
        QCoreApplication::exit(0);
    };
    // playingHasFinished may come from the device's thread: handled here, on
    // the thread that drives the player.
    // The end of the data is reported when the output has read the last
    // block, which it still holds in its buffer: playback has ended once the
    // output has run dry too (the player is stopped then).
    QElapsedTimer sinceDataEnd;
    QObject::connect(&player, &SoundPlayer::playingHasFinished, QCoreApplication::instance(),
                     [&](bool ok) {
                         if (stopping) return;
                         if (!ok)
                             finish(End::Failed);
                         else if (player.isStopped())
                             finish(End::Finished);
                         else if (!sinceDataEnd.isValid())
                             sinceDataEnd.start();
                     },
                     Qt::QueuedConnection);
    QObject::connect(&player, &SoundPlayer::playingProgress, QCoreApplication::instance(),
                     [&](double seconds) {
                         played = seconds;
                         if (length > start) cli::progress::set(0, std::min(1.0, seconds / (length - start)));
                     },
                     Qt::QueuedConnection);
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (cli::interrupted()) finish(End::Signal);
        // An output that never reports running dry is given its buffer's worth.
        if (sinceDataEnd.isValid() && (player.isStopped() || sinceDataEnd.elapsed() > 3000)) finish(End::Finished);
        if (duration > 0 && played >= duration) finish(End::Duration);
    });
    if (duration > 0) {
        // Progress comes every half second; the last part is timed here.
        QTimer::singleShot(int(duration * 1000.0), [&] { finish(End::Duration); });
    }
    RawTerminal terminal;
    std::unique_ptr<QSocketNotifier> keys;
    if (terminal.active()) {
        keys = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(keys.get(), &QSocketNotifier::activated, [&] {
            char c = 0;
            if (::read(STDIN_FILENO, &c, 1) == 1 && (c == 'q' || c == 'Q' || c == 27)) finish(End::Key);
        });
    }

    if (!cli::options().json)
        cli::printOut(QString("%1: playing %2%3 (%4)%5\n")
                          .arg(input, cli::formatTime(length), start > 0 ? " from " + cli::formatTime(start) : QString(),
                               cli::describe(eq))
                          .arg(terminal.active() ? ", q stops" : ""));
    cli::progress::begin("play", 1);
    cli::clearError();
    player.preload();
    player.start();
    poll.start();
    if (end == End::None) QCoreApplication::exec();
    poll.stop();
    if (!stopping && end != End::Finished) player.stop();
    cli::progress::end();

    if (end == End::Failed) {
        cli::printError(input, "cannot play", "no audio output could be opened (or the recording failed to decode)");
        return cli::ProcessingError;
    }
    if (end == End::Signal) {
        cli::printErr("tonewright: interrupted\n");
        return cli::InterruptedExit;
    }
    const char* how = end == End::Finished ? "end" : end == End::Duration ? "duration" : "key";
    if (cli::options().json)
        cli::printJson(QJsonObject{{"file", input},
                                   {"seconds", cli::roundSeconds(end == End::Finished ? std::max(0.0, length - start)
                                                                               : std::min(played, length - start))},
                                   {"stoppedBy", how},
                                   {"equaliser", cli::toJson(eq)},
                                   {"gate", p.isSet(kGate) ? QJsonValue(gate) : QJsonValue()},
                                   {"amp", amp}});
    return cli::Success;
}

cli::Job play("play", "plays a recording with the equaliser, a noise gate and an amplifier level", runPlay);

}  // namespace
