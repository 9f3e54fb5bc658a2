// demo: the library's main jobs on one recording — generated when none is
// given — analyse, split, level and correct, saying what each step did.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <cstdint>

#include "Analysis.h"
#include "AnalysisPlot.h"
#include "Cli.h"
#include "tonewright/SoundOutputFile.h"
#include "Plot.h"
#include "Progress.h"
#include "Statistics.h"
#include "JobHost.h"
#include "JobPaths.h"
#include "Reports.h"
#include "job_split.h"
#include "tonewright/SoundAlgoElementary.h"

namespace {

// Three tracks of different loudness and spectral balance, separated by
// silences, the last one fading out; synthesised as it is read.
//   0-1 s silence | 1-11 s warm and moderate (about -17 dB, bass-heavy)
//   | 11-15 s silence | 15-25 s quiet and bright (about -35 dB, high partials
//   and hiss) | 25-29 s faint room noise | 29-43 s loud and full (about -15 dB,
//   fading out over its last 5 s) | 43-44 s silence
// The gaps last long enough for the region detector to keep them apart from
// the tracks (a boundary of 5 dB or more needs 2 s on either side).
class DemoRecording : public SoundReader {
public:
    static constexpr unsigned kRate = 44100;
    static constexpr double kSeconds = 44.0;

    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return unsigned(kSeconds * kRate); }
    unsigned getSampleRate() const override { return kRate; }
    void rewind() override {
        mPos = 0;
        mSeed = 12345;
        mPink[0] = mPink[1] = mPink[2] = 0;
        resetAtEnd();
    }
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Pcm16; }
    bool getTags(SoundIDTag& tag) override {
        tag.title = "Demonstration";
        tag.artist = "tonewright";
        tag.album = "Generated recording";
        return true;
    }

protected:
    unsigned read(unsigned count, double* dest) override {
        unsigned n = 0;
        for (; n < count && mPos < getFrameNB(); ++n, ++mPos) {
            const double t = double(mPos) / kRate;
            double l = 0, r = 0;
            if (t >= 1.0 && t < 11.0) {
                warm(t - 1.0, l, r);
            } else if (t >= 15.0 && t < 25.0) {
                bright(t - 15.0, l, r);
            } else if (t >= 25.0 && t < 29.0) {
                l = 0.0002 * white();
                r = 0.0002 * white();
            } else if (t >= 29.0 && t < 43.0) {
                const double fade = t > 38.0 ? std::max(0.0, (43.0 - t) / 5.0) : 1.0;
                full(t - 29.0, l, r);
                l *= fade * fade;
                r *= fade * fade;
            }
            dest[2 * n] = l;
            dest[2 * n + 1] = r;
        }
        return n;
    }

private:
    static double tone(double f, double t) { return std::sin(2 * M_PI * f * t); }

    double white() {
        mSeed = mSeed * 1664525u + 1013904223u;
        return double(mSeed >> 8) / double(1u << 24) * 2.0 - 1.0;
    }
    // Pink-ish noise: three leaky integrators of white noise.
    double pink() {
        const double w = white();
        mPink[0] = 0.99765 * mPink[0] + w * 0.0990460;
        mPink[1] = 0.96300 * mPink[1] + w * 0.2965164;
        mPink[2] = 0.57000 * mPink[2] + w * 1.0526913;
        return (mPink[0] + mPink[1] + mPink[2] + w * 0.1848) * 0.2;
    }

    void warm(double t, double& l, double& r) {
        const double bass = 0.16 * (tone(55, t) + 0.6 * tone(110, t) + 0.3 * tone(165, t));
        const double chord = 0.04 * (tone(220, t) + tone(277.2, t) + tone(329.6, t));
        l = bass + chord;
        r = bass + 0.8 * chord;
    }
    void bright(double t, double& l, double& r) {
        const double partials = 0.018 * (tone(2500, t) + 0.7 * tone(4200, t) + 0.5 * tone(6300, t));
        l = partials + 0.012 * white();
        r = partials + 0.012 * white();
    }
    void full(double t, double& l, double& r) {
        const double mids = 0.12 * (tone(440, t) + 0.5 * tone(660, t)) + 0.1 * tone(82.4, t);
        l = mids + 0.35 * pink();
        r = mids + 0.35 * pink();
    }

    unsigned mPos = 0;
    uint32_t mSeed = 12345;
    double mPink[3] = {0, 0, 0};
};

// The folder is the demo's own once it carries this file: a later run replaces
// what an earlier one left there. Any other folder that is not empty needs -y.
const char* kMarker = ".tonewright-demo";

bool folderIsUsable(const QString& dir) {
    const QDir d(dir);
    if (!d.exists()) return QDir().mkpath(dir);
    if (d.exists(kMarker) || d.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) return true;
    return cli::options().overwrite;
}

bool generate(const QString& path) {
    DemoRecording source;
    SoundOutputFile file(path);
    if (!file.ok()) return false;
    std::unique_ptr<SoundWriter> writer = cli::openWriter(file.path(), DemoRecording::kRate, SoundTools::Pcm16);
    if (!writer) return false;
    SoundIDTag tag;
    source.getTags(tag);
    writer->setTags(tag);
    auto copy = SoundRef<SoundAlgoBypass>::make();
    cli::clearError();
    const bool ok = copy->processAll(source, writer.get()) == SoundTools::Ok;
    writer->close();
    if (!ok || writer->hasFailed()) return false;
    writer.reset();
    return file.commit(cli::options().overwrite);
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
    QFile marker(QDir(dir).filePath(kMarker));
    if (!marker.open(QIODevice::WriteOnly)) {
        cli::printError(dir, "cannot write into the folder", marker.errorString());
        return cli::ProcessingError;
    }
    marker.close();
    // Inside its own folder the demo replaces its earlier results.
    cli::options().overwrite = true;

    QString input;
    int step = 1;
    cli::printOut(QString("tonewright demo, results in %1/\n\n").arg(dir));
    if (inputs.isEmpty()) {
        input = QDir(dir).filePath("demo-input.wav");
        if (!generate(input)) {
            cli::printError(input, "cannot write the generated recording", cli::lastError());
            return cli::ProcessingError;
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

    cli::Analysis analysis;
    if (!cli::analyseFile(input, cli::AnalysisSettings(), analysis, 0, 0, passes)) {
        cli::progress::end();
        cli::printError(input, "cannot analyse", cli::lastError());
        return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
    }
    QString why;
    if (!cli::findReference(analysis, QString(), cli::kDefaultMaxCorrection, p.isSet(kPlot) ? 240 : 0, &why))
        cli::printWarning(input, why);
    // The statistics file goes beside a generated input only: a recording of
    // the user's keeps whatever lies beside it.
    if (inputs.isEmpty() && cli::saveStatistics(analysis) == cli::SaveOutcome::Failed)
        cli::printWarning(input, "cannot write the statistics file: " + cli::lastError());
    cli::printOut(QString("%1. analyse   levels per band, regions of steady loudness, signal bounds, nearest "
                          "reference curve\n%2\n")
                      .arg(step++)
                      .arg(indent(cli::analysisSummary(analysis))));

    cli::SplitSettings splitSettings;
    cli::SplitResult pieces;
    const QString pieceTemplate = QDir(dir).filePath("pieces/" + QFileInfo(input).completeBaseName() + ".wav");
    QDir().mkpath(QFileInfo(pieceTemplate).path());
    {
        // Pieces of an earlier run go first, so that the folder holds this run's only.
        QDir old(QFileInfo(pieceTemplate).path());
        for (const QString& f : old.entryList(QDir::Files)) old.remove(f);
    }
    if (!cli::splitFile(input, pieceTemplate, splitSettings, pieces, 0, 1, passes)) {
        cli::progress::end();
        return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
    }
    cli::printOut(QString("%1. split     one file per piece, cut in the middle of each silence of at least %2 s, "
                          "tags copied with the track number\n%3\n")
                      .arg(step++)
                      .arg(splitSettings.minSilence)
                      .arg(indent(cli::splitSummary(pieces))));

    // The library's level and correct jobs find the regions and band levels
    // again (reanalyse): the statistics file saved above would be taken
    // otherwise, and the summaries would name it.
    tonewright::LevelSettings levelSettings;
    const QString levelOutput = QDir(dir).filePath(QFileInfo(input).completeBaseName() + "-levelled.wav");
    levelSettings.input = cli::jobPath(input);
    levelSettings.output = cli::jobPath(levelOutput);
    levelSettings.reanalyse = true;
    const tonewright::JobResult<tonewright::LevelReport> levelled =
        tonewright::level(levelSettings, cli::jobControl(0, [](double f) { return (3.0 + f) / passes; }));
    if (!levelled) {
        cli::progress::end();
        cli::printJobError(levelled.error());
        return cli::interrupted() ? cli::InterruptedExit : cli::ProcessingError;
    }
    cli::printOut(QString("%1. level     region by region to %2 integrated (each region at most +%3 dB), peaks "
                          "held by the limiter\n%4\n")
                      .arg(step++)
                      .arg(cli::formatLoudness(levelSettings.targetLufs, "LUFS"))
                      .arg(levelSettings.maxGainDb)
                      .arg(indent(cli::levelSummary(*levelled))));

    tonewright::CorrectSettings correctSettings;
    const QString correctOutput = QDir(dir).filePath(QFileInfo(input).completeBaseName() + "-corrected.wav");
    if (analysis.reference.isEmpty()) {
        cli::progress::end();
        cli::printOut(QString("%1. correct   skipped: %2\n\n").arg(step++).arg(why));
    } else {
        correctSettings.input = cli::jobPath(input);
        correctSettings.output = cli::jobPath(correctOutput);
        correctSettings.reference = analysis.reference.name.toStdString();
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
        if (!cli::mayWrite(p.value(kPlot)) ||
            !cli::analysisFigure(analysis, width, height).save(p.value(kPlot), &error)) {
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
