#pragma once
// Test helpers for filters: frequency responses evaluated from coefficients, the
// direct-form recursion written out literally (the reference for every filter
// variant), chunked runs, and an algorithm that records all of its inputs (to
// look at each output of a splitter or crossover).
#include <complex>
#include <valarray>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundFilter.h"

namespace tk {

// H(e^{j 2 pi f / fs}) of the filter b / a.
std::complex<double> response(const std::valarray<double>& b, const std::valarray<double>& a, double f, double fs);
double responseDb(const std::valarray<double>& b, const std::valarray<double>& a, double f, double fs);

// The recursion y = (b0 x + sum_k (b[k+1] x[k] - a[k+1] y[k]), k = N-2 .. 0) / a0,
// one channel at a time, in plain scalar code; output gain * y.
Frames directForm(const Frames& in, const std::valarray<double>& b, const std::valarray<double>& a,
                  double gain = 1.0);

// Runs `filter` over `in` in consecutive calls of the given sizes (cycled).
Frames filterInChunks(SoundTools::Filter& filter, const Frames& in, const std::vector<unsigned>& sizes);

// Block sizes that divide nothing evenly, for block-independence checks.
inline std::vector<unsigned> oddBlocks() { return {1, 7, 333, 64, 1001, 3}; }

// An algorithm with `inputs` inputs and one output (a copy of input 0) that
// records the frames of every input as they pass. Put it after an algorithm
// with several outputs to see each of them.
class CaptureInputs : public SoundAlgoMulti {
public:
    explicit CaptureInputs(unsigned inputs) : SoundAlgoMulti(inputs, true), mFrames(inputs) {}
    SoundTools::Status process() override;
    const std::vector<Frames>& inputs() const { return mFrames; }

private:
    std::vector<Frames> mFrames;
};

// Runs `algo` (which the call takes over) followed by a CaptureInputs of
// `outputs` inputs, and returns what each output of `algo` gave.
std::vector<Frames> runOutputs(SoundAlgo* algo, unsigned outputs, const Frames& in, unsigned rate, unsigned block,
                               SoundTools::Status* status = nullptr);

}  // namespace tk
