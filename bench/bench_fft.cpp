// The FFT engine next to FFTW (complex 1-D plans made with FFTW_MEASURE), the
// Remez design of the FFT filter, and an overlap-add chain over a stream.
//
// FFTW is GPL: it is linked into this benchmark program only, never into the
// library. Without it (TW_HAVE_FFTW3 undefined) the FFTW rows are left out.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "BenchKit.h"
#include "tonewright/FFTA.h"
#include "tonewright/RemezDesign.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoFFT.h"
#include "tonewright/SoundAlgoFFTFilter.h"

#ifdef TW_HAVE_FFTW3
#include <fftw3.h>
#endif

namespace {

std::vector<double> noise(size_t values, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(values);
    for (double& x : v) x = dist(gen);
    return v;
}

// The five-number minimum is the figure least disturbed by other processes.
double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// N stereo frames -> one spectrum frame (two real channels in one complex transform).
void BM_Radix2DirectCompute(benchmark::State& state) {
    const int N = int(state.range(0));
    FFTARadix2 engine(N);
    const std::vector<double> in = noise(2 * size_t(N), 1);
    std::vector<double> out(2 * size_t(N) + 4);
    for (auto _ : state) {
        engine.directCompute(in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * N);
}
BENCHMARK(BM_Radix2DirectCompute)
    ->Arg(1024)->Arg(8192)->Arg(65536)->Repetitions(5)->ComputeStatistics("min", minimum)
    ->Unit(benchmark::kMicrosecond);

void BM_Radix2InverseCompute(benchmark::State& state) {
    const int N = int(state.range(0));
    FFTARadix2 engine(N);
    std::vector<double> spectrum(2 * size_t(N) + 4);
    engine.directCompute(noise(2 * size_t(N), 2).data(), spectrum.data());
    std::vector<double> out(2 * size_t(N));
    for (auto _ : state) {
        engine.inverseCompute(spectrum.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * N);
}
BENCHMARK(BM_Radix2InverseCompute)->Arg(1024)->Arg(8192)->Arg(65536)->Unit(benchmark::kMicrosecond);

// The same complex transform FFTW computes.
void BM_Radix2ComplexCompute(benchmark::State& state) {
    const int N = int(state.range(0));
    FFTARadix2 engine(N);
    const std::vector<double> in = noise(2 * size_t(N), 3);
    std::vector<double> out(2 * size_t(N));
    for (auto _ : state) {
        engine.complexCompute(in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * N);
}
BENCHMARK(BM_Radix2ComplexCompute)
    ->Arg(1024)->Arg(8192)->Arg(65536)->Repetitions(5)->ComputeStatistics("min", minimum)
    ->Unit(benchmark::kMicrosecond);

#ifdef TW_HAVE_FFTW3
struct FftwPlan {
    explicit FftwPlan(int n) : N(n) {
        in = fftw_alloc_complex(size_t(n));
        out = fftw_alloc_complex(size_t(n));
        plan = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE);
        const std::vector<double> v = noise(2 * size_t(n), 4);
        for (int i = 0; i < n; ++i) {
            in[i][0] = v[2 * size_t(i)];
            in[i][1] = v[2 * size_t(i) + 1];
        }
    }
    ~FftwPlan() {
        fftw_destroy_plan(plan);
        fftw_free(in);
        fftw_free(out);
    }
    int N;
    fftw_complex* in;
    fftw_complex* out;
    fftw_plan plan;
};

void BM_FFTWComplexMeasure(benchmark::State& state) {
    FftwPlan p(int(state.range(0)));
    for (auto _ : state) {
        fftw_execute(p.plan);
        benchmark::DoNotOptimize(p.out);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * p.N);
}
BENCHMARK(BM_FFTWComplexMeasure)
    ->Arg(1024)->Arg(8192)->Arg(65536)->Repetitions(5)->ComputeStatistics("min", minimum)
    ->Unit(benchmark::kMicrosecond);

// directCompute and the FFTW plan timed in alternation, batch by batch, so that
// both see the same machine load; the counters hold the best batch of each (us
// per transform) and their ratio.
void BM_Radix2VersusFFTW(benchmark::State& state) {
    const int N = int(state.range(0));
    FFTARadix2 engine(N);
    FftwPlan p(N);
    const std::vector<double> in = noise(2 * size_t(N), 5);
    std::vector<double> out(2 * size_t(N) + 4);
    const int batch = std::max(1, 262144 / N);
    double ours = 1e300, theirs = 1e300;
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < batch; ++i) {
            engine.directCompute(in.data(), out.data());
            benchmark::ClobberMemory();
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < batch; ++i) {
            fftw_execute(p.plan);
            benchmark::ClobberMemory();
        }
        const auto t2 = Clock::now();
        ours = std::min(ours, std::chrono::duration<double, std::micro>(t1 - t0).count() / batch);
        theirs = std::min(theirs, std::chrono::duration<double, std::micro>(t2 - t1).count() / batch);
    }
    state.counters["ours_us"] = ours;
    state.counters["fftw_us"] = theirs;
    state.counters["ratio"] = ours / theirs;
}
BENCHMARK(BM_Radix2VersusFFTW)->Arg(1024)->Arg(8192)->Arg(65536)->MinTime(2.0)->Unit(benchmark::kMillisecond);
#endif

// The FFT filter's design: 447 taps, transition 0.005, stop ripple 1e-3,
// 1000 Hz (low-pass, high-pass) or 1000-3000 Hz at 44100 Hz.
void BM_RemezFftFilter447(benchmark::State& state) {
    const double deltaP = (1.0 - std::pow(10.0, -0.025)) / 2.0, weight = deltaP / 1e-3;
    const double f1 = 1000.0 / 44100.0, f2 = 3000.0 / 44100.0;
    std::vector<SoundTools::RemezBand> bands;
    switch (state.range(0)) {
        case 0: bands = SoundTools::RemezDesign::lowPass(f1, 0.005, weight); break;
        case 1: bands = SoundTools::RemezDesign::highPass(f1, 0.005, weight); break;
        case 2: bands = SoundTools::RemezDesign::bandPass(f1, f2, 0.005, weight); break;
        default: bands = SoundTools::RemezDesign::bandStop(f1, f2, 0.005, weight); break;
    }
    static const char* names[] = {"low-pass", "high-pass", "band-pass", "band-stop"};
    state.SetLabel(names[state.range(0)]);
    SoundTools::RemezReport report;
    for (auto _ : state) {
        std::vector<double> h;
        SoundTools::RemezDesign::design(447, bands, h, &report);
        benchmark::DoNotOptimize(h.data());
    }
    state.counters["iterations"] = report.coarseIterations + report.iterations;
}
BENCHMARK(BM_RemezFftFilter447)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// Direct compute -> inverse compute (overlap-add, N = 8192) over 10 s of audio:
// the cost of carrying a stream through the frequency domain and back.
void BM_OverlapAddChain8192(benchmark::State& state) {
    const uint64_t frames = 10 * 44100;
    auto chain = SoundRef<SoundAlgoComposite>::make();
    chain->pushAlgo(SoundRef<SoundAlgoFFTDirectCompute>::make(8192, true, false).release());
    chain->pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(false).release());
    for (auto _ : state) {
        bench::LoopReader reader(frames, 44100);
        bench::NullWriter writer(44100);
        chain->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.checksum());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
}
BENCHMARK(BM_OverlapAddChain8192)->Unit(benchmark::kMillisecond);

// What starting a run of SoundAlgoEqFFT costs: the chain's buffers and engines,
// the 447-tap design and the transform of the taps into the response (N =
// 8192), then the end of the run, which releases them. No frame is processed.
void BM_EqFFTStart(benchmark::State& state) {
    static const SoundTools::FilterType types[] = {SoundTools::LowPass, SoundTools::HighPass, SoundTools::BandPass,
                                                   SoundTools::BandStop};
    static const char* names[] = {"low-pass", "high-pass", "band-pass", "band-stop"};
    state.SetLabel(names[state.range(0)]);
    auto eq = SoundRef<SoundAlgoEqFFT>::make(types[state.range(0)], 1000.0, 3000.0, 8192);
    for (auto _ : state) {
        bench::LoopReader reader(44100, 44100);
        SoundAlgo::LoopContext ctx;
        if (eq->initProcessLoop(reader, ctx) != SoundTools::Ok) state.SkipWithError("initProcessLoop failed");
        benchmark::DoNotOptimize(eq->getFilter()->getResponse().data());
        eq->endProcessLoop(ctx);
    }
}
BENCHMARK(BM_EqFFTStart)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// SoundAlgoEqFFT (low-pass at 1 kHz, N = 8192) over 60 s of stereo audio;
// x_real_time: seconds of audio per second of CPU time.
void BM_EqFFTStream(benchmark::State& state) {
    const uint64_t frames = 60 * 44100;
    auto eq = SoundRef<SoundAlgoEqFFT>::make(SoundTools::LowPass, 1000.0, 0.0, 8192);
    for (auto _ : state) {
        bench::LoopReader reader(frames, 44100);
        bench::NullWriter writer(44100);
        eq->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.checksum());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(frames));
    state.counters["x_real_time"] =
        benchmark::Counter(60.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EqFFTStream)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
