// analyse: per-band statistics, regions and the mean spectrum of recordings;
// a readable summary, or JSON, and optionally a picture.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <vector>

#include "Analysis.h"
#include "AnalysisPlot.h"
#include "Batch.h"
#include "Cli.h"
#include "Plot.h"
#include "Statistics.h"

namespace {

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

    cli::AnalysisSettings settings;
    double maxCorrection = cli::kDefaultMaxCorrection;
    if (!p.number(kThreshold, -120, 0, &settings.noiseThresholdDb) || !p.number(kMaxCorrection, 0, 40, &maxCorrection))
        return cli::UsageError;
    const bool save = !p.isSet(kNoSave);
    // Read once here, before the workers share it.
    QString catalogError;
    cli::referenceCatalog(&catalogError);
    if (!catalogError.isEmpty()) cli::printWarning(QString(), catalogError);

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
    }

    if (parseOnly) return -1;

    std::vector<cli::Analysis> results(size_t(inputs.size()));
    std::vector<char> analysed(size_t(inputs.size()), 0);
    cli::BatchEnd album;
    if (p.isSet(kAlbum))
        album = [&](QString& text, QJsonValue& json) {
            std::vector<const cli::Analysis*> tracks;
            for (size_t i = 0; i < results.size(); ++i)
                if (analysed[i]) tracks.push_back(&results[i]);
            const cli::AlbumLoudness figures = cli::albumLoudness(tracks);
            text = cli::albumSummary(figures);
            QJsonArray files;
            if (json.isArray())
                files = json.toArray();
            else
                files.append(json);
            json = QJsonObject{{"files", files}, {"album", cli::albumToJson(figures)}};
        };
    const int status = cli::runBatch("analyse", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        cli::Analysis& a = results[size_t(index)];
        if (!cli::analyseFile(input, settings, a, index)) {
            if (!cli::interrupted()) cli::printError(input, "cannot analyse", cli::lastError());
            return out;
        }
        QString why;
        if (catalogError.isEmpty() && !cli::findReference(a, QString(), maxCorrection, plotting ? 240 : 0, &why))
            cli::printWarning(input, why);
        if (save) {
            switch (cli::saveStatistics(a)) {
            case cli::SaveOutcome::Written:
                break;
            case cli::SaveOutcome::Kept:
                cli::printWarning(input, SoundStatFile::getStatFileName(input) + " exists, kept (use -y to replace it)");
                break;
            case cli::SaveOutcome::Failed:
                cli::printError(input, "cannot write the statistics file", cli::lastError());
                return out;
            }
        }
        analysed[size_t(index)] = 1;
        out.ok = true;
        out.text = cli::analysisSummary(a);
        out.json = cli::analysisToJson(a);
        return out;
    }, album);
    if (status == cli::InterruptedExit) return status;

    // Pictures are drawn here, on the main thread, which owns the fonts.
    bool plotFailed = false;
    if (plotting) {
        for (int i = 0; i < inputs.size(); ++i) {
            const cli::Analysis& a = results[size_t(i)];
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
