// Real-time playback: how fast the streaming device delivers PCM when read as
// fast as possible, how soon the first bytes come after start(), how long stop()
// takes, and the pipe's own throughput.
//
//   build/bench/bench_playback
//
// x_realtime is seconds of audio delivered per second of wall time (a live
// output needs 1; the device should manage 50 or more).
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "BenchKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoDevice.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundReaderBuffer.h"

namespace {
constexpr unsigned kRate = 44100;
using Clock = std::chrono::steady_clock;

class BenchDevice : public SoundAlgoDevice {
public:
    using SoundAlgoDevice::SoundAlgoDevice;
    using SoundAlgoDevice::readData;
};

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

// The post-processing chain the player runs live. The player puts its nine-band
// equaliser (SoundAlgoFilter of biquads) first in this chain, followed by the
// gate and amplifier: add them here when those algorithms are built, so that
// this figure stays the cost of real playback.
SoundAlgo* postProcessingChain() {
    auto post = SoundRef<SoundAlgoComposite>::make("post-processing");
    post->pushAlgo(SoundRef<SoundAlgoScale>::make(1.5).release());
    post->pushAlgo(SoundRef<SoundAlgoScale>::make(-1.5).release());
    return post.release();
}

std::unique_ptr<BenchDevice> makeDevice(uint64_t frames, bool withPost, bool branches = false) {
    auto reader = std::make_shared<bench::LoopReader>(frames, kRate);
    SoundAlgo* chain = processingChain(branches);
    auto dev = std::make_unique<BenchDevice>(reader, chain);
    chain->releaseRef();  // the device holds its own reference
    if (withPost) dev->setPostProcessingChain(postProcessingChain());
    return dev;
}

// A whole 60 s source read as fast as possible in requests of `chunk` bytes.
void BM_DevicePcmThroughput(benchmark::State& state) {
    const bool withPost = state.range(0) != 0;
    const qint64 chunk = state.range(1);
    const uint64_t frames = 60 * kRate;
    auto dev = makeDevice(frames, withPost, state.range(2) != 0);
    std::vector<char> buf(static_cast<size_t>(chunk));
    uint64_t bytes = 0;
    for (auto _ : state) {
        dev->start();
        qint64 n;
        while ((n = dev->readData(buf.data(), chunk)) > 0) bytes += uint64_t(n);
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
    auto dev = makeDevice(60 * kRate, state.range(0) != 0);
    std::vector<char> buf(4096);
    double worst = 0.0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        dev->start();
        const qint64 n = dev->readData(buf.data(), 4096);
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
    auto dev = makeDevice(60 * kRate, state.range(0) != 0);
    std::vector<char> buf(16384);
    double worst = 0.0;
    for (auto _ : state) {
        dev->start();
        dev->readData(buf.data(), 16384);
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
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
