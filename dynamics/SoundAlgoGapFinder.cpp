#include "tonewright/SoundAlgoGapFinder.h"

#include <QJsonArray>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>

using Frame = SoundTools::StereoFrame<double>;

namespace {

constexpr double kDigitalSilence = 1e-10;  // mean square of -100 dBFS
constexpr unsigned kLevelHops = 40;        // 0.4 s: the recording's level
constexpr size_t kHeldHops = 10;           // a floor is a level held this long (fewer for short silences)
constexpr double kFloorReach = 1.0;        // s: how far from a hop its floor is looked for
constexpr double kEdgeDb = 3.0;            // a hop this much above its floor is sound
// A flat level this much above the loudest hop of the silence beside it is a
// floor of its own.
constexpr double kOwnFloorDb = 3.0;
// The louder channel's mean square over 10 ms reads noise whose RMS is at the
// highest floor believed up to this much above it.
constexpr double kFloorReadingDb = 2.0;

double toDb(double meanSquare) { return meanSquare <= 1e-10 ? -100.0 : 10.0 * std::log10(meanSquare); }
double fromDb(double db) { return std::pow(10.0, db / 10.0); }

class SoundAlgoGapFinderJSonBuilder : public SoundAlgo::SoundAlgoJSonBuilder {
public:
    SoundAlgo* build(QJsonObject& object) override { return SoundAlgoGapFinder::createFromJSon(object); }
    QString getClassName() override { return "SoundAlgoGapFinder"; }
};

const bool sRegistered = [] {
    static SoundAlgoGapFinderJSonBuilder builder;  // lives for the life of the process
    SoundAlgo::declareBuilder(&builder);
    return true;
}();

// The largest mean over `width` consecutive hops (all of them when fewer).
double loudestWindow(const std::vector<float>& hops, unsigned width) {
    if (hops.empty()) return 0.0;
    const size_t w = std::min<size_t>(width, hops.size());
    double sum = 0.0, largest = 0.0;
    for (size_t k = 0; k < hops.size(); ++k) {
        sum += hops[k];
        if (k >= w) sum -= hops[k - w];
        if (k + 1 >= w) largest = std::max(largest, sum / double(w));
    }
    return largest;
}

// The median of hops [begin, end).
double median(const std::vector<float>& hops, size_t begin, size_t end) {
    std::vector<float> part(hops.begin() + long(begin), hops.begin() + long(end));
    std::nth_element(part.begin(), part.begin() + long(part.size() / 2), part.end());
    return part[part.size() / 2];
}

// A run of silent hops, [begin, end), with the sum of their mean squares.
struct Run {
    size_t begin, end;
    double sum;
    double mean() const { return sum / double(end - begin); }
};

}  // namespace

SoundAlgoGapFinder::SoundAlgoGapFinder(double minSilence, double thresholdDb, double floorMarginDb, double maxFloorDb)
    : mMinSilence(minSilence), mThresholdDb(thresholdDb), mFloorMarginDb(floorMarginDb), mMaxFloorDb(maxFloorDb) {}

SoundTools::Status SoundAlgoGapFinder::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    mHop = std::max(1u, unsigned(std::lround(ctx.sampleRate * kHopTime)));
    mHops.clear();
    mHopFrames.clear();
    mGaps.clear();
    mSumL = mSumR = 0.0;
    mCount = 0;
    mStreamStart = ctx.startOffset;
    mStreamEnd = ctx.frameNbToProcess > 0 ? int64_t(ctx.startOffset) + ctx.frameNbToProcess : INT64_MAX;
    mNext = mStreamStart;
    mFrames = 0;
    mSoundBegin = mSoundEnd = -1;
    mLevelDb = mFloorDb = mCeilingDb = -100.0;
    if (ctx.frameNbToProcess > 0) mHops.reserve(ctx.frameNbToProcess / mHop + 1);
    return SoundAlgo::initProcess(ctx, prev, next);
}

SoundTools::Status SoundAlgoGapFinder::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const Frame* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    // Each frame of the stream is measured once, wherever the blocks end; the
    // zeros that flush the loop at the end are not part of the stream.
    const int64_t origin = getInOrigin();
    const unsigned first = unsigned(std::clamp<int64_t>(mNext - origin, 0, n));
    const unsigned last = unsigned(std::clamp<int64_t>(mStreamEnd - origin, first, n));
    double sumL = mSumL, sumR = mSumR;
    unsigned count = mCount;
    for (unsigned i = first; i < last; ++i) {
        sumL += in[i].l * in[i].l;
        sumR += in[i].r * in[i].r;
        if (++count == mHop) {
            mHops.push_back(float(std::max(sumL, sumR) / mHop));
            mHopFrames.push_back(mHop);
            sumL = sumR = 0.0;
            count = 0;
        }
    }
    mSumL = sumL;
    mSumR = sumR;
    mCount = count;
    mNext = std::max<int64_t>(mNext, origin + last);
    if (in != out) std::memmove(out, in, size_t(n) * sizeof(Frame));
    return SoundTools::Ok;
}

void SoundAlgoGapFinder::endProcess(int status, unsigned frameNbProcessed) {
    if (mCount > 0) {
        mHops.push_back(float(std::max(mSumL, mSumR) / mCount));
        mHopFrames.push_back(mCount);
        mSumL = mSumR = 0.0;
        mCount = 0;
    }
    mFrames = mNext - mStreamStart;
    findGaps();
    SoundAlgo::endProcess(status, frameNbProcessed);
}

void SoundAlgoGapFinder::findGaps() {
    mGaps.clear();
    mSoundBegin = mSoundEnd = -1;
    mFloorDb = mCeilingDb = -100.0;
    const double level = loudestWindow(mHops, kLevelHops);
    mLevelDb = toDb(level);
    const size_t count = mHops.size();
    if (count == 0) return;
    const double hopsPerSecond = double(mSampleRate) / mHop;
    // The hops at either end of a silence hold part sound, part silence: a
    // silence of exactly the minimum holds at least this many whole hops.
    const double minHops = mMinSilence * hopsPerSecond - 2.0;
    const size_t held = std::clamp<size_t>(size_t(minHops / 2), 3, kHeldHops);
    const size_t reach = size_t(std::lround(kFloorReach * hopsPerSecond));
    const double margin = fromDb(mFloorMarginDb), edge = fromDb(kEdgeDb), ownFloor = fromDb(kOwnFloorDb);
    const double maxFloor = fromDb(mMaxFloorDb + kFloorReadingDb);
    // No hop louder than this is silence: the threshold under the recording's
    // level, and the margin over the highest floor believed.
    const double quiet =
        std::max(kDigitalSilence, std::min(level * fromDb(mThresholdDb), fromDb(mMaxFloorDb) * margin));

    // Silent hops: each quiet stretch is judged against the floor where it
    // lies, the lowest mean of `held` hops within `reach` of the hop, so that
    // digital silence in one gap does not make the faint noise of another
    // sound, while the tail of a fade stays sound until it sinks to the floor.
    std::vector<char> silent(count, 0);
    std::vector<double> means;
    for (size_t a = 0; a < count;) {
        if (!(mHops[a] <= quiet)) {  // NaN too
            ++a;
            continue;
        }
        size_t b = a;
        while (b < count && mHops[b] <= quiet) ++b;
        const size_t w = std::min(held, b - a);
        means.assign(b - a - w + 1, 0.0);
        double sum = 0.0;
        for (size_t k = a; k < b; ++k) {
            sum += mHops[k];
            if (k >= a + w) sum -= mHops[k - w];
            if (k + 1 >= a + w) means[k + 1 - a - w] = sum / double(w);
        }
        // The least of means[j] for the windows j within reach of hop k
        // (j from k - reach - w + 1 to k + reach, counted from a), from a
        // deque of the candidates in increasing order.
        std::deque<size_t> lows;
        size_t next = 0;
        for (size_t k = a; k < b; ++k) {
            const size_t i = k - a, hi = std::min(means.size() - 1, i + reach);
            const size_t lo = i + 1 > reach + w ? i + 1 - reach - w : 0;
            for (; next <= hi; ++next) {
                while (!lows.empty() && means[lows.back()] >= means[next]) lows.pop_back();
                lows.push_back(next);
            }
            while (lows.front() < lo) lows.pop_front();
            const double floor = means[lows.front()];
            silent[k] = mHops[k] <= kDigitalSilence || (floor <= maxFloor && mHops[k] <= floor * edge);
        }
        // A level held flat beside a lower silence is a floor of its own: the
        // noise that starts where a fade ended in digital silence, or that
        // follows the dip at the end of a fade into it. The longest stretch
        // beside the silence whose two halves lie within 3 dB of each other
        // (medians: a few hops of a fade or a partly silent hop may border it)
        // gives the floor; a fade falls from one half to the other and gives
        // none. Its hops within 3 dB of that floor, and those of the fade
        // that sank into it, are silent.
        auto flatFloor = [&](size_t begin, size_t end, double beside) {
            const size_t half = (end - begin) / 2;
            const double first = median(mHops, begin, begin + half), second = median(mHops, begin + half, end);
            if (std::max(first, second) > std::min(first, second) * edge) return -1.0;
            double lowest = HUGE_VAL, sum = 0.0;
            for (size_t k = begin; k < end; ++k) {
                sum += mHops[k];
                if (k >= begin + w) sum -= mHops[k - w];
                if (k + 1 >= begin + w) lowest = std::min(lowest, sum / double(w));
            }
            return lowest <= maxFloor && lowest > beside * ownFloor ? lowest : -1.0;
        };
        for (size_t c = a; c < b;) {
            if (silent[c]) {
                ++c;
                continue;
            }
            size_t d = c;
            while (d < b && !silent[d]) ++d;
            // The silence on either side, from its hops next to the stretch: a
            // floor of its own lies well above it (a fade that sank into the
            // same floor is no new floor).
            double left = 0.0, right = 0.0;
            for (size_t k = c; k > a && c - k < w && silent[k - 1]; --k) left = std::max(left, double(mHops[k - 1]));
            for (size_t k = d; k < b && k - d < w && silent[k]; ++k) right = std::max(right, double(mHops[k]));
            double floor = -1.0;
            for (size_t n = w; n <= d - c; n = n < d - c && 2 * n > d - c ? d - c : 2 * n) {
                if (c > a) floor = std::max(floor, flatFloor(c, c + n, left));
                if (d < b) floor = std::max(floor, flatFloor(d - n, d, right));
                if (n == d - c) break;
            }
            if (floor >= 0.0)
                for (size_t k = c; k < d; ++k) silent[k] = mHops[k] <= floor * edge;
            c = d;
        }
        a = b;
    }

    // Runs of silent hops; the stretch between two of them is merged into them
    // when it holds no sound: nothing rising the floor margin above the louder
    // of their floors (a swell of the noise, the noise beside digital silence).
    std::vector<Run> runs;
    for (size_t k = 0; k < count; ++k) {
        if (!silent[k]) continue;
        if (runs.empty() || runs.back().end != k) runs.push_back({k, k, 0.0});
        runs.back().end = k + 1;
        runs.back().sum += mHops[k];
    }
    std::vector<Run> merged;
    for (const Run& r : runs) {
        if (!merged.empty()) {
            Run& last = merged.back();
            const double top = std::min(quiet, std::max({last.mean(), r.mean(), kDigitalSilence}) * margin);
            if (*std::max_element(mHops.begin() + long(last.end), mHops.begin() + long(r.begin)) <= top) {
                for (size_t j = last.end; j < r.begin; ++j) last.sum += mHops[j];
                last.end = r.end;
                last.sum += r.sum;
                continue;
            }
        }
        merged.push_back(r);
    }
    if (merged.empty()) {
        mSoundBegin = 0;
        mSoundEnd = mFrames;
        return;
    }
    if (merged.front().begin == 0 && merged.front().end == count) return;  // nothing but silence
    for (const Run& r : merged) {
        mFloorDb = std::max(mFloorDb, toDb(r.mean()));
        if (r.begin == 0 || r.end == count || double(r.end - r.begin) < minHops) continue;
        Gap g;
        g.begin = int64_t(r.begin) * mHop;
        g.frames = int64_t(r.end - r.begin) * mHop;
        g.levelDb = toDb(r.mean());
        mGaps.push_back(g);
    }
    mCeilingDb = toDb(std::max(kDigitalSilence, fromDb(mFloorDb) * edge));
    mSoundBegin = merged.front().begin == 0 ? int64_t(merged.front().end) * mHop : 0;
    mSoundEnd = merged.back().end == count ? int64_t(merged.back().begin) * mHop : mFrames;
}

double SoundAlgoGapFinder::levelOf(int64_t begin, int64_t end) const {
    if (mHop == 0 || end <= begin || mHops.empty()) return -100.0;
    const size_t a = size_t(std::clamp<int64_t>(begin / mHop, 0, int64_t(mHops.size())));
    const size_t b = size_t(std::clamp<int64_t>((end + mHop - 1) / mHop, int64_t(a), int64_t(mHops.size())));
    double sum = 0.0, frames = 0.0;
    for (size_t k = a; k < b; ++k) {
        sum += double(mHops[k]) * mHopFrames[k];
        frames += mHopFrames[k];
    }
    return frames > 0 ? toDb(sum / frames) : -100.0;
}

void SoundAlgoGapFinder::writeToJSon(QJsonObject& object) const {
    object.insert("Class", "SoundAlgoGapFinder");
    object.insert("MinSilence", mMinSilence);
    object.insert("Threshold", mThresholdDb);
    object.insert("FloorMargin", mFloorMarginDb);
    object.insert("MaxFloor", mMaxFloorDb);
    if (mSampleRate == 0) return;
    object.insert("SampleRate", qint64(mSampleRate));
    object.insert("Frames", qint64(mFrames));
    object.insert("Level", mLevelDb);
    object.insert("Floor", mFloorDb);
    object.insert("Ceiling", mCeilingDb);
    object.insert("SoundBegin", qint64(mSoundBegin));
    object.insert("SoundEnd", qint64(mSoundEnd));
    QJsonArray gaps;
    for (const Gap& g : mGaps) {
        QJsonObject o;
        o.insert("Begin", qint64(g.begin));
        o.insert("Frames", qint64(g.frames));
        o.insert("Level", g.levelDb);
        gaps.append(o);
    }
    object.insert("Gaps", gaps);
}

bool SoundAlgoGapFinder::readFromJSon(QJsonObject& object) {
    SoundAlgo::readFromJSon(object);
    const QJsonValue rate = object.value("SampleRate");
    if (!rate.isDouble()) return true;  // a description without results
    const QJsonArray gaps = object.value("Gaps").toArray();
    std::vector<Gap> read;
    for (const QJsonValue& v : gaps) {
        const QJsonObject o = v.toObject();
        if (!o.value("Begin").isDouble() || !o.value("Frames").isDouble()) return false;
        Gap g;
        g.begin = int64_t(o.value("Begin").toDouble());
        g.frames = int64_t(o.value("Frames").toDouble());
        g.levelDb = o.value("Level").toDouble(-100.0);
        if (g.begin < 0 || g.frames <= 0 || (!read.empty() && g.begin < read.back().begin + read.back().frames))
            return false;
        read.push_back(g);
    }
    const double r = rate.toDouble();
    if (!(r >= 1.0 && r <= 10e6)) return false;
    mSampleRate = unsigned(r);
    mHop = std::max(1u, unsigned(std::lround(mSampleRate * kHopTime)));
    mFrames = int64_t(object.value("Frames").toDouble());
    mLevelDb = object.value("Level").toDouble(-100.0);
    mFloorDb = object.value("Floor").toDouble(-100.0);
    mCeilingDb = object.value("Ceiling").toDouble(-100.0);
    mSoundBegin = int64_t(object.value("SoundBegin").toDouble(-1));
    mSoundEnd = int64_t(object.value("SoundEnd").toDouble(-1));
    mGaps = std::move(read);
    mHops.clear();  // the hop levels are not stored: levelOf gives -100 for a description
    mHopFrames.clear();
    return true;
}

SoundAlgoGapFinder* SoundAlgoGapFinder::createFromJSon(QJsonObject object) {
    const QJsonValue cls = object.value("Class");
    if (!cls.isString() || cls.toString() != "SoundAlgoGapFinder") return nullptr;
    double v[4];
    const char* keys[4] = {"MinSilence", "Threshold", "FloorMargin", "MaxFloor"};
    for (int i = 0; i < 4; ++i) {
        const QJsonValue x = object.value(keys[i]);
        if (!x.isDouble() || !std::isfinite(x.toDouble())) return nullptr;
        v[i] = x.toDouble();
    }
    if (v[0] < 0.02 || v[0] > 3600 || v[1] > 0 || v[1] < -150 || v[2] < 0 || v[2] > 60 || v[3] > 0 || v[3] < -150)
        return nullptr;
    auto finder = SoundRef<SoundAlgoGapFinder>::make(v[0], v[1], v[2], v[3]);
    if (!finder->readFromJSon(object)) return nullptr;
    return finder.release();
}
