#include "tonewright/SoundAlgoFilter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <typeinfo>

#include "core/SoundSimd.h"
#include "tonewright/SoundUnits.h"

using SoundTools::BiquadFilter;
using SoundTools::Filter;
using SoundTools::FilterBuilder;
using Frame = SoundTools::StereoFrame<double>;

namespace {
// Whether no sample is a NaN or an infinity: those are the doubles whose
// exponent bits are all ones. One pass without branches over the bits, eight
// values a vector; every filter algorithm runs it over each block.
TW_KERNEL bool allFinite(const Frame* f, unsigned n) {
    const double* x = &f[0].l;
    const size_t values = size_t(n) * 2;
    constexpr uint64_t kExponent = 0x7ff0000000000000ull;
    size_t i = 0;
    uint64_t bad = 0;
#if defined(__GNUC__)
    typedef uint64_t Bits __attribute__((vector_size(64)));
    typedef int64_t Flags __attribute__((vector_size(64)));
    constexpr size_t W = sizeof(Bits) / sizeof(uint64_t);
    Flags any = Flags{};
    for (; i + W <= values; i += W) {
        Bits v;
        std::memcpy(&v, x + i, sizeof v);
        any |= (v & kExponent) == kExponent;
    }
    for (size_t k = 0; k < W; ++k) bad |= uint64_t(any[k]);
#endif
    for (; i < values; ++i) {
        uint64_t v;
        std::memcpy(&v, x + i, sizeof v);
        bad |= uint64_t((v & kExponent) == kExponent);
    }
    return bad == 0;
}
}  // namespace

// ---------------------------------------------------------------- SoundAlgoFilter

SoundAlgoFilter::SoundAlgoFilter() = default;

SoundAlgoFilter::SoundAlgoFilter(std::shared_ptr<FilterBuilder> builder) { pushFilter(std::move(builder)); }

void SoundAlgoFilter::pushFilter(std::shared_ptr<FilterBuilder> builder) {
    if (builder) mBuilders.push_back(std::move(builder));
}

void SoundAlgoFilter::addFilter(std::shared_ptr<Filter> filter) {
    if (!filter) return;
    SoundTools::WriteLocker lock(mLock);
    mFilters.push_back(std::move(filter));
}

void SoundAlgoFilter::setFilter(unsigned int i, std::shared_ptr<Filter> filter) {
    if (!filter) return;
    SoundTools::WriteLocker lock(mLock);
    if (i < mFilters.size()) mFilters[i] = std::move(filter);
}

void SoundAlgoFilter::clearFilters() {
    SoundTools::WriteLocker lock(mLock);
    mFilters.clear();
}

void SoundAlgoFilter::replaceFilters(std::vector<std::shared_ptr<Filter>> filters) {
    filters.erase(std::remove(filters.begin(), filters.end(), nullptr), filters.end());
    SoundTools::WriteLocker lock(mLock);
    mFilters.swap(filters);
    // The old filters are destroyed here, under the lock, which is harmless:
    // nothing else refers to them.
}

bool SoundAlgoFilter::hasFilters() const {
    SoundTools::ReadLocker lock(mLock);
    return !mFilters.empty();
}

unsigned SoundAlgoFilter::getFilterNumber() const {
    SoundTools::ReadLocker lock(mLock);
    return unsigned(mFilters.size());
}

double SoundAlgoFilter::getFilterGain(unsigned int i) const {
    SoundTools::ReadLocker lock(mLock);
    return i < mFilters.size() ? mFilters[i]->getGain() : 1.0;
}

double SoundAlgoFilter::getFilterGain() { return mFilters.empty() ? 1.0 : mFilters.back()->getGain(); }

void SoundAlgoFilter::resetFilterGain(unsigned int i) {
    // setGain changes the filter (a clip filter starts a ramp), so this takes
    // the lock for writing: two hosts resetting at once must not race either.
    SoundTools::WriteLocker lock(mLock);
    if (i < mFilters.size()) mFilters[i]->setGain(1.0);
}

FilterBuilder* SoundAlgoFilter::getbuilder(unsigned int i) { return i < mBuilders.size() ? mBuilders[i].get() : nullptr; }

void SoundAlgoFilter::initFilter(int i) {
    SoundTools::WriteLocker lock(mLock);
    const unsigned rate = mFilterRate.load(std::memory_order_relaxed);
    if (i < 0 || rate == 0 || size_t(i) >= mBuilders.size() || size_t(i) >= mFilters.size()) return;
    if (std::shared_ptr<Filter> f = mBuilders[size_t(i)]->buildFilter(rate)) mFilters[size_t(i)] = std::move(f);
}

SoundTools::Status SoundAlgoFilter::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    if (!mBuilders.empty()) {
        SoundTools::WriteLocker lock(mLock);
        mFilters.resize(mBuilders.size());
        mFilterRate.store(ctx.sampleRate, std::memory_order_relaxed);
        mSampleRate = ctx.sampleRate;
        for (size_t i = 0; i < mBuilders.size(); ++i) {
            mFilters[i] = mBuilders[i]->buildFilter(ctx.sampleRate);
            if (!mFilters[i]) {
                setError("Builder " + QString::number(i) + " of " + getName() + " made no filter",
                         "SoundAlgoFilter::initProcess");
                mFilters.clear();
                return SoundTools::Error;
            }
        }
        mFilters.back()->setGain(SoundTools::gainOfDb(mOutputGain));
    } else {
        mFilterRate.store(ctx.sampleRate, std::memory_order_relaxed);
    }
    return SoundAlgo::initProcess(ctx, prev, next);
}

namespace {
// Exactly a BiquadFilter, not a kind derived from it (those filter differently).
bool isPlainBiquad(const Filter& filter) { return typeid(filter) == typeid(BiquadFilter); }
}  // namespace

void SoundAlgoFilter::runFilters(Frame* in, Frame* out, unsigned n) {
    Frame* src = in;
    size_t i = 0;
    while (i < mFilters.size()) {
        Filter* f = mFilters[i].get();
        if (isPlainBiquad(*f)) {
            // Consecutive plain biquads run interleaved (same results, several
            // recursions in flight at once).
            constexpr unsigned kMaxRun = 16;
            BiquadFilter* run[kMaxRun];
            unsigned k = 0;
            while (i < mFilters.size() && k < kMaxRun && isPlainBiquad(*mFilters[i]))
                run[k++] = static_cast<BiquadFilter*>(mFilters[i++].get());
            BiquadFilter::filterCascade(run, k, src, out, n);
        } else {
            f->filter(src, out, n);
            ++i;
        }
        src = out;
    }
    if (src != out) std::memmove(out, in, size_t(n) * sizeof(Frame));
}

bool SoundAlgoFilter::processPair(SoundAlgoFilter& a, SoundAlgoFilter& b) {
    using SoundTools::Order4Filter;
    const unsigned n = a.getOutFrameNb();
    if (n != b.getOutFrameNb() || a.mInBuffers.empty() || b.mInBuffers.empty()) return false;
    const Frame* in = a.mInBuffers[0]->getStereoFrame(a.getInOrigin());
    if (in != b.mInBuffers[0]->getStereoFrame(b.getInOrigin())) return false;
    if (n == 0) return true;
    SoundTools::WriteLocker lockA(a.mLock), lockB(b.mLock);
    if (a.mFilters.size() != 1 || b.mFilters.size() != 1) return false;
    Filter* fa = a.mFilters[0].get();
    Filter* fb = b.mFilters[0].get();
    if (typeid(*fa) != typeid(Order4Filter) || typeid(*fb) != typeid(Order4Filter)) return false;
    // Samples that are not numbers: each cleans its own copy (process()).
    if (!allFinite(in, n)) return false;
    Frame* outA = a.mOutBuffers[0]->getStereoFrame(a.getOutOrigin());
    Frame* outB = b.mOutBuffers[0]->getStereoFrame(b.getOutOrigin());
    if (outA == in || outB == in || outA == outB) return false;
    Order4Filter::filterPair(*static_cast<Order4Filter*>(fa), *static_cast<Order4Filter*>(fb), in, outA, outB, n);
    return true;
}

SoundTools::Status SoundAlgoFilter::process() {
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    Frame* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    SoundTools::WriteLocker lock(mLock);
    if (allFinite(in, n)) {
        runFilters(in, out, n);
    } else {
        // A sample that is not a number would stay in the recursion's history
        // and make every later output NaN: it is filtered as silence. The input
        // belongs to the previous algorithm, so the cleaned copy goes to the
        // output, which is then filtered in place.
        for (unsigned j = 0; j < n; ++j)
            out[j] = Frame(std::isfinite(in[j].l) ? in[j].l : 0.0, std::isfinite(in[j].r) ? in[j].r : 0.0);
        runFilters(out, out, n);
    }
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- SoundAlgoFilterSplit

SoundAlgoFilterSplit::SoundAlgoFilterSplit() = default;

SoundAlgoFilterSplit::SoundAlgoFilterSplit(std::shared_ptr<FilterBuilder> builder)
    : SoundAlgoFilter(std::move(builder)) {}

SoundTools::Status SoundAlgoFilterSplit::process() {
    // One lock over both outputs, so that the complement uses the very filters
    // (and gain) that made output 0.
    SoundTools::WriteLocker lock(mLock);
    const SoundTools::Status status = SoundAlgoFilter::process();
    if (status != SoundTools::Ok) return status;
    const unsigned n = getOutFrameNb();
    if (n == 0) return SoundTools::Ok;
    const double g = getFilterGain();
    const Frame* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    const Frame* low = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    Frame* rest = mOutBuffers[1]->getStereoFrame(getOutOrigin());
    for (unsigned j = 0; j < n; ++j) {
        rest[j].l = g * in[j].l - low[j].l;
        rest[j].r = g * in[j].r - low[j].r;
    }
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- SoundAlgoFilterBiquad

SoundAlgoFilterBiquad::SoundAlgoFilterBiquad() = default;

SoundAlgoFilterBiquad::SoundAlgoFilterBiquad(SoundTools::FilterType type, double freq, double width, double gain) {
    pushFilter(type, freq, width, gain);
}

void SoundAlgoFilterBiquad::pushFilter(SoundTools::FilterType type, double freq, double width, double gain) {
    SoundAlgoFilter::pushFilter(std::make_shared<SoundTools::BiquadEqBuilder>(type, freq, width, gain));
}

template <typename Change>
void SoundAlgoFilterBiquad::changeBand(unsigned int i, Change change) {
    // The builder is changed under the lock too, so that a rebuild from another
    // thread never reads a half-changed band.
    SoundTools::WriteLocker lock(mLock);
    auto* band = dynamic_cast<SoundTools::BiquadEqBuilder*>(getbuilder(i));
    if (!band) return;
    change(*band);
    initFilter(int(i));
}

void SoundAlgoFilterBiquad::SetFreq(unsigned int i, double freq) {
    changeBand(i, [freq](SoundTools::BiquadEqBuilder& b) { b.setFreq(freq); });
}

void SoundAlgoFilterBiquad::SetLevel(unsigned int i, double gain) {
    changeBand(i, [gain](SoundTools::BiquadEqBuilder& b) { b.setGain(gain); });
}

void SoundAlgoFilterBiquad::SetWidth(unsigned int i, double width) {
    changeBand(i, [width](SoundTools::BiquadEqBuilder& b) { b.setWidth(width); });
}

// ---------------------------------------------------------------- SoundAlgoFilterCrossover

SoundAlgoFilterCrossover::SoundAlgoFilterCrossover(double freq) : SoundAlgoComposite(QString(), true) {
    using SoundTools::Order4FilterBuilder;
    mLow = SoundRef<SoundAlgoFilter>::make(std::make_shared<Order4FilterBuilder>(SoundTools::LowPass, freq)).release();
    pushAlgo(mLow);
    addNewBranch();
    mHigh = SoundRef<SoundAlgoFilter>::make(std::make_shared<Order4FilterBuilder>(SoundTools::HighPass, freq)).release();
    pushAlgo(mHigh);
    // Two fourth-order sections take a few microseconds per block: less than a
    // fork and a join of worker threads.
    setParallelBranches(false);
    setReadOnly();
}

SoundTools::Status SoundAlgoFilterCrossover::process() {
    // The branches are the two filters alone unless the composite had to align
    // them (it never has to: neither delays nor looks ahead).
    const bool plain = mBranches.size() == 2 && mBranches[0].size() == 1 && mBranches[0][0] == mLow &&
                       mBranches[1].size() == 1 && mBranches[1][0] == mHigh;
    if (plain && SoundAlgoFilter::processPair(*mLow, *mHigh)) return SoundTools::Ok;
    return SoundAlgoComposite::process();
}
