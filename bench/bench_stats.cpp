// Statistics: the standard analysis of a recording (band levels through the
// multiband tree, regions, mean spectrum) and its parts, and the loudness meter,
// over one minute of stereo replayed from memory; and storing / reading its
// statistics file. The figure that matters is the real-time factor (seconds of
// sound analysed per second of work).
#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include "BenchKit.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoStatAnalysis.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatReference.h"

namespace {
constexpr unsigned kRate = 44100;
constexpr double kSeconds = 60.0;

// range(0): which analyses (1 bands, 2 regions, 4 spectrum); range(1): parallel branches.
void BM_Analysis1min(benchmark::State& state) {
    const uint64_t frames = uint64_t(kSeconds * kRate);
    SoundAlgoStatAnalysis::Settings settings;
    settings.bandStats = state.range(0) & 1;
    settings.stepDetector = state.range(0) & 2;
    settings.fftStats = state.range(0) & 4;
    settings.parallelBranches = state.range(1) != 0;
    auto analysis = SoundRef<SoundAlgoStatAnalysis>::make(settings);
    for (auto _ : state) {
        bench::LoopReader reader(frames, kRate);
        if (analysis->processAll(reader, nullptr) != SoundTools::Ok) state.SkipWithError("analysis failed");
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
    state.counters["realtime_x"] =
        benchmark::Counter(double(state.iterations()) * kSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Analysis1min)
    ->ArgNames({"parts", "parallel"})
    ->Args({7, 1})
    ->Args({7, 0})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({4, 0})
    ->Unit(benchmark::kMillisecond);

// The loudness meter on the loop's thread (the background thread's time would
// not count): the K-weighting and gating plus the true-peak meter.
// range(0): the true peak's minimum rate (0: 4x; 192000: the 5x check at
// 44.1 kHz); range(1): 1 for a second of tone, then a minute of digital silence.
void BM_Loudness1min(benchmark::State& state) {
    const bool silence = state.range(1) != 0;
    const uint64_t frames = uint64_t(kSeconds * kRate) + (silence ? kRate : 0);
    auto loudness = SoundRef<SoundAlgoLoudness>::make(0.0);
    loudness->setBackground(false);
    loudness->setTruePeakRate(unsigned(state.range(0)));
    for (auto _ : state) {
        bench::LoopReader reader(frames, kRate, silence ? kRate : UINT64_MAX);
        if (loudness->processAll(reader, nullptr) != SoundTools::Ok) state.SkipWithError("loudness failed");
        benchmark::DoNotOptimize(loudness->getTruePeak());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
    state.counters["realtime_x"] =
        benchmark::Counter(double(state.iterations()) * double(frames) / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Loudness1min)
    ->ArgNames({"rate", "silence"})
    ->Args({0, 0})
    ->Args({192000, 0})
    ->Args({0, 1})
    ->Unit(benchmark::kMillisecond);

// Writing and reading back the statistics file of a full analysis, and the
// nearest reference of the default catalog.
void BM_StatFileRoundTrip(benchmark::State& state) {
    auto analysis = SoundRef<SoundAlgoStatAnalysis>::make();
    bench::LoopReader reader(uint64_t(10 * kRate), kRate);
    analysis->processAll(reader, nullptr);
    const SoundStatFile stats = analysis->getStatFile();
    SoundStatReferenceCatalog catalog;
    catalog.readDefaultCatalog();
    QTemporaryDir dir;
    const QString path = dir.filePath("bench.wav");
    for (auto _ : state) {
        SoundStatFile copy = stats;
        copy.writeJSonFile(path);
        SoundStatFile back;
        back.readJSonFile(path);
        benchmark::DoNotOptimize(catalog.getNearestReference(back).getName());
    }
}
BENCHMARK(BM_StatFileRoundTrip)->Unit(benchmark::kMicrosecond);
}  // namespace

BENCHMARK_MAIN();
