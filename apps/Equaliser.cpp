#include "Equaliser.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "Cli.h"

namespace cli {

namespace {

QString hz(double f) { return f >= 1000 ? QString::number(f / 1000.0, 'g', 4) + "k" : QString::number(f, 'g', 4); }

QString signedDb(double db) { return (db >= 0 ? "+" : "") + QString::number(db, 'f', 1); }

QJsonObject parsed(const std::string& json) { return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object(); }

}  // namespace

void EqOptions::addTo(JobParser& p) const {
    for (const QCommandLineOption& o : {preset, band, bassBoost, bassBoostGain, listPresets}) p.addOption(o);
}

bool EqOptions::read(const JobParser& p, tonewright::EqSettings& s) const {
    const tonewright::EqualiserLayout& l = tonewright::equaliserLayout();
    s.gains.assign(l.bands.size(), 0.0);
    s.bassBoostGain = l.bassBoost.gain;
    s.preset.clear();
    if (p.isSet(preset)) {
        const QString name = p.value(preset);
        const int index = tonewright::findEqPreset(name.toStdString());
        if (index < 0) {
            p.usageError(QString("no equaliser preset '%1' (see --list-presets)").arg(name));
            return false;
        }
        s.preset = l.presets[size_t(index)].name;
        const std::vector<double>& levels = l.presets[size_t(index)].levels;
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
                if (std::fabs(l.bands[i].frequency - v) < 0.5) index = int(i);
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
    const tonewright::EqualiserLayout& l = tonewright::equaliserLayout();
    // Every band's column as wide as its widest cell, numbers to the right.
    std::vector<int> widths;
    for (const tonewright::EqBand& b : l.bands) widths.push_back(hz(b.frequency).size());
    int nameWidth = 0;
    for (const tonewright::EqPreset& p : l.presets) {
        nameWidth = std::max(nameWidth, int(QString::fromStdString(p.name).size()));
        for (size_t k = 0; k < p.levels.size() && k < widths.size(); ++k)
            widths[k] = std::max(widths[k], int(QString::number(p.levels[k]).size()));
    }
    auto row = [&](const QString& head, const std::function<QString(size_t)>& cell) {
        QString t = head;
        for (size_t k = 0; k < widths.size(); ++k) t += " " + QString("%1").arg(cell(k), widths[k]);
        return t;
    };
    QString t = row(QString(4 + nameWidth, ' '), [&](size_t k) { return hz(l.bands[k].frequency); }) + " Hz\n";
    for (size_t i = 0; i < l.presets.size(); ++i) {
        const tonewright::EqPreset& p = l.presets[i];
        const QString head = QString("%1 %2").arg(i, 2).arg(QString::fromStdString(p.name), -(nameWidth + 1));
        t += row(head, [&](size_t k) { return k < p.levels.size() ? QString::number(p.levels[k]) : QString(); }) +
             " dB\n";
    }
    t += QString("bass boost: %1 dB at %2 Hz, %3 octave wide\n")
             .arg(l.bassBoost.gain)
             .arg(l.bassBoost.frequency)
             .arg(l.bassBoost.width);
    return t;
}

void printPresetList() {
    if (options().json)
        printJson(parsed(tonewright::toJson(tonewright::equaliserLayout())));
    else
        printOut(presetList());
}

QString describe(const tonewright::EqSettings& s) {
    const tonewright::EqualiserLayout& l = tonewright::equaliserLayout();
    QStringList bands;
    for (size_t i = 0; i < l.bands.size() && i < s.gains.size(); ++i)
        bands << hz(l.bands[i].frequency) + ":" + signedDb(s.gains[i]);
    QString t = !s.preset.empty() ? "preset " + QString::fromStdString(s.preset) + ", " : QString();
    t += bands.join(' ') + " dB";
    if (s.bassBoost)
        t += QString(", bass boost %1 dB at %2 Hz").arg(signedDb(s.bassBoostGain)).arg(l.bassBoost.frequency);
    if (s.outputGain != 0.0) t += QString(", gain %1 dB").arg(signedDb(s.outputGain));
    return t;
}

QJsonObject equaliserJson(const tonewright::EqSettings& s) { return parsed(tonewright::equaliserJson(s)); }

}  // namespace cli
