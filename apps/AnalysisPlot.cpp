#include "AnalysisPlot.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>

#include "JobHost.h"
#include "JobPaths.h"

namespace cli {

namespace {

using tonewright::AnalyseReport;

double floorTo(double v, double step) { return std::floor(v / step) * step; }

plot::Panel levelPanel(const AnalyseReport& a) {
    plot::Panel p;
    const double rate = a.sampleRate ? a.sampleRate : 1;
    const double length = std::max(1.0 / rate, double(a.frames) / rate);
    p.title = "Level — " + QFileInfo(pathText(a.file)).fileName();
    p.xLabel = "time (s)";
    p.yLabel = a.loudness.measured ? "RMS (dB), loudness (LUFS)" : "RMS (dB)";
    p.xMin = 0;
    p.xMax = length;
    p.weight = 1.2;

    double lowest = 0;
    plot::Series env;
    env.name = "envelope";
    env.color = plot::colors::level();
    env.width = 1.2;
    for (size_t i = 0; i < a.envelopeDb.size(); ++i) {
        env.x.push_back((double(i) + 0.5) * a.envelopeStep);
        env.y.push_back(a.envelopeDb[i]);
        if (std::isfinite(a.envelopeDb[i])) lowest = std::min(lowest, a.envelopeDb[i]);
    }
    // Short-term loudness (3 s windows), value i for the window ending at (i + 1) steps.
    plot::Series shortTerm;
    shortTerm.name = "short-term loudness";
    shortTerm.color = QColor(200, 90, 20);
    shortTerm.width = 1.6;
    for (size_t i = 0; i < a.loudness.shortTerm.size(); ++i) {
        const double v = a.loudness.shortTerm[i];
        if (!std::isfinite(v)) continue;
        shortTerm.x.push_back((double(i) + 1.0) * a.loudness.shortTermStep);
        shortTerm.y.push_back(v);
        lowest = std::min(lowest, v);
    }
    for (const tonewright::AnalyseRegion& r : a.regions) {
        if (r.noise) {
            p.spans.push_back({r.begin / rate, (r.begin + r.frames) / rate, plot::colors::noise()});
        } else {
            p.segments.push_back({r.begin / rate, (r.begin + r.frames) / rate, r.levelDb, plot::colors::region(), 2.5});
            if (std::isfinite(r.levelDb)) lowest = std::min(lowest, r.levelDb);
        }
    }
    for (const auto& s : a.slopes) p.spans.push_back({s.begin / rate, s.end / rate, plot::colors::slope()});
    p.yMax = 0;
    p.yMin = std::max(-100.0, std::min(-60.0, floorTo(lowest - 5, 10)));
    p.series.push_back(env);
    if (!shortTerm.x.empty()) p.series.push_back(shortTerm);
    p.legend.emplace_back("regions", plot::colors::region());
    p.legend.emplace_back("noise", plot::colors::noise());
    if (!a.slopes.empty()) p.legend.emplace_back("slopes", plot::colors::slope());
    if (a.signalStart >= 0)
        p.note = QString("signal %1 s – %2 s").arg(a.signalStart / rate, 0, 'f', 2).arg(a.signalEnd / rate, 0, 'f', 2);
    return p;
}

plot::Panel bandPanel(const AnalyseReport& a) {
    plot::Panel p;
    const double nyquist = a.sampleRate ? a.sampleRate / 2.0 : 22050.0;
    p.title = "Band levels";
    p.xLabel = "frequency (Hz)";
    p.yLabel = "relative level (dB)";
    p.logX = true;
    p.xMin = 20;
    p.xMax = nyquist;

    double lowest = -30;
    plot::Series bands, spectrum, reference;
    bands.name = "filter bands";
    bands.color = plot::colors::bands();
    bands.markers = true;
    spectrum.name = "spectrum";
    spectrum.color = plot::colors::spectrum();
    spectrum.markers = true;
    for (const tonewright::AnalyseBand& b : a.bands) {
        const double lo = std::max(p.xMin, b.lowHz), hi = std::min(nyquist, b.highHz);
        const double centre = std::sqrt(lo * hi);
        p.segments.push_back({lo, hi, b.relativeDb, QColor(40, 90, 170, 90), 6});
        bands.x.push_back(centre);
        bands.y.push_back(b.relativeDb);
        lowest = std::min(lowest, b.relativeDb);
        if (a.hasSpectrum) {
            spectrum.x.push_back(centre);
            spectrum.y.push_back(b.spectrumRelativeDb);
            lowest = std::min(lowest, b.spectrumRelativeDb);
        }
    }
    p.series.push_back(bands);
    if (a.hasSpectrum) p.series.push_back(spectrum);
    if (a.reference) {
        const tonewright::ReferenceMatch& m = *a.reference;
        reference.name = "reference: " + QString::fromStdString(m.name);
        reference.color = plot::colors::reference();
        reference.markers = true;
        reference.width = 2;
        // Level i of a curve belongs to band i (the band that ends at its
        // frequency i): drawn where that band's own level is.
        for (size_t i = 0; i < std::min(m.levels.size(), a.bands.size()); ++i) {
            const double lo = std::max(p.xMin, a.bands[i].lowHz), hi = std::min(nyquist, a.bands[i].highHz);
            reference.x.push_back(std::sqrt(lo * hi));
            reference.y.push_back(m.levels[i]);
            lowest = std::min(lowest, m.levels[i]);
        }
        p.series.push_back(reference);
        p.note = QString("distance %1 dB").arg(m.distanceDb, 0, 'f', 1);
    }
    p.yMin = std::max(-100.0, floorTo(lowest - 3, 10));
    p.yMax = 5;
    return p;
}

plot::Panel responsePanel(const AnalyseReport& a) {
    plot::Panel p;
    p.title = "Correction equaliser";
    p.xLabel = "frequency (Hz)";
    p.yLabel = "gain (dB)";
    p.logX = true;
    p.xMin = 20;
    p.xMax = a.sampleRate ? a.sampleRate / 2.0 : 22050.0;
    p.weight = 0.8;
    plot::Series r;
    r.name = "response";
    r.color = plot::colors::response();
    r.width = 2;
    r.x = a.reference->responseFrequencies;
    r.y = a.reference->responseDb;
    double lo = -6, hi = 6;
    for (double v : r.y)
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    p.yMin = floorTo(lo - 1, 3);
    p.yMax = -floorTo(-(hi + 1), 3);
    p.series.push_back(r);
    return p;
}

}  // namespace

plot::Figure analysisFigure(const AnalyseReport& a, int width, int height) {
    plot::Figure f(width, height);
    f.addPanel(levelPanel(a));
    if (!a.bands.empty()) f.addPanel(bandPanel(a));
    if (a.reference && !a.reference->responseFrequencies.empty()) f.addPanel(responsePanel(a));
    return f;
}

}  // namespace cli
