// Description (SoundAlgoDescription.h) of the player's equaliser run offline:
// a SoundAlgoFilter of the player's own bands (nine peaking bands and the
// bass-boost band) with its presets, designed at the rate of each run. Bands
// of 0 dB are left out: they pass the sound unchanged.
#include <QStringList>

#include "algo/SoundAlgoDescriptionKeys.h"
#include "tonewright/SoundPlayer.h"

namespace SoundTools {
namespace {

// A player without a source: it holds the default equaliser and its presets
// and plays nothing (the pure operations are never called).
class EqualizerHolder : public SoundPlayer {
public:
    EqualizerHolder() : SoundPlayer(nullptr, nullptr, true) {}
    void preload() override {}
    void start() override {}
    void stop() override {}
    void endOfData() override {}
    const std::vector<std::shared_ptr<BiquadEqBuilder>>& bands() const { return mEqBuilders; }
    const std::vector<Preset>& presets() const { return mPresets; }
};

const DescriptionBuilder kEqualizer("SoundPlayerEqualizer", [](DescriptionKeys& k) -> SoundAlgo* {
    // The layout is read afresh for each build: a player is cheap to make, and
    // nothing is shared between threads that build at once.
    EqualizerHolder holder;
    const auto& bands = holder.bands();  // the equaliser bands, then the bass-boost band
    if (bands.empty()) return nullptr;
    const size_t count = bands.size() - 1;
    QStringList names;
    for (const SoundPlayer::Preset& p : holder.presets()) names << p.name;
    const int preset = k.choice("Preset", names, -1);
    std::vector<double> gains(count, 0.0);
    if (preset >= 0) {
        const std::vector<double>& levels = holder.presets()[size_t(preset)].levels;
        for (size_t i = 0; i < count && i < levels.size(); ++i) gains[i] = levels[i];
    }
    const std::vector<double> given = k.numbers("Gains", -24.0, 24.0, true, int(count));
    if (!given.empty()) gains = given;
    const double boost = k.number("BassBoost", 0.0, 24.0, 0.0);
    const double output = k.number("OutputGain", -60.0, 60.0, 0.0);
    if (!k.ok()) return nullptr;
    auto filter = SoundRef<SoundAlgoFilter>::make();
    for (size_t i = 0; i < count; ++i)
        if (gains[i] != 0.0)
            filter->pushFilter(std::make_shared<BiquadEqBuilder>(BandEq, bands[i]->freq(), bands[i]->width(), gains[i]));
    if (boost != 0.0)
        filter->pushFilter(std::make_shared<BiquadEqBuilder>(BandEq, bands.back()->freq(), bands.back()->width(), boost));
    filter->setOutputGain(output);
    filter->setId("Equalizer");
    return filter.release();
});

}  // namespace
}  // namespace SoundTools
