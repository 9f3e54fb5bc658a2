#pragma once
// Spectrum algorithms that filter or shift audio in the frequency domain, between
// a SoundAlgoFFTDirectCompute and a SoundAlgoFFTInverseCompute (SoundAlgoFFT.h):
//
//  - SoundAlgoFFTFilter multiplies every spectrum by the frequency response of a
//    linear-phase equiripple FIR filter (low-pass, band-pass, band-stop or
//    high-pass) designed for the run's sample rate and transform length;
//  - SoundAlgoEqFFT is the ready-made chain direct compute (with overlap) ->
//    SoundAlgoFFTFilter -> inverse compute;
//  - SoundAlgoFFTTranslate shifts every spectrum by a whole number of bins.
//
// Design rules of the FFT filter: pass-band ripple 0.5 dB peak to peak,
// stop-band ripple 1e-3 (-60 dB), transitions 0.005 fs wide (220.5 Hz at
// 44.1 kHz), corners clamped to [0.005 fs, 0.5 fs]; 447 taps whatever the type
// and the sample rate. With overlap, blocks of N/2 frames zero-padded to N and
// joined by overlap-add make the chain a linear convolution with those taps as
// long as they fit in N/2 + 1; shorter transforms get N/2 - 1 taps (255 at
// N = 512). The length is kept odd rather than using all N/2: the taps stay
// symmetric either way, but an even length puts a zero at half the sample rate,
// which a high-pass or band-stop must pass, and a half-frame group delay, which
// no band of a multiband amplifier could be lined up with.
//
// Timing: the chain's output is the full linear convolution y[n] = sum h[i]
// x[n - i], frame n of the output lying at frame n of the stream, as the time
// domain SoundAlgoEqFIR gives it. The filter declares a delay and a sample
// shift of taps - 1, so that a stream of L frames gives L + taps - 1 frames:
// the filter's tail is flushed out and written rather than cut off. The signal
// itself comes out (taps - 1) / 2 frames late (223 for 447 taps).
//
// Ownership and threading: those of SoundAlgo. The response belongs to the
// filter and exists from the first step of a run to its end.
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/RemezDesign.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoFFT.h"
#include "tonewright/SoundFilter.h"

class TONEWRIGHT_API SoundAlgoFFTFilter : public SoundAlgoFFT {
    Q_OBJECT
public:
    // type: LowPass, BandPass, BandStop or HighPass; low: the corner of a
    // low-pass or high-pass, the lower edge of a band (Hz); high: the upper edge
    // of a band-pass or band-stop (Hz). Another type is reported on the critical
    // log ("Unsupported FFT Eq mode :") when the run starts, and the filter then
    // passes the stream unchanged, delayed like a designed filter so that it
    // still lines up with other bands.
    // size: the transform length expected (the run takes it from the algorithm
    // upstream); it only lets getDelay answer before the first run.
    SoundAlgoFFTFilter(SoundTools::FilterType type, double low, double high, unsigned size = 8192);
    ~SoundAlgoFFTFilter() override;

    SoundTools::FilterType getType() const { return mType; }
    double getLowFrequency() const { return mLow; }
    double getHighFrequency() const { return mHigh; }

    // Filter length for an N-point transform: 447, or N/2 - 1 when that is less.
    static unsigned getTapNumber(unsigned fftSize);
    // The taps the filter applies at a sample rate with an N-point transform, h[0]
    // first. Error, with the error text set, for an unsupported type or unusable
    // arguments.
    SoundTools::Status design(unsigned sampleRate, unsigned fftSize, std::vector<double>& h,
                              SoundTools::RemezReport* report = nullptr) const;
    // Bins 0 .. N/2 of the response applied in the current run, (re, im) each;
    // empty outside a run.
    const std::vector<double>& getResponse() const { return mResponse; }

    SoundTools::Status process() override;
    void endProcess(int status, unsigned frameNbProcessed) override;
    // Designs the response for the run's sample rate and N (once per run).
    SoundTools::Status onInitInputBuffer() override;
    // Both taps - 1: see Timing above.
    unsigned getDelay(unsigned sr) const override;
    unsigned getSampleShift(unsigned sr) const override;
    // The spectra keep the input's timeline: the delay does not move them.
    void setOutOrigin() override;

private:
    SoundTools::FilterType mType;
    double mLow;
    double mHigh;
    std::vector<double> mResponse;  // N/2 + 1 bins (re, im)
};

// direct compute (N, overlap, no window) -> SoundAlgoFFTFilter -> inverse compute.
class TONEWRIGHT_API SoundAlgoEqFFT : public SoundAlgoComposite {
    Q_OBJECT
public:
    // size: the transform length, rounded down to a power of two.
    SoundAlgoEqFFT(SoundTools::FilterType type, double low, double high, unsigned int size = 8192);

    // The filter of the chain (owned by the chain).
    SoundAlgoFFTFilter* getFilter() const;
};

// Moves every bin of every spectrum `shift` bins up (positive) or down
// (negative); bins moved past the top or bottom are dropped and the bins left
// behind are zero. Bin 0 (DC) and bin N/2 (half the sample rate) never move.
// The frames are spectra of N/2 + 1 bins per channel like those of every
// spectrum algorithm, so that its successors read them as they are laid out.
class TONEWRIGHT_API SoundAlgoFFTTranslate : public SoundAlgoFFT {
    Q_OBJECT
public:
    explicit SoundAlgoFFTTranslate(int shift);

    int getShift() const { return mShift; }
    // Bins per channel of one spectrum, N/2 + 1; 0 while N is not known, that is
    // before the run has taken it from the algorithm upstream and again after it.
    unsigned getInFrameSize() const override { return mSize == 0 ? 0u : getFFTSampleSize(); }
    unsigned getOutFrameSize() const override { return getInFrameSize(); }
    SoundTools::Status process() override;
    // The transform length belongs to the run: it is forgotten at its end.
    void endProcess(int status, unsigned frameNbProcessed) override;

private:
    int mShift;
};
