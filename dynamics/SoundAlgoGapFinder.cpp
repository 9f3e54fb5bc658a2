#include "tonewright/SoundAlgoGapFinder.h"

#include <QJsonArray>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cstring>

using Frame = SoundTools::StereoFrame<double>;

namespace {

constexpr double kDigitalSilence = 1e-9;  // mean square of -90 dBFS
constexpr unsigned kLevelHops = 40;       // 0.4 s: the recording's level

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

// The noise floor: the lowest level above digital silence that the recording
// holds for `needHops` hops within 6 dB (the median of those hops). A passage
// into digital silence or a fade-out crosses each level in a few hops and does
// not count; a gap of faint noise, or a steady quiet stretch, does. -1 when no
// level is held that long.
double noiseFloor(const std::vector<float>& hops, size_t needHops) {
    constexpr int kLowest = -90, kBins = 90, kSpan = 6;
    std::vector<size_t> count(kBins, 0);
    for (float h : hops) {
        if (h <= kDigitalSilence) continue;
        const int b = std::clamp(int(std::floor(10.0 * std::log10(double(h)))) - kLowest, 0, kBins - 1);
        ++count[size_t(b)];
    }
    for (int b = 0; b + kSpan <= kBins; ++b) {
        size_t mass = 0;
        for (int i = b; i < b + kSpan; ++i) mass += count[size_t(i)];
        if (mass < needHops) continue;
        std::vector<float> held;
        const double low = fromDb(b + kLowest), high = fromDb(b + kLowest + kSpan);
        for (float h : hops)
            if (h > kDigitalSilence && h >= low && h < high) held.push_back(h);
        std::nth_element(held.begin(), held.begin() + long(held.size() / 2), held.end());
        return held[held.size() / 2];
    }
    return -1.0;
}

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
    const double level = loudestWindow(mHops, kLevelHops);
    mLevelDb = toDb(level);
    // Held for three quarters of the shortest gap, and never less than 0.25 s.
    const size_t needHops = size_t(std::max(25.0, 0.75 * mMinSilence / kHopTime));
    const double floor = noiseFloor(mHops, needHops);
    const double floorMs = floor < 0 ? kDigitalSilence : floor;
    mFloorDb = toDb(floorMs);
    const double ceiling = std::max(kDigitalSilence, std::min({level * fromDb(mThresholdDb),
                                                               floorMs * fromDb(mFloorMarginDb), fromDb(mMaxFloorDb)}));
    mCeilingDb = toDb(ceiling);

    const size_t count = mHops.size();
    auto silent = [&](size_t k) { return double(mHops[k]) <= ceiling; };
    size_t firstSound = count, lastSound = 0;
    for (size_t k = 0; k < count; ++k)
        if (!silent(k)) {
            firstSound = std::min(firstSound, k);
            lastSound = k;
        }
    if (firstSound == count) return;  // nothing but silence
    mSoundBegin = int64_t(firstSound) * mHop;
    mSoundEnd = std::min<int64_t>(mFrames, int64_t(lastSound + 1) * mHop);

    // The hops at either end of a silence hold part sound, part silence: a
    // silence of exactly the minimum shows as up to two hops fewer.
    const double minHops = mMinSilence / kHopTime - 2.0;
    for (size_t k = firstSound; k < lastSound;) {
        if (!silent(k)) {
            ++k;
            continue;
        }
        size_t end = k;
        double sum = 0.0;
        while (end < lastSound && silent(end)) sum += mHops[end++];
        if (double(end - k) >= minHops) {
            Gap g;
            g.begin = int64_t(k) * mHop;
            g.frames = int64_t(end - k) * mHop;
            g.levelDb = toDb(sum / double(end - k));
            mGaps.push_back(g);
        }
        k = end;
    }
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
