// The block loop's own cost: chains of cheap members over in-memory frames.
#include <benchmark/benchmark.h>

#include "BenchKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundSndfile.h"

#include <QDir>
#include <QFile>

namespace {
constexpr unsigned kRate = 44100;

// A chain of 8 SoundAlgoScale members; frames per second is the figure.
void BM_ScaleChain8(benchmark::State& state) {
    const uint64_t frames = 10 * kRate;
    SoundBuffer::sSize = unsigned(state.range(0));
    auto chain = SoundRef<SoundAlgoComposite>::make("chain");
    for (int i = 0; i < 8; ++i) chain->pushAlgo(SoundRef<SoundAlgoScale>::make(i % 2 ? 0.5 : -0.5).release());
    for (auto _ : state) {
        bench::LoopReader reader(frames, kRate);
        bench::NullWriter writer(kRate);
        chain->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.checksum());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
    SoundBuffer::sSize = 1024;
}
BENCHMARK(BM_ScaleChain8)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);

// Reading alone: the floor under every chain above.
void BM_ReadOnly(benchmark::State& state) {
    const uint64_t frames = 10 * kRate;
    auto scale = SoundRef<SoundAlgoBypass>::make();
    for (auto _ : state) {
        bench::LoopReader reader(frames, kRate);
        bench::NullWriter writer(kRate);
        scale->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.checksum());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}
BENCHMARK(BM_ReadOnly)->Unit(benchmark::kMillisecond);

// Four parallel branches mixed back together (OpenMP).
void BM_FourBranches(benchmark::State& state) {
    const uint64_t frames = 10 * kRate;
    auto top = SoundRef<SoundAlgoComposite>::make("top");
    auto par = SoundRef<SoundAlgoComposite>::make("par");
    for (int b = 0; b < 4; ++b) {
        if (b) par->addNewBranch();
        for (int i = 0; i < 4; ++i) par->pushAlgo(SoundRef<SoundAlgoScale>::make(-1.0).release());
    }
    top->pushAlgo(par.release());
    top->pushAlgo(SoundRef<SoundAlgoAdd>::make(4, true).release());
    for (auto _ : state) {
        bench::LoopReader reader(frames, kRate);
        bench::NullWriter writer(kRate);
        top->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.checksum());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}
BENCHMARK(BM_FourBranches)->Unit(benchmark::kMillisecond);
// 16-bit WAV output, plain rounding (0) or with TPDF dither (1): the cost of
// the dither next to the conversion and the file write.
void BM_Wav16Write(benchmark::State& state) {
    const uint64_t frames = 10 * kRate;
    const QString name = QDir::temp().filePath("tonewright-bench-wav16.wav");
    auto copy = SoundRef<SoundAlgoBypass>::make();
    for (auto _ : state) {
        bench::LoopReader reader(frames, kRate);
        SoundWriterSndfile writer(kRate, 2, SoundTools::Pcm16, SoundWriterSndfile::Wav);
        writer.setDither(state.range(0) != 0);
        writer.open(name);
        copy->processAll(reader, &writer);
        writer.close();
    }
    QFile::remove(name);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}
BENCHMARK(BM_Wav16Write)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
}  // namespace

BENCHMARK_MAIN();
