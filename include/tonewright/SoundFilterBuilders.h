#pragma once
// Filter designs: the second-order equaliser section (BiquadEqBuilder), first-,
// fourth- and sixth-order Butterworth low- and high-passes, and the A-frequency
// weighting of sound-level measurement.
//
// A builder holds design parameters that do not depend on the sample rate
// (frequencies in Hz, widths in octaves, gains in dB); buildFilter designs the
// coefficients for a sample rate and returns a new filter (SoundFilter.h) with
// zero state and gain 1.0.
//
// Ownership: builders are held through std::shared_ptr by the filter algorithm
// (or player) that uses them; each filter they build belongs to the caller.
//
// Threading: no lock. A builder is changed and used by one thread at a time;
// SoundAlgoFilter changes its builders under its own lock.
#include <memory>
#include <valarray>

#include "tonewright/Export.h"
#include "tonewright/SoundFilter.h"

namespace SoundTools {

// One biquad equaliser section. A positive width selects the bandwidth designs
// of the published Audio EQ Cookbook (width in octaves for the pass and peaking
// types, shelf slope for the shelves); otherwise a positive Q selects the
// tangent-prewarped bilinear designs; with neither, the coefficients are left as
// they were. A corner at or above (fs - 1) / 2 gives a pass-through.
class TONEWRIGHT_API BiquadEqBuilder : public FilterBuilder {
public:
    explicit BiquadEqBuilder(FilterType type);
    // Q is 0: the width family is used when width > 0.
    BiquadEqBuilder(FilterType type, double freq, double width, double gain);

    BiquadEqBuilder& setFreq(double freq) { mFreq = freq; return *this; }
    BiquadEqBuilder& setWidth(double width) { mWidth = width; return *this; }
    BiquadEqBuilder& setQ(double q) { mQ = q; return *this; }
    BiquadEqBuilder& setGain(double gain) { mGain = gain; return *this; }
    FilterType type() const { return mType; }
    double freq() const { return mFreq; }
    double width() const { return mWidth; }
    double Q() const { return mQ; }
    double gain() const { return mGain; }

    // Designs the coefficients for `sampleRate` Hz (normalised so that a0 = 1).
    void init(unsigned int sampleRate);
    // {b0, b1, b2} and {1, a1, a2} of the last init.
    std::valarray<double> getBCoeff() const;
    std::valarray<double> getACoeff() const;

    // init, then a new BiquadFilter with gain 1.0.
    std::shared_ptr<Filter> buildFilter(unsigned int sampleRate) override;
    // init, then a new BiquadClipFilter starting at `gain` (linear).
    std::shared_ptr<Filter> buildClipFilter(unsigned int sampleRate, double gain);

private:
    void buildLowPass(unsigned int sampleRate);
    void buildBandPass(unsigned int sampleRate);
    void buildHighPass(unsigned int sampleRate);
    void buildLowShelf(unsigned int sampleRate);
    void buildBandEq(unsigned int sampleRate);
    void buildHighShelf(unsigned int sampleRate);
    // Stores the coefficients multiplied by norm (= 1/a0).
    void store(double b0, double b1, double b2, double a1, double a2, double norm);
    // Stores coefficients already divided by a0; non-finite ones give a pass-through.
    void storeNormalised(double b0, double b1, double b2, double a1, double a2);
    void storeBoostOrCut(const double n[3], const double d[3]);

    FilterType mType;
    double mFreq = 0.0;
    double mWidth = 0.0;
    double mQ = 0.0;
    double mGain = 0.0;
    double mB0 = 0.0, mB1 = 0.0, mB2 = 0.0, mA1 = 0.0, mA2 = 0.0;
};

// First-order Butterworth low- or high-pass (bilinear transform), N = 2.
class TONEWRIGHT_API Order1FilterBuilder : public FilterBuilder {
public:
    // Only LowPass and HighPass are designed; other types give a pass-through.
    Order1FilterBuilder(FilterType type, double freq);
    std::shared_ptr<Filter> buildFilter(unsigned int sampleRate) override;

private:
    FilterType mType;
    double mFreq;
};

// Fourth-order Butterworth low- or high-pass: two prewarped biquad sections
// multiplied into one direct-form filter, N = 5. Used by the two-way crossover.
class TONEWRIGHT_API Order4FilterBuilder : public FilterBuilder {
public:
    Order4FilterBuilder(FilterType type, double freq);
    std::shared_ptr<Filter> buildFilter(unsigned int sampleRate) override;

private:
    double mFreq;
    FilterType mType;
};

// Sixth-order Butterworth low- or high-pass from three sections, N = 7.
class TONEWRIGHT_API Order6FilterBuilder : public FilterBuilder {
public:
    Order6FilterBuilder(FilterType type, double freq);
    std::shared_ptr<Filter> buildFilter(unsigned int sampleRate) override;

private:
    double mFreq;
    FilterType mType;
};

// The A-frequency weighting (poles at 20.6, 107.7, 737.9 and 12194 Hz), by the
// bilinear transform without prewarping, as one sixth-order filter normalised to
// 0 dB at 1 kHz (analog) whose largest coefficient is 1.0.
class TONEWRIGHT_API WeightingFilterBuilder : public FilterBuilder {
public:
    WeightingFilterBuilder() = default;
    std::shared_ptr<Filter> buildFilter(unsigned int sampleRate) override;

private:
    // Bilinear transform of s^2 / ((s + w1)(s + w2)); coeffs receives {b0, b1, b2}
    // then {1, a1, a2}.
    void buildABiquad(double f1, double f2, double sampleRate, std::valarray<double>* const coeffs);
    // Bilinear transform of w2 s / (s + w1)^2.
    void buildCBiquad(double f1, double f2, double sampleRate, std::valarray<double>* const coeffs);
};

}  // namespace SoundTools
