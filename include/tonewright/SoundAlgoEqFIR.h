#pragma once
// SoundAlgoEqFIR: a linear-phase FIR filter (low-pass, band-pass, band-stop or
// high-pass) run in the time domain, its taps designed at each initProcess for
// the run's sample rate by the Remez exchange (equiripple) method.
//
// Design rules: pass-band ripple 0.5 dB peak to peak, stop-band ripple 1e-2
// (-40 dB); the transition band is 2 low / fs wide for the low-pass and the
// band-stop and low / 2 fs for the band-pass and the high-pass, so that it
// scales with the corner; the length follows from the ripples and the
// transition (35 taps for a 1 kHz low-pass at 44.1 kHz, 137 for a high-pass),
// made odd for the high-pass and the band-stop, which must pass half the sample
// rate where a symmetric filter of even length has a zero. Frequencies above
// half the sample rate count as half the sample rate. A transition band that
// reaches past half the sample rate leaves no stop band: a low-pass above fs / 6,
// or a band-stop whose high corner is below 5 low, then passes everything.
//
// Timing: the output is the full linear convolution of the stream with the
// taps, y[n] = gain * sum h[i] x[n - i], frame n of the output lying at frame n
// of the stream. Delay and input overlap are both taps - 1: each block carries
// the history the sum needs, and a stream of L frames gives L + taps - 1 frames,
// the filter's tail included. The signal itself comes out (taps - 1) / 2 frames
// late, the group delay of a linear-phase filter.
//
// Ownership: the taps belong to the algorithm and exist during a run only.
//
// Threading: process() splits the output frames across OpenMP worker threads of
// the calling thread (frames are independent). SetOutputGain may be called from
// any thread; it takes effect from the next block.
#include <atomic>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/RemezDesign.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundFilter.h"

class TONEWRIGHT_API SoundAlgoEqFIR : public SoundAlgo {
    Q_OBJECT
public:
    // type: LowPass, BandPass, BandStop or HighPass; low: the corner of a
    // low-pass or high-pass, the lower edge of a band (Hz); high: the upper edge
    // of a band-pass or band-stop (Hz), unused otherwise.
    SoundAlgoEqFIR(SoundTools::FilterType type, double low, double high);
    ~SoundAlgoEqFIR() override;

    // Output gain in dB.
    void SetOutputGain(double gainDb);
    double getOutputGain() const { return mGain.load(std::memory_order_relaxed); }  // linear

    SoundTools::FilterType getType() const { return mType; }
    // Filter length at a sample rate (0 when no filter can be designed there).
    unsigned getTapNumber(unsigned sampleRate) const;
    // The taps the filter runs at a sample rate, h[0] first (symmetric). Error,
    // with the error text set, for an unsupported type or unusable frequencies.
    SoundTools::Status design(unsigned sampleRate, std::vector<double>& h,
                              SoundTools::RemezReport* report = nullptr) const;

    SoundTools::Status process() override;
    // Designs the taps; Error for an unsupported type ("Unsupported FIR mode :"
    // on the critical log) or unusable frequencies.
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned frameNbProcessed) override;
    unsigned getDelay(unsigned sr) const override;
    unsigned getInOverlap(unsigned sr) const override;

private:
    // f1, f2, transition, stop-band weight and length for a sample rate.
    void InitStaticParams(double sampleRate);

    SoundTools::FilterType mType;
    double mLow;
    double mHigh;
    std::atomic<double> mGain{1.0};
    std::vector<double> mReversed;  // h[taps - 1 - j] at j; empty outside a run
    double mF1 = 0.0;
    double mF2 = 0.0;
    unsigned mTaps = 0;
    double mTransition = 0.0;
    double mStopWeight = 0.0;
    // De-interleaved input of one block (left, right), reused from block to block.
    std::vector<double> mLeft;
    std::vector<double> mRight;
};
