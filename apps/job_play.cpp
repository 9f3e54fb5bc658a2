// play: plays a recording through the platform audio output with the player's
// equaliser (preset, bands, bass boost), a noise gate and an amplifier level.
// Playback ends at the end of the recording, after --duration, on 'q' typed on
// a terminal, or on SIGINT/SIGTERM.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <termios.h>
#include <unistd.h>

#include "Cli.h"
#include "Equaliser.h"
#include "Progress.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoNoiseGate.h"
#include "tonewright/SoundBuffer.h"
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
const QCommandLineOption kDuration("duration", "Play this many seconds of the recording, then stop.", "seconds");

// At most `limit` frames of another reader, then `pad` frames of silence.
// --duration hands the player just the frames it is to play, so that playback
// ends as at the end of a recording and lasts exactly as long. The silence is
// for the sound server: the platform output reports the end once it has handed
// over the last frames, while the server may still hold up to its buffer of
// them, which closing the output would cut off.
class LimitedReader : public SoundReader {
public:
    LimitedReader(std::shared_ptr<SoundReader> inner, uint64_t limit, uint64_t pad)
        : mInner(std::move(inner)),
          mLimit(limit),
          mPad(pad),
          mScratch(SoundBuffer::createNew(mInner->getSampleRate())) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return unsigned(std::min<uint64_t>(mInner->getFrameNB(), mLimit)); }
    unsigned getSampleRate() const override { return mInner->getSampleRate(); }
    void rewind() override {
        resetAtEnd();
        mOffset = 0;
        mDone = 0;
        mPadded = 0;
        mInner->rewind();
    }
    SoundTools::SoundFormat getInputFormat() const override { return mInner->getInputFormat(); }
    // Frames handed on since the last rewind.
    uint64_t framesRead() const { return mDone; }

protected:
    unsigned read(unsigned count, double* dest) override {
        const unsigned want = unsigned(std::min<uint64_t>(count, mLimit - mDone));
        if (want > 0 && !mInner->atEnd()) {
            mScratch->alloc(want, 2);
            const unsigned n = mInner->stereoRead(mScratch, 0);
            if (mInner->hasFailed()) markFailed();
            std::copy(mScratch->data(), mScratch->data() + 2 * size_t(n), dest);
            mDone += n;
            if (n > 0 || hasFailed()) return n;
        }
        const unsigned zeros = unsigned(std::min<uint64_t>(count, mPad - mPadded));
        std::fill(dest, dest + 2 * size_t(zeros), 0.0);
        mPadded += zeros;
        return zeros;
    }

private:
    std::shared_ptr<SoundReader> mInner;
    uint64_t mLimit;
    uint64_t mPad;
    uint64_t mDone = 0;
    uint64_t mPadded = 0;
    std::shared_ptr<SoundBuffer> mScratch;
};

struct PlaySettings {
    QString input;
    tonewright::EqSettings eq;
    bool gateOn = false;
    double gate = -100, amp = 0, start = 0, duration = 0;
};

// Reads the command line; -1 when playback is to go on, else the exit code.
int parsePlay(const QStringList& args, PlaySettings& s) {
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
        cli::printPresetList();
        return cli::Success;
    }
    if (p.inputs().size() != 1) return p.usageError("one recording to play");
    s.gateOn = p.isSet(kGate);
    if (!eqOptions.read(p, s.eq) || !p.number(kAmp, -40, 20, &s.amp) || !p.number(kStart, 0, 1e6, &s.start) ||
        (s.gateOn && !p.number(kGate, -100, 0, &s.gate)) ||
        (p.isSet(kDuration) && !p.number(kDuration, 0.1, 1e6, &s.duration)))
        return cli::UsageError;
    s.input = p.inputs()[0];
    return -1;
}

// The post-processing chain after the equaliser (gate, then the amplifier: a
// limiter whose make-up gain is the level) and the equaliser's settings.
void configurePlayer(SoundPlayerQt& player, const PlaySettings& s) {
    auto chain = SoundRef<SoundAlgoComposite>::make("PostProcessing", true);
    SoundAlgoNoiseGate* gateAlgo = nullptr;
    if (s.gateOn) {
        auto g = SoundRef<SoundAlgoNoiseGate>::make(s.gate);
        gateAlgo = g.get();
        chain->pushAlgo(g.release());
    }
    auto limiter = SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1);
    SoundAlgoLimiter* amplifier = limiter.get();
    chain->pushAlgo(limiter.release());
    player.setPostProcessingChain(chain.release());
    if (gateAlgo) {
        player.setNoiseGate(gateAlgo);
        player.setGateLevel(s.gate);
    }
    player.setAmplifier(amplifier);
    player.setAmpLevel(s.amp);

    // The preset's gains, then the bands given one by one.
    if (!s.eq.preset.empty()) player.setEqPreset(unsigned(tonewright::findEqPreset(s.eq.preset)));
    for (size_t i = 0; i < s.eq.gains.size(); ++i)
        if (player.getEqBandLevel(unsigned(i)) != s.eq.gains[i]) player.setEqLevel(unsigned(i), s.eq.gains[i]);
    bool bands = false;
    for (double g : s.eq.gains) bands |= g != 0.0;
    player.switchEq(bands);
    if (s.eq.bassBoost) {
        player.setEqLevel(player.getEqBandNumber(), s.eq.bassBoostGain);
        player.switchBassBoost(true);
    }
}

enum class End { None, Finished, Key, Signal, Failed };

// Runs the event loop until playback ends (the data played out, a key, a
// signal, a failure); `heard` is what was played when it was cut short.
End playUntilEnd(SoundPlayerQt& player, double length, double* heard) {
    End end = End::None;
    bool stopping = false;
    auto finish = [&](End why) {
        if (end == End::None) end = why;
        if (!stopping && why != End::Finished && why != End::Failed) {
            stopping = true;
            *heard = player.getSecondsPlayed();
            player.stop();
        }
        QCoreApplication::exit(0);
    };
    // playingHasFinished may come from the device's thread: handled here, on
    // the thread that drives the player. The end of the data is reported when
    // the output has read the last block, which it still holds in its buffer:
    // playback has ended once the output has run dry too (the player is
    // stopped then).
    QElapsedTimer sinceDataEnd;
    // The receiver of the player's queued signals: it goes before the locals
    // the handlers use, taking the connections and any event still queued with
    // it (the player's destructor runs an event loop after this returns).
    QObject receiver;
    QObject::connect(&player, &SoundPlayer::playingHasFinished, &receiver,
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
    QObject::connect(&player, &SoundPlayer::playingProgress, &receiver,
                     [&](double seconds) {
                         if (length > 0) cli::progress::set(0, std::min(1.0, seconds / length));
                     },
                     Qt::QueuedConnection);
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (cli::interrupted()) finish(End::Signal);
        // An output that never reports running dry is given its buffer's worth.
        if (sinceDataEnd.isValid() && (player.isStopped() || sinceDataEnd.elapsed() > 3000)) finish(End::Finished);
    });
    RawTerminal terminal;
    std::unique_ptr<QSocketNotifier> keys;
    if (terminal.active()) {
        keys = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(keys.get(), &QSocketNotifier::activated, [&] {
            char c = 0;
            if (::read(STDIN_FILENO, &c, 1) == 1 && (c == 'q' || c == 'Q' || c == 27)) finish(End::Key);
        });
    }
    player.preload();
    player.start();
    poll.start();
    if (end == End::None) QCoreApplication::exec();
    poll.stop();
    if (!stopping && end != End::Finished) player.stop();
    return end;
}

// The audio plugin's engine is a process-wide object that the run time
// destroys at exit, and it disconnects from the sound server without holding
// the lock of its own event thread: a server notification arriving in that
// instant (the sink going idle once our stream has gone, another client
// starting) is dispatched while the connection is torn down, and the client
// library aborts the process. So the job ends the process here, once the
// player is gone and everything it has to say is out, without that teardown;
// the server drops the connection by itself.
[[noreturn]] void exitWithoutAudioTeardown(int code) {
    if (std::fflush(stdout) != 0 && code == cli::Success) code = cli::ProcessingError;
    std::fflush(stderr);
    std::_Exit(code);
}

int playRecording(const PlaySettings& s) {
    std::shared_ptr<SoundReader> file(cli::openReader(s.input).release());
    if (!file) {
        cli::printError(s.input, "cannot play", cli::lastError());
        return cli::ProcessingError;
    }
    const unsigned rate = file->getSampleRate();
    const QString problem = SoundPlayerQt::formatProblem(rate);
    if (!problem.isEmpty()) {
        cli::printError(s.input, "cannot play", problem);
        return cli::ProcessingError;
    }
    const double length = double(file->getFrameNB()) / rate;
    const double remaining = std::max(0.0, length - s.start);
    if (s.start > 0) file->setStartPoint(s.start);
    const bool limited = s.duration > 0 && s.duration < remaining;
    const uint64_t frames = limited ? uint64_t(std::llround(s.duration * rate)) : UINT64_MAX;
    // The output's buffer (a quarter of a second) and some to spare.
    const uint64_t pad = uint64_t(rate) * 2 / 5;
    auto reader = std::make_shared<LimitedReader>(file, frames, pad);

    double heard = 0;
    End end = End::None;
    {
        SoundPlayerQt player(reader, nullptr, true);
        configurePlayer(player, s);
        if (!cli::options().json)
            cli::printOut(QString("%1: playing %2%3 (%4)%5\n")
                              .arg(s.input, cli::formatTime(limited ? s.duration : remaining),
                                   s.start > 0 ? " from " + cli::formatTime(s.start) : QString(), cli::describe(s.eq))
                              .arg(isatty(STDIN_FILENO) ? ", q stops" : ""));
        cli::progress::begin("play", 1);
        cli::clearError();
        end = playUntilEnd(player, limited ? s.duration : remaining, &heard);
        cli::progress::end();
        if (end == End::Finished) heard = double(reader->framesRead()) / rate;
    }
    if (end == End::Failed) {
        const QString cause = cli::lastError();
        cli::printError(s.input, "cannot play",
                        cause.isEmpty() ? "no audio output could be opened (or the recording failed to decode)" : cause);
        return cli::ProcessingError;
    }
    if (end == End::Signal) {
        cli::printErr("tonewright: interrupted\n");
        return cli::InterruptedExit;
    }
    const char* how = end == End::Key ? "key" : limited ? "duration" : "end";
    if (cli::options().json)
        cli::printJson(QJsonObject{{"file", s.input},
                                   {"seconds", cli::roundSeconds(std::min(heard, limited ? s.duration : remaining))},
                                   {"stoppedBy", how},
                                   {"equaliser", cli::equaliserJson(s.eq)},
                                   {"gate", s.gateOn ? QJsonValue(s.gate) : QJsonValue()},
                                   {"amp", s.amp}});
    return cli::Success;
}

int runPlay(const QStringList& args) {
    PlaySettings settings;
    const int early = parsePlay(args, settings);
    if (early >= 0) return early;
    exitWithoutAudioTeardown(playRecording(settings));
}

}  // namespace

namespace {
cli::Job play("play", "plays a recording with the equaliser, a noise gate and an amplifier level", runPlay,
              [](const QStringList& args) {
                  PlaySettings settings;
                  return parsePlay(args, settings);
              });

}  // namespace
