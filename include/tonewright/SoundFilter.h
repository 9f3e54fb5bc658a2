#pragma once
// The recursive (IIR) filter that every time-domain filter of the library runs,
// its fixed-size variants, and the abstract factory that designs one for a
// sample rate.
//
// A Filter is a direct-form filter of order N-1 on stereo frames: N numerator
// coefficients b, N denominator coefficients a (a[0] normalises), an output
// gain, and N frames of input and output history per channel. Both channels are
// filtered alike, side by side.
//
// Ownership: filters are held through std::shared_ptr, one holder each; copying
// a filter copies its coefficients and gain, never its state. Builders
// (FilterBuilder and the designs in SoundFilterBuilders.h) keep the design
// parameters independently of the sample rate and return a new, independent
// filter from each buildFilter call.
//
// Threading: a filter has no lock. It is run by one thread at a time; the filter
// algorithms (SoundAlgoFilter) guard their filter lists with their own lock.
#include <cstdint>
#include <memory>
#include <valarray>

#include "tonewright/Export.h"
#include "tonewright/SoundTools.h"

namespace SoundTools {

// Filter kinds shared by every filter builder and by the FIR and FFT equalisers.
// The values are fixed: they are passed through constructors and stored.
enum FilterType : int32_t {
    LowPass = 0,
    BandPass = 1,
    BandStop = 2,  // FIR and FFT equalisers only
    HighPass = 3,
    LowShelf = 4,
    BandEq = 5,  // peaking (bell) band
    HighShelf = 6
};

class TONEWRIGHT_API Filter {
public:
    // N = the larger of the two sizes; the shorter list is zero-padded. a[0] must
    // be non-zero: a filter made without a usable a[0] (or with two empty lists)
    // reports it and outputs silence.
    Filter(std::valarray<double> b, std::valarray<double> a);
    // Copies coefficients and gain; the copy starts from zero history.
    Filter(const Filter& other);
    Filter& operator=(const Filter& other);
    virtual ~Filter() = default;

    // Filters `count` consecutive frames. in and out may be the same array.
    virtual void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned count);
    // Output multiplier, applied at once.
    virtual void setGain(double gain);
    double getGain() const { return mGain; }

    // The last input frame filtered, and the last output frame before the gain.
    StereoFrame<double> getLastInput() { return mInHist[0]; }
    StereoFrame<double> getOutput() { return mOutHist[0]; }

    unsigned size() const { return mSize; }
    const std::valarray<double>& getBCoeff() const { return mB; }
    const std::valarray<double>& getACoeff() const { return mA; }

protected:
    // 1/a[0], or 0 when a[0] is zero (the filter then outputs silence).
    double normaliser() const;
    void resetHistory();

    unsigned mSize;
    std::valarray<double> mB;
    std::valarray<double> mA;
    double mGain = 1.0;
    // Element k holds the frame k+1 frames back (inputs, and outputs before the gain).
    std::valarray<StereoFrame<double>> mInHist;
    std::valarray<StereoFrame<double>> mOutHist;
};

// Second-order section (N = 3), unrolled; same arithmetic and results as Filter.
class TONEWRIGHT_API BiquadFilter : public Filter {
public:
    BiquadFilter(const double b[3], const double a[3]);
    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned count) override;

    // Runs a cascade of plain biquads over `count` frames: filters[0] from in to
    // out, each further one in place on out. The results are exactly those of
    // calling filter() on each in turn; the sections are interleaved frame by
    // frame so that their recursions overlap in the processor. in and out may
    // be the same array.
    static void filterCascade(BiquadFilter* const* filters, unsigned n, const StereoFrame<double>* in,
                              StereoFrame<double>* out, unsigned count);
};

// A biquad whose gain protects the output from clipping: when an output frame
// would exceed 1.0, the gain drops so that this frame peaks at 0.8, and the
// frames of the block before it (at most 2000) are faded progressively from the
// old gain to the new one. setGain ramps linearly over 440000 frames. The gain
// never rises again by itself.
class TONEWRIGHT_API BiquadClipFilter : public BiquadFilter {
public:
    BiquadClipFilter(const double b[3], const double a[3], double gain = 1.0);
    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned count) override;
    // Starts a linear ramp from the current gain to `gain` over kRampFrames
    // frames; nothing happens when the gain is already that value.
    void setGain(double gain) override;

    static constexpr unsigned kRampFrames = 440000;
    static constexpr unsigned kMaxFadeFrames = 2000;
    unsigned rampFramesLeft() const { return mRampCount; }

private:
    double mRampStep = 0.0;
    uint32_t mRampCount = 0;
};

// First-, fourth- and sixth-order filters (N = 2, 5, 7), unrolled; same arithmetic
// and results as Filter.
class TONEWRIGHT_API Order1Filter : public Filter {
public:
    Order1Filter(std::valarray<double> b, std::valarray<double> a);
    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned count) override;
};

class TONEWRIGHT_API Order4Filter : public Filter {
public:
    Order4Filter(std::valarray<double> b, std::valarray<double> a);
    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned count) override;

    // Runs a and b over the same `count` input frames, a into outA and b into
    // outB (neither may be `in`), frame by frame in one loop so that their
    // recursions overlap in the processor. The results are exactly those of
    // calling filter() on each in turn.
    static void filterPair(Order4Filter& a, Order4Filter& b, const StereoFrame<double>* in,
                           StereoFrame<double>* outA, StereoFrame<double>* outB, unsigned count);
};

class TONEWRIGHT_API Order6Filter : public Filter {
public:
    Order6Filter(std::valarray<double> b, std::valarray<double> a);
    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned count) override;
};

// Designs a filter once the sample rate is known.
class TONEWRIGHT_API FilterBuilder {
public:
    FilterBuilder() = default;
    FilterBuilder(const FilterBuilder&) = delete;
    FilterBuilder& operator=(const FilterBuilder&) = delete;
    virtual ~FilterBuilder() = default;
    // A new filter for `sampleRate` Hz, with zero state and gain 1.0.
    virtual std::shared_ptr<Filter> buildFilter(unsigned int sampleRate) = 0;
};

// Polynomial product of two coefficient lists (length m + n - 1).
TONEWRIGHT_API std::valarray<double> polyMultiply(const std::valarray<double>& p, const std::valarray<double>& q);

}  // namespace SoundTools
