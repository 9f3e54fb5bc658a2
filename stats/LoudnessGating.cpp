#include "stats/LoudnessGating.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace SoundTools {
namespace detail {

namespace {
// Both channels in one vector: lane 0 left, lane 1 right.
typedef double Pair __attribute__((vector_size(16)));

constexpr double kSilenceLufs = -200.0;
constexpr double kAbsoluteGateLufs = -70.0;
constexpr double kOffset = -0.691;  // LUFS of a full-scale 997 Hz sine on one channel is -3.01
constexpr size_t kBlockHops = 4, kShortHops = 30, kRangeStepHops = 10;

double energyOf(double lufs) { return std::pow(10.0, (lufs - kOffset) / 10.0); }

// The mean of hops[first .. first + count).
double meanOf(const std::vector<double>& hops, size_t first, size_t count) {
    double sum = 0.0;
    for (size_t i = first; i < first + count; ++i) sum += hops[i];
    return sum / double(count);
}
}  // namespace

double LoudnessGating::loudnessOf(double energy) {
    const double l = energy > 0.0 ? kOffset + 10.0 * std::log10(energy) : -HUGE_VAL;
    return l >= kSilenceLufs ? l : -HUGE_VAL;
}

LoudnessGating::LoudnessGating(unsigned sampleRate, bool mono)
    : mHop(std::max(1u, unsigned(std::lround(sampleRate / 10.0)))), mMono(mono) {
    const double rate = sampleRate > 0 ? double(sampleRate) : 48000.0;
    // The shelf: +4 dB (Vh) above about 1.7 kHz, its mid-point gain Vb.
    double k = std::tan(M_PI * 1681.974450955533 / rate);
    double q = 0.7071752369554196;
    const double vh = std::pow(10.0, 3.999843853973347 / 20.0);
    const double vb = std::pow(vh, 0.4996667741545416);
    double a0 = 1.0 + k / q + k * k;
    mB[0] = (vh + vb * k / q + k * k) / a0;
    mB[1] = 2.0 * (k * k - vh) / a0;
    mB[2] = (vh - vb * k / q + k * k) / a0;
    mA[0] = 2.0 * (k * k - 1.0) / a0;
    mA[1] = (1.0 - k / q + k * k) / a0;
    // The high-pass near 38 Hz; its numerator is left unscaled, as meters have it.
    k = std::tan(M_PI * 38.13547087602444 / rate);
    q = 0.5003270373238773;
    a0 = 1.0 + k / q + k * k;
    mHa[0] = 2.0 * (k * k - 1.0) / a0;
    mHa[1] = (1.0 - k / q + k * k) / a0;
}

void LoudnessGating::add(const Frame* frames, size_t n) {
    static_assert(sizeof(Frame) == sizeof(Pair), "a frame is two doubles");
    // Transposed direct form with the output substituted into the state
    // updates: s1' = (b1 - a1 b0) x + s2 - a1 s1, s2' = (b2 - a2 b0) x - a2 s1,
    // y = b0 x + s1. Each step then waits on one product and one sum of the
    // step before (not on y first), a third less latency a frame.
    const Pair b0 = {mB[0], mB[0]};
    const Pair k1 = (mB[1] - mA[0] * mB[0]) - Pair{}, k2 = (mB[2] - mA[1] * mB[0]) - Pair{};
    const Pair a1 = {mA[0], mA[0]}, a2 = {mA[1], mA[1]};
    // The high-pass (b = 1, -2, 1) the same way: z = y + t1,
    // t1' = (-2 - h1) y + t2 - h1 t1, t2' = (1 - h2) y - h2 t1.
    const Pair j1 = (-2.0 - mHa[0]) - Pair{}, j2 = (1.0 - mHa[1]) - Pair{};
    const Pair h1 = {mHa[0], mHa[0]}, h2 = {mHa[1], mHa[1]};
    Pair s[4];
    std::memcpy(s, mState, sizeof s);
    while (n > 0) {
        const size_t piece = std::min<size_t>(n, mHop - mInHop);
        // Locals, so that the recursion stays in registers.
        Pair s1 = s[0], s2 = s[1], t1 = s[2], t2 = s[3];
        // Summed on from the hop's earlier pieces, in the same order whatever
        // the pieces were.
        Pair acc = {mSum[0], mSum[1]};
        for (size_t i = 0; i < piece; ++i) {
            Pair x;
            std::memcpy(&x, frames + i, sizeof x);
            const Pair y = b0 * x + s1;
            const Pair u1 = k1 * x + s2;
            s2 = k2 * x - a2 * s1;
            s1 = u1 - a1 * s1;
            const Pair z = y + t1;
            const Pair v1 = j1 * y + t2;
            t2 = j2 * y - h2 * t1;
            t1 = v1 - h1 * t1;
            acc += z * z;
        }
        s[0] = s1, s[1] = s2, s[2] = t1, s[3] = t2;
        mSum[0] = acc[0];
        mSum[1] = acc[1];
        frames += piece;
        n -= piece;
        mInHop += unsigned(piece);
        if (mInHop < mHop) break;
        const double energy = (mSum[0] + (mMono ? 0.0 : mSum[1])) / double(mHop);
        mHops.push_back(std::isfinite(loudnessOf(energy)) ? energy : 0.0);
        mSum[0] = mSum[1] = 0.0;
        mInHop = 0;
    }
    std::memcpy(mState, s, sizeof s);
}

double LoudnessGating::window(size_t end, size_t count) const {
    end = std::min(end, mHops.size());
    double sum = 0.0;
    for (size_t i = end > count ? end - count : 0; i < end; ++i) sum += mHops[i];
    return count ? loudnessOf(sum / double(count)) : -HUGE_VAL;
}

double LoudnessGating::whole(size_t count) const {
    double sum = mSum[0] + (mMono ? 0.0 : mSum[1]);
    for (double h : mHops) sum += h * double(mHop);
    return loudnessOf(sum / (double(count) * double(mHop)));
}

double LoudnessGating::integrated(const std::vector<const LoudnessGating*>& streams) {
    const double absolute = energyOf(kAbsoluteGateLufs);
    std::vector<double> blocks;
    for (const LoudnessGating* g : streams)
        for (size_t end = kBlockHops; g && end <= g->mHops.size(); ++end) {
            const double e = meanOf(g->mHops, end - kBlockHops, kBlockHops);
            if (e >= absolute) blocks.push_back(e);
        }
    if (blocks.empty()) return -HUGE_VAL;
    const double relative = meanOf(blocks, 0, blocks.size()) * 0.1;  // 10 LU under
    double sum = 0.0;
    size_t count = 0;
    for (double e : blocks)
        if (e >= relative) sum += e, ++count;
    return count ? loudnessOf(sum / double(count)) : -HUGE_VAL;
}

double LoudnessGating::range(const std::vector<const LoudnessGating*>& streams) {
    const double absolute = energyOf(kAbsoluteGateLufs);
    std::vector<double> blocks;
    for (const LoudnessGating* g : streams)
        for (size_t end = kShortHops; g && end <= g->mHops.size(); end += kRangeStepHops) {
            const double e = meanOf(g->mHops, end - kShortHops, kShortHops);
            if (e >= absolute) blocks.push_back(e);
        }
    if (blocks.size() < 2) return 0.0;
    const double relative = meanOf(blocks, 0, blocks.size()) * 0.01;  // 20 LU under
    std::sort(blocks.begin(), blocks.end());
    const auto first = std::lower_bound(blocks.begin(), blocks.end(), relative);
    const size_t left = size_t(blocks.end() - first);
    if (left == 0) return 0.0;
    // Percentiles as the nearest rank over the blocks left.
    const double low = first[size_t(double(left - 1) * 0.10 + 0.5)];
    const double high = first[size_t(double(left - 1) * 0.95 + 0.5)];
    return loudnessOf(high) - loudnessOf(low);
}

}  // namespace detail
}  // namespace SoundTools
