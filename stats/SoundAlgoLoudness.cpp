#include "tonewright/SoundAlgoLoudness.h"

#include <QJsonArray>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/SoundFlushDenormals.h"
#include "algo/StreamBounds.h"
#include "stats/LoudnessGating.h"
#include "stats/TruePeakMeter.h"

using Frame = SoundTools::StereoFrame<double>;

namespace {
constexpr double kMinusInf = -HUGE_VAL;

// Levels and loudness below this are silence (-inf): the K-weighting filters'
// tails after digital silence decay to energies of 1e-300 and less, which are
// no sound, and no stored figure should read -3000 LUFS. It lies well under the
// quietest step of a 32-bit integer sample (-192 dBFS).
constexpr double kSilenceDb = -200.0;

double toDb(double v) {
    const double db = v > 0.0 ? 20.0 * std::log10(v) : kMinusInf;
    return db >= kSilenceDb ? db : kMinusInf;
}


QJsonValue jsonNumber(double v) { return std::isfinite(v) ? QJsonValue(v) : QJsonValue(QJsonValue::Null); }

// A number, or -inf for null; `fallback` when the key is missing or of another type.
double readNumber(const QJsonObject& object, const char* key, double fallback) {
    const QJsonValue v = object.value(key);
    if (v.isDouble()) return v.toDouble();
    if (v.isNull()) return kMinusInf;
    return fallback;
}
}  // namespace

// The gated loudness figures come from the K-weighted energy of each hop of
// 100 ms (stats/LoudnessGating.h); the momentary (400 ms) and short-term (3 s)
// loudness are read at the end of every hop from the last 4 and 30 of them.
struct SoundAlgoLoudness::State {
    SoundTools::detail::LoudnessGating gating;
    TruePeakMeter peaks;
    static constexpr int kShortHops = 30, kMomentaryHops = 4;
};

SoundAlgoLoudness::SoundAlgoLoudness(double shortTermStep)
    : mShortTermStep(shortTermStep > 0.0 && std::isfinite(shortTermStep)
                         ? std::max(1.0, std::round(std::min(shortTermStep, 3600.0) * 10.0)) / 10.0
                         : 0.0),
      mIntegrated(kMinusInf),
      mMaxMomentary(kMinusInf),
      mMaxShortTerm(kMinusInf),
      mSamplePeak{kMinusInf, kMinusInf},
      mTruePeak{kMinusInf, kMinusInf} {}

// The measuring thread and the blocks waiting for it.
struct SoundAlgoLoudness::Worker {
    // The loop's blocks are gathered into batches of about this many frames
    // before they are handed over: a hand-over per block of 1,024 frames woke
    // the thread thousands of times a minute of sound, which cost the loop more
    // than the copy.
    static constexpr size_t kBatch = 16384;
    static constexpr size_t kDepth = 4;  // batches the loop may run ahead
    std::thread thread;
    std::mutex lock;
    std::condition_variable changed;
    struct Block {
        int64_t position;
        std::vector<Frame> frames;
    };
    std::deque<Block> queue;
    std::vector<std::vector<Frame>> spare;  // measured batches' storage, for reuse
    Block pending;                          // the loop's batch being gathered (its own)
    bool ending = false;
};

SoundAlgoLoudness::~SoundAlgoLoudness() { stopWorker(); }

void SoundAlgoLoudness::work() {
    SoundTools::FlushDenormals flush;  // the thread's own floating-point mode
    Worker& w = *mWorker;
    Worker::Block block;
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(w.lock);
            if (block.frames.capacity() > 0) {
                block.frames.clear();
                w.spare.push_back(std::move(block.frames));
            }
            w.changed.wait(guard, [&w] { return !w.queue.empty() || w.ending; });
            if (w.queue.empty()) return;  // ending, and every block measured
            block = std::move(w.queue.front());
            w.queue.pop_front();
        }
        w.changed.notify_all();
        feed(block.frames.data(), block.position, unsigned(block.frames.size()));
    }
}

void SoundAlgoLoudness::handOver() {
    Worker& w = *mWorker;
    if (w.pending.frames.empty()) return;
    {
        std::unique_lock<std::mutex> guard(w.lock);
        w.changed.wait(guard, [&w] { return w.queue.size() < Worker::kDepth; });
        w.queue.push_back(std::move(w.pending));
        w.pending.frames.clear();
        if (!w.spare.empty()) {
            w.pending.frames = std::move(w.spare.back());
            w.spare.pop_back();
        }
    }
    w.changed.notify_all();
}

void SoundAlgoLoudness::stopWorker() {
    if (!mWorker) return;
    {
        std::lock_guard<std::mutex> guard(mWorker->lock);
        mWorker->ending = true;
    }
    mWorker->changed.notify_all();
    if (mWorker->thread.joinable()) mWorker->thread.join();
    mWorker.reset();
}

SoundTools::Status SoundAlgoLoudness::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    stopWorker();
    mState.reset();
    mIntegrated = mMaxMomentary = mMaxShortTerm = kMinusInf;
    mRange = 0.0;
    mSamplePeak[0] = mSamplePeak[1] = mTruePeak[0] = mTruePeak[1] = kMinusInf;
    mFrameCount = 0;
    mShortTerm.clear();
    mMomentary.clear();
    if (ctx.sampleRate == 0) return SoundTools::Error;
    mState = std::make_unique<State>();
    // A mono source arrives as two equal channels: the right one is left out,
    // so the sound is counted once.
    mState->gating = SoundTools::detail::LoudnessGating(ctx.sampleRate, mMono);
    mState->peaks = TruePeakMeter(ctx.sampleRate, mTruePeakRate);
    streamBounds(ctx, mStreamStart, mStreamEnd);
    mHop = mState->gating.hop();
    mHopsPerValue = unsigned(std::lround(mShortTermStep * 10.0));
    mHopCount = 0;
    if (mBackground) {
        mWorker = std::make_unique<Worker>();
        try {
            mWorker->thread = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            mWorker.reset();  // no thread to be had: measured on the loop's own
        }
    }
    return SoundAlgo::initProcess(ctx, prev, next);
}

// The momentary and short-term loudness are read at the end of every hop of
// 100 ms counted from the stream's first frame: the same instants whatever the
// blocks were.
void SoundAlgoLoudness::feed(const Frame* frames, int64_t position, unsigned n) {
    SoundTools::detail::LoudnessGating& gating = mState->gating;
    mState->peaks.add(frames, n);
    if (mObserver) mObserver(frames, position, n);
    const size_t done = gating.hops().size();
    gating.add(frames, n);
    mFrameCount += n;
    for (size_t end = done + 1; end <= gating.hops().size(); ++end) {
        const double m = gating.window(end, State::kMomentaryHops);
        mMaxMomentary = std::max(mMaxMomentary, m);
        const double s = gating.window(end, State::kShortHops);
        // Short-term values count from the first full 3 s window on.
        if (end >= size_t(State::kShortHops)) mMaxShortTerm = std::max(mMaxShortTerm, s);
        if (mHopsPerValue > 0 && ++mHopCount == mHopsPerValue) {
            mHopCount = 0;
            mShortTerm.push_back(s);
            mMomentary.push_back(m);
        }
    }
}

SoundTools::Status SoundAlgoLoudness::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const Frame* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    if (mState) {
        const int64_t origin = getInOrigin();
        const int64_t lo = std::max<int64_t>(mStreamStart, origin);
        const int64_t hi = std::min<int64_t>(mStreamEnd, origin + int64_t(n));
        if (hi > lo && mWorker) {
            Worker::Block& batch = mWorker->pending;
            if (!batch.frames.empty() && batch.position + int64_t(batch.frames.size()) != lo) handOver();
            if (batch.frames.empty()) batch.position = lo;
            if (batch.frames.capacity() == 0) batch.frames.reserve(Worker::kBatch + n);
            batch.frames.insert(batch.frames.end(), in + (lo - origin), in + (hi - origin));
            if (batch.frames.size() >= Worker::kBatch) handOver();
        } else if (hi > lo) {
            feed(in + (lo - origin), lo, unsigned(hi - lo));
        }
    }
    if (in != out) std::memmove(out, in, size_t(n) * sizeof(Frame));
    return SoundTools::Ok;
}

void SoundAlgoLoudness::finish() {
    if (!mState) return;
    const SoundTools::detail::LoudnessGating& gating = mState->gating;
    if (!isTooShort()) mIntegrated = gating.integrated();
    mRange = gating.range();
    // Streams shorter than 3 s: the short-term loudness of all there is.
    if (!std::isfinite(mMaxShortTerm)) mMaxShortTerm = gating.whole(State::kShortHops);
    for (int c = 0; c < 2; ++c) {
        mSamplePeak[c] = toDb(mState->peaks.samplePeak(c));
        mTruePeak[c] = toDb(mState->peaks.truePeak(c));
    }
}

void SoundAlgoLoudness::endProcess(int status, unsigned frameNbProcessed) {
    if (mWorker) handOver();  // the last, partial batch
    stopWorker();
    finish();
    SoundAlgo::endProcess(status, frameNbProcessed);
}

// One gating block is 400 ms, four hops.
bool SoundAlgoLoudness::isTooShort() const { return mHop == 0 || mFrameCount < 4ull * mHop; }

double SoundAlgoLoudness::getSamplePeak() const { return std::max(mSamplePeak[0], mSamplePeak[1]); }
double SoundAlgoLoudness::getTruePeak() const { return std::max(mTruePeak[0], mTruePeak[1]); }

// Tracks read from statistics files have no gating: they are left out.
double SoundAlgoLoudness::albumLoudness(const std::vector<SoundAlgoLoudness*>& tracks) {
    std::vector<const SoundTools::detail::LoudnessGating*> gatings;
    for (SoundAlgoLoudness* t : tracks)
        if (t && t->mState) gatings.push_back(&t->mState->gating);
    return SoundTools::detail::LoudnessGating::integrated(gatings);
}

double SoundAlgoLoudness::albumRange(const std::vector<SoundAlgoLoudness*>& tracks) {
    std::vector<const SoundTools::detail::LoudnessGating*> gatings;
    for (SoundAlgoLoudness* t : tracks)
        if (t && t->mState) gatings.push_back(&t->mState->gating);
    return SoundTools::detail::LoudnessGating::range(gatings);
}

double SoundAlgoLoudness::albumTruePeak(const std::vector<SoundAlgoLoudness*>& tracks) {
    double peak = kMinusInf;
    for (SoundAlgoLoudness* t : tracks)
        if (t) peak = std::max(peak, t->getTruePeak());
    return peak;
}

// ---------------------------------------------------------------- JSON

void SoundAlgoLoudness::writeToJSon(QJsonObject& object) const {
    object.insert("Class", "SoundAlgoLoudness");
    object.insert("Id", getId());
    object.insert("Integrated", jsonNumber(mIntegrated));
    object.insert("Range", mRange);
    object.insert("MaxMomentary", jsonNumber(mMaxMomentary));
    object.insert("MaxShortTerm", jsonNumber(mMaxShortTerm));
    object.insert("SamplePeakLeft", jsonNumber(mSamplePeak[0]));
    object.insert("SamplePeakRight", jsonNumber(mSamplePeak[1]));
    object.insert("TruePeakLeft", jsonNumber(mTruePeak[0]));
    object.insert("TruePeakRight", jsonNumber(mTruePeak[1]));
    object.insert("FrameCount", double(mFrameCount));
    object.insert("SampleRate", qint64(mSampleRate));
    object.insert("ShortTermStep", mShortTermStep);
    QJsonArray series;
    for (double v : mShortTerm) series.append(jsonNumber(v));
    object.insert("ShortTerm", series);
}

bool SoundAlgoLoudness::readFromJSon(QJsonObject& object) {
    SoundAlgo::readFromJSon(object);
    mIntegrated = readNumber(object, "Integrated", mIntegrated);
    const double range = readNumber(object, "Range", mRange);
    mRange = std::isfinite(range) ? range : 0.0;
    mMaxMomentary = readNumber(object, "MaxMomentary", mMaxMomentary);
    mMaxShortTerm = readNumber(object, "MaxShortTerm", mMaxShortTerm);
    mSamplePeak[0] = readNumber(object, "SamplePeakLeft", mSamplePeak[0]);
    mSamplePeak[1] = readNumber(object, "SamplePeakRight", mSamplePeak[1]);
    mTruePeak[0] = readNumber(object, "TruePeakLeft", mTruePeak[0]);
    mTruePeak[1] = readNumber(object, "TruePeakRight", mTruePeak[1]);
    const double frames = readNumber(object, "FrameCount", double(mFrameCount));
    mFrameCount = frames > 0 && std::isfinite(frames) ? uint64_t(std::min(frames, 9.0e15)) : 0;
    const double rate = readNumber(object, "SampleRate", mSampleRate);
    if (rate > 0 && rate < 1e7) {
        mSampleRate = unsigned(rate);
        mHop = std::max(1u, unsigned(std::lround(rate / 10.0)));
    }
    const double step = readNumber(object, "ShortTermStep", mShortTermStep);
    if (std::isfinite(step) && step >= 0 && step <= 3600.0) mShortTermStep = step;
    const QJsonValue series = object.value("ShortTerm");
    if (series.isArray()) {
        mShortTerm.clear();
        for (const QJsonValue& v : series.toArray()) mShortTerm.push_back(v.isDouble() ? v.toDouble() : kMinusInf);
    }
    return true;
}

SoundAlgoLoudness* SoundAlgoLoudness::createFromJSon(QJsonObject object) {
    if (object.value("Class").toString() != "SoundAlgoLoudness") return nullptr;
    auto algo = SoundRef<SoundAlgoLoudness>::make(0.0);
    algo->readFromJSon(object);
    return algo.release();  // the caller's reference
}
