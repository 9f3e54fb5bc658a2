// Dynamics: the region detector and the true-peak limiter over long streams. The
// figure that matters is the real-time factor (seconds of sound processed per
// second of work).
#include <benchmark/benchmark.h>

#include "BenchKit.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoTruePeakLimiter.h"

namespace {
constexpr unsigned kRate = 44100;

// Five minutes of stereo through the detector alone (no output), replayed from memory.
void BM_DetectRegions5min(benchmark::State& state) {
    const uint64_t frames = 300ull * kRate;
    auto det = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput, false);
    for (auto _ : state) {
        bench::LoopReader reader(frames, kRate);
        bench::NullWriter writer(kRate);
        det->processAll(reader, &writer);
        benchmark::DoNotOptimize(det->size());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
    state.counters["realtime_x"] = benchmark::Counter(double(state.iterations()) * 300.0, benchmark::Counter::kIsRate);
    state.counters["regions"] = det->size();
}
BENCHMARK(BM_DetectRegions5min)->Unit(benchmark::kMillisecond);

// Reading alone, for reference: what delivering the frames costs.
void BM_Read5min(benchmark::State& state) {
    const uint64_t frames = 300ull * kRate;
    auto buffer = SoundBuffer::createNew(kRate);
    buffer->alloc(8192, 2);
    for (auto _ : state) {
        bench::LoopReader reader(frames, kRate);
        while (reader.stereoRead(buffer, 0) > 0) benchmark::DoNotOptimize(buffer->data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}
BENCHMARK(BM_Read5min)->Unit(benchmark::kMillisecond);

// The true-peak limiter alone, its ceiling (-12 dBTP) under the peaks of the
// tones so that it works all along. Argument 1: a second of tone, then a minute
// of digital silence (the silence must cost no more than sound).
void BM_TruePeakLimiter1min(benchmark::State& state) {
    const bool silence = state.range(0) != 0;
    const uint64_t frames = (silence ? 61ull : 60ull) * kRate;
    auto limiter = SoundRef<SoundAlgoTruePeakLimiter>::make(-12.0);
    for (auto _ : state) {
        bench::LoopReader reader(frames, kRate, silence ? kRate : UINT64_MAX);
        bench::NullWriter writer(kRate);
        limiter->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.checksum());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
    state.counters["realtime_x"] =
        benchmark::Counter(double(state.iterations()) * double(frames) / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TruePeakLimiter1min)->Arg(0)->Arg(1)->ArgName("silence")->Unit(benchmark::kMillisecond);
}  // namespace

BENCHMARK_MAIN();
