// Work on a finished region list of RMSStepDetector: noise estimate, splitting
// long runs of signal at quiet passages, merging neighbours of one kind and
// compressing the dynamic range of the region levels. These take no lock of
// their own; the noise marking they call takes the detector's write lock.
#include <algorithm>
#include <cmath>
#include <iomanip>
#include <ostream>

#include "tonewright/SoundUnits.h"
#include "tonewright/RMSStepDetector.h"

namespace {
double powerDb(double meanSquare) { return SoundTools::dbOfGain(std::sqrt(std::max(0.0, meanSquare))); }

void combine(RMSStepDetector::Region& a, const RMSStepDetector::Region& b) {
    const double wa = a.MeanSmpl, wb = b.MeanSmpl;
    if (wa + wb > 0) {
        a.RMSSqrValue0 = (a.RMSSqrValue0 * wa + b.RMSSqrValue0 * wb) / (wa + wb);
        a.RMSSqrValue1 = (a.RMSSqrValue1 * wa + b.RMSSqrValue1 * wb) / (wa + wb);
    }
    a.MeanSmpl += b.MeanSmpl;
}
}  // namespace

double RMSStepDetector::estimateNoise(double a, double snrDb) const {
    return estimateNoise(a, snrDb, 0, int(mRegions.size()));
}

double RMSStepDetector::estimateNoise(double a, double snrDb, int first, int end) const {
    first = std::max(first, 0);
    end = std::min(end, int(mRegions.size()));
    // An empty range has no noise to estimate: the answer is the SNR floor itself.
    if (first >= end) return -snrDb;
    if (!(a > 0)) a = 1.0;
    std::vector<Region> sorted(mRegions.begin() + first, mRegions.begin() + end);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Region& x, const Region& y) { return x.level() < y.level(); });
    const double rate = mSampleRate ? mSampleRate : 44100;
    const int64_t period = int64_t(std::floor(rate * 300.0 + 0.5));
    int64_t k = period > 0 ? int64_t(mRegions.back().BeginSample) / period : 1;
    if (k < 1) k = 1;
    const double budget = std::floor(double(k) * a * rate + 0.5);
    const Region& loudest = sorted.back();
    const double base = std::min(loudest.RMSSqrValue0, loudest.RMSSqrValue1);
    // A loudest region with a silent channel gives no reference to measure from.
    if (!(base > 0)) return -snrDb;
    const double t = base * std::pow(10.0, -snrDb / 10.0);
    Region candidate;
    candidate.RMSSqrValue0 = candidate.RMSSqrValue1 = t;
    double accumulated = 0;
    for (const Region& r : sorted) {
        if (!(accumulated < budget)) break;
        if (r.level() > t) {
            candidate = r;
            accumulated += r.SampleNb;
        }
    }
    if (candidate.BeginSample == loudest.BeginSample && candidate.SampleNb == loudest.SampleNb) return -snrDb;
    const double noise = 1.05 * std::sqrt(candidate.level()) / std::sqrt(base);
    if (isDebug()) getOStream() << "Noise=" << SoundTools::dbOfGain(noise) << "dB" << std::endl;
    return SoundTools::dbOfGain(noise);
}

double RMSStepDetector::getNoiseFromSNR(double snrDb) const {
    double m = 0;
    for (const Region& r : mRegions) m = std::max(m, std::min(r.RMSSqrValue0, r.RMSSqrValue1));
    const double result = powerDb(m) - snrDb;
    if (isDebug()) getOStream() << "Noise=" << result << "dB" << std::endl;
    return result;
}

void RMSStepDetector::split(double a, double minRunSeconds, double snrDb) {
    if (mRegions.empty()) return;
    const double rate = mSampleRate ? mSampleRate : 44100;
    const double minRun = SoundTools::framesOf(minRunSeconds, rate);
    // Each restart re-marks a run with a fresh estimate; marking can also clear
    // flags, so the walk is bounded to keep two estimates from alternating forever.
    int restartsLeft = 4 * int(mRegions.size()) + 16;
    int runStart = 0;
    bool inNoise = true;
    for (int i = 0; i < int(mRegions.size()); ++i) {
        const Region& r = mRegions[size_t(i)];
        if (!r.IsNoise) {
            if (inNoise) {
                runStart = i;
                inNoise = false;
            }
            continue;
        }
        if (!inNoise && double(r.BeginSample) - double(mRegions[size_t(runStart)].BeginSample) > minRun) {
            const double estimate = estimateNoise(a, snrDb, runStart, i);
            if (applyNoise(estimate, runStart, i) && restartsLeft-- > 0) {
                if (isDebug()) getOStream() << "Noise = " << estimate << " dB" << std::endl;
                i = runStart - 1;
                inNoise = false;
                continue;
            }
        }
        inNoise = true;
    }
    if (isDebug()) printRegions("Split");
}

void RMSStepDetector::mergeRegions() {
    std::vector<Region> merged;
    Region acc;
    acc.IsNoise = true;
    for (const Region& r : mRegions) {
        if (r.IsNoise != acc.IsNoise && acc.SampleNb >= 1) {
            merged.push_back(acc);
            acc = r;
        } else if (acc.SampleNb == 0) {
            acc = r;
        } else {
            acc.SampleNb += r.SampleNb;
            combine(acc, r);
        }
    }
    if (acc.SampleNb > 0) merged.push_back(acc);
    {
        SoundTools::WriteLocker locker(mLock);
        mRegions.swap(merged);
    }
    if (isDebug()) printRegions("Merge");
}

double RMSStepDetector::compressDynamic(double ratio) {
    const double c = std::max(1.0, ratio);
    const double e = (1.0 - 1.0 / c) * (1.0 - 1.0 / c);
    double total = 0, peak = 0;
    for (const Region& r : mRegions)
        if (!r.IsNoise) {
            total += r.SampleNb;
            peak = std::max(peak, r.level());
        }
    const double M = std::sqrt(peak);
    double W = 0, G = 0;
    double gMin = 0;
    size_t runStart = 0;
    auto closeRun = [&](size_t endIndex) {
        for (size_t j = runStart; j < endIndex; ++j) {
            if (mRegions[j].IsNoise) continue;
            mRegions[j].RMSSqrValue0 /= gMin;
            mRegions[j].RMSSqrValue1 /= gMin;
        }
        gMin = 0;
    };
    for (size_t i = 0; i < mRegions.size(); ++i) {
        Region& r = mRegions[i];
        if (r.IsNoise) {
            if (gMin != 0) closeRun(i);
            continue;
        }
        if (gMin == 0) {
            runStart = i;
            gMin = 1000;
        }
        const double level = std::sqrt(r.level());
        // A silent region, or no loud one to refer to, takes no gain.
        double g = 1.0;
        if (level > 1e-20 && M > 1e-20) {
            const double k = std::pow(level / M, e) * (M / level);
            g = k * k;
        }
        r.RMSSqrValue0 *= g;
        r.RMSSqrValue1 *= g;
        gMin = std::min(gMin, g);
        W += r.MeanSmpl;
        G += r.MeanSmpl * g;
    }

    // A fade at the end is not levelled up region by region: the loud regions
    // just before the last one keep the level of the first of them.
    int q = int(mRegions.size()) - 1;
    while (q >= 0 && mRegions[size_t(q)].IsNoise) --q;
    if (q >= 0) {
        const Region Q = mRegions[size_t(q)];
        int fill = -1;
        int64_t accumulated = 0;
        const int64_t limit = int64_t(total) / 10;
        for (int j = q - 1; j >= 0; --j) {
            const Region& r = mRegions[size_t(j)];
            if (r.IsNoise) break;
            if (!(r.RMSSqrValue0 > Q.RMSSqrValue0 || r.RMSSqrValue1 > Q.RMSSqrValue1)) break;
            fill = j;
            accumulated += r.SampleNb;
            if (accumulated > limit) break;
        }
        if (accumulated > 0 && fill >= 0) {
            const Region source = mRegions[size_t(fill)];
            for (int k = fill; k < q; ++k) {
                mRegions[size_t(k)].RMSSqrValue0 = source.RMSSqrValue0;
                mRegions[size_t(k)].RMSSqrValue1 = source.RMSSqrValue1;
            }
            if (isDebug()) printRegions("Fade out processed");
        }
    }
    if (gMin != 0) closeRun(mRegions.size());

    const double avg = W > 0 ? std::sqrt(G / W) : 0.0;
    if (isDebug()) {
        std::ostream& os = getOStream();
        const std::ios::fmtflags flags = os.flags();
        const std::streamsize precision = os.precision();
        os << std::fixed << std::setprecision(2) << "=====================================\n"
           << "      Compression de dynamique\n"
           << " Correction moyenne : " << SoundTools::dbOfGain(avg) << " dB" << std::endl;
        os.flags(flags);
        os.precision(precision);
        printRegions(nullptr);
    }
    return SoundTools::dbOfGain(avg);
}
