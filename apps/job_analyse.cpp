// analyse: per-band statistics, regions and the mean spectrum of recordings;
// a readable summary, or JSON, and optionally a picture.
#include "job_analyse.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <vector>

#include "AnalysisPlot.h"
#include "Batch.h"
#include "Cli.h"
#include "JobHost.h"
#include "JobPaths.h"
#include "Plot.h"

namespace cli {

namespace {
QString hz(double f) {
    return f >= 1000 ? QString::number(f / 1000.0, 'g', 4) + "k" : QString::number(f, 'f', 0);
}
QString dbCell(double db, int width) {
    QString t = std::isfinite(db) && db > -100.0 ? QString::number(db, 'f', 1) : QString("-inf");
    return QString("%1 dB").arg(t, width);
}
}  // namespace

QString albumSummary(const tonewright::AlbumLoudness& a) {
    return QString("album (%1 tracks)\n  loudness  %2, range %3, true peak %4\n")
        .arg(a.tracks)
        .arg(formatLoudness(a.integrated, "LUFS"), formatLoudness(a.range, "LU"), formatLoudness(a.truePeak, "dBTP"));
}

QString analysisSummary(const tonewright::AnalyseReport& a) {
    const double rate = a.sampleRate ? a.sampleRate : 1;
    QString t = pathText(a.file) + "\n";
    t += QString("  length    %1, %2 Hz\n").arg(QString::fromStdString(a.length)).arg(a.sampleRate);
    if (a.frames > 0 && !a.envelopeDb.empty())
        t += QString("  level     RMS %1 (left %2, right %3), peak %4\n")
                 .arg(formatDb(a.rmsDb), formatDb(a.rmsLeftDb), formatDb(a.rmsRightDb), formatDb(a.peakDb));
    if (a.loudness.measured) {
        const tonewright::LoudnessFigures& l = a.loudness;
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
                 .arg(a.hasSpectrum ? QString("  %1").arg("spectrum", 9) : QString());
        for (const tonewright::AnalyseBand& b : a.bands) {
            t += QString("            %1  %2  %3%4\n")
                     .arg(hz(b.lowHz) + "-" + hz(b.highHz), -13)
                     .arg(dbCell(b.rmsDb, 6))
                     .arg(dbCell(b.relativeDb, 6))
                     .arg(a.hasSpectrum ? "  " + dbCell(b.spectrumRelativeDb, 6) : QString());
        }
    }
    const int noise = int(std::count_if(a.regions.begin(), a.regions.end(),
                                        [](const tonewright::AnalyseRegion& r) { return r.noise; }));
    t += QString("  regions   %1 (%2 noise, marked [ ]); %3 stretch%4 of sound\n")
             .arg(a.regions.size())
             .arg(noise)
             .arg(a.stretches.size())
             .arg(a.stretches.size() == 1 ? "" : "es");
    // A long album has hundreds of regions: past a screenful, the range of their
    // levels and lengths stands for them (--json gives every one).
    constexpr size_t kListed = 12;
    if (a.regions.size() <= kListed) {
        for (const tonewright::AnalyseRegion& r : a.regions) {
            const QString line = QString("%1  %2  %3").arg(formatTime(r.begin / rate), formatTime(r.frames / rate),
                                                            dbCell(r.levelDb, 6));
            t += r.noise ? QString("           [%1]\n").arg(line) : QString("            %1\n").arg(line);
        }
    } else {
        std::vector<double> levels, seconds;
        for (const tonewright::AnalyseRegion& r : a.regions) {
            if (!r.noise) levels.push_back(r.levelDb);
            seconds.push_back(r.frames / rate);
        }
        auto range = [](std::vector<double> v, auto cell) {
            if (v.empty()) return QString("none");
            std::sort(v.begin(), v.end());
            return QString("%1 to %2 (median %3)").arg(cell(v.front()), cell(v.back()), cell(v[v.size() / 2]));
        };
        t += QString("            levels of sound %1\n").arg(range(levels, [](double db) { return dbCell(db, 0); }));
        t += QString("            lengths %1; every region with --json\n")
                 .arg(range(seconds, [](double s) { return QString::number(s, 'f', 1) + " s"; }));
    }
    if (a.slopes.size() > kListed) {
        t += QString("  slopes    %1; every one with --json\n").arg(a.slopes.size());
    } else if (!a.slopes.empty()) {
        t += QString("  slopes   ");
        for (const tonewright::AnalyseSlope& s : a.slopes)
            t += QString(" %1-%2").arg(formatTime(s.begin / rate), formatTime(s.end / rate));
        t += "\n";
    }
    if (a.signalStart >= 0)
        t += QString("  signal    starts %1, ends %2\n").arg(formatTime(a.signalStart / rate), formatTime(a.signalEnd / rate));
    else
        t += "  signal    none (everything is below the noise threshold)\n";
    if (a.reference) {
        const tonewright::ReferenceMatch& m = *a.reference;
        t += QString("  reference %1, distance %2\n").arg(QString::fromStdString(m.name)).arg(formatDb(m.distanceDb));
        if (!m.corrections.empty()) {
            // Correction i is the gain of the band that ends at the curve's frequency i.
            QStringList gains, ends;
            for (double c : m.corrections) gains << QString::number(std::fabs(c) < 0.05 ? 0.0 : c, 'f', 1);
            for (size_t i = 0; i < m.corrections.size() && i < m.frequencies.size(); ++i) ends << hz(m.frequencies[i]);
            t += QString("  correction %1 dB (bands up to %2 Hz), make-up %3 dB\n")
                     .arg(gains.join(' '), ends.join(' '), QString::number(m.makeUpDb, 'f', 1));
        }
    }
    if (!a.statisticsFile.empty())
        t += QString("  %1 %2\n").arg(a.statisticsReused ? "from     " : "saved    ", pathText(a.statisticsFile));
    return t;
}

}  // namespace cli

namespace {

QJsonObject jsonObject(const std::string& text) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

const QCommandLineOption kNoSave("no-save", "Do not write the statistics file beside the input.");
const QCommandLineOption kMaxCorrection("max-correction",
                                        "Largest change per band of the correction equaliser, make-up gain included, in dB "
                                        "(default 12).", "dB",
                                        "12");

const QCommandLineOption kThreshold("threshold", "Noise threshold in dB below the loudest region (default -40).",
                                    "dB", "-40");
const QCommandLineOption kPlot("plot", "Draw the analysis into a PNG picture (with several inputs: a folder of them).",
                               "file.png");
const QCommandLineOption kAlbum("album", "Also give the loudness, loudness range and true peak of all inputs "
                                          "together, as one album.");
const QCommandLineOption kPlotSize("plot-size", "Size of the picture in pixels (default 1200x900).", "WxH", "1200x900");

// parseOnly: read and check the command line, and stop there (Cli.h, JobInfo::parse).
int runAnalyse(const QStringList& args, bool parseOnly) {
    cli::JobParser p("analyse",
                     "Measures recordings: loudness (LUFS), loudness range and true peak, levels per frequency band, "
                     "regions of steady loudness (noise marked), signal start and end, and the mean spectrum; finds the nearest reference curve and the "
                     "correction towards it, and saves the statistics beside each input (<name>.ssf).",
                     cli::JobParser::Json | cli::JobParser::Batch | cli::JobParser::Writes);
    p.addOption(kThreshold);
    p.addOption(kPlot);
    p.addOption(kPlotSize);
    p.addOption(kNoSave);
    p.addOption(kMaxCorrection);
    p.addOption(kAlbum);
    p.addInputs("Recordings to analyse (wav, flac, ogg, mp3).", "files...");
    const int early = p.parse(args);
    if (early >= 0) return early;
    const QStringList inputs = p.inputs();
    if (inputs.isEmpty()) return p.usageError("no input file");

    tonewright::AnalyseSettings settings;
    if (!p.number(kThreshold, -120, 0, &settings.thresholdDb) || !p.number(kMaxCorrection, 0, 40, &settings.maxCorrection))
        return cli::UsageError;
    settings.save = !p.isSet(kNoSave);
    // A statistics file that cannot be written leaves the analysis shown, and the exit code 1.
    settings.saveIsOptional = true;
    // Said once here rather than by every file.
    const QString catalogError = QString::fromStdString(tonewright::referenceCatalogProblem());
    if (!catalogError.isEmpty()) cli::printWarning(QString(), catalogError);
    settings.reference = catalogError.isEmpty();

    int width = 0, height = 0;
    const bool plotting = p.isSet(kPlot);
    std::vector<QString> plotNames(size_t(inputs.size()));
    if (plotting) {
        if (!plot::parseSize(p.value(kPlotSize), &width, &height))
            return p.usageError("--plot-size needs WIDTHxHEIGHT from 320x240 to 8000x8000");
        if (!plot::available()) return p.usageError("pictures cannot be drawn here");
        const QString target = p.value(kPlot);
        if (inputs.size() == 1) {
            if (!plot::isPictureName(target)) return p.usageError("the name of --plot must end in .png");
            plotNames[0] = target;
        } else {
            // A folder is a name that is one, or ends in '/'; it is made when
            // the first picture goes into it.
            if (!QFileInfo(target).isDir() && !target.endsWith('/'))
                return p.usageError("with several inputs, --plot must be a folder (an existing one, or a name ending "
                                    "in '/')");
            for (int i = 0; i < inputs.size(); ++i)
                plotNames[size_t(i)] = QDir(target).filePath(QFileInfo(inputs[i]).completeBaseName() + ".png");
            const QString repeated = cli::firstRepeatedName(plotNames);
            if (!repeated.isEmpty()) return p.usageError("two inputs would give the same picture, " + repeated);
        }
        // Refused before any work is done, so that nothing is half made.
        for (const QString& name : plotNames)
            if (!cli::mayWrite(name)) {
                cli::printError(name, "cannot write the picture", cli::lastError());
                return cli::ProcessingError;
            }
        settings.responsePoints = 240;
    }

    if (parseOnly) return -1;

    std::vector<tonewright::AnalyseReport> results(size_t(inputs.size()));
    std::vector<char> analysed(size_t(inputs.size()), 0);
    cli::BatchEnd album;
    if (p.isSet(kAlbum))
        album = [&](QString& text, QJsonValue& json) {
            std::vector<const tonewright::AnalyseReport*> tracks;
            for (size_t i = 0; i < results.size(); ++i)
                if (analysed[i]) tracks.push_back(&results[i]);
            const tonewright::AlbumLoudness figures = tonewright::albumLoudness(tracks);
            text = cli::albumSummary(figures);
            QJsonArray files;
            if (json.isArray())
                files = json.toArray();
            else
                files.append(json);
            json = QJsonObject{{"files", files}, {"album", jsonObject(tonewright::toJson(figures))}};
        };
    const int status = cli::runBatch("analyse", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        tonewright::AnalyseSettings s = settings;
        s.input = cli::jobPath(input);
        tonewright::JobResult<tonewright::AnalyseReport> r =
            tonewright::analyse(s, cli::jobControl(index));
        if (!r) {
            cli::printJobError(r.error());
            return out;
        }
        results[size_t(index)] = std::move(*r);
        const tonewright::AnalyseReport& a = results[size_t(index)];
        analysed[size_t(index)] = 1;
        out.ok = true;
        out.partlyFailed = !a.statisticsError.empty();
        out.text = cli::analysisSummary(a);
        out.json = jsonObject(tonewright::toJson(a));
        return out;
    }, album);
    if (status == cli::InterruptedExit) return status;

    // Pictures are drawn here, on the main thread, which owns the fonts.
    bool plotFailed = false;
    if (plotting) {
        for (int i = 0; i < inputs.size(); ++i) {
            const tonewright::AnalyseReport& a = results[size_t(i)];
            if (!analysed[size_t(i)]) continue;
            QString error;
            if (!cli::analysisFigure(a, width, height).save(plotNames[size_t(i)], &error)) {
                cli::printError(plotNames[size_t(i)], "cannot write the picture", error);
                plotFailed = true;
            }
        }
    }
    return plotFailed ? cli::ProcessingError : status;
}

cli::Job analyse("analyse", "loudness, true peak, levels per band, regions, signal bounds and spectrum of recordings",
                 [](const QStringList& args) { return runAnalyse(args, false); },
                 [](const QStringList& args) { return runAnalyse(args, true); });

}  // namespace
