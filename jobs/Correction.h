#pragma once
// The correction equaliser the correct job runs, designed so that what it does
// to each band is what it announces.
//
// The reference curve gives one cut per band below the top reference
// frequency (the library's SoundStatReference::getCorrectedLevels: differences
// from the curve limited to the maximum correction, then lowered so that all
// are cuts). The make-up gain gives back the mean power those cuts take from
// the range the ear is most sensitive to. The change asked of band i is then
// cut[i] + make-up, and the make-up is held so that no band's change exceeds
// the maximum correction either way. The band above the top reference
// frequency has no reference level: its change is 0 dB.
//
// Neighbouring equaliser sections overlap, so a section's gain is not its
// band's change. The sections (a low shelf, one peaking band between each pair
// of reference frequencies, a high shelf) are solved for together, from their
// exact responses weighted by the recording's own mean spectrum, so that the
// power each band gains or loses is the change asked of it. The changes
// reported are those of the solved design.
//
// Threading: plain functions on the caller's values.
#include <vector>

#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundRefCounted.h"

namespace tonewright {
namespace detail {

struct CorrectionDesign {
    unsigned rate = 0;
    std::vector<double> edges;     // band edges (the reference frequencies), Hz
    std::vector<double> cuts;      // dB per band below the top edge, all <= 0
    double makeUpDb = 0.0;         // the output gain
    std::vector<double> wanted;    // dB per band (edges.size() + 1): cut + make-up, 0 for the top band
    std::vector<double> changes;   // dB per band that the design gives the recording's spectrum
    std::vector<double> sections;  // section gains, dB: low shelf, peaking bands, high shelf
    bool isEmpty() const { return sections.empty(); }
};

// The recording's mean power spectrum: frequencies (Hz) and power per bin.
// Empty vectors stand for a spectrum of equal power per octave.
struct Spectrum {
    std::vector<double> freqs, power;
};

// Designs the correction for a recording at `rate` Hz. cuts: one per edge (a
// shorter list is taken as 0 dB for the rest). Empty when there are fewer than
// two usable edges or the top edge is not below half the rate.
CorrectionDesign designCorrection(const std::vector<double>& edges, const std::vector<double>& cuts,
                                  double maxCorrection, unsigned rate, const Spectrum& spectrum);

// The equaliser of a design: the sections, then the make-up gain. Null for an
// empty design.
SoundRef<SoundAlgoFilter> correctionEqualiser(const CorrectionDesign& d);

}  // namespace detail
}  // namespace tonewright
