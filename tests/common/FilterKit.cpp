#include "FilterKit.h"

#include "FourierKit.h"

#include "tonewright/SoundAlgoComposite.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tk {

std::complex<double> response(const std::valarray<double>& b, const std::valarray<double>& a, double f, double fs) {
    // B(z) / A(z), each summed as the FIR response of its coefficients.
    const auto fir = [&](const std::valarray<double>& c) { return firResponse({std::begin(c), std::end(c)}, f / fs); };
    return fir(b) / fir(a);
}

double responseDb(const std::valarray<double>& b, const std::valarray<double>& a, double f, double fs) {
    return 20.0 * std::log10(std::abs(response(b, a, f, fs)));
}

Frames directForm(const Frames& in, const std::valarray<double>& b, const std::valarray<double>& a, double gain) {
    const size_t n = std::max(b.size(), a.size());
    std::vector<double> bb(n, 0.0), aa(n, 0.0);
    std::copy(std::begin(b), std::end(b), bb.begin());
    std::copy(std::begin(a), std::end(a), aa.begin());
    const double inv = 1.0 / aa[0];
    Frames out(in.size());
    for (int ch = 0; ch < 2; ++ch) {
        std::vector<double> xh(n, 0.0), yh(n, 0.0);
        for (size_t i = 0; i < in.size(); ++i) {
            const double x = in[i][ch];
            double acc = bb[0] * x;
            for (size_t k = n - 1; k-- > 0;) acc += bb[k + 1] * xh[k] - aa[k + 1] * yh[k];
            std::copy_backward(xh.begin(), xh.end() - 1, xh.end());
            std::copy_backward(yh.begin(), yh.end() - 1, yh.end());
            xh[0] = x;
            yh[0] = acc * inv;
            out[i][ch] = gain * yh[0];
        }
    }
    return out;
}

Frames filterInChunks(SoundTools::Filter& filter, const Frames& in, const std::vector<unsigned>& sizes) {
    Frames out(in.size());
    Frames scratch;
    size_t pos = 0, k = 0;
    while (pos < in.size()) {
        const size_t n = std::min<size_t>(sizes[k++ % sizes.size()], in.size() - pos);
        scratch.assign(in.begin() + long(pos), in.begin() + long(pos + n));
        filter.filter(scratch.data(), scratch.data(), unsigned(n));  // in place, as the algorithms run it
        std::copy(scratch.begin(), scratch.end(), out.begin() + long(pos));
        pos += n;
    }
    return out;
}

SoundTools::Status CaptureInputs::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const int origin = getInOrigin();
    for (unsigned i = 0; i < mInputCount; ++i)
        mFrames[i].insert(mFrames[i].end(), mInBuffers[i]->getStereoFrame(origin), mInBuffers[i]->getStereoFrame(origin) + n);
    std::memcpy(mOutBuffers[0]->getStereoFrame(getOutOrigin()), mInBuffers[0]->getStereoFrame(origin),
                n * sizeof(Frame));
    return SoundTools::Ok;
}

std::vector<Frames> runOutputs(SoundAlgo* algo, unsigned outputs, const Frames& in, unsigned rate, unsigned block,
                               SoundTools::Status* status) {
    auto chain = SoundRef<SoundAlgoComposite>::make("outputs");
    chain->pushAlgo(algo);
    auto capture = SoundRef<CaptureInputs>::make(outputs);
    chain->pushAlgo(SoundRef<CaptureInputs>::share(capture.get()).release());
    run(*chain, in, rate, block, status);
    return capture->inputs();
}

}  // namespace tk
