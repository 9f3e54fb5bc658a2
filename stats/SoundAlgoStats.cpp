#include "tonewright/SoundAlgoStats.h"

#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <ostream>
#include <type_traits>

#include "tonewright/SoundUnits.h"
#include "algo/StreamBounds.h"
#include "tonewright/SoundReader.h"

using Frame = SoundTools::StereoFrame<double>;

namespace {

// The longest RMS window, in seconds. The window is held as input overlap, in
// memory with every block; a minute is far beyond any level meter. A longer
// window is taken as this one, and a description asking for more is refused.
constexpr double kMaxWindowTime = 60.0;
// The window's frame count saturates at the library's longest duration,
// whatever the sample rate.
unsigned windowFrames(unsigned sr, double windowTime) { return unsigned(SoundTools::framesOf(windowTime, sr)); }

// Registered with the JSON registry when the library loads.
class SoundAlgoStatsJSonBuilder : public SoundAlgo::SoundAlgoJSonBuilder {
public:
    SoundAlgo* build(QJsonObject& object) override { return SoundAlgoStats::createFromJSon(object); }
    QString getClassName() override { return "SoundAlgoStats"; }
};

const bool sRegistered = [] {
    static SoundAlgoStatsJSonBuilder builder;  // lives for the life of the process
    SoundAlgo::declareBuilder(&builder);
    return true;
}();
}  // namespace

// ---------------------------------------------------------------- FrequencyBuilder

void SoundAlgoStats::FrequencyBuilder::buildAlgo(SoundAlgoComposite* target, int, const QString& label) {
    if (!target || !target->isWritable()) return;
    auto stats = SoundRef<SoundAlgoStats>::make(StatsOnly, 0.0);
    stats->setId(label);
    mStats.push_back(stats.get());
    target->pushAlgo(stats.release());
}

// ---------------------------------------------------------------- SoundAlgoStats

SoundAlgoStats::SoundAlgoStats(OutputType type, double windowTime)
    : mWindowTime(type == StatsOnly || !(windowTime > 0.0) || std::isnan(windowTime)
                      ? 0.0
                      : std::min(windowTime, kMaxWindowTime)),
      mOutputType(type) {}

unsigned SoundAlgoStats::getInOverlap(unsigned sr) const {
    if (mWindowTime == 0.0) return 0;
    return windowFrames(sr, mWindowTime) | 1u;
}

unsigned SoundAlgoStats::getDelay(unsigned sr) const { return windowFrames(sr, mWindowTime) >> 1; }

SoundTools::Status SoundAlgoStats::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    mTotalCount = 0;
    mLeftSqr = mRightSqr = 0.0;
    mLeftMax = mRightMax = 0.0;
    streamBounds(ctx, mStreamStart, mStreamEnd);
    return SoundAlgo::initProcess(ctx, prev, next);
}

SoundTools::Status SoundAlgoStats::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const Frame* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());

    // Stats alone pass the input on: the copy is made in the measuring loop,
    // which waits on its sums and has room for it.
    const bool passOn = mOutputType == StatsOnly;
    if (mOutputType != RMSOnly) {
        // Only the frames of the stream itself count (whatever the block size,
        // the loop flushes lookahead with a different number of zeros).
        const int64_t origin = getInOrigin();
        const unsigned first = unsigned(std::clamp<int64_t>(mStreamStart - origin, 0, n));
        const unsigned last = unsigned(std::clamp<int64_t>(mStreamEnd - origin, first, n));
        // Peaks, count and sums of squares, frame by frame, kept in registers.
        double lMax = mLeftMax, rMax = mRightMax, lSqr = mLeftSqr, rSqr = mRightSqr;
        const auto measure = [&](auto copy) {
            for (unsigned i = first; i < last; ++i) {
                const double l = in[i].l, r = in[i].r;
                lMax = std::max(lMax, std::fabs(l));
                rMax = std::max(rMax, std::fabs(r));
                lSqr += l * l;
                rSqr += r * r;
                if (decltype(copy)::value) out[i] = in[i];
            }
        };
        if (passOn && out != in) {
            std::memmove(out, in, size_t(first) * sizeof(Frame));
            measure(std::true_type());
            std::memmove(out + last, in + last, size_t(n - last) * sizeof(Frame));
        } else {
            measure(std::false_type());
        }
        mLeftMax = lMax;
        mRightMax = rMax;
        mLeftSqr = lSqr;
        mRightSqr = rSqr;
        mTotalCount += last - first;
    }
    if (passOn) return SoundTools::Ok;
    // Sliding RMS over frames i .. i + W - 1. Without a window (type with a
    // window time of 0) the window is the frame itself, so the output is |x|.
    const unsigned W = std::max(1u, getInOverlap(mSampleRate));
    const double invW = 1.0 / double(W);
    double sumL = 0.0, sumR = 0.0;
    for (unsigned k = 0; k < W; ++k) {
        sumL += in[k].l * in[k].l;
        sumR += in[k].r * in[k].r;
    }
    for (unsigned i = 0; i < n; ++i) {
        if (i > 0) {
            const Frame& f = in[i + W - 1];
            sumL += f.l * f.l;
            sumR += f.r * f.r;
        }
        // The running sum may dip a rounding error below zero in silence.
        out[i].l = std::sqrt(std::max(0.0, sumL * invW));
        out[i].r = std::sqrt(std::max(0.0, sumR * invW));
        sumL -= in[i].l * in[i].l;
        sumR -= in[i].r * in[i].r;
    }
    return SoundTools::Ok;
}

void SoundAlgoStats::endProcess(int status, unsigned frameNbProcessed) {
    if (isVerbose() && status == 0 && mOutputType != RMSOnly) {
        Frame rms(-100.0, -100.0), max(-100.0, -100.0);
        getRMS(rms);
        getMax(max);
        std::ostream& os = getOStream();
        const std::ios_base::fmtflags flags = os.flags();
        const std::streamsize precision = os.precision();
        os << std::fixed << std::setprecision(2) << "Stats :\n\tRMS\t= " << getFullRMS() << " dB\n \tRMS Left\t= "
           << rms.l << " dB\n\tRMS Right\t= " << rms.r << " dB\n\tMax Left\t= " << max.l
           << " dB\n\tMax Right\t= " << max.r << " dB" << std::endl;
        os.flags(flags);
        os.precision(precision);
    }
    SoundAlgo::endProcess(status, frameNbProcessed);
}

void SoundAlgoStats::getRMS(Frame& rms) const {
    if (mTotalCount == 0) return;
    rms.l = SoundTools::dbOfGain(std::sqrt(mLeftSqr / double(mTotalCount)));
    rms.r = SoundTools::dbOfGain(std::sqrt(mRightSqr / double(mTotalCount)));
}

void SoundAlgoStats::getMax(Frame& max) const {
    max.l = SoundTools::dbOfGain(mLeftMax);
    max.r = SoundTools::dbOfGain(mRightMax);
}

double SoundAlgoStats::getFullRMS() const {
    if (mTotalCount == 0) return 0.0;
    return SoundTools::dbOfGain(std::sqrt((mLeftSqr + mRightSqr) / (2.0 * double(mTotalCount))));
}

void SoundAlgoStats::getGlobalStats(Frame& rms, double& fullRms, Frame& max) const {
    if (mTotalCount == 0) return;
    getRMS(rms);
    fullRms = getFullRMS();
    getMax(max);
}

// ---------------------------------------------------------------- JSON

void SoundAlgoStats::writeToJSon(QJsonObject& object) const {
    object.insert("Class", "SoundAlgoStats");
    object.insert("OutputType", int(mOutputType));
    object.insert("WindowTime", mWindowTime);
    object.insert("TotalCount", qint64(mTotalCount));
    object.insert("LeftSqr", mLeftSqr);
    object.insert("RightSqr", mRightSqr);
    object.insert("LeftMax", mLeftMax);
    object.insert("RightMax", mRightMax);
    object.insert("SampleRate", qint64(mSampleRate));
}

bool SoundAlgoStats::readFromJSon(QJsonObject& object) {
    SoundAlgo::readFromJSon(object);
    auto number = [&object](const char* key, double& value) {
        const QJsonValue v = object.value(key);
        if (!v.isDouble()) return false;
        value = v.toDouble();
        return true;
    };
    double v = 0.0;
    if (number("TotalCount", v)) mTotalCount = v > 0.0 ? uint32_t(std::min(v, 4294967295.0)) : 0u;
    number("LeftSqr", mLeftSqr);
    number("RightSqr", mRightSqr);
    number("LeftMax", mLeftMax);
    number("RightMax", mRightMax);
    if (number("SampleRate", v)) mSampleRate = v > 0.0 ? unsigned(std::min(v, 4294967295.0)) : 0u;
    return true;
}

SoundAlgoStats* SoundAlgoStats::createFromJSon(QJsonObject object) {
    const QJsonValue cls = object.value("Class");
    const QJsonValue type = object.value("OutputType");
    const QJsonValue window = object.value("WindowTime");
    if (!cls.isString() || cls.toString() != "SoundAlgoStats" || !type.isDouble() || !window.isDouble())
        return nullptr;
    // Values that name no output type, or a window that is not a duration,
    // describe no valid algorithm.
    const double t = type.toDouble();
    const double w = window.toDouble();
    if (t != StatsAndRMS && t != RMSOnly && t != StatsOnly) return nullptr;
    if (!std::isfinite(w) || w < 0.0 || w > kMaxWindowTime) return nullptr;
    // Nor one past the longest duration at the description's rate.
    const double r = object.value("SampleRate").toDouble(0.0);
    if (r >= double(SoundReader::kMinSampleRate) && r <= double(SoundReader::kMaxSampleRate) &&
        !SoundTools::withinMaxDuration(w, r))
        return nullptr;
    auto stats = SoundRef<SoundAlgoStats>::make(OutputType(int(t)), w);
    stats->readFromJSon(object);
    return stats.release();
}
