// demo: the library's main jobs on one recording — generated when none is
// given — analyse, split, level and correct, saying what each step did.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QSaveFile>
#include <QSet>

#include "Analysis.h"
#include "AnalysisPlot.h"
#include "Cli.h"
#include "Plot.h"
#include "Progress.h"
#include "Statistics.h"
#include "JobHost.h"
#include "JobPaths.h"
#include "Reports.h"
#include "job_analyse.h"
#include "tonewright/Analyse.h"
#include "tonewright/Demo.h"
#include "tonewright/Split.h"

namespace {

// The folder is the demo's own once it carries this file: a later run replaces
// what an earlier one left there. Any other folder that is not empty needs -y.
const char* kMarker = ".tonewright-demo";

bool folderIsUsable(const QString& dir) {
    const QDir d(dir);
    if (!d.exists()) return QDir().mkpath(dir);
    if (d.exists(kMarker) || d.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) return true;
    return cli::options().overwrite;
}

// The marker lists the pieces the last run wrote (names relative to the
// folder), so that a later run removes those and nothing else of pieces/.
QStringList ownPieces(const QString& dir) {
    QFile marker(QDir(dir).filePath(kMarker));
    QStringList out;
    if (!marker.open(QIODevice::ReadOnly)) return out;
    for (const QString& line : QString::fromUtf8(marker.readAll()).split('\n', Qt::SkipEmptyParts))
        // Only plain names in pieces/: the marker is no list of files to remove anywhere.
        if (line.startsWith("pieces/") && !line.mid(7).contains('/') && line.size() > 7 && !line.endsWith("/.."))
            out << line;
    return out;
}

bool writeMarker(const QString& dir, const QStringList& pieces, QString* error) {
    QSaveFile marker(QDir(dir).filePath(kMarker));
    if (!marker.open(QIODevice::WriteOnly)) {
        *error = marker.errorString();
        return false;
    }
    for (const QString& piece : pieces) marker.write((piece + "\n").toUtf8());
    if (!marker.commit()) {
        *error = marker.errorString();
        return false;
    }
    return true;
}

QString indent(const QString& text) {
    QString out;
    for (const QString& line : text.split('\n'))
        if (!line.isEmpty()) out += "   " + line + "\n";
    return out;
}

const QCommandLineOption kOutDir({"o", "output-dir"}, "Folder for the results (default: tonewright-demo).", "dir",
                                 "tonewright-demo");
const QCommandLineOption kPlot("plot", "Also draw the analysis into a PNG picture.", "file.png");
const QCommandLineOption kPlotSize("plot-size", "Size of the picture in pixels (default 1200x900).", "WxH", "1200x900");

// parseOnly: read and check the command line, and stop there (Cli.h, JobInfo::parse).
int runDemo(const QStringList& args, bool parseOnly) {
    cli::JobParser p("demo",
                     "Runs the library's main jobs on a recording, or on one it generates (three tracks of "
                     "different loudness and tone, separated by silences, with a fade-out): analyse, split into "
                     "one file per track, level to -14 dB, correct towards the nearest reference curve; and says "
                     "what each step did. The output folder is the demo's own: a later run replaces what an "
                     "earlier one wrote there.",
                     cli::JobParser::Writes);
    p.addOption(kOutDir);
    p.addOption(kPlot);
    p.addOption(kPlotSize);
    p.addInputs("Recording to use (wav, flac, ogg, mp3); generated when absent.", "[input]");
    const int early = p.parse(args);
    if (early >= 0) return early;
    const QStringList inputs = p.inputs();
    if (inputs.size() > 1) return p.usageError("one input at most");
    int width = 0, height = 0;
    if (p.isSet(kPlot) && !plot::parseSize(p.value(kPlotSize), &width, &height))
        return p.usageError("--plot-size needs WIDTHxHEIGHT from 320x240 to 8000x8000");
    if (p.isSet(kPlot) && !plot::isPictureName(p.value(kPlot))) return p.usageError("the name of --plot must end in .png");
    if (parseOnly) return -1;

    const QString dir = p.value(kOutDir);
    if (!folderIsUsable(dir)) {
        cli::printError(dir, "the folder holds other files (use -y to write into it anyway)");
        return cli::ProcessingError;
    }
    const QStringList earlierPieces = ownPieces(dir);
    QString markerError;
    if (!writeMarker(dir, earlierPieces, &markerError)) {
        cli::printError(dir, "cannot write into the folder", markerError);
        return cli::ProcessingError;
    }
    // Inside its own folder the demo replaces its earlier results.
    cli::options().overwrite = true;

    QString input;
    int step = 1;
    cli::printOut(QString("tonewright demo, results in %1/\n\n").arg(dir));
    if (inputs.isEmpty()) {
        input = QDir(dir).filePath("demo-input.wav");
        tonewright::JobControl control;
        control.overwrite = true;
        const auto made = tonewright::makeDemoRecording(cli::jobPath(input), control);
        if (!made) {
            cli::printJobError(made.error());
            return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
        }
        cli::printOut(QString("%1. generate  %2\n   three tracks: warm and moderate, quiet and bright, loud and full "
                              "(fading out), with silences and faint room noise between them\n\n")
                          .arg(step++)
                          .arg(input));
    } else {
        input = inputs[0];
    }

    // The passes below share one progress bar: analysis, gaps, pieces, levelling, correction.
    cli::progress::begin("demo", 1);
    const int passes = 5;
    tonewright::AnalyseSettings analyseSettings;
    analyseSettings.input = cli::jobPath(input);
    analyseSettings.responsePoints = p.isSet(kPlot) ? 240 : 0;
    // The statistics file goes beside a generated input only: a recording of
    // the user's keeps whatever lies beside it.
    analyseSettings.save = inputs.isEmpty();
    analyseSettings.saveIsOptional = true;
    tonewright::JobControl control = cli::jobControl(0);
    control.progress = [](const tonewright::JobProgress& p) {
        cli::progress::set(0, p.fraction() / passes);
        return !cli::interrupted();
    };
    const tonewright::JobResult<tonewright::AnalyseReport> report = tonewright::analyse(analyseSettings, control);
    if (!report) {
        cli::progress::end();
        cli::printJobError(report.error());
        return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
    }
    const QString why = QString::fromStdString(report->referenceProblem);
    cli::printOut(QString("%1. analyse   levels per band, regions of steady loudness, signal bounds, nearest "
                          "reference curve\n%2\n")
                      .arg(step++)
                      .arg(indent(cli::analysisSummary(*report))));
    // The level and correct steps still take the analysis as the host's
    // internals hold it: read back from the statistics file just written, or
    // measured again for a recording of the user's.
    cli::Analysis analysis;
    QString unused;
    if (report->statisticsFile.empty() ||
        !cli::loadSavedAnalysis(input, analyseSettings.thresholdDb, true, analysis, &unused)) {
        if (!cli::analyseFile(input, cli::AnalysisSettings(), analysis, 0, 0, passes)) {
            cli::progress::end();
            cli::printError(input, "cannot analyse", cli::lastError());
            return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
        }
    }

    tonewright::SplitSettings splitSettings;
    const QString pieceTemplate = QDir(dir).filePath("pieces/" + QFileInfo(input).completeBaseName() + ".wav");
    QDir().mkpath(QFileInfo(pieceTemplate).path());
    // The pieces of an earlier run go first, so that the folder holds this
    // run's only; what else lies there is the user's and stays.
    for (const QString& piece : earlierPieces) {
        const QFileInfo old(QDir(dir).filePath(piece));
        if (old.isFile() && !old.isSymLink()) QFile::remove(old.filePath());
    }
    splitSettings.input = cli::jobPath(input);
    splitSettings.output = cli::jobPath(pieceTemplate);
    // The split's two passes are passes 1 and 2 of the demo's.
    const tonewright::JobResult<tonewright::SplitReport> pieces =
        tonewright::split(splitSettings, cli::jobControl(0, [passes](double f) { return (1 + 2 * f) / passes; }));
    if (!pieces) {
        cli::printSplitError(pieces.error(), input);
        cli::progress::end();
        return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
    }
    QStringList written;
    for (const tonewright::SplitPiece& piece : pieces->pieces)
        written << "pieces/" + QFileInfo(cli::qtext(piece.file)).fileName();
    if (!writeMarker(dir, written, &markerError)) cli::printWarning(dir, "cannot list the pieces: " + markerError);
    cli::printOut(QString("%1. split     one file per piece, cut in the middle of each silence of at least %2 s, "
                          "tags copied with the track number\n%3\n")
                      .arg(step++)
                      .arg(splitSettings.minSilence)
                      .arg(indent(cli::splitSummary(*pieces))));

    // The library's level and correct jobs find the regions and band levels
    // again (reanalyse): the statistics file saved above would be taken
    // otherwise, and the summaries would name it.
    tonewright::LevelSettings levelSettings;
    const QString levelOutput = QDir(dir).filePath(QFileInfo(input).completeBaseName() + "-levelled.wav");
    levelSettings.input = cli::jobPath(input);
    levelSettings.output = cli::jobPath(levelOutput);
    levelSettings.reanalyse = true;
    tonewright::JobResult<tonewright::LevelReport> levelled =
        tonewright::level(levelSettings, cli::jobControl(0, [](double f) { return (3.0 + f) / passes; }));
    if (!levelled) {
        cli::progress::end();
        cli::printJobError(levelled.error());
        return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
    }
    // An RMS target measures no loudness; the analysis above did.
    levelled->loudnessBefore = analysis.loudness.integrated;
    levelled->loudnessBeforeMeasured = analysis.loudness.measured;
    cli::printOut(QString("%1. level     each region brought to %2 RMS (at most +%3 dB), peaks held by the "
                          "limiter\n%4\n")
                      .arg(step++)
                      .arg(cli::formatDb(levelSettings.targetDb))
                      .arg(levelSettings.maxGainDb)
                      .arg(indent(cli::levelSummary(*levelled))));

    tonewright::CorrectSettings correctSettings;
    const QString correctOutput = QDir(dir).filePath(QFileInfo(input).completeBaseName() + "-corrected.wav");
    if (!report->reference) {
        cli::progress::end();
        cli::printOut(QString("%1. correct   skipped: %2\n\n").arg(step++).arg(why));
    } else {
        correctSettings.input = cli::jobPath(input);
        correctSettings.output = cli::jobPath(correctOutput);
        correctSettings.reference = report->reference->name;
        correctSettings.reanalyse = true;
        const tonewright::JobResult<tonewright::CorrectReport> corrected =
            tonewright::correct(correctSettings, cli::jobControl(0, [](double f) { return (4.0 + f) / passes; }));
        if (!corrected) {
            cli::progress::end();
            cli::printJobError(corrected.error());
            return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
        }
        cli::progress::end();
        cli::printOut(QString("%1. correct   the nearest reference curve's correction equaliser (cuts and a make-up "
                              "gain, no band changed by more than %2 dB), peaks held by the limiter\n%3\n")
                          .arg(step++)
                          .arg(correctSettings.maxCorrection)
                          .arg(indent(cli::correctSummary(*corrected))));
    }

    if (p.isSet(kPlot)) {
        QString error;
        if (!cli::mayWrite(p.value(kPlot)) || !cli::analysisFigure(*report, width, height).save(p.value(kPlot), &error)) {
            cli::printError(p.value(kPlot), "cannot write the picture", error.isEmpty() ? cli::lastError() : error);
            return cli::ProcessingError;
        }
        cli::printOut(QString("picture of the analysis: %1\n").arg(p.value(kPlot)));
    }
    return cli::Success;
}

cli::Job demo("demo", "analyse, split, level and correct a recording (or a generated one), saying what each step did",
              [](const QStringList& args) { return runDemo(args, false); },
              [](const QStringList& args) { return runDemo(args, true); });

}  // namespace
