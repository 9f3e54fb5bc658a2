#pragma once
// The bass boost and its integrator.
//
// SoundAlgoFWIntegrator turns a signal into a ramp wave: it accumulates the
// magnitude of the mono mix, (left + right) / 2, outputs factor * accumulator -
// 0.25 on both channels and restarts the ramp at every rising zero crossing of
// the mono mix. On silence the output is the constant -0.25.
//
// SoundAlgoBassBoost adds to its input a synthesised low-frequency component.
// Its first branch band-limits the input to 20 Hz .. frequency, gates it, turns
// it into a ramp wave with the integrator, keeps the ramp's harmonics between
// frequency and upper frequency, levels them with a limiter at the boost's gain
// and scales them back by half that gain; its second branch is the input with a
// one-octave peaking band of half the gain at frequency. The two are added and
// held under full scale by a simple limiter.
//
// Units: gains in dB, frequencies in Hz. Samples that are not finite numbers
// count as silence in every member.
//
// Ownership and threading: those of SoundAlgo and SoundAlgoComposite. The bass
// boost is sealed (read-only) once built.
#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundAlgoComposite.h"

class TONEWRIGHT_API SoundAlgoFWIntegrator : public SoundAlgo {
    Q_OBJECT
public:
    // factor: ramp slope per unit of accumulated magnitude; a factor that is not a
    // finite number counts as 0.
    explicit SoundAlgoFWIntegrator(double factor);

    double getFactor() const { return mFactor; }

    // One frame: the next frame shows whether the current one ends a zero crossing.
    unsigned getInOverlap(unsigned) const override { return 1; }
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    SoundTools::Status process() override;

private:
    double mFactor;
    double mAccumulator = 0.0;
};

class TONEWRIGHT_API SoundAlgoBassBoost : public SoundAlgoComposite {
    Q_OBJECT
public:
    // gainDb: the boost; freq: the top of the band boosted (Hz); upperFreq: the top
    // of the synthesised harmonics (Hz); factor: the integrator's factor.
    SoundAlgoBassBoost(double gainDb, double freq, double upperFreq, double factor);

    // Fills the current branch of `composite` with the synthesis chain.
    static void buildFWBranchFilter(SoundAlgoComposite* composite, double gainDb, double freq, double upperFreq,
                                    double factor);
};
