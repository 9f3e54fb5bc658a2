// Filters: the per-frame cost of biquad cascades (interleaved or one section at a
// time), of the crossover's fourth-order sections (alone and as the pair a
// crossover runs), and of a per-band statistics tree. Frames per second is the
// figure.
#include <benchmark/benchmark.h>

#include <vector>

#include "BenchKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoStats.h"

namespace {
constexpr unsigned kRate = 44100;
const std::vector<double> kBands = {60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000};
using Frame = SoundTools::StereoFrame<double>;

std::vector<Frame> block(unsigned n) {
    std::vector<Frame> f(n);
    uint32_t s = 1;
    for (auto& x : f) {
        s = s * 1664525u + 1013904223u;
        x.l = double(int32_t(s)) / 4.3e9;
        x.r = -x.l * 0.5;
    }
    return f;
}

std::vector<std::shared_ptr<SoundTools::Filter>> nineBands() {
    std::vector<std::shared_ptr<SoundTools::Filter>> f;
    for (size_t i = 0; i < kBands.size(); ++i)
        f.push_back(SoundTools::BiquadEqBuilder(SoundTools::BandEq, kBands[i], 1.9, double(i % 5) - 2.0)
                        .buildFilter(kRate));
    return f;
}

// Nine sections interleaved frame by frame (what SoundAlgoFilter runs).
void BM_NineBiquadsInterleaved(benchmark::State& state) {
    auto filters = nineBands();
    std::vector<SoundTools::BiquadFilter*> raw;
    for (auto& f : filters) raw.push_back(static_cast<SoundTools::BiquadFilter*>(f.get()));
    std::vector<Frame> x = block(4096);
    for (auto _ : state) {
        SoundTools::BiquadFilter::filterCascade(raw.data(), unsigned(raw.size()), x.data(), x.data(), 4096);
        benchmark::DoNotOptimize(x.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 4096);
}
BENCHMARK(BM_NineBiquadsInterleaved);

// The same nine sections one after the other over the block.
void BM_NineBiquadsOneByOne(benchmark::State& state) {
    auto filters = nineBands();
    std::vector<Frame> x = block(4096);
    for (auto _ : state) {
        for (auto& f : filters) f->filter(x.data(), x.data(), 4096);
        benchmark::DoNotOptimize(x.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 4096);
}
BENCHMARK(BM_NineBiquadsOneByOne);

void BM_Order4Section(benchmark::State& state) {
    auto f = SoundTools::Order4FilterBuilder(SoundTools::LowPass, 1000.0).buildFilter(kRate);
    std::vector<Frame> x = block(4096);
    for (auto _ : state) {
        f->filter(x.data(), x.data(), 4096);
        benchmark::DoNotOptimize(x.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 4096);
}
BENCHMARK(BM_Order4Section);

// A crossover's two fourth-order sections over the same block, as one pair
// (what SoundAlgoFilterCrossover runs); frames per second counts each frame once.
void BM_Order4Pair(benchmark::State& state) {
    auto low = SoundTools::Order4FilterBuilder(SoundTools::LowPass, 1000.0).buildFilter(kRate);
    auto high = SoundTools::Order4FilterBuilder(SoundTools::HighPass, 1000.0).buildFilter(kRate);
    auto* a = static_cast<SoundTools::Order4Filter*>(low.get());
    auto* b = static_cast<SoundTools::Order4Filter*>(high.get());
    std::vector<Frame> x = block(4096), lo(4096), hi(4096);
    for (auto _ : state) {
        SoundTools::Order4Filter::filterPair(*a, *b, x.data(), lo.data(), hi.data(), 4096);
        benchmark::DoNotOptimize(lo.data());
        benchmark::DoNotOptimize(hi.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 4096);
}
BENCHMARK(BM_Order4Pair);

// The nine-band equaliser in the block loop.
void BM_EqualiserChain(benchmark::State& state) {
    const uint64_t frames = 10 * kRate;
    auto eq = SoundRef<SoundAlgoFilterBiquad>::make();
    for (size_t i = 0; i < kBands.size(); ++i) eq->pushFilter(SoundTools::BandEq, kBands[i], 1.9, 3.0);
    for (auto _ : state) {
        bench::LoopReader reader(frames, kRate);
        bench::NullWriter writer(kRate);
        eq->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.checksum());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}
BENCHMARK(BM_EqualiserChain)->Unit(benchmark::kMillisecond);

// A second of tone, then a minute of digital silence: the recursions decay
// into denormal numbers unless the processing threads flush them. Argument 0
// is the equaliser, 1 the per-band statistics tree.
void BM_ToneThenSilence(benchmark::State& state) {
    const uint64_t tone = kRate, frames = 61 * uint64_t(kRate);
    for (auto _ : state) {
        SoundAlgo* algo = nullptr;
        SoundRef<SoundAlgoFilterBiquad> eq;
        SoundRef<SoundAlgoComposite> tree;
        SoundAlgoStats::FrequencyBuilder builder;
        if (state.range(0) == 0) {
            eq = SoundRef<SoundAlgoFilterBiquad>::make();
            for (size_t i = 0; i < kBands.size(); ++i) eq->pushFilter(SoundTools::BandEq, kBands[i], 1.9, 3.0);
            algo = eq.get();
        } else {
            tree = SoundRef<SoundAlgoComposite>::make("bands");
            tree->buildMultibandTree(kBands, builder, SoundAlgoComposite::CrossoverSplit);
            algo = tree.get();
        }
        bench::LoopReader reader(frames, kRate, tone);
        bench::NullWriter writer(kRate);
        algo->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.checksum());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}
BENCHMARK(BM_ToneThenSilence)->Arg(0)->Arg(1)->ArgName("chain")->Unit(benchmark::kMillisecond);

// Per-band statistics through a ten-band tree, by splitter type and block size.
void BM_BandStatsTree(benchmark::State& state) {
    const uint64_t frames = 10 * kRate;
    SoundBuffer::sSize = unsigned(state.range(1));
    for (auto _ : state) {
        SoundAlgoStats::FrequencyBuilder builder;
        auto tree = SoundRef<SoundAlgoComposite>::make("bands");
        tree->buildMultibandTree(kBands, builder, SoundAlgoComposite::SplitterType(state.range(0)));
        bench::LoopReader reader(frames, kRate);
        bench::NullWriter writer(kRate);
        tree->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.checksum());
    }
    SoundBuffer::sSize = 1024;
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}
BENCHMARK(BM_BandStatsTree)
    ->ArgsProduct({{0, 1, 2}, {1024, 8192}})
    ->ArgNames({"splitter", "block"})
    ->Unit(benchmark::kMillisecond);
}  // namespace

BENCHMARK_MAIN();
