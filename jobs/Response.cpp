#include "jobs/Response.h"

#include "tonewright/Eq.h"

#include <cmath>
#include <complex>

#include "tonewright/Eq.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundUnits.h"
#include "tonewright/SoundWriter.h"

namespace tonewright {
namespace detail {

namespace {

// A unit impulse on both channels followed by silence.
class ImpulseReader : public SoundReader {
public:
    ImpulseReader(unsigned rate, unsigned length) : mRate(rate), mLength(length) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return mLength; }
    unsigned getSampleRate() const override { return mRate; }
    void rewind() override {
        mPos = 0;
        resetAtEnd();
    }
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Double; }

protected:
    unsigned read(unsigned count, double* dest) override {
        unsigned n = 0;
        for (; n < count && mPos < mLength; ++n, ++mPos) dest[2 * n] = dest[2 * n + 1] = mPos == 0 ? 1.0 : 0.0;
        return n;
    }

private:
    unsigned mRate, mLength, mPos = 0;
};

class LeftCapture : public SoundWriter {
public:
    explicit LeftCapture(unsigned rate) : SoundWriter(rate) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    std::vector<double> samples;

protected:
    unsigned write(unsigned count, double* src) override {
        for (unsigned i = 0; i < count; ++i) samples.push_back(src[2 * i]);
        return count;
    }
};

}  // namespace

std::vector<double> measuredResponseDb(SoundAlgo& algo, unsigned rate, const std::vector<double>& freqs,
                                       unsigned length) {
    ImpulseReader impulse(rate, length);
    LeftCapture capture(rate);
    if (algo.processAll(impulse, &capture) != SoundTools::Ok || capture.samples.empty()) return {};
    // A delay moves the impulse but not the magnitude; the transform is taken
    // directly at each frequency (a few hundred points, no FFT size to fit).
    std::vector<double> out;
    out.reserve(freqs.size());
    for (double f : freqs) {
        const double w = 2.0 * M_PI * f / rate;
        std::complex<double> sum(0, 0);
        const std::complex<double> step = std::polar(1.0, -w);
        std::complex<double> rot(1, 0);
        for (size_t n = 0; n < capture.samples.size(); ++n) {
            sum += capture.samples[n] * rot;
            rot *= step;
            // Renormalised now and then against rounding drift.
            if ((n & 1023) == 1023) rot /= std::abs(rot);
        }
        const double m = std::abs(sum);
        out.push_back(SoundTools::dbOfGain(m, -INFINITY));
    }
    return out;
}

}  // namespace detail

std::vector<double> responseFrequencies(unsigned rate, int points) {
    const double from = 20.0, to = rate / 2.0 * 0.98;
    std::vector<double> f;
    if (points < 2 || to <= from) return f;
    const double a = std::log(from), b = std::log(to);
    for (int i = 0; i < points; ++i) f.push_back(std::exp(a + (b - a) * i / (points - 1)));
    return f;
}

}  // namespace tonewright
