// eq: the player's equaliser run offline over recordings: a preset or band
// gains, the bass-boost band, an output gain; the limiter holds the peaks.
#include "Batch.h"
#include "Ceiling.h"
#include "Cli.h"
#include "Equaliser.h"
#include "JobHost.h"
#include "JobPaths.h"
#include "Plot.h"

namespace {

// The equaliser's response at `rate`, with the band gains marked.
plot::Figure responseFigure(const tonewright::EqSettings& settings, unsigned rate, int width, int height) {
    const tonewright::EqualiserLayout& l = tonewright::equaliserLayout();
    plot::Panel p;
    p.title = "Equaliser — " + cli::describe(settings);
    p.xLabel = "frequency (Hz)";
    p.yLabel = "gain (dB)";
    p.logX = true;
    p.xMin = 20;
    p.xMax = rate / 2.0;
    plot::Series r;
    r.name = QString("response at %1 Hz").arg(rate);
    r.color = plot::colors::response();
    r.width = 2;
    r.x = tonewright::responseFrequencies(rate, 400);
    r.y = tonewright::equaliserResponseDb(settings, rate, r.x);
    plot::Series gains;
    gains.name = "band gains";
    gains.color = plot::colors::bands();
    gains.markers = true;
    gains.width = 0;
    for (size_t i = 0; i < l.bands.size() && i < settings.gains.size(); ++i) {
        if (l.bands[i].frequency >= p.xMax) continue;
        gains.x.push_back(l.bands[i].frequency);
        gains.y.push_back(settings.gains[i] + settings.outputGain);
    }
    double lo = -l.range - 2, hi = l.range + 2;
    for (double v : r.y)
        if (std::isfinite(v)) {
            lo = std::min(lo, v - 1);
            hi = std::max(hi, v + 1);
        }
    p.yMin = std::floor(lo / 2) * 2;
    p.yMax = std::ceil(hi / 2) * 2;
    p.series.push_back(r);
    p.series.push_back(gains);
    plot::Figure f(width, height);
    f.addPanel(p);
    return f;
}

const QCommandLineOption kOutput({"o", "output"},
                                 "Output file (one input), or an existing folder for the outputs. Default: "
                                 "'<name>-eq.<ext>' beside each input.",
                                 "name");
const QCommandLineOption kFormat({"f", "format"}, "Output format: wav, flac, ogg or mp3 (default: the input's).", "ext");
const QCommandLineOption kGain({"g", "gain"}, "Output gain in dB (default 0).", "dB", "0");
const QCommandLineOption kBitRate("bitrate", cli::bitRateHelp("output"), "kbit/s", "192");
const QCommandLineOption kPlot("plot", "Draw the equaliser's response into a PNG picture (at the first input's rate, "
                                       "44100 Hz without inputs).",
                               "file.png");
const QCommandLineOption kPlotSize("plot-size", "Size of the picture in pixels (default 1200x600).", "WxH", "1200x600");

// parseOnly: read and check the command line, and stop there (Cli.h, JobInfo::parse).
int runEq(const QStringList& args, bool parseOnly) {
    cli::JobParser p("eq",
                     "Runs recordings through the player's equaliser: nine peaking bands (60 Hz to 15 kHz) set by "
                     "a preset or one by one, the bass-boost band and an output gain; the limiter holds the peaks.",
                     cli::JobParser::Json | cli::JobParser::Batch | cli::JobParser::Writes);
    const cli::EqOptions eqOptions;
    eqOptions.addTo(p);
    for (const QCommandLineOption& o : {kGain, kOutput, kFormat, kBitRate, kPlot, kPlotSize}) p.addOption(o);
    p.addOption(cli::truePeakOption());
    p.addOption(cli::noDitherOption());
    p.addInputs("Recordings to equalise (wav, flac, ogg, mp3).", "[files...]");
    const int early = p.parse(args);
    if (early >= 0) return early;
    if (p.isSet(eqOptions.listPresets)) {
        cli::printPresetList();
        return cli::Success;
    }
    const QStringList inputs = p.inputs();
    if (inputs.isEmpty() && !p.isSet(kPlot)) return p.usageError("no input file (or --plot for the response alone)");

    tonewright::EqSettings settings;
    double bitRate = 192;
    if (!eqOptions.read(p, settings) || !p.number(kGain, -20, 20, &settings.outputGain) ||
        !p.number(kBitRate, 32, 320, &bitRate) || !cli::readTruePeak(p, &settings.truePeakDb))
        return cli::UsageError;
    settings.bitRate = unsigned(bitRate);
    settings.dither = !p.isSet(cli::noDitherOption());
    int width = 0, height = 0;
    if (p.isSet(kPlot)) {
        if (!plot::parseSize(p.value(kPlotSize), &width, &height))
            return p.usageError("--plot-size needs WIDTHxHEIGHT from 320x240 to 8000x8000");
        if (!plot::isPictureName(p.value(kPlot))) return p.usageError("the name of --plot must end in .png");
        if (!cli::mayWrite(p.value(kPlot))) {
            cli::printError(p.value(kPlot), "cannot write the picture", cli::lastError());
            return cli::ProcessingError;
        }
    }
    cli::OutputNaming names;
    const int naming = cli::readOutputNaming(p, kOutput, kFormat, "-eq", &names);
    if (naming >= 0) return naming;
    if (parseOnly) return -1;
    const auto outputFor = [&](const QString& input) { return names.outputFor(input); };

    int status = cli::Success;
    if (!inputs.isEmpty()) {
        status = cli::runBatch("eq", inputs, [&](int index, const QString& input) {
            cli::FileOutcome out;
            tonewright::EqSettings s = settings;
            s.input = cli::jobPath(input);
            s.output = cli::jobPath(outputFor(input));
            const tonewright::JobResult<tonewright::EqReport> r =
                tonewright::eq(s, cli::jobControl(index));
            if (!r) {
                cli::printJobError(r.error());
                return out;
            }
            out.ok = true;
            out.text = QString("%1 -> %2\n  equaliser %3\n  level     RMS %4 -> %5, peak %6 -> %7\n")
                           .arg(input, outputFor(input), cli::describe(settings), cli::formatDb(r->rmsBefore),
                                cli::formatDb(r->rmsAfter), cli::formatDb(r->peakBefore), cli::formatDb(r->peakAfter));
            out.json = cli::jsonObject(tonewright::toJson(*r));
            return out;
        });
        if (status == cli::InterruptedExit) return status;
    }
    if (p.isSet(kPlot)) {
        unsigned rate = 44100;
        if (!inputs.isEmpty()) {
            std::unique_ptr<SoundReader> first = cli::openReader(inputs[0]);
            if (first) rate = first->getSampleRate();
        }
        QString error;
        if (!responseFigure(settings, rate, width, height).save(p.value(kPlot), &error)) {
            cli::printError(p.value(kPlot), "cannot write the picture", error);
            return cli::ProcessingError;
        }
        if (inputs.isEmpty() && cli::options().json)
            cli::printJson(QJsonObject{{"equaliser", cli::equaliserJson(settings)}, {"plot", p.value(kPlot)}, {"sampleRate", int(rate)}});
    }
    return status;
}

cli::Job eq("eq", "runs recordings through the player's equaliser (presets, bands, bass boost)",
            [](const QStringList& args) { return runEq(args, false); },
            [](const QStringList& args) { return runEq(args, true); });

}  // namespace
