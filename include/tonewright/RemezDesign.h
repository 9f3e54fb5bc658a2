#pragma once
// Equiripple design of linear-phase FIR filters by the Remez exchange
// algorithm: the impulse response of a given length whose weighted error against
// a piecewise-constant target over the given bands has the smallest maximum.
//
// Frequencies are fractions of the sample rate (0 .. 0.5). Odd lengths give
// symmetric filters of even order; even lengths give symmetric filters whose
// response is zero at half the sample rate (so they cannot pass it).
//
// The band layouts of the FIR equaliser and of the FFT filter (low-pass,
// high-pass, band-pass, band-stop with a transition width and a stop-band weight)
// are built by the helpers below; the filters choose the length with
// estimateTaps.
//
// Threading: every function is reentrant; nothing is shared between calls.
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundTools.h"

namespace SoundTools {

// One band: edges, target gain and error weight.
struct RemezBand {
    double low = 0.0;      // fraction of the sample rate
    double high = 0.0;     // fraction of the sample rate
    double desired = 0.0;  // target gain (linear)
    double weight = 1.0;   // error weight, > 0
};

// What a design did.
struct RemezReport {
    unsigned iterations = 0;     // exchange iterations run on the full grid
    unsigned coarseIterations = 0;  // exchange iterations run first on a coarser grid
    bool converged = false;      // the extremal errors agreed within the tolerance
    double deviation = 0.0;      // weighted peak error of the result (the ripple of a unit-weight band)
    unsigned alternations = 0;   // extremal frequencies of the final error (taps/2 + 2 at the optimum)
    unsigned gridPoints = 0;     // size of the dense frequency grid
    std::vector<RemezBand> bands;  // the bands designed for, after the edges were made usable
    std::vector<double> extremals;  // frequencies of the final extremal set
};

class TONEWRIGHT_API RemezDesign {
public:
    static constexpr unsigned kGridDensity = 16;     // grid points per extremal frequency
    static constexpr unsigned kMaxIterations = 40;
    static constexpr double kTolerance = 1e-4;       // relative spread of the extremal errors
    static constexpr unsigned kMaxTaps = 16383;

    // Band layouts with pass-band weight 1 and stop-band weight stopWeight:
    //   lowPass   pass [0, f1], stop [f1 + transition, 0.5]
    //   highPass  stop [0, f1 - transition], pass [f1, 0.5]
    //   bandPass  stop [0, f1 - t], pass [f1, f2], stop [f2 + t, 0.5]
    //   bandStop  pass [0, f1], stop [f1 + t, f2 - t], pass [f2, 0.5]
    // Edges that fall outside [0, 0.5] or out of order are made usable by design().
    static std::vector<RemezBand> lowPass(double f1, double transition, double stopWeight);
    static std::vector<RemezBand> highPass(double f1, double transition, double stopWeight);
    static std::vector<RemezBand> bandPass(double f1, double f2, double transition, double stopWeight);
    static std::vector<RemezBand> bandStop(double f1, double f2, double transition, double stopWeight);

    // Length for pass-band ripple deltaP, stop-band ripple deltaS and a transition
    // width (fraction of the sample rate):
    // floor(0.5 - (10 log10(deltaP deltaS) + 13) / (14.6 transition)) + 1,
    // limited to [1, kMaxTaps]; 0 when the arguments make no sense (a width of 0,
    // ripples outside (0, 1)).
    static unsigned estimateTaps(double deltaP, double deltaS, double transition);

    // Designs `taps` coefficients into h (symmetric: h[i] = h[taps-1-i]).
    // The bands are first put in order of their lower edges, clamped to
    // [0, 0.5] and kept from overlapping (a band starts at the earliest where
    // the previous one ends); bands left empty, or given with their edges in
    // reverse, are dropped. Error (h empty, error text set) for 0 or more than
    // kMaxTaps taps, no usable band, a weight that is not positive, values that
    // are not finite, or too few grid points for the length. A design that does
    // not converge within kMaxIterations still yields its last approximation and
    // Ok; the report says so.
    static Status design(unsigned taps, const std::vector<RemezBand>& bands, std::vector<double>& h,
                         RemezReport* report = nullptr, unsigned gridDensity = kGridDensity);
    // The same with arrays: bandNb bands, 2 bandNb edges (low, high per band),
    // bandNb desired gains and bandNb weights.
    static Status design(unsigned taps, unsigned bandNb, const double* edges, const double* desired,
                         const double* weights, std::vector<double>& h, RemezReport* report = nullptr);
};

}  // namespace SoundTools
