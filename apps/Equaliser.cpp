#include "Equaliser.h"

#include <QJsonArray>
#include <cmath>

#include "Cli.h"
#include "tonewright/SoundPlayer.h"

namespace cli {

namespace {

// A player without a source: it holds the equaliser, its bass-boost band and
// its presets and plays nothing (the pure operations are never called).
class EqualiserHolder : public SoundPlayer {
public:
    EqualiserHolder() : SoundPlayer(nullptr, nullptr, true) {}
    void preload() override {}
    void start() override {}
    void stop() override {}
    void endOfData() override {}

    EqualiserLayout layout() const {
        EqualiserLayout l;
        for (size_t i = 0; i + 1 < mEqBuilders.size(); ++i)
            l.bands.push_back({mEqBuilders[i]->freq(), mEqBuilders[i]->width(), 0.0});
        if (!mEqBuilders.empty()) {
            const auto& b = mEqBuilders.back();
            l.bassBoost = {b->freq(), b->width(), b->gain()};
        }
        for (const Preset& p : mPresets) l.presets.push_back({p.name, p.levels});
        return l;
    }
};

QString hz(double f) { return f >= 1000 ? QString::number(f / 1000.0, 'g', 4) + "k" : QString::number(f, 'g', 4); }

QString signedDb(double db) { return (db >= 0 ? "+" : "") + QString::number(db, 'f', 1); }

}  // namespace

const EqualiserLayout& equaliserLayout() {
    static const EqualiserLayout layout = [] {
        EqualiserHolder holder;
        return holder.layout();
    }();
    return layout;
}

bool EqSettings::any() const {
    for (double g : gains)
        if (g != 0.0) return true;
    return bassBoost || outputGain != 0.0;
}

void EqOptions::addTo(JobParser& p) const {
    for (const QCommandLineOption& o : {preset, band, bassBoost, bassBoostGain, listPresets}) p.addOption(o);
}

bool EqOptions::read(const JobParser& p, EqSettings& s) const {
    const EqualiserLayout& l = equaliserLayout();
    s.gains.assign(l.bands.size(), 0.0);
    s.bassBoostGain = l.bassBoost.gain;
    if (p.isSet(preset)) {
        const QString name = p.value(preset);
        bool isNumber = false;
        const int n = name.toInt(&isNumber);
        s.preset = -1;
        for (size_t i = 0; i < l.presets.size(); ++i)
            if (l.presets[i].name.compare(name, Qt::CaseInsensitive) == 0) s.preset = int(i);
        if (s.preset < 0 && isNumber && n >= 0 && n < int(l.presets.size())) s.preset = n;
        if (s.preset < 0) {
            p.usageError(QString("no equaliser preset '%1' (see --list-presets)").arg(name));
            return false;
        }
        const std::vector<double>& levels = l.presets[size_t(s.preset)].levels;
        for (size_t i = 0; i < s.gains.size() && i < levels.size(); ++i) s.gains[i] = levels[i];
    }
    for (const QString& text : p.values(band)) {
        const int eq = text.indexOf('=');
        bool okGain = false;
        const double gain = eq > 0 ? text.mid(eq + 1).toDouble(&okGain) : 0.0;
        QString key = text.left(eq).trimmed().toLower();
        int index = -1;
        if (eq > 0) {
            double scale = 1.0;
            if (key.endsWith("hz")) key.chop(2);
            if (key.endsWith('k')) {
                key.chop(1);
                scale = 1000.0;
            }
            bool okKey = false;
            const double v = key.toDouble(&okKey) * scale;
            for (size_t i = 0; okKey && i < l.bands.size(); ++i)
                if (std::fabs(l.bands[i].freq - v) < 0.5) index = int(i);
            // A small whole number that is no band frequency is a band number.
            if (index < 0 && okKey && scale == 1.0 && v >= 1 && v <= double(l.bands.size()) && v == std::floor(v))
                index = int(v) - 1;
        }
        if (index < 0 || !okGain || !std::isfinite(gain)) {
            p.usageError(QString("--band needs <Hz or number>=<dB> naming one of the %1 bands, not '%2'")
                             .arg(l.bands.size())
                             .arg(text));
            return false;
        }
        if (std::fabs(gain) > l.range) {
            p.usageError(QString("a band's gain goes from -%1 to %1 dB, not %2").arg(l.range).arg(gain));
            return false;
        }
        s.gains[size_t(index)] = gain;
    }
    s.bassBoost = p.isSet(bassBoost);
    if (p.isSet(bassBoostGain)) {
        if (!p.number(bassBoostGain, 0, 20, &s.bassBoostGain)) return false;
        s.bassBoost = true;
    }
    return true;
}

QString presetList() {
    const EqualiserLayout& l = equaliserLayout();
    QStringList freqs;
    for (const EqBand& b : l.bands) freqs << hz(b.freq);
    QString t = QString("%1  %2 Hz\n").arg("", -14).arg(freqs.join(' '));
    for (size_t i = 0; i < l.presets.size(); ++i) {
        QStringList levels;
        for (double v : l.presets[i].levels) levels << QString::number(v);
        t += QString("%1 %2  %3 dB\n").arg(i, 2).arg(l.presets[i].name, -11).arg(levels.join(' '));
    }
    t += QString("bass boost: %1 dB at %2 Hz, %3 octave wide\n")
             .arg(l.bassBoost.gain)
             .arg(l.bassBoost.freq)
             .arg(l.bassBoost.width);
    return t;
}

QJsonObject presetListJson() {
    const EqualiserLayout& l = equaliserLayout();
    QJsonArray bands, presets;
    for (const EqBand& b : l.bands) bands.append(QJsonObject{{"frequency", b.freq}, {"width", b.width}});
    for (const EqPreset& p : l.presets) {
        QJsonArray levels;
        for (double v : p.levels) levels.append(v);
        presets.append(QJsonObject{{"name", p.name}, {"levels", levels}});
    }
    return QJsonObject{
        {"bands", bands},
        {"bassBoost",
         QJsonObject{{"frequency", l.bassBoost.freq}, {"width", l.bassBoost.width}, {"gain", l.bassBoost.gain}}},
        {"presets", presets}};
}

SoundRef<SoundAlgoFilter> buildEqualiser(const EqSettings& s) {
    const EqualiserLayout& l = equaliserLayout();
    auto filter = SoundRef<SoundAlgoFilter>::make();
    for (size_t i = 0; i < l.bands.size() && i < s.gains.size(); ++i)
        if (s.gains[i] != 0.0)
            filter->pushFilter(
                std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, l.bands[i].freq, l.bands[i].width, s.gains[i]));
    if (s.bassBoost && s.bassBoostGain != 0.0)
        filter->pushFilter(std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, l.bassBoost.freq,
                                                                         l.bassBoost.width, s.bassBoostGain));
    filter->setOutputGain(s.outputGain);
    return filter;
}

QString describe(const EqSettings& s) {
    const EqualiserLayout& l = equaliserLayout();
    QStringList bands;
    for (size_t i = 0; i < l.bands.size() && i < s.gains.size(); ++i)
        bands << hz(l.bands[i].freq) + ":" + signedDb(s.gains[i]);
    QString t = s.preset >= 0 ? "preset " + l.presets[size_t(s.preset)].name + ", " : QString();
    t += bands.join(' ') + " dB";
    if (s.bassBoost) t += QString(", bass boost %1 dB at %2 Hz").arg(signedDb(s.bassBoostGain)).arg(l.bassBoost.freq);
    if (s.outputGain != 0.0) t += QString(", gain %1 dB").arg(signedDb(s.outputGain));
    return t;
}

QJsonObject toJson(const EqSettings& s) {
    const EqualiserLayout& l = equaliserLayout();
    QJsonArray bands;
    for (size_t i = 0; i < l.bands.size() && i < s.gains.size(); ++i)
        bands.append(QJsonObject{{"frequency", l.bands[i].freq}, {"gain", s.gains[i]}});
    QJsonObject o{{"bands", bands},
                  {"bassBoost", s.bassBoost ? QJsonValue(s.bassBoostGain) : QJsonValue()},
                  {"gain", s.outputGain}};
    o["preset"] = s.preset >= 0 ? QJsonValue(l.presets[size_t(s.preset)].name) : QJsonValue();
    return o;
}

}  // namespace cli
