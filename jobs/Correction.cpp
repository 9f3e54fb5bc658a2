#include "jobs/Correction.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>

#include "tonewright/SoundFilterBuilders.h"
#include "tonewright/SoundTools.h"
#include "tonewright/SoundUnits.h"

namespace tonewright {
namespace detail {

namespace {

using SoundTools::BiquadEqBuilder;

// The design's sections, in the order of CorrectionDesign::sections.
std::vector<std::shared_ptr<BiquadEqBuilder>> sectionBuilders(const std::vector<double>& edges,
                                                              const std::vector<double>& gains) {
    std::vector<std::shared_ptr<BiquadEqBuilder>> out;
    const size_t n = edges.size();
    out.push_back(std::make_shared<BiquadEqBuilder>(SoundTools::LowShelf, edges[0], 1.0, gains[0]));
    for (size_t i = 0; i + 1 < n; ++i) {
        double centre = 0.0, width = 0.0;
        SoundTools::get_fco(edges[i], edges[i + 1], centre, width);
        out.push_back(std::make_shared<BiquadEqBuilder>(SoundTools::BandEq, centre, width, gains[i + 1]));
    }
    out.push_back(std::make_shared<BiquadEqBuilder>(SoundTools::HighShelf, edges[n - 1], 1.0, gains[n]));
    return out;
}

// The bins of one band and the share of the band's power each carries.
struct Band {
    std::vector<size_t> bins;
    std::vector<double> weights;  // sum 1
};

// Evaluates the power change of every band for given section gains, keeping
// each section's response so that one section can be varied cheaply.
class Model {
public:
    Model(const std::vector<double>& edges, unsigned rate, const Spectrum& spectrum) : mEdges(edges), mRate(rate) {
        std::vector<double> power;
        if (!spectrum.freqs.empty() && spectrum.freqs.size() == spectrum.power.size()) {
            for (size_t k = 0; k < spectrum.freqs.size(); ++k) {
                const double f = spectrum.freqs[k], p = spectrum.power[k];
                if (f > 0.0 && f < rate / 2.0 && std::isfinite(p) && p >= 0.0) {
                    mOmega.push_back(2.0 * M_PI * f / rate);
                    mFreqs.push_back(f);
                    power.push_back(p);
                }
            }
        }
        if (mFreqs.empty()) {
            // Equal power per octave from 20 Hz up.
            const int points = 1024;
            const double lo = std::log(20.0), hi = std::log(rate / 2.0 * 0.999);
            for (int k = 0; k < points; ++k) {
                const double f = std::exp(lo + (hi - lo) * k / (points - 1));
                mOmega.push_back(2.0 * M_PI * f / rate);
                mFreqs.push_back(f);
                power.push_back(1.0);
            }
        }
        mBands.resize(edges.size() + 1);
        for (size_t k = 0; k < mFreqs.size(); ++k) {
            const size_t band = size_t(std::lower_bound(edges.begin(), edges.end(), mFreqs[k]) - edges.begin());
            mBands[band].bins.push_back(k);
            mBands[band].weights.push_back(power[k]);
        }
        double total = 0.0;
        for (double p : power) total += p;
        for (Band& b : mBands) {
            double sum = 0.0;
            for (double w : b.weights) sum += w;
            // A band without measurable power is judged on its bins alike.
            const bool flat = !(sum > total * 1e-15);
            for (double& w : b.weights) w = flat ? 1.0 / double(b.weights.size()) : w / sum;
        }
    }

    size_t bandCount() const { return mBands.size(); }
    bool hasBins(size_t band) const { return !mBands[band].bins.empty(); }

    void setGains(const std::vector<double>& gains) {
        mGains = gains;
        mSectionDb.assign(gains.size(), {});
        mTotalDb.assign(mFreqs.size(), 0.0);
        for (size_t j = 0; j < gains.size(); ++j) {
            mSectionDb[j] = sectionDb(j, gains[j]);
            for (size_t k = 0; k < mFreqs.size(); ++k) mTotalDb[k] += mSectionDb[j][k];
        }
    }

    // Change of each band's power (dB) with the current gains, section j's
    // gain replaced by `gain` when j is given.
    std::vector<double> bandChanges(size_t j = SIZE_MAX, double gain = 0.0) const {
        std::vector<double> replaced;
        if (j != SIZE_MAX) replaced = sectionDb(j, gain);
        std::vector<double> out(mBands.size(), 0.0);
        for (size_t i = 0; i < mBands.size(); ++i) {
            const Band& b = mBands[i];
            double sum = 0.0;
            for (size_t m = 0; m < b.bins.size(); ++m) {
                const size_t k = b.bins[m];
                double db = mTotalDb[k];
                if (j != SIZE_MAX) db += replaced[k] - mSectionDb[j][k];
                sum += b.weights[m] * SoundTools::powerOfDb(db);
            }
            out[i] = b.bins.empty() ? 0.0 : SoundTools::dbOfPower(sum, -INFINITY);
        }
        return out;
    }

private:
    // |H|^2 in dB of section j at every bin, from its coefficients.
    std::vector<double> sectionDb(size_t j, double gain) const {
        std::vector<double> gains(mEdges.size() + 1, 0.0);
        gains[j] = gain;
        std::shared_ptr<BiquadEqBuilder> s = sectionBuilders(mEdges, gains)[j];
        s->init(mRate);
        const std::valarray<double> b = s->getBCoeff(), a = s->getACoeff();
        std::vector<double> out(mFreqs.size(), 0.0);
        for (size_t k = 0; k < mFreqs.size(); ++k) {
            const std::complex<double> z1 = std::polar(1.0, -mOmega[k]), z2 = z1 * z1;
            const std::complex<double> num = b[0] + b[1] * z1 + b[2] * z2;
            const std::complex<double> den = a[0] + a[1] * z1 + a[2] * z2;
            out[k] = SoundTools::dbOfPower(std::norm(num) / std::norm(den), -INFINITY);
        }
        return out;
    }

    std::vector<double> mEdges;
    unsigned mRate;
    std::vector<double> mFreqs, mOmega;
    std::vector<Band> mBands;
    std::vector<double> mGains, mTotalDb;
    std::vector<std::vector<double>> mSectionDb;
};

// x with A x = y (Gaussian elimination, partial pivoting); A is n x n, row major.
std::vector<double> solve(std::vector<double> A, std::vector<double> y) {
    const size_t n = y.size();
    for (size_t c = 0; c < n; ++c) {
        size_t p = c;
        for (size_t r = c + 1; r < n; ++r)
            if (std::fabs(A[r * n + c]) > std::fabs(A[p * n + c])) p = r;
        if (std::fabs(A[p * n + c]) < 1e-12) return std::vector<double>(n, 0.0);
        if (p != c) {
            for (size_t k = 0; k < n; ++k) std::swap(A[c * n + k], A[p * n + k]);
            std::swap(y[c], y[p]);
        }
        for (size_t r = c + 1; r < n; ++r) {
            const double f = A[r * n + c] / A[c * n + c];
            for (size_t k = c; k < n; ++k) A[r * n + k] -= f * A[c * n + k];
            y[r] -= f * y[c];
        }
    }
    std::vector<double> x(n, 0.0);
    for (size_t c = n; c-- > 0;) {
        double s = y[c];
        for (size_t k = c + 1; k < n; ++k) s -= A[c * n + k] * x[k];
        x[c] = s / A[c * n + c];
    }
    return x;
}

// Section gains whose band changes (plus the make-up) come nearest to `wanted`:
// damped Gauss-Newton steps on a Jacobian by finite differences.
std::vector<double> solveSections(Model& model, const std::vector<double>& wanted, double makeUpDb,
                                  std::vector<double> gains) {
    const size_t n = gains.size();
    const double step = 0.25, bound = 40.0;
    for (int iteration = 0; iteration < 40; ++iteration) {
        model.setGains(gains);
        const std::vector<double> now = model.bandChanges();
        std::vector<double> residual(n, 0.0);
        double worst = 0.0;
        for (size_t i = 0; i < n; ++i) {
            residual[i] = model.hasBins(i) ? wanted[i] - makeUpDb - now[i] : 0.0;
            worst = std::max(worst, std::fabs(residual[i]));
        }
        if (worst < 0.005) break;
        std::vector<double> J(n * n, 0.0);  // J[i][j] = d change_i / d gain_j
        for (size_t j = 0; j < n; ++j) {
            const std::vector<double> moved = model.bandChanges(j, gains[j] + step);
            for (size_t i = 0; i < n; ++i) J[i * n + j] = model.hasBins(i) ? (moved[i] - now[i]) / step : 0.0;
        }
        // (J'J + lambda I) delta = J' r
        std::vector<double> A(n * n, 0.0), y(n, 0.0);
        double trace = 0.0;
        for (size_t a = 0; a < n; ++a) {
            for (size_t b = 0; b < n; ++b) {
                double s = 0.0;
                for (size_t i = 0; i < n; ++i) s += J[i * n + a] * J[i * n + b];
                A[a * n + b] = s;
            }
            for (size_t i = 0; i < n; ++i) y[a] += J[i * n + a] * residual[i];
            trace += A[a * n + a];
        }
        const double lambda = 1e-4 * trace / double(n) + 1e-9;
        for (size_t a = 0; a < n; ++a) A[a * n + a] += lambda;
        const std::vector<double> delta = solve(A, y);
        for (size_t j = 0; j < n; ++j) gains[j] = std::max(-bound, std::min(bound, gains[j] + delta[j]));
    }
    model.setGains(gains);
    return gains;
}

}  // namespace

CorrectionDesign designCorrection(const std::vector<double>& edges, const std::vector<double>& cutsIn,
                                  double maxCorrection, unsigned rate, const Spectrum& spectrum) {
    CorrectionDesign d;
    if (edges.size() < 2 || rate == 0 || !(edges.back() < rate / 2.0) || !(edges.front() > 0.0)) return d;
    for (size_t i = 1; i < edges.size(); ++i)
        if (!(edges[i] > edges[i - 1])) return d;
    const double limit = std::isfinite(maxCorrection) ? std::fabs(maxCorrection) : 0.0;
    const size_t n = edges.size();
    d.rate = rate;
    d.edges = edges;
    d.cuts.assign(n, 0.0);
    for (size_t i = 0; i < n && i < cutsIn.size(); ++i) d.cuts[i] = std::isfinite(cutsIn[i]) ? cutsIn[i] : 0.0;

    // The make-up gain: the mean power the cuts take from 2800 Hz +- 1.75
    // octaves, each band weighed by the octaves it has in that range...
    double rangeLow = 0.0, rangeHigh = 0.0;
    SoundTools::get_minmax(2800.0, 3.5, rangeLow, rangeHigh);
    double weight = 0.0, power = 0.0;
    for (size_t i = 0; i + 1 < n; ++i) {
        const double from = std::max(edges[i], rangeLow), to = std::min(edges[i + 1], rangeHigh);
        if (to > from) {
            weight += std::log2(to / from);
            power += std::log2(to / from) * SoundTools::powerOfDb(d.cuts[i + 1]);
        }
    }
    double makeUp = weight > 0.0 && power > 0.0 ? -SoundTools::dbOfPower(power / weight, -INFINITY) : 0.0;
    // ... held so that cut + make-up stays within the limit for every band
    // (the bounds meet when the cuts span twice the limit).
    const double lowest = *std::min_element(d.cuts.begin(), d.cuts.end());
    const double highest = std::max(0.0, *std::max_element(d.cuts.begin(), d.cuts.end()));
    makeUp = std::max(-limit - lowest, std::min(limit - highest, makeUp));
    d.makeUpDb = makeUp;

    d.wanted.assign(n + 1, 0.0);
    for (size_t i = 0; i < n; ++i) d.wanted[i] = d.cuts[i] + makeUp;
    d.wanted[n] = 0.0;  // no reference level above the top edge: left as it is

    Model model(edges, rate, spectrum);
    std::vector<double> start(n + 1, 0.0);
    for (size_t i = 0; i <= n; ++i) start[i] = d.wanted[i] - makeUp;
    std::vector<double> wanted = d.wanted;
    // When neighbouring bands ask for changes the sections cannot give apart,
    // the nearest design may overshoot the limit somewhere: the shape is then
    // flattened until it does not.
    for (int attempt = 0; attempt < 12; ++attempt) {
        d.sections = solveSections(model, wanted, makeUp, start);
        d.changes = model.bandChanges();
        double worst = 0.0;
        for (size_t i = 0; i < d.changes.size(); ++i) {
            if (!model.hasBins(i)) d.changes[i] = wanted[i] - makeUp;
            d.changes[i] += makeUp;
            worst = std::max(worst, std::fabs(d.changes[i]));
        }
        if (worst <= limit + 0.05) break;
        for (double& w : wanted) w *= 0.85;
        start = d.sections;
    }
    return d;
}

SoundRef<SoundAlgoFilter> correctionEqualiser(const CorrectionDesign& d) {
    if (d.isEmpty()) return SoundRef<SoundAlgoFilter>();
    auto filter = SoundRef<SoundAlgoFilter>::make();
    const auto builders = sectionBuilders(d.edges, d.sections);
    for (size_t j = 0; j < builders.size(); ++j)
        if (std::fabs(d.sections[j]) >= 0.001) filter->pushFilter(builders[j]);
    filter->setOutputGain(d.makeUpDb);
    return filter;
}

}  // namespace detail
}  // namespace tonewright
