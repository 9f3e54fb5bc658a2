#include "tonewright/SoundAlgoLoudness.h"

#include <QJsonArray>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <ebur128.h>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/SoundFlushDenormals.h"
#include "algo/StreamBounds.h"
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

// libebur128 answers -HUGE_VAL for "no loudness"; anything else non-finite or
// under the silence floor is taken as that too.
double cleanLufs(double v) { return std::isfinite(v) && v >= kSilenceDb ? v : kMinusInf; }

QJsonValue jsonNumber(double v) { return std::isfinite(v) ? QJsonValue(v) : QJsonValue(QJsonValue::Null); }

// A number, or -inf for null; `fallback` when the key is missing or of another type.
double readNumber(const QJsonObject& object, const char* key, double fallback) {
    const QJsonValue v = object.value(key);
    if (v.isDouble()) return v.toDouble();
    if (v.isNull()) return kMinusInf;
    return fallback;
}

struct StateDeleter {
    void operator()(ebur128_state* s) const { ebur128_destroy(&s); }
};
}  // namespace

// libebur128 measures the gated loudness figures; the peaks are measured here
// (its own oversampling would take most of the time of an analysis).
// The momentary (400 ms) and short-term (3 s) loudness are read every 100 ms
// from the energies of the last 4 and 30 hops of 100 ms, which libebur128 gives
// one hop at a time: asking it for the 3 s window at every hop would sum the
// whole window again each time, thirty times the work of the filtering itself.
struct SoundAlgoLoudness::State {
    std::unique_ptr<ebur128_state, StateDeleter> handle;
    TruePeakMeter peaks;
    // With the peaks shared: the left channel's true peak, on the loop's
    // thread; `peaks` then interpolates the right one alone.
    TruePeakMeter loopPeaks;
    bool shared = false;
    static constexpr int kShortHops = 30, kMomentaryHops = 4;
    double hops[kShortHops] = {};  // mean square of each hop, the latest at `latest`
    int latest = kShortHops - 1;

    // Loudness of the mean energy of the last `count` hops.
    double loudness(int count) const {
        double sum = 0.0;
        for (int i = 0; i < count; ++i) sum += hops[(latest - i + kShortHops) % kShortHops];
        return cleanLufs(sum > 0.0 ? -0.691 + 10.0 * std::log10(sum / count) : kMinusInf);
    }
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
    static constexpr size_t kDepth = 4;  // blocks the loop may run ahead
    std::thread thread;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<Frame>> queue;
    bool ending = false;
};

SoundAlgoLoudness::~SoundAlgoLoudness() { stopWorker(); }

void SoundAlgoLoudness::work() {
    SoundTools::FlushDenormals flush;  // the thread's own floating-point mode
    Worker& w = *mWorker;
    for (;;) {
        std::vector<Frame> block;
        {
            std::unique_lock<std::mutex> guard(w.lock);
            w.changed.wait(guard, [&w] { return !w.queue.empty() || w.ending; });
            if (w.queue.empty()) return;  // ending, and every block measured
            block = std::move(w.queue.front());
            w.queue.pop_front();
        }
        w.changed.notify_all();
        feed(block.data(), unsigned(block.size()), !mPeaksOnLoop);
    }
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
    ebur128_state* raw =
        ebur128_init(2, ctx.sampleRate, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_M | EBUR128_MODE_S);
    if (!raw) {
        setError(QString("cannot measure loudness at %1 Hz").arg(ctx.sampleRate), "SoundAlgoLoudness::initProcess");
        return SoundTools::Error;
    }
    // A mono source arrives as two equal channels: the right one is left out,
    // so the sound is counted once.
    if (mMono && ebur128_set_channel(raw, 1, EBUR128_UNUSED) != EBUR128_SUCCESS) {
        ebur128_destroy(&raw);
        setError("cannot measure a mono source", "SoundAlgoLoudness::initProcess");
        return SoundTools::Error;
    }
    mState = std::make_unique<State>();
    mState->handle.reset(raw);
    // Shared peaks need the worker; they are set up before it starts, and
    // undone if it cannot.
    const bool shared = mBackground && mPeaksShared && !mPeaksOnLoop;
    mState->peaks = TruePeakMeter(ctx.sampleRate, mTruePeakRate, shared ? 1 : -1);
    if (shared) mState->loopPeaks = TruePeakMeter(ctx.sampleRate, mTruePeakRate, 0);
    mState->shared = shared;
    streamBounds(ctx, mStreamStart, mStreamEnd);
    mHop = std::max(1u, unsigned(std::lround(ctx.sampleRate / 10.0)));
    mToHop = mHop;
    mHopsPerValue = unsigned(std::lround(mShortTermStep * 10.0));
    mHopCount = 0;
    if (mBackground) {
        mWorker = std::make_unique<Worker>();
        try {
            mWorker->thread = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            mWorker.reset();  // no thread to be had: measured on the loop's own
            mState->peaks = TruePeakMeter(ctx.sampleRate, mTruePeakRate);
            mState->shared = false;
        }
    }
    return SoundAlgo::initProcess(ctx, prev, next);
}

// Feeds frames in pieces that end on the 100 ms hops of the stream, where the
// momentary and short-term loudness are read: the same instants whatever the
// blocks were.
void SoundAlgoLoudness::feed(const Frame* frames, unsigned n, bool peaks) {
    ebur128_state* st = mState->handle.get();
    static_assert(sizeof(Frame) == 2 * sizeof(double), "frames are interleaved doubles");
    if (peaks) mState->peaks.add(frames, n);
    while (n > 0) {
        const unsigned piece = std::min(n, mToHop);
        ebur128_add_frames_double(st, reinterpret_cast<const double*>(frames), piece);
        frames += piece;
        n -= piece;
        mToHop -= piece;
        mFrameCount += piece;
        if (mToHop > 0) continue;
        mToHop = mHop;
        double h = kMinusInf;
        if (ebur128_loudness_window(st, 100, &h) != EBUR128_SUCCESS) h = kMinusInf;
        h = cleanLufs(h);
        mState->latest = (mState->latest + 1) % State::kShortHops;
        mState->hops[mState->latest] = std::isfinite(h) ? std::pow(10.0, (h + 0.691) / 10.0) : 0.0;
        const double m = mState->loudness(State::kMomentaryHops);
        mMaxMomentary = std::max(mMaxMomentary, m);
        const double s = mState->loudness(State::kShortHops);
        // Short-term values count from the first full 3 s window on.
        if (mFrameCount >= 30ull * mHop) mMaxShortTerm = std::max(mMaxShortTerm, s);
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
            // The worker never touches the peaks then: they are this thread's
            // until finish(), which runs after the worker has ended.
            if (mPeaksOnLoop) mState->peaks.add(in + (lo - origin), unsigned(hi - lo));
            if (mState->shared) mState->loopPeaks.add(in + (lo - origin), unsigned(hi - lo));
            std::vector<Frame> block(in + (lo - origin), in + (hi - origin));
            Worker& w = *mWorker;
            {
                std::unique_lock<std::mutex> guard(w.lock);
                w.changed.wait(guard, [&w] { return w.queue.size() < Worker::kDepth; });
                w.queue.push_back(std::move(block));
            }
            w.changed.notify_all();
        } else if (hi > lo) {
            feed(in + (lo - origin), unsigned(hi - lo));
        }
    }
    if (in != out) std::memmove(out, in, size_t(n) * sizeof(Frame));
    return SoundTools::Ok;
}

void SoundAlgoLoudness::finish() {
    if (!mState) return;
    ebur128_state* st = mState->handle.get();
    double v = kMinusInf;
    if (!isTooShort() && ebur128_loudness_global(st, &v) == EBUR128_SUCCESS) mIntegrated = cleanLufs(v);
    v = 0.0;
    if (ebur128_loudness_range(st, &v) == EBUR128_SUCCESS && std::isfinite(v)) mRange = v;
    // Streams shorter than 3 s: the short-term loudness of all there is.
    if (!std::isfinite(mMaxShortTerm) && ebur128_loudness_shortterm(st, &v) == EBUR128_SUCCESS)
        mMaxShortTerm = cleanLufs(v);
    for (int c = 0; c < 2; ++c) {
        const TruePeakMeter& m = mState->shared && c == 0 ? mState->loopPeaks : mState->peaks;
        mSamplePeak[c] = toDb(m.samplePeak(c));
        mTruePeak[c] = toDb(m.truePeak(c));
    }
}

void SoundAlgoLoudness::endProcess(int status, unsigned frameNbProcessed) {
    stopWorker();
    finish();
    SoundAlgo::endProcess(status, frameNbProcessed);
}

// One gating block is 400 ms, four hops.
bool SoundAlgoLoudness::isTooShort() const { return mHop == 0 || mFrameCount < 4ull * mHop; }

double SoundAlgoLoudness::getSamplePeak() const { return std::max(mSamplePeak[0], mSamplePeak[1]); }
double SoundAlgoLoudness::getTruePeak() const { return std::max(mTruePeak[0], mTruePeak[1]); }

namespace {
std::vector<ebur128_state*> states(const std::vector<SoundAlgoLoudness*>& tracks,
                                   ebur128_state* (*get)(SoundAlgoLoudness*)) {
    std::vector<ebur128_state*> out;
    for (SoundAlgoLoudness* t : tracks)
        if (t)
            if (ebur128_state* s = get(t)) out.push_back(s);
    return out;
}
}  // namespace

double SoundAlgoLoudness::albumLoudness(const std::vector<SoundAlgoLoudness*>& tracks) {
    std::vector<ebur128_state*> s =
        states(tracks, [](SoundAlgoLoudness* t) { return t->mState ? t->mState->handle.get() : nullptr; });
    double v = kMinusInf;
    if (s.empty() || ebur128_loudness_global_multiple(s.data(), s.size(), &v) != EBUR128_SUCCESS) return kMinusInf;
    return cleanLufs(v);
}

double SoundAlgoLoudness::albumRange(const std::vector<SoundAlgoLoudness*>& tracks) {
    std::vector<ebur128_state*> s =
        states(tracks, [](SoundAlgoLoudness* t) { return t->mState ? t->mState->handle.get() : nullptr; });
    double v = 0.0;
    if (s.empty() || ebur128_loudness_range_multiple(s.data(), s.size(), &v) != EBUR128_SUCCESS || !std::isfinite(v))
        return 0.0;
    return v;
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
