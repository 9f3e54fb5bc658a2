// Real-time playback: how fast the streaming device delivers PCM when read as
// fast as possible, how soon the first bytes come after start(), how long stop()
// takes, and the pipe's own throughput; then the player on the platform audio
// output: the CPU it takes while playing in real time and the time from start()
// to the first bytes handed to the output.
//
//   scripts/start-audio.sh && build/bench/bench_playback
//
// x_realtime is seconds of audio delivered per second of wall time (a live
// output needs 1; the device should manage 50 or more). The output benchmarks
// need an audio server (a PulseAudio null sink will do) and skip without one.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <QAudioOutput>
#include <QEventLoop>
#include <QTimer>

#include "BenchKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoDevice.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoNoiseGate.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"
#include "tonewright/SoundPlayer.h"
#include "tonewright/SoundPlayerQt.h"
#include "tonewright/SoundReaderBuffer.h"

namespace {
constexpr unsigned kRate = 44100;
using Clock = std::chrono::steady_clock;

// The processing chain: elementary algorithms only, with a delay, a hold-back
// and gains. With `branches`, two parallel branches mixed back as well: those
// run on OpenMP worker threads inside each block.
SoundAlgo* processingChain(bool branches) {
    auto top = SoundRef<SoundAlgoComposite>::make("processing");
    top->pushAlgo(SoundRef<SoundAlgoScale>::make(-3.0).release());
    if (branches) {
        auto par = SoundRef<SoundAlgoComposite>::make("branches");
        par->pushAlgo(SoundRef<SoundAlgoScale>::make(-6.0).release());
        par->addNewBranch();
        par->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.002, false).release());
        par->pushAlgo(SoundRef<SoundAlgoScale>::make(-6.0).release());
        top->pushAlgo(par.release());
        top->pushAlgo(SoundRef<SoundAlgoAdd>::make(2, true).release());
    } else {
        top->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.002, false).release());
        top->pushAlgo(SoundRef<SoundAlgoScale>::make(-6.0).release());
    }
    top->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.004, true).release());
    top->pushAlgo(SoundRef<SoundAlgoScale>::make(2.0).release());
    return top.release();
}

// The post-processing chain the player runs live: its nine-band equaliser
// (switched on, "Standard" preset, so that every band's filter runs and the last
// is the anti-clip filter), then a noise gate and an amplifier as a host
// installs them. The player builds the equaliser and puts it in front.
class BenchPlayer : public SoundPlayer {
public:
    using SoundPlayer::SoundPlayer;
    void preload() override {}
    void start() override {}
    void stop() override {}
    void endOfData() override {}
};

void installPlayerChain(SoundPlayer& player) {
    player.switchEq(true);
    player.setEqPreset(1);
    auto post = SoundRef<SoundAlgoComposite>::make("post-processing");
    auto gate = SoundRef<SoundAlgoNoiseGate>::make(-60.0, 0.01, 0.3);
    auto amp = SoundRef<SoundAlgoRMSAmplifier>::make(-1.0, nullptr);
    player.setNoiseGate(gate.get());
    player.setAmplifier(amp.get());
    post->pushAlgo(gate.release());
    post->pushAlgo(amp.release());
    player.setPostProcessingChain(post.release());
}

// A device with the processing chain and, with `withPost`, the player's
// post-processing chain. The player owns the device.
struct Rig {
    std::unique_ptr<BenchPlayer> player;
    SoundAlgoDevice* dev = nullptr;
};

Rig makeRig(uint64_t frames, bool withPost, bool branches = false) {
    auto reader = std::make_shared<bench::LoopReader>(frames, kRate);
    SoundAlgo* chain = processingChain(branches);
    Rig rig;
    rig.player = std::make_unique<BenchPlayer>(reader, chain, true);
    chain->releaseRef();  // the device holds its own reference
    if (withPost)
        installPlayerChain(*rig.player);
    else
        rig.player->getDevice()->setPostProcessingChain(nullptr);  // the processing pipe alone
    rig.dev = rig.player->getDevice();
    return rig;
}

// A whole 60 s source read as fast as possible in requests of `chunk` bytes.
void BM_DevicePcmThroughput(benchmark::State& state) {
    const bool withPost = state.range(0) != 0;
    const qint64 chunk = state.range(1);
    const uint64_t frames = 60 * kRate;
    Rig rig = makeRig(frames, withPost, state.range(2) != 0);
    SoundAlgoDevice* dev = rig.dev;
    std::vector<char> buf(static_cast<size_t>(chunk));
    uint64_t bytes = 0;
    for (auto _ : state) {
        dev->start();
        qint64 n;
        while ((n = dev->read(buf.data(), chunk)) > 0) bytes += uint64_t(n);
        dev->stop();
    }
    // The chain's delay adds a few frames to the source's length.
    if (bytes < uint64_t(state.iterations()) * frames * 4) state.SkipWithError("short stream");
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["x_realtime"] =
        benchmark::Counter(double(bytes) / 4.0 / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DevicePcmThroughput)
    ->ArgNames({"post", "chunk", "branches"})
    ->Args({0, 16384, 0})
    ->Args({1, 16384, 0})
    ->Args({1, 4096, 0})
    ->Args({1, 16384, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// From start() to the first bytes returned by readData (4096-byte request).
void BM_DeviceFirstByte(benchmark::State& state) {
    Rig rig = makeRig(60 * kRate, state.range(0) != 0);
    SoundAlgoDevice* dev = rig.dev;
    std::vector<char> buf(4096);
    double worst = 0.0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        dev->start();
        const qint64 n = dev->read(buf.data(), 4096);
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(s);
        worst = std::max(worst, s);
        if (n <= 0) state.SkipWithError("no data");
        dev->stop();
    }
    state.counters["worst_ms"] = worst * 1e3;
}
BENCHMARK(BM_DeviceFirstByte)->ArgName("post")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// stop() in the middle of playback, both threads blocked on full pipes.
void BM_DeviceStop(benchmark::State& state) {
    Rig rig = makeRig(60 * kRate, state.range(0) != 0);
    SoundAlgoDevice* dev = rig.dev;
    std::vector<char> buf(16384);
    double worst = 0.0;
    for (auto _ : state) {
        dev->start();
        dev->read(buf.data(), 16384);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let the pipes fill
        const auto t0 = Clock::now();
        dev->stop();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(s);
        worst = std::max(worst, s);
    }
    state.counters["worst_ms"] = worst * 1e3;
}
BENCHMARK(BM_DeviceStop)->ArgName("post")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The pipe alone: a producer thread pushing blocks of 1024 frames into 3 slots, a
// consumer reading 4096 frames at a time.
class BenchPipe : public SoundReaderBuffer {
public:
    using SoundReaderBuffer::SoundReaderBuffer;
    using SoundReaderBuffer::read;
};

void BM_PipeThroughput(benchmark::State& state) {
    const unsigned block = unsigned(state.range(0));
    const uint64_t total = 10 * kRate;
    auto buffer = SoundBuffer::createNew(kRate);
    buffer->alloc(block, 2);
    buffer->setFrameNB(block);
    std::vector<double> dest(2 * 4096);
    uint64_t frames = 0;
    for (auto _ : state) {
        BenchPipe pipe(kRate, 3);
        pipe.open("");
        std::thread producer([&] {
            int origin = 0;
            for (uint64_t done = 0; done < total; done += block) {
                buffer->setOrigin(origin);
                buffer->setStartOffset(origin);
                origin += int(block);
                if (pipe.pushBuffer(buffer) != SoundTools::Ok) break;
            }
            pipe.finished();
        });
        unsigned n;
        while ((n = pipe.read(4096, dest.data())) > 0) frames += n;
        producer.join();
    }
    state.SetItemsProcessed(int64_t(frames));
    state.counters["x_realtime"] = benchmark::Counter(double(frames) / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PipeThroughput)->ArgName("block")->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();
// ---------------------------------------------------------------- audio output

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

void runEvents(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

std::unique_ptr<SoundPlayerQt> makePlayer(uint64_t frames) {
    auto reader = std::make_shared<bench::LoopReader>(frames, kRate);
    SoundAlgo* chain = processingChain(false);
    auto player = std::make_unique<SoundPlayerQt>(reader, chain, true);
    chain->releaseRef();
    installPlayerChain(*player);
    return player;
}

// The whole process's CPU time (library threads, the output's thread and the
// audio client library's) over 10 s of real-time playback of the full chain,
// as a percentage of one core.
void BM_PlayerRealtimeCpu(benchmark::State& state) {
    for (auto _ : state) {
        auto player = makePlayer(uint64_t(12.0 * kRate));
        player->preload();
        player->start();
        runEvents(0.5);
        if (player->getOutput()->state() != QAudio::ActiveState) {
            state.SkipWithError("the audio output does not play (no audio server?)");
            break;
        }
        // The output goes idle when it runs dry: an underrun, if the machine
        // starves the processing threads.
        int underruns = 0;
        QObject::connect(player->getOutput(), &QAudioOutput::stateChanged, [&](QAudio::State s) {
            if (s == QAudio::IdleState) ++underruns;
        });
        const double cpu0 = processCpuSeconds();
        const auto t0 = Clock::now();
        runEvents(10.0);
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = processCpuSeconds() - cpu0;
        const bool playing = player->getDevice()->isRunning();
        player->stop();
        if (!playing) {
            state.SkipWithError("playback ended early");
            break;
        }
        state.SetIterationTime(wall);
        state.counters["cpu_percent"] = 100.0 * cpu / wall;
        state.counters["underruns"] = underruns;
    }
}
BENCHMARK(BM_PlayerRealtimeCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// From start() to the first PCM handed to the audio output (the output's
// processed time leaves 0). warm: the host preloaded (the device has been
// processing for 50 ms); cold: preload() and start() back to back.
void BM_PlayerFirstByte(benchmark::State& state) {
    const bool cold = state.range(0) != 0;
    auto player = makePlayer(uint64_t(20.0 * kRate));
    double worst = 0.0;
    for (auto _ : state) {
        if (!cold) {
            player->preload();
            runEvents(0.05);
        }
        const auto t0 = Clock::now();
        if (cold) player->preload();
        player->start();
        QAudioOutput* out = player->getOutput();
        while (out->processedUSecs() == 0 && out->state() == QAudio::ActiveState &&
               Clock::now() - t0 < std::chrono::seconds(2))
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        const bool ok = out->processedUSecs() > 0;
        player->stop();
        if (!ok) {
            state.SkipWithError("the audio output does not play (no audio server?)");
            break;
        }
        state.SetIterationTime(s);
        worst = std::max(worst, s);
        runEvents(0.05);
    }
    state.counters["worst_ms"] = worst * 1e3;
}
BENCHMARK(BM_PlayerFirstByte)->ArgName("cold")->Arg(0)->Arg(1)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
