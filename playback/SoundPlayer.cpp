#include "tonewright/SoundPlayer.h"

#include <algorithm>

#include "tonewright/SoundAlgoComposite.h"

using SoundTools::BiquadEqBuilder;
using SoundTools::MutexLocker;

namespace {
constexpr double kBandFreqs[] = {60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000};
constexpr double kBandWidth = 1.9;  // octaves
constexpr double kBassBoostFreq = 150.0;
constexpr double kBassBoostWidth = 0.5;
constexpr double kBassBoostGain = 8.0;
constexpr double kBandRange = 8.0;  // dB each way

struct PresetRow {
    const char* name;
    double levels[9];
};
constexpr PresetRow kPresets[] = {
    {"Flat", {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"Standard", {4, 4, 2, 0, 0, 0, 2, 4, 4}},
    {"Treble", {0, 0, 0, 0, 0, 0, 3, 4, 5}},
    {"Bass", {4, 5, 4, 2, 0, 0, 0, 0, 0}},
    {"Classical", {4, 3, 3, -1, -1, 0, 2, 3, 4}},
    {"Dance", {6, 5, 0, 1, 3, 5, 4, 3, 0}},
    {"Electronic", {5, 2, 0, -2, 3, 1, 2, 3, 4}},
    {"Folk", {4, 3, 1, 2, 2, 3, 3.5, 3, 2}},
    {"Hip_Hop", {5, 2, 3, -1, -1, 1, 0, 2, 3}},
    {"Jazz", {3, 2, 2.5, -1, -1, 0, 1, 3, 4}},
    {"Loudness", {5, 4, 3, -1, -1, -1, 3, 4, 5}},
    {"Metal", {5, 3, 1, 0, 2, 0, 1, 3, 5}},
    {"Pop", {-1, 0, 2, 4, 4, 2, 0, -1, -2}},
    {"Rock", {4, 3, 2, 0, -1, 0, 2, 3, 4}},
};
}  // namespace

SoundPlayer::SoundPlayer(std::shared_ptr<SoundReader> reader, SoundAlgo* algo, bool defaultEqualizer) {
    if (reader) mDevice = std::make_unique<SoundAlgoDevice>(std::move(reader), algo);
    mEqFilter = SoundRef<SoundAlgoFilter>::make().release();
    mEqFilter->setId("Equalizer");
    // The equaliser plays from the start, without a chain from the host: a
    // player whose equaliser only worked after setPostProcessingChain would
    // ignore its band settings without a word.
    if (mDevice) setPostProcessingChain(nullptr);
    if (defaultEqualizer) buildDefaultEqualizer();
}

SoundPlayer::~SoundPlayer() {
    // The device stops its threads, then drops its reference to the chain that
    // holds the equaliser; the player's own reference goes last.
    mDevice.reset();
    if (mEqFilter) mEqFilter->releaseRef();
}

SoundReader* SoundPlayer::getReader() const { return mDevice ? mDevice->getReader() : nullptr; }

unsigned SoundPlayer::sampleRate() const { return mDevice ? mDevice->getSampleRate() : 44100u; }

// ---------------------------------------------------------------- bands

void SoundPlayer::appendBassBoostBand() {
    mEqBuilders.push_back(
        std::make_shared<BiquadEqBuilder>(SoundTools::BandEq, kBassBoostFreq, kBassBoostWidth, kBassBoostGain));
}

void SoundPlayer::buildDefaultEqualizer() {
    MutexLocker lock(mMutex);
    // The bass-boost band stays last: an earlier one would otherwise become an
    // equaliser band in the middle of the list.
    if (!mEqBuilders.empty()) mEqBuilders.pop_back();
    for (double f : kBandFreqs)
        mEqBuilders.push_back(std::make_shared<BiquadEqBuilder>(SoundTools::BandEq, f, kBandWidth, 0.0));
    appendBassBoostBand();
    std::vector<Preset> presets;
    for (const PresetRow& row : kPresets)
        presets.push_back(Preset{QString::fromLatin1(row.name), std::vector<double>(row.levels, row.levels + 9)});
    mPresets = std::move(presets);
    rebuildFilter();
}

void SoundPlayer::setEqualizer(const std::vector<std::shared_ptr<BiquadEqBuilder>>& bands) {
    MutexLocker lock(mMutex);
    mEqBuilders.clear();
    for (const auto& band : bands)
        if (band) mEqBuilders.push_back(band);
    appendBassBoostBand();
}

void SoundPlayer::setEqualizerPresets(const std::vector<Preset>& presets) {
    MutexLocker lock(mMutex);
    mPresets = presets;
}

int SoundPlayer::lastFilterRank() const {
    const int size = int(mEqBuilders.size());
    return mBassBoostOn ? size - 1 : size - 2;
}

unsigned SoundPlayer::firstFilterBand() const {
    return mEqOn ? 0u : unsigned(std::max<size_t>(mEqBuilders.size(), 1) - 1);
}

unsigned SoundPlayer::endFilterBand() const {
    if (mEqBuilders.empty()) return 0;
    return mBassBoostOn ? unsigned(mEqBuilders.size()) : unsigned(mEqBuilders.size() - 1);
}

std::shared_ptr<SoundTools::Filter> SoundPlayer::buildFilter(unsigned i) {
    if (i >= mEqBuilders.size()) return nullptr;
    if (int(i) == lastFilterRank()) return mEqBuilders[i]->buildClipFilter(sampleRate(), mEqGain);
    return mEqBuilders[i]->buildFilter(sampleRate());
}

void SoundPlayer::rebuildFilter() {
    MutexLocker lock(mMutex);
    std::vector<std::shared_ptr<SoundTools::Filter>> filters;
    for (unsigned i = firstFilterBand(); i < endFilterBand(); ++i) filters.push_back(buildFilter(i));
    // One step: a block played meanwhile sees the old chain or the new one,
    // never a part of it.
    mEqFilter->replaceFilters(std::move(filters));
}

// Band i sits in the filter list at i - firstFilterBand() when it is in use: with
// the equaliser off, the bass-boost band alone is at 0, and changing it plays at
// once like any other band.
void SoundPlayer::replaceFilter(unsigned i, bool resetGain) {
    MutexLocker lock(mMutex);
    const unsigned first = firstFilterBand();
    if (i < first || i >= endFilterBand()) return;
    const int last = lastFilterRank();
    if (int(i) == last) {
        if (resetGain) mEqGain = 1.0;
        mEqFilter->setFilter(i - first, buildFilter(i));
    } else {
        mEqFilter->setFilter(i - first, buildFilter(i));
        if (resetGain) {
            if (last >= int(first)) mEqFilter->resetFilterGain(unsigned(last) - first);
            mEqGain = 1.0;
        }
    }
}

void SoundPlayer::switchEq(bool on) {
    MutexLocker lock(mMutex);
    mEqOn = on;
    rebuildFilter();
}

void SoundPlayer::switchBassBoost(bool on) {
    MutexLocker lock(mMutex);
    mBassBoostOn = on;
    rebuildFilter();
}

void SoundPlayer::setEqLevel(unsigned i, double levelDb) {
    MutexLocker lock(mMutex);
    if (i >= mEqBuilders.size()) return;
    const double old = mEqBuilders[i]->gain();
    mEqBuilders[i]->setGain(levelDb);
    replaceFilter(i, old > levelDb);
}

void SoundPlayer::setEqFreq(unsigned i, double freq) {
    MutexLocker lock(mMutex);
    if (i >= mEqBuilders.size()) return;
    mEqBuilders[i]->setFreq(freq);
    replaceFilter(i, true);
}

void SoundPlayer::setEqWidth(unsigned i, double octaves) {
    MutexLocker lock(mMutex);
    if (i >= mEqBuilders.size()) return;
    mEqBuilders[i]->setWidth(octaves);
    replaceFilter(i, true);
}

unsigned SoundPlayer::getEqBandNumber() {
    MutexLocker lock(mMutex);
    return mEqBuilders.empty() ? 0u : unsigned(mEqBuilders.size() - 1);
}

double SoundPlayer::getEqBandRange() { return kBandRange; }

double SoundPlayer::getEqBandFreq(unsigned i) {
    MutexLocker lock(mMutex);
    return i < mEqBuilders.size() ? mEqBuilders[i]->freq() : 0.0;
}

double SoundPlayer::getEqBandLevel(unsigned i) {
    MutexLocker lock(mMutex);
    return i < mEqBuilders.size() ? mEqBuilders[i]->gain() : 0.0;
}

bool SoundPlayer::hasEqualizer() const {
    MutexLocker lock(mMutex);
    return mEqBuilders.size() > 1;
}

bool SoundPlayer::hasBassBoost() const {
    MutexLocker lock(mMutex);
    return !mEqBuilders.empty();
}

QStringList SoundPlayer::getEqPresets() const {
    MutexLocker lock(mMutex);
    QStringList names;
    for (const Preset& p : mPresets) names << p.name;
    return names;
}

void SoundPlayer::setEqGain(double gain) {
    MutexLocker lock(mMutex);
    if (mEqBuilders.empty()) return;
    mEqGain = gain;
    const int last = lastFilterRank();
    const unsigned first = firstFilterBand();
    if (last >= int(first) && unsigned(last) < endFilterBand())
        mEqFilter->setFilter(unsigned(last) - first, buildFilter(unsigned(last)));
}

double SoundPlayer::getEqGain() const {
    MutexLocker lock(mMutex);
    if (mEqBuilders.empty()) return mEqGain;
    const int last = lastFilterRank();
    const unsigned first = firstFilterBand();
    if (last < int(first) || unsigned(last) >= endFilterBand()) return 1.0;
    // Past the end of the list (nothing built yet) this is 1.0 as well.
    return mEqFilter->getFilterGain(unsigned(last) - first);
}

void SoundPlayer::setEqPreset(unsigned p) {
    MutexLocker lock(mMutex);
    if (mEqBuilders.size() <= 1 || p >= mPresets.size()) return;
    const size_t bands = mEqBuilders.size() - 1;
    const Preset& preset = mPresets[p];
    if (preset.levels.size() < bands) return;
    for (size_t i = 0; i < bands; ++i) mEqBuilders[i]->setGain(preset.levels[i]);
    switchEq(mEqFilter->hasFilters());
}

// ---------------------------------------------------------------- chain and levels

void SoundPlayer::setPostProcessingChain(SoundAlgo* chain) {
    if (!mDevice) {
        SoundDebuggableClass::setError("a player without reader has no device for a post-processing chain",
                                       "SoundPlayer::setPostProcessingChain");
        if (chain) chain->releaseRef();
        return;
    }
    mEqFilter->addRef();  // the device's reference, through the chain
    if (!chain) {
        mDevice->setPostProcessingChain(mEqFilter);
        return;
    }
    auto* composite = dynamic_cast<SoundAlgoComposite*>(chain);
    // A sealed composite would ignore the equaliser pushed in front of it.
    if (!composite || !composite->isWritable()) {
        composite = SoundRef<SoundAlgoComposite>::make("PostProcessing", true).release();
        composite->pushAlgo(chain);
    }
    composite->pushAlgoFront(mEqFilter);
    mDevice->setPostProcessingChain(composite);
}

void SoundPlayer::setNoiseGate(SoundAlgoNoiseGate* gate) {
    MutexLocker lock(mMutex);
    mNoiseGate = gate;
}

void SoundPlayer::setAmplifier(SoundAlgoAmpliInterface* amplifier) {
    MutexLocker lock(mMutex);
    mAmplifier = amplifier;
}

void SoundPlayer::setGateLevel(double levelDb) {
    MutexLocker lock(mMutex);
    if (!mNoiseGate || !mDevice) return;
    mDevice->lockAlgo();
    mNoiseGate->SetThreshold(levelDb);
    mDevice->unlockAlgo();
}

void SoundPlayer::setAmpLevel(double levelDb) {
    MutexLocker lock(mMutex);
    if (!mAmplifier || !mDevice) return;
    mDevice->lockAlgo();
    mAmplifier->setLevel(levelDb);
    mDevice->unlockAlgo();
}
