#pragma once
// Algorithms that carry audio into and out of the frequency domain.
//
// A frequency-domain chain is SoundAlgoFFTDirectCompute (time frames in, spectra
// out), then any number of spectrum algorithms (SoundAlgoFFT subclasses), then
// SoundAlgoFFTInverseCompute (spectra in, time frames out) or a statistics sink.
//
// Spectrum buffers: one frame is one transform: 2 channels x (N/2+1) bins x
// (re, im), left channel first (see FFTA.h). Spectra are taken from blocks on a
// fixed grid of the stream: block i starts hop * i frames after the grid start,
// hop being N/2 with overlap (blocks of N/2 frames zero-padded to N, so that
// overlap-add gives linear convolution) and N without.
//
// Steps: each step of the block loop has a window of time frames, [origin,
// window end): the frames of the direct compute's input that are final for this
// step (its input less the half block it keeps for the next step). The direct
// compute transforms every grid block that starts in the window (the last one
// may reach into the kept half block); the spectrum buffers carry those spectra
// with the window's origin; the inverse compute outputs exactly the window and
// keeps the finished frames past its end for the next step. Time-domain
// algorithms on either side therefore see the ordinary timeline of the loop,
// whatever the block size.
//
// Without overlap the direct compute keeps no history: each step must bring
// whole blocks. It rounds its own input block up to a multiple of N when it
// reads the stream itself, and refuses at initProcess a loop block size that is
// not a multiple of N when another algorithm feeds it. Only the last, short block
// of a stream is transformed zero-padded, so that no frame is lost.
//
// Ownership and threading: those of SoundAlgo. Each algorithm owns its FFT engine
// and scratch memory; process() runs on the loop's thread (or one OpenMP thread
// per composite branch), so two algorithms never share an engine.
#include <QJsonObject>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/FFTA.h"
#include "tonewright/SoundAlgo.h"

// Base of every algorithm whose frames are spectra. Size and overlap follow the
// algorithm upstream at each initProcess, whatever the constructor was given.
class TONEWRIGHT_API SoundAlgoFFT : public SoundAlgo {
    Q_OBJECT
public:
    SoundAlgoFFT();
    SoundAlgoFFT(unsigned int size, bool overlap);

    unsigned int getSize() const { return mSize; }
    bool isOverlap() const { return mOverlap; }
    // Bins per channel of one spectrum: N/2+1.
    unsigned int getFFTSampleSize() const { return mSize / 2 + 1; }
    // Spectra made from n time frames: n/N, or 2n/N - 1 (0 when below 1) with overlap.
    unsigned int frame2FFTFrame(unsigned int n) const;
    // Time frames covered by k spectra: k N, or k N/2 with overlap.
    unsigned int FFTFrame2frame(unsigned int k) const;
    // Frames between the starts of two successive spectra: N/2 with overlap, else N.
    unsigned int getHop() const { return mOverlap ? mSize / 2 : mSize; }

    // Writes "Size", "Overlap" and "SampleRate" beside the base keys.
    void writeToJSon(QJsonObject& object) const override;
    unsigned getInFrameSize() const override { return getFFTSampleSize(); }
    unsigned getOutFrameSize() const override { return getFFTSampleSize(); }
    unsigned getInElementSize() const override { return 2; }
    unsigned getOutElementSize() const override { return 2; }
    // Takes N from the spectra of the preceding algorithm (and the overlap when
    // it is a SoundAlgoFFT); Error without one.
    SoundTools::Status initInputBuffer(const LoopContext& ctx) override;
    void updateOutput(unsigned rotateBy) override;
    int getOutOrigin() const override { return mOrigin; }
    // Called once the input buffer is in place (N is then final).
    virtual SoundTools::Status onInitInputBuffer();

    // The current step: end of its window, and the stream position of the block
    // of its first spectrum.
    int64_t getWindowEnd() const { return mWindowEnd; }
    int64_t getGridStart() const { return mGridStart; }

protected:
    // Reads the keys written by writeToJSon; true when N > 0 and the sample rate is set.
    bool readFromJSon(QJsonObject& object) override;
    int getOrigin() const { return mOrigin; }
    void updateOrigin() { mOrigin = getInOrigin(); }
    // Spectra handed over by the preceding algorithm in this step.
    unsigned inputSpectra() const;

    // Takes the step's window and grid from the spectrum algorithm upstream.
    void followProducer();

    int mOrigin = 0;  // start of the step's window
    unsigned int mSize = 0;
    bool mOverlap = false;
    int64_t mWindowEnd = 0;
    int64_t mGridStart = 0;
};

// Time frames in, spectra out.
class TONEWRIGHT_API SoundAlgoFFTDirectCompute : public SoundAlgoFFT {
    Q_OBJECT
public:
    // The size is rounded down to a power of two (a message on the diagnostic
    // stream says so); window: a periodic Hann window over each block.
    explicit SoundAlgoFFTDirectCompute(unsigned int size = 8192, bool overlap = true, bool window = false);

    SoundTools::Status process() override;
    unsigned getInFrameSize() const override { return 1; }
    unsigned getInElementSize() const override { return 1; }
    unsigned getOutFrameSize() const override { return getFFTSampleSize(); }
    unsigned getOutElementSize() const override { return 2; }
    // N/2 with overlap: the half block that waits for the next step.
    unsigned getInOverlap(unsigned sr) const override;
    SoundTools::Status initInputBuffer(const LoopContext& ctx) override;
    SoundTools::Status initOutputBuffer(const LoopContext& ctx) override;
    void updateOutput(unsigned rotateBy) override;

    const std::vector<double>& getWindow() const { return mWindow; }

protected:
    FFTARadix2 mEngine;
    std::vector<double> mWindow;  // empty when no window is used

private:
    std::vector<double> mScratch;  // one zero-padded block of N stereo frames
    int64_t mNext = 0;             // first stream position not transformed yet
    bool mStarted = false;         // mNext is valid (set by the first step of a run)
    unsigned mSpectra = 0;         // spectra of the current step
};

// Spectra in, time frames out. Joins successive blocks plainly (no overlap),
// by overlap-add (overlap), or, after a SoundFFTAutocorrel, as normalised
// autocorrelation lags.
class TONEWRIGHT_API SoundAlgoFFTInverseCompute : public SoundAlgoFFT {
    Q_OBJECT
public:
    enum Mode { Disabled = -1, Plain = 0, OverlapAdd = 1, Autocorrelation = 2 };

    // disabled: the algorithm consumes spectra and produces no frames.
    explicit SoundAlgoFFTInverseCompute(bool disabled = false);

    SoundTools::Status process() override;
    unsigned getInFrameSize() const override { return getFFTSampleSize(); }
    unsigned getInElementSize() const override { return 2; }
    unsigned getOutFrameSize() const override { return 1; }
    unsigned getOutElementSize() const override { return 1; }
    SoundTools::Status initOutputBuffer(const LoopContext& ctx) override;
    void updateOutput(unsigned rotateBy) override;
    SoundTools::Status onInitInputBuffer() override;

    int getMode() const { return mMode; }

protected:
    FFTARadix2 mEngine;
    int mMode = Plain;

private:
    // Adds one finished frame range [pos, pos + n) to the pending frames.
    double* pendingAt(int64_t pos, size_t n);

    std::vector<double> mCarry;    // N stereo frames: the block inverted last
    std::vector<double> mPending;  // finished frames not output yet, stereo
    int64_t mPendingStart = 0;     // stream position of the first pending frame
    size_t mPendingFrames = 0;
    bool mStarted = false;         // mPendingStart is valid
    unsigned mFrames = 0;          // frames output in the current step
};
