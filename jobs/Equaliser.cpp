#include "jobs/Equaliser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

#include "jobs/JobContext.h"
#include "tonewright/SoundFilterBuilders.h"
#include "tonewright/SoundPlayer.h"

namespace tonewright {

namespace {

using detail::badSetting;

// A player without a source: it holds the equaliser, its bass-boost band and
// its presets and plays nothing (the pure operations are never called).
class EqualiserHolder : public SoundPlayer {
public:
    EqualiserHolder() : SoundPlayer(nullptr, nullptr, true) {}
    void preload() override {}
    void start() override {}
    void stop() override {}
    void endOfData() override {}

    EqualiserLayout layout() {
        EqualiserLayout l;
        for (size_t i = 0; i + 1 < mEqBuilders.size(); ++i)
            l.bands.push_back({mEqBuilders[i]->freq(), mEqBuilders[i]->width(), 0.0});
        if (!mEqBuilders.empty()) {
            const auto& b = mEqBuilders.back();
            l.bassBoost = {b->freq(), b->width(), b->gain()};
        }
        for (const Preset& p : mPresets) l.presets.push_back({detail::str(p.name), p.levels});
        l.range = getEqBandRange();
        return l;
    }
};

}  // namespace

const EqualiserLayout& equaliserLayout() {
    static const EqualiserLayout layout = [] {
        EqualiserHolder holder;
        return holder.layout();
    }();
    return layout;
}

int findEqPreset(const std::string& nameOrNumber) {
    const EqualiserLayout& l = equaliserLayout();
    const QString name = detail::qstr(nameOrNumber);
    for (size_t i = 0; i < l.presets.size(); ++i)
        if (detail::qstr(l.presets[i].name).compare(name, Qt::CaseInsensitive) == 0) return int(i);
    bool isNumber = false;
    const int n = name.toInt(&isNumber);
    return isNumber && n >= 0 && n < int(l.presets.size()) ? n : -1;
}

std::string toJson(const EqualiserLayout& l) {
    QJsonArray bands, presets;
    for (const EqBand& b : l.bands) bands.append(QJsonObject{{"frequency", b.frequency}, {"width", b.width}});
    for (const EqPreset& p : l.presets) {
        QJsonArray levels;
        for (double v : p.levels) levels.append(v);
        presets.append(QJsonObject{{"name", detail::qstr(p.name)}, {"levels", levels}});
    }
    const QJsonObject o{{"bands", bands},
                        {"bassBoost", QJsonObject{{"frequency", l.bassBoost.frequency},
                                                  {"width", l.bassBoost.width},
                                                  {"gain", l.bassBoost.gain}}},
                        {"presets", presets}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

namespace detail {

std::optional<JobError> checkEqualiser(const EqSettings& s) {
    const EqualiserLayout& l = equaliserLayout();
    if (!s.preset.empty() && findEqPreset(s.preset) < 0)
        return badSetting("preset", QString("no equaliser preset '%1'").arg(qstr(s.preset)));
    if (!s.gains.empty() && s.gains.size() != l.bands.size())
        return badSetting("gains", QString("%1 band gains for the %2 bands").arg(s.gains.size()).arg(l.bands.size()));
    for (double g : s.gains)
        if (!(std::fabs(g) <= l.range))
            return badSetting("gains", QString("a band's gain goes from -%1 to %1 dB, not %2").arg(l.range).arg(g));
    if (s.bassBoost && !(s.bassBoostGain >= 0.0 && s.bassBoostGain <= 20.0))
        return badSetting("bassBoostGain",
                          QString("the bass boost goes from 0 to 20 dB, not %1").arg(s.bassBoostGain));
    if (!(s.outputGain >= -20.0 && s.outputGain <= 20.0))
        return badSetting("outputGain", QString("the output gain goes from -20 to 20 dB, not %1").arg(s.outputGain));
    return std::nullopt;
}

EqChoice resolveEqualiser(const EqSettings& s) {
    const EqualiserLayout& l = equaliserLayout();
    EqChoice c;
    c.preset = s.preset.empty() ? -1 : findEqPreset(s.preset);
    if (!s.gains.empty())
        c.gains = s.gains;
    else if (c.preset >= 0)
        c.gains = l.presets[size_t(c.preset)].levels;
    c.gains.resize(l.bands.size(), 0.0);
    c.bassBoost = s.bassBoost;
    c.bassBoostGain = s.bassBoostGain;
    c.outputGain = s.outputGain;
    return c;
}

SoundRef<SoundAlgoFilter> buildEqualiser(const EqChoice& c) {
    const EqualiserLayout& l = equaliserLayout();
    auto filter = SoundRef<SoundAlgoFilter>::make();
    for (size_t i = 0; i < l.bands.size() && i < c.gains.size(); ++i)
        if (c.gains[i] != 0.0)
            filter->pushFilter(std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, l.bands[i].frequency,
                                                                             l.bands[i].width, c.gains[i]));
    if (c.bassBoost && c.bassBoostGain != 0.0)
        filter->pushFilter(std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, l.bassBoost.frequency,
                                                                         l.bassBoost.width, c.bassBoostGain));
    filter->setOutputGain(c.outputGain);
    return filter;
}

}  // namespace detail
}  // namespace tonewright
