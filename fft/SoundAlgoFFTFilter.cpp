#include "tonewright/SoundAlgoFFTFilter.h"

#include <QMessageLogger>
#include <algorithm>
#include <cstring>
#include <ostream>

#include "core/SoundSimd.h"
#include "filters/EqualiserDesign.h"

namespace {

// y[k] = H[k] x[k] for `bins` complex values stored (re, im).
TW_KERNEL void multiplyBins(const double* H, const double* x, double* y, size_t bins) {
    for (size_t k = 0; k < bins; ++k) {
        const double hr = H[2 * k], hi = H[2 * k + 1];
        const double xr = x[2 * k], xi = x[2 * k + 1];
        y[2 * k] = hr * xr - hi * xi;
        y[2 * k + 1] = hr * xi + hi * xr;
    }
}

unsigned powerOfTwoBelow(unsigned size) {
    unsigned p = 1;
    while (p <= size / 2) p *= 2;
    return size == 0 ? 0u : p;
}

}  // namespace

// ---------------------------------------------------------------- SoundAlgoFFTFilter

SoundAlgoFFTFilter::SoundAlgoFFTFilter(SoundTools::FilterType type, double low, double high, unsigned size)
    : SoundAlgoFFT(powerOfTwoBelow(size), true), mType(type), mLow(low), mHigh(high) {}

SoundAlgoFFTFilter::~SoundAlgoFFTFilter() = default;

unsigned SoundAlgoFFTFilter::getTapNumber(unsigned fftSize) { return SoundTools::equaliser::fftTaps(fftSize); }

unsigned SoundAlgoFFTFilter::getDelay(unsigned) const {
    // Before its first run the filter has no transform length of its own yet:
    // the longest filter is assumed, which only makes a block larger.
    return getTapNumber(mSize >= 2 ? mSize : 8192u) - 1;
}

unsigned SoundAlgoFFTFilter::getSampleShift(unsigned sr) const { return getDelay(sr); }

// The delay is that of the convolution the chain computes, whose output frames
// keep the stream's positions; the spectra sit where their input sits, as
// updateOutput places them at every step.
void SoundAlgoFFTFilter::setOutOrigin() {
    mOrigin = getInOrigin();
    for (auto& buffer : mOutBuffers) {
        buffer->setOrigin(mOrigin);
        buffer->setStartOffset(getOffset());
    }
}

SoundTools::Status SoundAlgoFFTFilter::design(unsigned sampleRate, unsigned fftSize, std::vector<double>& h,
                                              SoundTools::RemezReport* report) const {
    h.clear();
    const SoundTools::equaliser::Plan p = SoundTools::equaliser::fftPlan(mType, mLow, mHigh, sampleRate, fftSize);
    if (!p.supported || p.taps == 0 || p.error) {
        setError(QString("cannot design an FFT filter of type %1 for %2 - %3 Hz at %4 Hz: %5")
                     .arg(int(mType))
                     .arg(mLow)
                     .arg(mHigh)
                     .arg(sampleRate)
                     .arg(p.error ? p.error : "no length"),
                 "SoundAlgoFFTFilter::design");
        return SoundTools::Error;
    }
    return SoundTools::RemezDesign::design(p.taps, p.bands, h, report);
}

SoundTools::Status SoundAlgoFFTFilter::onInitInputBuffer() {
    const unsigned N = mSize;
    const size_t bins = size_t(N) / 2 + 1;
    if (mResponse.size() == 2 * bins) return SoundTools::Ok;
    const double fs = double(mSampleRate);
    if (isDebug()) {
        std::ostream& os = getOStream();
        os << "FillFilter Low Freq" << mLow << ";" << (fs > 0 ? mLow / fs : 0.0) << " " << fs << std::endl;
        os << "FillFilter Hi Freq" << mHigh << ";" << (fs > 0 ? mHigh / fs : 0.0) << " " << fs << std::endl;
    }
    const SoundTools::equaliser::Plan p = SoundTools::equaliser::fftPlan(mType, mLow, mHigh, mSampleRate, N);
    std::vector<double> h;
    if (!p.supported) {
        QMessageLogger().critical() << "Unsupported FFT Eq mode :" << int(mType);
        // No band layout exists for this type. The stream passes unchanged,
        // delayed by the group delay of a designed filter of the same length so
        // that it still lines up with the bands of a multiband amplifier.
        h.assign(p.taps, 0.0);
        h[(p.taps - 1) / 2] = 1.0;
    } else if (design(mSampleRate, N, h) != SoundTools::Ok) {
        return SoundTools::Error;
    }
    FFTARadix2 engine;
    if (engine.setSize(int(N)) != SoundTools::Ok) return SoundTools::Error;
    std::vector<double> padded(N, 0.0);
    std::copy(h.begin(), h.end(), padded.begin());
    mResponse.assign(2 * bins, 0.0);
    engine.directComputeReal(padded.data(), mResponse.data());
    return SoundTools::Ok;
}

void SoundAlgoFFTFilter::endProcess(int status, unsigned frameNbProcessed) {
    mResponse = std::vector<double>();
    SoundAlgoFFT::endProcess(status, frameNbProcessed);
}

SoundTools::Status SoundAlgoFFTFilter::process() {
    const size_t bins = getFFTSampleSize();
    if (mResponse.size() != 2 * bins) return SoundTools::Error;
    const std::shared_ptr<SoundBuffer>& in = mInBuffers[0];
    const std::shared_ptr<SoundBuffer>& out = mOutBuffers[0];
    const size_t channels = size_t(std::max(1u, unsigned(in->getChannelNum())));
    const unsigned spectra = inputSpectra();
    const double* H = mResponse.data();
    for (unsigned i = 0; i < spectra; ++i) {
        const double* x = in->getRelFrame(int(i));
        double* y = out->getRelFrame(int(i));
        for (size_t c = 0; c < channels; ++c) multiplyBins(H, x + 2 * c * bins, y + 2 * c * bins, bins);
    }
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- SoundAlgoEqFFT

SoundAlgoEqFFT::SoundAlgoEqFFT(SoundTools::FilterType type, double low, double high, unsigned int size)
    : SoundAlgoComposite(QString(), true) {
    auto direct = SoundRef<SoundAlgoFFTDirectCompute>::make(size, true, false);
    const unsigned n = direct->getSize();
    pushAlgo(direct.release());
    pushAlgo(SoundRef<SoundAlgoFFTFilter>::make(type, low, high, n).release());
    pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(false).release());
}

SoundAlgoFFTFilter* SoundAlgoEqFFT::getFilter() const {
    for (const auto& branch : mBranches)
        for (SoundAlgo* m : branch)
            if (auto* filter = dynamic_cast<SoundAlgoFFTFilter*>(m)) return filter;
    return nullptr;
}

// ---------------------------------------------------------------- SoundAlgoFFTTranslate

SoundAlgoFFTTranslate::SoundAlgoFFTTranslate(int shift) : mShift(shift) {}

void SoundAlgoFFTTranslate::endProcess(int status, unsigned frameNbProcessed) {
    SoundAlgoFFT::endProcess(status, frameNbProcessed);
    mSize = 0;
}

SoundTools::Status SoundAlgoFFTTranslate::process() {
    const std::shared_ptr<SoundBuffer>& in = mInBuffers[0];
    const std::shared_ptr<SoundBuffer>& out = mOutBuffers[0];
    const long B = long(getFFTSampleSize());
    const size_t channels = size_t(std::max(1u, unsigned(in->getChannelNum())));
    const unsigned spectra = inputSpectra();
    // Bins 1 .. B-2 move; 0 and B-1 stay. |shift| of B-2 or more empties them.
    const long inner = std::max(0L, B - 2);
    const long s = std::max(-inner, std::min(inner, long(mShift)));
    const size_t bin = 2 * sizeof(double);
    for (unsigned i = 0; i < spectra; ++i) {
        const double* x = in->getRelFrame(int(i));
        double* y = out->getRelFrame(int(i));
        for (size_t c = 0; c < channels; ++c) {
            const double* xc = x + 2 * c * size_t(B);
            double* yc = y + 2 * c * size_t(B);
            if (B <= 2 || s == 0) {
                std::memcpy(yc, xc, size_t(B) * bin);
                continue;
            }
            std::memcpy(yc, xc, bin);                                  // bin 0
            std::memcpy(yc + 2 * (B - 1), xc + 2 * (B - 1), bin);      // bin B-1
            const long moved = inner - (s > 0 ? s : -s);               // bins that stay inside
            if (s > 0) {
                std::memset(yc + 2, 0, size_t(s) * bin);                 // out[1 .. s]
                std::memcpy(yc + 2 * (1 + s), xc + 2, size_t(moved) * bin);  // out[s+1 .. B-2] = in[1 ..]
            } else {
                const long a = -s;
                std::memcpy(yc + 2, xc + 2 * (1 + a), size_t(moved) * bin);  // out[1 .. B-2-a] = in[1+a .. B-2]
                std::memset(yc + 2 * (B - 1 - a), 0, size_t(a) * bin);       // out[B-1-a .. B-2]
            }
        }
    }
    return SoundTools::Ok;
}
