// analyse: per-band statistics, regions and the mean spectrum of recordings;
// a readable summary, or JSON, and optionally a picture.
#include <QDir>
#include <QFileInfo>
#include <vector>

#include "Analysis.h"
#include "AnalysisPlot.h"
#include "Batch.h"
#include "Cli.h"
#include "Plot.h"

namespace {

// ---------------------------------------------------------------- statistics file and reference
// The place for what follows the measurements once statistics files and
// reference catalogs are part of the library:
//  - store a.frequencies, a.bandStats (or a.fftStats) and a.detector in a
//    statistics file "<input base>.ssf" beside the input and set
//    a.statisticsFile to its name;
//  - find the nearest reference curve of the catalog and fill a.reference
//    (name, distance, its curve, and the correction equaliser's response for
//    the picture).
// Summary, JSON and picture already show whatever is filled in.
bool storeStatisticsAndFindReference(cli::Analysis&) { return true; }

const QCommandLineOption kThreshold("threshold", "Noise threshold in dB below the loudest region (default -40).",
                                    "dB", "-40");
const QCommandLineOption kPlot("plot", "Draw the analysis into a PNG picture (with several inputs: a folder of them).",
                               "file.png");
const QCommandLineOption kPlotSize("plot-size", "Size of the picture in pixels (default 1200x900).", "WxH", "1200x900");

int runAnalyse(const QStringList& args) {
    cli::JobParser p("analyse",
                     "Measures recordings: levels per frequency band, regions of steady loudness (noise marked), "
                     "signal start and end, and the mean spectrum.",
                     cli::JobParser::Json | cli::JobParser::Batch | cli::JobParser::Writes);
    p.addOption(kThreshold);
    p.addOption(kPlot);
    p.addOption(kPlotSize);
    p.addInputs("Recordings to analyse (wav, flac, ogg, mp3).", "files...");
    const int early = p.parse(args);
    if (early >= 0) return early;
    const QStringList inputs = p.inputs();
    if (inputs.isEmpty()) return p.usageError("no input file");

    cli::AnalysisSettings settings;
    if (!p.number(kThreshold, -120, 0, &settings.noiseThresholdDb)) return cli::UsageError;

    int width = 0, height = 0;
    const bool plotting = p.isSet(kPlot);
    std::vector<QString> plotNames(size_t(inputs.size()));
    if (plotting) {
        if (!plot::parseSize(p.value(kPlotSize), &width, &height))
            return p.usageError("--plot-size needs WIDTHxHEIGHT from 320x240 to 8000x8000");
        if (!plot::available()) return p.usageError("pictures cannot be drawn here");
        const QString target = p.value(kPlot);
        if (inputs.size() == 1) {
            plotNames[0] = target;
        } else {
            for (int i = 0; i < inputs.size(); ++i)
                plotNames[size_t(i)] = QDir(target).filePath(QFileInfo(inputs[i]).completeBaseName() + ".png");
            for (size_t i = 0; i < plotNames.size(); ++i)
                for (size_t j = 0; j < i; ++j)
                    if (plotNames[i] == plotNames[j])
                        return p.usageError("two inputs would give the same picture, " + plotNames[i]);
            if (!QDir().mkpath(target)) {
                cli::printError(target, "cannot create the folder for the pictures");
                return cli::ProcessingError;
            }
        }
        // Refused before any work is done, so that nothing is half made.
        for (const QString& name : plotNames)
            if (!cli::mayWrite(name)) {
                cli::printError(name, "cannot write the picture", cli::lastError());
                return cli::ProcessingError;
            }
    }

    std::vector<cli::Analysis> results(size_t(inputs.size()));
    std::vector<char> analysed(size_t(inputs.size()), 0);
    const int status = cli::runBatch("analyse", inputs, [&](int index, const QString& input) {
        cli::FileOutcome out;
        cli::Analysis& a = results[size_t(index)];
        if (!cli::analyseFile(input, settings, a, index)) {
            if (!cli::interrupted()) cli::printError(input, "cannot analyse", cli::lastError());
            return out;
        }
        if (!storeStatisticsAndFindReference(a)) {
            cli::printError(input, "cannot store the statistics", cli::lastError());
            return out;
        }
        analysed[size_t(index)] = 1;
        out.ok = true;
        out.text = cli::analysisSummary(a);
        out.json = cli::analysisToJson(a);
        return out;
    });
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

cli::Job analyse("analyse", "levels per band, regions, signal bounds and spectrum of recordings", runAnalyse);

}  // namespace
