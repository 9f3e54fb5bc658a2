#include "tonewright/SoundAlgoFFTStats.h"

#include <QJsonArray>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "tonewright/SoundUnits.h"
#include "algo/StreamBounds.h"

namespace {

double magnitudeDb(double power) {
    return SoundTools::dbOfGain(std::sqrt(power));
}

}  // namespace

// ---------------------------------------------------------------- statistics

SoundAlgoFFTStats::SoundAlgoFFTStats() = default;

// Sums are kept during a run and turned into means at its end. A run that
// starts on means (after an earlier run, or after reading them from a file)
// turns them back into sums first, so that the next means weigh every block
// alike, old and new.
SoundTools::Status SoundAlgoFFTStats::onInitInputBuffer() {
    if (mCount > 0.0)
        for (double& s : mStats) s *= mCount;
    mStats.resize(getFFTSampleSize(), 0.0);
    return SoundTools::Ok;
}

SoundTools::Status SoundAlgoFFTStats::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    streamBounds(ctx, mStreamStart, mStreamEnd);
    return SoundAlgoFFT::initProcess(ctx, prev, next);
}

SoundTools::Status SoundAlgoFFTStats::process() {
    const unsigned spectra = inputSpectra();
    if (spectra == 0) return SoundTools::Ok;
    const std::shared_ptr<SoundBuffer>& in = mInBuffers[0];
    const std::shared_ptr<SoundBuffer>& out = mOutBuffers[0];
    const unsigned channels = in->getChannelNum();
    const size_t bins = getFFTSampleSize();
    const size_t used = std::min(bins, mStats.size());
    const double scale = 1.0 / double(mSize);
    double* stats = mStats.data();
    // Frames of the block behind each spectrum: a half block with overlap.
    const int64_t block = mOverlap ? mSize / 2 : mSize;
    for (unsigned i = 0; i < spectra; ++i) {
        const double* src = in->getRelFrame(int(i));
        double* dst = out->getRelFrame(int(i));
        std::memcpy(dst, src, size_t(in->getFrameStride()) * sizeof(double));
        // A block wholly outside the stream holds only padding: how many such
        // blocks the loop flushes depends on its block size.
        const int64_t position = getGridStart() + int64_t(i) * getHop();
        if (position >= mStreamEnd || position + block <= mStreamStart) continue;
        for (unsigned c = 0; c < channels; ++c) {
            const double* bin = src + 2 * bins * c;
            for (size_t k = 0; k < used; ++k) {
                const double re = bin[2 * k] * scale;
                const double im = bin[2 * k + 1] * scale;
                stats[k] += re * re + im * im;
            }
            mCount += 1.0;
        }
    }
    return SoundTools::Ok;
}

void SoundAlgoFFTStats::endProcess(int status, unsigned frameNbProcessed) {
    if (mCount > 0.0)
        for (double& s : mStats) s /= mCount;
    SoundAlgoFFT::endProcess(status, frameNbProcessed);
}

std::vector<double> SoundAlgoFFTStats::getFrequencies() {
    std::vector<double> f(mStats.size(), 0.0);
    if (mSize == 0) return f;
    for (size_t k = 0; k < f.size(); ++k) f[k] = double(k) * double(mSampleRate) / double(mSize);
    return f;
}

std::vector<double> SoundAlgoFFTStats::getStats() {
    std::vector<double> db(mStats.size());
    for (size_t k = 0; k < mStats.size(); ++k) db[k] = magnitudeDb(mStats[k]);
    return db;
}

std::vector<double> SoundAlgoFFTStats::getStats(const std::vector<double>& edges) {
    const std::vector<double> f = getFrequencies();
    std::vector<double> bands(edges.size() + 1, 0.0);
    size_t k = 0;
    for (size_t j = 0; j < edges.size(); ++j) {
        double sum = 0.0;
        for (; k < mStats.size() && f[k] <= edges[j]; ++k) sum += mStats[k];
        bands[j] = magnitudeDb(sum);
    }
    double sum = 0.0;
    for (; k < mStats.size(); ++k) sum += mStats[k];
    bands.back() = magnitudeDb(sum);
    double loudest = -1000.0;
    for (double b : bands) loudest = std::max(loudest, b);
    for (double& b : bands) b -= loudest;
    return bands;
}

void SoundAlgoFFTStats::writeToJSon(QJsonObject& object) const {
    object.insert("Class", QStringLiteral("SoundAlgoFFTStats"));
    SoundAlgoFFT::writeToJSon(object);
    object.insert("StatCount", mCount);
    QJsonArray array;
    for (double s : mStats) array.append(s);
    object.insert("StatsArray", array);
}

bool SoundAlgoFFTStats::readFromJSon(QJsonObject& object) {
    SoundAlgoFFT::readFromJSon(object);
    const QJsonValue count = object.value("StatCount");
    if (count.isDouble()) mCount = count.toDouble();
    const QJsonValue array = object.value("StatsArray");
    if (array.isArray())
        for (const QJsonValue& v : array.toArray()) mStats.push_back(v.isDouble() ? v.toDouble() : 0.0);
    return !mStats.empty();
}

SoundAlgoFFTStats* SoundAlgoFFTStats::createFromJSon(QJsonObject object) {
    if (object.value("Class").toString() != QLatin1String("SoundAlgoFFTStats")) return nullptr;
    auto stats = SoundRef<SoundAlgoFFTStats>::make();
    if (!stats->readFromJSon(object)) return nullptr;  // the SoundRef destroys the object
    return stats.release();
}

// ---------------------------------------------------------------- autocorrelation

SoundFFTAutocorrel::SoundFFTAutocorrel() = default;

SoundTools::Status SoundFFTAutocorrel::process() {
    const unsigned spectra = inputSpectra();
    if (spectra == 0) return SoundTools::Ok;
    const std::shared_ptr<SoundBuffer>& in = mInBuffers[0];
    const std::shared_ptr<SoundBuffer>& out = mOutBuffers[0];
    const size_t values = in->getFrameStride() / 2;  // complex values per spectrum, both channels
    for (unsigned i = 0; i < spectra; ++i) {
        const double* src = in->getRelFrame(int(i));
        double* dst = out->getRelFrame(int(i));
        for (size_t k = 0; k < values; ++k) {
            const double re = src[2 * k];
            const double im = src[2 * k + 1];
            dst[2 * k] = re * re + im * im;
            dst[2 * k + 1] = 0.0;
        }
    }
    return SoundTools::Ok;
}

SoundFFTAutocorrelChain::SoundFFTAutocorrelChain(unsigned int size) : SoundAlgoComposite(QString(), true) {
    pushAlgo(SoundRef<SoundAlgoFFTDirectCompute>::make(size, true, false).release());
    pushAlgo(SoundRef<SoundFFTAutocorrel>::make().release());
    pushAlgo(SoundRef<SoundAlgoFFTInverseCompute>::make(false).release());
}

// ---------------------------------------------------------------- tone synthesiser

SoundAutocorrelStats::SoundAutocorrelStats(int value) : mValue(value) {}

namespace {

constexpr unsigned kChunk = 1024;

// The search rules on the left channel p[i] (stride 2), i + 2 < avail. Each
// returns the first index from `from` that matches, or the last index examined
// (`from` when none could be).
int firstPeak(const double* p, int from, int avail) {
    int i = from;
    for (; i + 2 < avail; ++i)
        if (p[2 * i] < p[2 * (i + 1)] && p[2 * (i + 1)] > p[2 * (i + 2)] && p[2 * i] > 0.01) return i;
    return i > from ? i - 1 : from;
}

int firstTrough(const double* p, int from, int avail) {
    int i = from;
    for (; i + 2 < avail; ++i)
        if (p[2 * (i + 1)] < p[2 * i] && p[2 * (i + 1)] < p[2 * (i + 2)] && p[2 * i] < 0.0) return i;
    return i > from ? i - 1 : from;
}

}  // namespace

SoundTools::Status SoundAutocorrelStats::process() {
    const unsigned n = getOutFrameNb();
    const int outOrigin = getOutOrigin();
    const int64_t inEnd = int64_t(getInOrigin()) + getInFrameNb();
    const std::shared_ptr<SoundBuffer>& in = mInBuffers[0];
    double* out = mOutBuffers[0]->getFrame(outOrigin);
    if (!out) return SoundTools::Error;
    const double twoPi = 2.0 * M_PI;
    for (unsigned first = 0; first <= n; first += kChunk) {
        const unsigned len = std::min(kChunk, n - first);
        double* o = out + 2 * size_t(first);
        const int pos = outOrigin + int(first);
        const int avail = int(std::max<int64_t>(0, inEnd - pos));
        // A position below the input's origin cannot be analysed (getFrame says
        // so on the diagnostic stream): the chunk is silent.
        const double* p = avail > 0 ? in->getFrame(pos) : nullptr;
        int i1 = 0, i2 = 0, i3 = 0;
        if (p) {
            i1 = firstPeak(p, 0, avail);
            i2 = firstTrough(p, i1, avail);
            i3 = firstPeak(p, i2, avail);
        }
        if (!p || i1 == i2 || i2 == i3 || i1 == i3) {
            mPhase = 0.0;
            std::fill(o, o + 2 * size_t(len), 0.0);
            continue;
        }
        const double step = twoPi / double(i3 - i1);
        for (unsigned j = 0; j < len; ++j) {
            const double v = std::sin(mPhase);
            o[2 * j] = v;
            o[2 * j + 1] = v;
            mPhase += step;
        }
        mPhase = std::fmod(mPhase, twoPi);  // same sine, no precision drift over long streams
    }
    return SoundTools::Ok;
}
