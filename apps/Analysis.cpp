#include "Analysis.h"

#include <QJsonArray>
#include <QStringList>
#include <algorithm>
#include <cmath>

#include "Cli.h"
#include "Meters.h"
#include "Progress.h"
#include "tonewright/SoundAlgoStatAnalysis.h"

namespace cli {

std::vector<double> AnalysisSettings::defaultFrequencies() {
    return {250, 500, 1000, 2000, 3000, 4000, 6000, 8000, 10000};
}

namespace {

double powerDb(double meanSquare) { return meanSquare > 0 ? 10.0 * std::log10(meanSquare) : -INFINITY; }

// The stretch of sound starting at region `first` (non-noise): it runs to the
// first noise region, and past the last region to the end of the stream, as the
// multi-file writer cuts it.
Stretch stretchFrom(const std::vector<RMSStepDetector::Region>& regions, size_t first, int64_t frames, size_t* next) {
    Stretch s;
    s.begin = regions[first].BeginSample;
    double sum0 = 0, sum1 = 0, weight = 0;
    size_t i = first;
    for (; i < regions.size() && !regions[i].IsNoise; ++i) {
        const RMSStepDetector::Region& r = regions[i];
        sum0 += r.RMSSqrValue0 * r.SampleNb;
        sum1 += r.RMSSqrValue1 * r.SampleNb;
        weight += r.SampleNb;
    }
    const RMSStepDetector::Region& last = regions[i - 1];
    int64_t end = int64_t(last.BeginSample) + last.SampleNb;
    if (i == regions.size() && frames > end) end = frames;
    if (frames > 0) end = std::min(end, frames);
    s.frames = std::max<int64_t>(0, end - s.begin);
    s.levelDb = weight > 0 ? powerDb(std::max(sum0, sum1) / weight) : -INFINITY;
    *next = i;
    return s;
}

}  // namespace

void readRegions(RMSStepDetector& detector, unsigned rate, int64_t frames, Analysis& out) {
    const std::vector<RMSStepDetector::Region> regions = detector.getRegions(false);
    out.regions.clear();
    out.stretches.clear();
    out.slopes.clear();
    for (const RMSStepDetector::Region& r : regions) {
        // The detector closes its list with a one-sample marker at the end of the stream.
        if (frames > 0 && r.BeginSample >= frames) continue;
        RegionResult rr;
        rr.begin = r.BeginSample;
        rr.frames = frames > 0 ? std::min<int64_t>(r.SampleNb, frames - r.BeginSample) : r.SampleNb;
        rr.levelDb = powerDb(r.level());
        rr.leftDb = powerDb(r.RMSSqrValue0);
        rr.rightDb = powerDb(r.RMSSqrValue1);
        rr.noise = r.IsNoise;
        out.regions.push_back(rr);
    }
    for (size_t i = 0; i < regions.size();) {
        if (regions[i].IsNoise || (frames > 0 && regions[i].BeginSample >= frames)) {
            ++i;
            continue;
        }
        out.stretches.push_back(stretchFrom(regions, i, frames, &i));
    }
    for (const SoundRMSSlopeDetector::Region& s : detector.getSlopes()) out.slopes.emplace_back(s.begin, s.end);
    const int start = detector.getSignalStart(0.0);
    const int end = detector.getSignalEnd(0.0);
    const bool any = std::any_of(regions.begin(), regions.end(), [](const RMSStepDetector::Region& r) { return !r.IsNoise; });
    out.signalStart = any ? start : -1;
    out.signalEnd = any ? std::min<int64_t>(end, frames > 0 ? frames - 1 : end) : -1;
    (void)rate;
}

std::vector<Stretch> longStretches(const Analysis& a, double minSeconds) {
    std::vector<Stretch> out;
    for (const Stretch& s : a.stretches)
        if (a.rate > 0 && double(s.frames) / a.rate >= minSeconds) out.push_back(s);
    return out;
}

void fillBandLevels(Analysis& out) {
    out.bands.clear();
    double loudest = -100.0;
    for (size_t i = 0; i < out.bandStats.size(); ++i) {
        SoundAlgoStats& stats = *out.bandStats[i];
        BandResult b;
        b.low = i == 0 ? 0.0 : out.frequencies[i - 1];
        b.high = i < out.frequencies.size() ? out.frequencies[i] : out.rate / 2.0;
        b.rmsDb = stats.getTotalCount() ? stats.getFullRMS() : -INFINITY;
        SoundTools::StereoFrame<double> max(-100.0, -100.0);
        stats.getMax(max);
        b.peakDb = std::max(max.l, max.r);
        loudest = std::max(loudest, b.rmsDb);
        out.bands.push_back(b);
    }
    // Relative to the loudest band, as statistics files give them.
    for (BandResult& b : out.bands) b.relativeDb = std::isfinite(b.rmsDb) ? b.rmsDb - loudest : -100.0 - loudest;
    out.hasFft = false;
    if (out.fftStats && out.fftStats->getCount() > 0 && !out.bands.empty()) {
        const std::vector<double> levels = out.fftStats->getStats(out.frequencies);
        if (levels.size() == out.bands.size()) {
            for (size_t i = 0; i < levels.size(); ++i) out.bands[i].fftRelativeDb = levels[i];
            out.hasFft = true;
        }
    }
}

void readLoudness(const SoundAlgoLoudness& l, Analysis& a) {
    LoudnessResult& r = a.loudness;
    r.measured = true;
    r.tooShort = l.isTooShort();
    r.integrated = l.getIntegrated();
    r.range = l.getRange();
    r.maxMomentary = l.getMaxMomentary();
    r.maxShortTerm = l.getMaxShortTerm();
    r.truePeak = l.getTruePeak();
    r.truePeakLeft = l.getTruePeak(0);
    r.truePeakRight = l.getTruePeak(1);
    r.samplePeak = l.getSamplePeak();
    r.shortTerm = l.getShortTerm();
    r.shortTermStep = l.getShortTermStep();
}

AlbumLoudness albumLoudness(const std::vector<const Analysis*>& tracks) {
    AlbumLoudness album;
    std::vector<SoundAlgoLoudness*> measured;
    for (const Analysis* a : tracks)
        if (a && a->loudnessAlgo) measured.push_back(a->loudnessAlgo.get());
    album.tracks = int(measured.size());
    album.integrated = SoundAlgoLoudness::albumLoudness(measured);
    album.range = SoundAlgoLoudness::albumRange(measured);
    album.truePeak = SoundAlgoLoudness::albumTruePeak(measured);
    return album;
}

bool analyseFile(const QString& path, const AnalysisSettings& settings, Analysis& out, int fileIndex, int pass,
                 int passes) {
    std::unique_ptr<SoundReader> reader = openReader(path);
    if (!reader) return false;
    out.file = path;
    out.rate = reader->getSampleRate();
    out.frames = reader->getFrameNB();
    out.length = formatTime(reader->getLength());

    SoundAlgoStatAnalysis::Settings s;
    s.frequencies = settings.frequencies;
    s.splitter = settings.splitter;
    s.bandStats = settings.bands;
    s.stepDetector = true;
    s.noiseThresholdDb = settings.noiseThresholdDb;
    s.rmsTime = settings.rmsTime;
    s.minSlopeTime = settings.minSlopeTime;
    s.fftStats = settings.fft;
    s.fftSize = settings.fftSize;
    s.loudness = settings.loudness;
    s.parallelBranches = settings.parallelBranches;
    std::vector<SoundAlgo*> extra;
    SoundRef<LevelMeter> meter;
    if (settings.envelope) {
        meter = SoundRef<LevelMeter>::make(settings.envelopeStep);
        extra.push_back(SoundRef<LevelMeter>::share(meter.get()).release());
    }
    auto analysis = SoundRef<SoundAlgoStatAnalysis>::make(s, extra);

    SoundTools::Status status;
    {
        PassWatch watch(*analysis, fileIndex, pass, passes);
        status = analysis->processAll(*reader, nullptr);
    }
    if (status == SoundTools::Interrupted) {
        SoundDebuggableClass::setError("interrupted");
        return false;
    }
    if (status != SoundTools::Ok) return false;

    out.frequencies = settings.frequencies;
    out.detector = SoundRef<RMSStepDetector>::share(analysis->getStepDetector());
    out.bandStats.clear();
    for (SoundAlgoStats* b : analysis->getBandStats()) out.bandStats.push_back(SoundRef<SoundAlgoStats>::share(b));
    if (analysis->getFFTStats()) out.fftStats = SoundRef<SoundAlgoFFTStats>::share(analysis->getFFTStats());
    fillBandLevels(out);
    if (meter) {
        out.rmsDb = meter->rmsDb();
        out.leftRmsDb = meter->rmsDb(0);
        out.rightRmsDb = meter->rmsDb(1);
        out.peakDb = meter->peakDb();
        out.leftPeakDb = meter->peakDb(0);
        out.rightPeakDb = meter->peakDb(1);
        out.envelopeDb = meter->envelopeDb();
        out.envelopeStep = meter->envelopeStep();
    }
    if (analysis->getLoudness()) {
        out.loudnessAlgo = SoundRef<SoundAlgoLoudness>::share(analysis->getLoudness());
        readLoudness(*out.loudnessAlgo, out);
    }
    readRegions(*out.detector, out.rate, out.frames, out);
    return true;
}

// ---------------------------------------------------------------- JSON
namespace {
double seconds(int64_t frames, unsigned rate) { return rate ? roundSeconds(double(frames) / rate) : 0.0; }
// Loudness figures: null where there is none (silence, too short).
QJsonValue lufs(double v) { return std::isfinite(v) ? QJsonValue(std::round(v * 100.0) / 100.0) : QJsonValue(); }
}  // namespace

QJsonObject albumToJson(const AlbumLoudness& a) {
    return QJsonObject{{"tracks", a.tracks},
                       {"integrated", lufs(a.integrated)},
                       {"range", lufs(a.range)},
                       {"truePeak", lufs(a.truePeak)}};
}

QString formatLoudness(double v, const char* unit) {
    return (std::isfinite(v) ? QString::number(v, 'f', 1) : QString("-inf")) + " " + unit;
}

QString albumSummary(const AlbumLoudness& a) {
    return QString("album (%1 tracks)\n  loudness  %2, range %3, true peak %4\n")
        .arg(a.tracks)
        .arg(formatLoudness(a.integrated, "LUFS"), formatLoudness(a.range, "LU"), formatLoudness(a.truePeak, "dBTP"));
}

QJsonObject analysisToJson(const Analysis& a) {
    QJsonObject o;
    o["file"] = a.file;
    o["sampleRate"] = int(a.rate);
    o["frames"] = double(a.frames);
    o["seconds"] = seconds(a.frames, a.rate);
    o["length"] = a.length;
    if (std::isfinite(a.peakDb) || a.frames > 0) {
        QJsonObject level;
        level["rms"] = roundDb(a.rmsDb);
        level["rmsLeft"] = roundDb(a.leftRmsDb);
        level["rmsRight"] = roundDb(a.rightRmsDb);
        level["peak"] = roundDb(a.peakDb);
        level["peakLeft"] = roundDb(a.leftPeakDb);
        level["peakRight"] = roundDb(a.rightPeakDb);
        o["level"] = level;
    }
    if (a.loudness.measured) {
        const LoudnessResult& l = a.loudness;
        QJsonArray shortTerm;
        for (double v : l.shortTerm) shortTerm.append(lufs(v));
        o["loudness"] = QJsonObject{{"integrated", lufs(l.integrated)},
                                    {"tooShort", l.tooShort},
                                    {"range", lufs(l.range)},
                                    {"maxMomentary", lufs(l.maxMomentary)},
                                    {"maxShortTerm", lufs(l.maxShortTerm)},
                                    {"truePeak", lufs(l.truePeak)},
                                    {"truePeakLeft", lufs(l.truePeakLeft)},
                                    {"truePeakRight", lufs(l.truePeakRight)},
                                    {"samplePeak", lufs(l.samplePeak)},
                                    {"shortTermStep", l.shortTermStep},
                                    {"shortTerm", shortTerm}};
    }
    QJsonArray freqs;
    for (double f : a.frequencies) freqs.append(f);
    o["frequencies"] = freqs;
    QJsonArray bands;
    for (const BandResult& b : a.bands) {
        QJsonObject j;
        j["low"] = b.low;
        j["high"] = b.high;
        j["rms"] = roundDb(b.rmsDb);
        j["peak"] = roundDb(b.peakDb);
        j["relative"] = roundDb(b.relativeDb);
        if (a.hasFft) j["fftRelative"] = roundDb(b.fftRelativeDb);
        bands.append(j);
    }
    o["bands"] = bands;
    QJsonArray regions;
    for (const RegionResult& r : a.regions) {
        QJsonObject j;
        j["start"] = seconds(r.begin, a.rate);
        j["length"] = seconds(r.frames, a.rate);
        j["level"] = roundDb(r.levelDb);
        j["levelLeft"] = roundDb(r.leftDb);
        j["levelRight"] = roundDb(r.rightDb);
        j["noise"] = r.noise;
        regions.append(j);
    }
    o["regions"] = regions;
    QJsonArray slopes;
    for (const auto& s : a.slopes) {
        QJsonObject j;
        j["start"] = seconds(s.first, a.rate);
        j["end"] = seconds(s.second, a.rate);
        slopes.append(j);
    }
    o["slopes"] = slopes;
    QJsonArray stretches;
    for (const Stretch& s : a.stretches) {
        QJsonObject j;
        j["start"] = seconds(s.begin, a.rate);
        j["length"] = seconds(s.frames, a.rate);
        j["level"] = roundDb(s.levelDb);
        stretches.append(j);
    }
    o["stretches"] = stretches;
    o["signalStart"] = a.signalStart >= 0 ? QJsonValue(seconds(a.signalStart, a.rate)) : QJsonValue();
    o["signalEnd"] = a.signalEnd >= 0 ? QJsonValue(seconds(a.signalEnd, a.rate)) : QJsonValue();
    if (a.reference.isEmpty()) {
        o["reference"] = QJsonValue();
    } else {
        QJsonObject r;
        r["name"] = a.reference.name;
        r["distance"] = roundDb(a.reference.distance);
        QJsonArray levels, corrections;
        for (double v : a.reference.levels) levels.append(roundDb(v));
        for (double v : a.reference.corrections) corrections.append(roundDb(v));
        r["levels"] = levels;
        r["corrections"] = corrections;
        r["makeUpGain"] = roundDb(a.reference.makeUpDb);
        QJsonArray changes;
        for (double v : a.reference.changes) changes.append(roundDb(v));
        r["changes"] = changes;
        o["reference"] = r;
    }
    o["statisticsFile"] = a.statisticsFile.isEmpty() ? QJsonValue() : QJsonValue(a.statisticsFile);
    return o;
}

// ---------------------------------------------------------------- text
namespace {
QString hz(double f) {
    return f >= 1000 ? QString::number(f / 1000.0, 'g', 4) + "k" : QString::number(f, 'f', 0);
}
QString dbCell(double db, int width) {
    QString t = std::isfinite(db) && db > -100.0 ? QString::number(db, 'f', 1) : QString("-inf");
    return QString("%1 dB").arg(t, width);
}
}  // namespace

QString analysisSummary(const Analysis& a) {
    const double rate = a.rate ? a.rate : 1;
    QString t = a.file + "\n";
    t += QString("  length    %1, %2 Hz\n").arg(a.length).arg(a.rate);
    if (a.frames > 0 && !a.envelopeDb.empty())
        t += QString("  level     RMS %1 (left %2, right %3), peak %4\n")
                 .arg(formatDb(a.rmsDb), formatDb(a.leftRmsDb), formatDb(a.rightRmsDb), formatDb(a.peakDb));
    if (a.loudness.measured) {
        const LoudnessResult& l = a.loudness;
        if (l.tooShort)
            t += "  loudness  none: shorter than one 400 ms gating block";
        else if (!std::isfinite(l.integrated))
            t += "  loudness  -inf LUFS (silence)";
        else
            t += QString("  loudness  %1, range %2").arg(formatLoudness(l.integrated, "LUFS"), formatLoudness(l.range, "LU"));
        t += QString(", true peak %1 (max momentary %2, short-term %3)\n")
                 .arg(formatLoudness(l.truePeak, "dBTP"), formatLoudness(l.maxMomentary, "LUFS"),
                      formatLoudness(l.maxShortTerm, "LUFS"));
    }
    if (!a.bands.empty()) {
        t += QString("  bands     %1  %2  %3%4\n")
                 .arg("Hz", -13)
                 .arg("RMS", 9)
                 .arg("relative", 9)
                 .arg(a.hasFft ? QString("  %1").arg("spectrum", 9) : QString());
        for (const BandResult& b : a.bands) {
            t += QString("            %1  %2  %3%4\n")
                     .arg(hz(b.low) + "-" + hz(b.high), -13)
                     .arg(dbCell(b.rmsDb, 6))
                     .arg(dbCell(b.relativeDb, 6))
                     .arg(a.hasFft ? "  " + dbCell(b.fftRelativeDb, 6) : QString());
        }
    }
    const int noise = int(std::count_if(a.regions.begin(), a.regions.end(), [](const RegionResult& r) { return r.noise; }));
    t += QString("  regions   %1 (%2 noise, marked [ ]); %3 stretch%4 of sound\n")
             .arg(a.regions.size())
             .arg(noise)
             .arg(a.stretches.size())
             .arg(a.stretches.size() == 1 ? "" : "es");
    for (const RegionResult& r : a.regions) {
        const QString line = QString("%1  %2  %3").arg(formatTime(r.begin / rate), formatTime(r.frames / rate),
                                                        dbCell(r.levelDb, 6));
        t += r.noise ? QString("           [%1]\n").arg(line) : QString("            %1\n").arg(line);
    }
    if (!a.slopes.empty()) {
        t += QString("  slopes   ");
        for (const auto& s : a.slopes) t += QString(" %1-%2").arg(formatTime(s.first / rate), formatTime(s.second / rate));
        t += "\n";
    }
    if (a.signalStart >= 0)
        t += QString("  signal    starts %1, ends %2\n").arg(formatTime(a.signalStart / rate), formatTime(a.signalEnd / rate));
    else
        t += "  signal    none (everything is below the noise threshold)\n";
    if (!a.reference.isEmpty()) {
        t += QString("  reference %1, distance %2\n").arg(a.reference.name).arg(formatDb(a.reference.distance));
        if (!a.reference.corrections.empty()) {
            // Correction i is the gain of the band that ends at the curve's frequency i.
            QStringList gains, ends;
            for (double c : a.reference.corrections) gains << QString::number(std::fabs(c) < 0.05 ? 0.0 : c, 'f', 1);
            for (size_t i = 0; i < a.reference.corrections.size() && i < a.reference.frequencies.size(); ++i)
                ends << hz(a.reference.frequencies[i]);
            t += QString("  correction %1 dB (bands up to %2 Hz), make-up %3 dB\n")
                     .arg(gains.join(' '), ends.join(' '), QString::number(a.reference.makeUpDb, 'f', 1));
        }
    }
    if (!a.statisticsFile.isEmpty()) t += QString("  saved     %1\n").arg(a.statisticsFile);
    return t;
}

}  // namespace cli
