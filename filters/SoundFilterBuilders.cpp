// Filter designs. The running filters are in SoundFilter.cpp.
//
// Frequencies are in Hz, widths in octaves, gains in dB. Designs that would not
// give a usable filter (a corner at or above Nyquist, a design that overflows)
// fall back to a pass-through, so that a bad parameter never puts NaN or
// infinity into a stream.
#include "tonewright/SoundUnits.h"
#include "tonewright/SoundFilterBuilders.h"

#include <QDebug>
#include <QMessageLogger>
#include <algorithm>
#include <cmath>
#include <vector>

namespace SoundTools {

namespace {
constexpr double kLn2Half = 0.34657359027997264;  // ln(2) / 2
constexpr double kSqrt2 = 1.4142135623730951;

// A corner below 1 Hz (zero, negative) makes the prewarping degenerate: the
// cookbook's alpha becomes 0/0 and the tangent designs turn unstable. Such
// corners are designed at 1 Hz.
double designFreq(double freq) { return freq < 1.0 ? 1.0 : freq; }

bool finite(std::initializer_list<double> values) {
    for (double v : values)
        if (!std::isfinite(v)) return false;
    return true;
}
}  // namespace

// ---------------------------------------------------------------- biquad sections

BiquadEqBuilder::BiquadEqBuilder(FilterType type) : mType(type) {}

BiquadEqBuilder::BiquadEqBuilder(FilterType type, double freq, double width, double gain)
    : mType(type), mFreq(freq), mWidth(width), mQ(0.0), mGain(gain) {}

void BiquadEqBuilder::store(double b0, double b1, double b2, double a1, double a2, double norm) {
    storeNormalised(b0 * norm, b1 * norm, b2 * norm, a1 * norm, a2 * norm);
}

void BiquadEqBuilder::storeNormalised(double b0, double b1, double b2, double a1, double a2) {
    if (!finite({b0, b1, b2, a1, a2})) {
        // Extreme parameters overflow the design (sinh of a huge width, K/Q with
        // a vanishing Q): pass the signal through rather than run a filter of
        // NaN or infinite coefficients.
        mB0 = 1.0;
        mB1 = mB2 = mA1 = mA2 = 0.0;
        return;
    }
    mB0 = b0;
    mB1 = b1;
    mB2 = b2;
    mA1 = a1;
    mA2 = a2;
}

void BiquadEqBuilder::init(unsigned int sampleRate) {
    const double fs = double(sampleRate);
    if (!(2.0 * mFreq + 1.0 < fs)) {
        // At or above (fs - 1) / 2, and for a NaN frequency or a zero rate: pass-through.
        mB0 = 1.0;
        mB1 = mB2 = mA1 = mA2 = 0.0;
        return;
    }
    switch (mType) {
        case LowPass: buildLowPass(sampleRate); break;
        case BandPass: buildBandPass(sampleRate); break;
        case HighPass: buildHighPass(sampleRate); break;
        case LowShelf: buildLowShelf(sampleRate); break;
        case BandEq: buildBandEq(sampleRate); break;
        case HighShelf: buildHighShelf(sampleRate); break;
        default: QMessageLogger().critical() << "Unsupported Biquad Eq mode :" << int(mType); break;
    }
}

std::valarray<double> BiquadEqBuilder::getBCoeff() const { return {mB0, mB1, mB2}; }
std::valarray<double> BiquadEqBuilder::getACoeff() const { return {1.0, mA1, mA2}; }

std::shared_ptr<Filter> BiquadEqBuilder::buildFilter(unsigned int sampleRate) {
    init(sampleRate);
    const double b[3] = {mB0, mB1, mB2};
    const double a[3] = {1.0, mA1, mA2};
    return std::make_shared<BiquadFilter>(b, a);
}

std::shared_ptr<Filter> BiquadEqBuilder::buildClipFilter(unsigned int sampleRate, double gain) {
    init(sampleRate);
    const double b[3] = {mB0, mB1, mB2};
    const double a[3] = {1.0, mA1, mA2};
    return std::make_shared<BiquadClipFilter>(b, a, gain);
}

namespace {
// The Q-family denominators: 1 + K/Q + K^2 and 1 - K/Q + K^2.
struct Prewarp {
    double K, K2;
    Prewarp(double freq, double fs) : K(std::tan(M_PI * freq / fs)), K2(K * K) {}
};
}  // namespace

void BiquadEqBuilder::buildLowPass(unsigned int sampleRate) {
    const double fs = double(sampleRate);
    const double f = designFreq(mFreq);
    if (mWidth > 0.0) {
        const double w0 = 2.0 * M_PI * f / fs;
        const double cs = std::cos(w0), sn = std::sin(w0);
        const double alpha = sn * std::sinh(kLn2Half * mWidth * w0 / sn);
        store((1.0 - cs) / 2.0, 1.0 - cs, (1.0 - cs) / 2.0, -2.0 * cs, 1.0 - alpha, 1.0 / (1.0 + alpha));
    } else if (mQ > 0.0) {
        const Prewarp p(f, fs);
        const double D = 1.0 + p.K / mQ + p.K2;
        storeNormalised(p.K2 / D, 2.0 * p.K2 / D, p.K2 / D, 2.0 * (p.K2 - 1.0) / D, (1.0 - p.K / mQ + p.K2) / D);
    }
}

void BiquadEqBuilder::buildHighPass(unsigned int sampleRate) {
    const double fs = double(sampleRate);
    const double f = designFreq(mFreq);
    if (mWidth > 0.0) {
        const double w0 = 2.0 * M_PI * f / fs;
        const double cs = std::cos(w0), sn = std::sin(w0);
        const double alpha = sn * std::sinh(kLn2Half * mWidth * w0 / sn);
        const double norm = static_cast<float>(1.0 / (1.0 + alpha));
        store((1.0 + cs) / 2.0, -(1.0 + cs), (1.0 + cs) / 2.0, -2.0 * cs, 1.0 - alpha, norm);
    } else if (mQ > 0.0) {
        const Prewarp p(f, fs);
        const double D = 1.0 + p.K / mQ + p.K2;
        storeNormalised(1.0 / D, -2.0 / D, 1.0 / D, 2.0 * (p.K2 - 1.0) / D, (1.0 - p.K / mQ + p.K2) / D);
    }
}

void BiquadEqBuilder::buildBandPass(unsigned int sampleRate) {
    const double fs = double(sampleRate);
    const double f = designFreq(mFreq);
    if (mWidth > 0.0) {
        const double w0 = 2.0 * M_PI * f / fs;
        const double cs = std::cos(w0), sn = std::sin(w0);
        const double alpha = sn * std::sinh(kLn2Half * mWidth * w0 / sn);
        const double norm = static_cast<float>(1.0 / (1.0 + alpha));
        store(alpha, 0.0, -alpha, -2.0 * cs, 1.0 - alpha, norm);
    } else if (mQ > 0.0) {
        const Prewarp p(f, fs);
        const double D = 1.0 + p.K / mQ + p.K2;
        storeNormalised(p.K / mQ / D, 0.0, -p.K / mQ / D, 2.0 * (p.K2 - 1.0) / D, (1.0 - p.K / mQ + p.K2) / D);
    }
}

// n and d are the boost numerator and denominator of the tangent peaking and
// shelf designs; a cut exchanges them. The coefficients are divided by the
// leading term of the denominator in use.
void BiquadEqBuilder::storeBoostOrCut(const double n[3], const double d[3]) {
    const double* num = mGain >= 0.0 ? n : d;
    const double* den = mGain >= 0.0 ? d : n;
    const double D = den[0];
    storeNormalised(num[0] / D, num[1] / D, num[2] / D, den[1] / D, den[2] / D);
}

void BiquadEqBuilder::buildBandEq(unsigned int sampleRate) {
    const double fs = double(sampleRate);
    if (mWidth > 0.0) {
        const double f = mFreq < 1.0 ? 1.0 : std::min(fs / 2.0, mFreq);
        const double A = std::pow(10.0, mGain * 0.025);
        const double width = std::clamp(mWidth, 0.0001, 4.0);
        const double w0 = 2.0 * M_PI * f / fs;
        const double cs = std::cos(w0), sn = std::sin(w0);
        const double alpha = sn * std::sinh(kLn2Half * width * w0 / sn);
        store(1.0 + alpha * A, -2.0 * cs, 1.0 - alpha * A, -2.0 * cs, 1.0 - alpha / A, 1.0 / (1.0 + alpha / A));
    } else if (mQ > 0.0) {
        const Prewarp p(designFreq(mFreq), fs);
        const double V = SoundTools::gainOfDb(std::fabs(mGain));
        const double n[3] = {1.0 + V * p.K / mQ + p.K2, 2.0 * (p.K2 - 1.0), 1.0 - V * p.K / mQ + p.K2};
        const double d[3] = {1.0 + p.K / mQ + p.K2, 2.0 * (p.K2 - 1.0), 1.0 - p.K / mQ + p.K2};
        storeBoostOrCut(n, d);
    }
}

namespace {
// Amplitude of the cookbook shelves, rounded through single precision as the
// designs have always been.
double shelfAmplitude(double gain) {
    const float exponent = static_cast<float>(gain * 0.025);
    return static_cast<float>(std::pow(10.0, double(exponent)));
}
}  // namespace

void BiquadEqBuilder::buildLowShelf(unsigned int sampleRate) {
    const double fs = double(sampleRate);
    if (mWidth > 0.0) {
        const double f = mFreq < 1.0 ? 1.0 : std::min(fs / 2.0, mFreq);
        const double A = shelfAmplitude(mGain);
        const double slope = std::clamp(mWidth, 0.0001, 1.0);
        const double w0 = 2.0 * M_PI * f / fs;
        const double cs = std::cos(w0), sn = std::sin(w0);
        const double s = sn * std::sqrt((A * A + 1.0) / slope - (A - 1.0) * (A - 1.0));
        const double a0 = (A + 1.0) + (A - 1.0) * cs + s;
        store(A * ((A + 1.0) - (A - 1.0) * cs + s), 2.0 * A * ((A - 1.0) - (A + 1.0) * cs),
              A * ((A + 1.0) - (A - 1.0) * cs - s), -2.0 * ((A - 1.0) + (A + 1.0) * cs),
              (A + 1.0) + (A - 1.0) * cs - s, 1.0 / a0);
    } else if (mQ > 0.0) {
        const Prewarp p(designFreq(mFreq), fs);
        const double V = SoundTools::gainOfDb(std::fabs(mGain));
        const double r = std::sqrt(2.0 * V) * p.K;
        const double n[3] = {1.0 + r + V * p.K2, 2.0 * (V * p.K2 - 1.0), 1.0 - r + V * p.K2};
        const double d[3] = {1.0 + kSqrt2 * p.K + p.K2, 2.0 * (p.K2 - 1.0), 1.0 - kSqrt2 * p.K + p.K2};
        storeBoostOrCut(n, d);
    }
}

void BiquadEqBuilder::buildHighShelf(unsigned int sampleRate) {
    const double fs = double(sampleRate);
    if (mWidth > 0.0) {
        const double f = mFreq < 1.0 ? 1.0 : std::min(fs / 2.0, mFreq);
        const double A = shelfAmplitude(mGain);
        const double slope = std::clamp(mWidth, 0.0001, 1.0);
        const double w0 = 2.0 * M_PI * f / fs;
        const double cs = std::cos(w0), sn = std::sin(w0);
        const double s = sn * std::sqrt((A * A + 1.0) / slope - (A - 1.0) * (A - 1.0));
        const double a0 = (A + 1.0) - (A - 1.0) * cs + s;
        store(A * ((A + 1.0) + (A - 1.0) * cs + s), -2.0 * A * ((A - 1.0) + (A + 1.0) * cs),
              A * ((A + 1.0) + (A - 1.0) * cs - s), 2.0 * ((A - 1.0) - (A + 1.0) * cs),
              (A + 1.0) - (A - 1.0) * cs - s, 1.0 / a0);
    } else if (mQ > 0.0) {
        const Prewarp p(designFreq(mFreq), fs);
        const double V = SoundTools::gainOfDb(std::fabs(mGain));
        const double r = std::sqrt(2.0 * V) * p.K;
        const double n[3] = {V + r + p.K2, 2.0 * (p.K2 - V), V - r + p.K2};
        const double d[3] = {1.0 + kSqrt2 * p.K + p.K2, 2.0 * (p.K2 - 1.0), 1.0 - kSqrt2 * p.K + p.K2};
        storeBoostOrCut(n, d);
    }
}

// ---------------------------------------------------------------- Butterworth

Order1FilterBuilder::Order1FilterBuilder(FilterType type, double freq) : mType(type), mFreq(freq) {}

std::shared_ptr<Filter> Order1FilterBuilder::buildFilter(unsigned int sampleRate) {
    const double fs = double(sampleRate);
    // Unsupported types and corners at or above (fs - 1) / 2 pass the signal through.
    std::valarray<double> b = {1.0, 0.0};
    std::valarray<double> a = {1.0, 0.0};
    if (mType != LowPass && mType != HighPass) {
        QMessageLogger().critical() << "Unsupported FirstOrderFilter Eq mode :" << int(mType);
    } else if (2.0 * mFreq + 1.0 < fs) {
        const double K = std::tan(M_PI * designFreq(mFreq) / fs);
        const double c = 1.0 / K;
        if (mType == LowPass) {
            b = {1.0 / (c + 1.0), 1.0 / (c + 1.0)};
            a = {1.0, (1.0 - c) / (c + 1.0)};
        } else {
            b = {c, -c};
            a = {c + 1.0, 1.0 - c};
        }
    }
    return std::make_shared<Order1Filter>(b, a);
}

namespace {
// The product of prewarped biquad sections of the given Qs (Butterworth pole pairs).
void butterworthProduct(FilterType type, double freq, unsigned sampleRate, std::initializer_list<double> qs,
                        std::valarray<double>& b, std::valarray<double>& a) {
    b = {1.0};
    a = {1.0};
    for (double q : qs) {
        BiquadEqBuilder section(type, freq, 0.0, 0.0);
        section.setQ(q);
        section.init(sampleRate);
        b = polyMultiply(b, section.getBCoeff());
        a = polyMultiply(a, section.getACoeff());
    }
}

// Whether every root of a[0] + a[1] z^-1 + ... + a[n] z^-n lies inside the
// circle of radius 1 - 1e-5, by the step-down (Schur-Cohn) recursion on the very
// coefficients the filter will run with (the margin covers what the recursion
// cannot resolve and the rounding of the running filter).
bool isStable(const std::valarray<double>& coeffs) {
    // Extended precision: with poles this close together and to the circle the
    // recursion loses many digits, and in plain double it would misjudge
    // stable filters.
    const size_t n = coeffs.size();
    if (n == 0 || coeffs[0] == 0.0) return false;
    std::vector<long double> a(n);
    const long double rho = 1.0L - 1e-5L;
    long double scale = 1.0L;
    for (size_t i = 0; i < n; ++i) {
        a[i] = (long double)coeffs[i] / (long double)coeffs[0] * scale;  // roots of A(rho z)
        scale /= rho;
    }
    for (size_t m = n - 1; m >= 1; --m) {
        const long double k = a[m];
        if (!(std::fabs(k) < 1.0L)) return false;
        const long double d = 1.0L - k * k;
        std::vector<long double> next(m);
        for (size_t i = 0; i < m; ++i) next[i] = (a[i] - k * a[m - i]) / d;
        a.swap(next);
    }
    return true;
}

// The poles of a high-order Butterworth crowd z = 1 as the corner falls, and the
// rounding of the multiplied-out denominator then pushes some of them outside
// the unit circle: a sixth-order filter below about fs / 2000 (a fourth-order
// one below about fs / 50000) would blow up to infinity. Such a corner is
// raised, by steps of a sixth of an octave, to the first one whose product form
// is stable, with a warning.
void stableButterworth(const char* name, FilterType type, double freq, unsigned sampleRate,
                       std::initializer_list<double> qs, std::valarray<double>& b, std::valarray<double>& a) {
    double f = freq;
    for (int step = 0; step < 200; ++step) {
        butterworthProduct(type, f, sampleRate, qs, b, a);
        if (isStable(a)) {
            if (f != freq)
                QMessageLogger().warning().nospace()
                    << name << " : corner " << freq << " Hz is too low for a direct-form filter at " << sampleRate
                    << " Hz ; designed at " << f << " Hz";
            return;
        }
        f = std::max(f, 1.0) * 1.122462048309373;  // 2^(1/6)
    }
    // Nothing stable (a corner raised past Nyquist passes through, so this is
    // not reached for a positive rate): pass the signal through.
    b = std::valarray<double>(0.0, a.size());
    b[0] = 1.0;
    a = b;
}
}  // namespace

Order4FilterBuilder::Order4FilterBuilder(FilterType type, double freq) : mFreq(freq), mType(type) {}

std::shared_ptr<Filter> Order4FilterBuilder::buildFilter(unsigned int sampleRate) {
    std::valarray<double> b, a;
    // 1 / (2 cos(pi/8)) and 1 / (2 cos(3 pi/8)).
    stableButterworth("Order4FilterBuilder", mType, mFreq, sampleRate, {0.5411961, 1.306563}, b, a);
    return std::make_shared<Order4Filter>(b, a);
}

Order6FilterBuilder::Order6FilterBuilder(FilterType type, double freq) : mFreq(freq), mType(type) {}

std::shared_ptr<Filter> Order6FilterBuilder::buildFilter(unsigned int sampleRate) {
    std::valarray<double> b, a;
    // 1 / (2 cos(pi/12)), 1 / sqrt(2), 1 / (2 cos(5 pi/12)).
    stableButterworth("Order6FilterBuilder", mType, mFreq, sampleRate, {0.51763809, 0.70710678, 1.9318517}, b, a);
    return std::make_shared<Order6Filter>(b, a);
}

// ---------------------------------------------------------------- A weighting

void WeightingFilterBuilder::buildCBiquad(double f1, double f2, double sampleRate,
                                          std::valarray<double>* const coeffs) {
    const double T = 2.0 * sampleRate;
    const double w1 = 2.0 * M_PI * f1, w2 = 2.0 * M_PI * f2;
    const double D = T * T + 2.0 * w1 * T + w1 * w1;
    coeffs[0] = {w2 * T / D, 0.0, -w2 * T / D};
    coeffs[1] = {1.0, (2.0 * w1 * w1 - 2.0 * T * T) / D, (T * T - 2.0 * w1 * T + w1 * w1) / D};
}

void WeightingFilterBuilder::buildABiquad(double f1, double f2, double sampleRate,
                                          std::valarray<double>* const coeffs) {
    const double T = 2.0 * sampleRate;
    const double w1 = 2.0 * M_PI * f1, w2 = 2.0 * M_PI * f2;
    const double P = w1 * w2;
    const double D = T * T + T * (w1 + w2) + P;
    coeffs[0] = {T * T / D, -2.0 * T * T / D, T * T / D};
    coeffs[1] = {1.0, (2.0 * P - 2.0 * T * T) / D, (T * T - T * (w1 + w2) + P) / D};
}

std::shared_ptr<Filter> WeightingFilterBuilder::buildFilter(unsigned int sampleRate) {
    const double fs = double(sampleRate);
    std::valarray<double> c1[2], c2[2], a[2];
    buildCBiquad(20.6, 12194.0, fs, c1);
    buildCBiquad(12194.0, 12194.0, fs, c2);
    buildABiquad(107.7, 737.9, fs, a);
    std::valarray<double> num = polyMultiply(c1[0], c2[0]) * std::pow(10.0, 0.0031);
    std::valarray<double> den = polyMultiply(c1[1], c2[1]);
    num = polyMultiply(num, a[0]) * std::pow(10.0, 0.0969);
    den = polyMultiply(den, a[1]);
    double m = 0.0;
    for (double v : num) m = std::max(m, std::fabs(v));
    for (double v : den) m = std::max(m, std::fabs(v));
    if (m > 0.0 && std::isfinite(m)) {
        num /= m;
        den /= m;
    }
    return std::make_shared<Order6Filter>(num, den);
}

}  // namespace SoundTools
