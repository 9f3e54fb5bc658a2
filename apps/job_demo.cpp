// demo: generates a recording when none is given, runs it through a gain and a
// two-branch composite (dry and echo), writes the result and says what it did.
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <cmath>
#include <cstdio>

#include "Cli.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"

namespace {

// Three short "tracks" of different loudness and colour with silences between
// them and a fade-out at the end, synthesised as they are read.
class DemoRecording : public SoundReader {
public:
    static constexpr unsigned kRate = 44100;
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return unsigned(kSeconds * kRate); }
    unsigned getSampleRate() const override { return kRate; }
    void rewind() override { mPos = 0; }
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Pcm16; }

protected:
    unsigned read(unsigned count, double* dest) override {
        unsigned n = 0;
        for (; n < count && mPos < getFrameNB(); ++n, ++mPos) {
            const double t = double(mPos) / kRate;
            double l = 0, r = 0;
            mSeed = mSeed * 1664525u + 1013904223u;
            const double noise = double(mSeed >> 8) / double(1u << 24) - 0.5;
            if (t < 4.0) {  // warm chord, moderate
                l = 0.25 * std::sin(2 * M_PI * 220 * t) + 0.12 * std::sin(2 * M_PI * 330 * t);
                r = 0.25 * std::sin(2 * M_PI * 220 * t) + 0.12 * std::sin(2 * M_PI * 277 * t);
            } else if (t >= 5.5 && t < 9.5) {  // quiet, noisy
                l = 0.05 * std::sin(2 * M_PI * 1000 * t) + 0.06 * noise;
                r = 0.05 * std::sin(2 * M_PI * 1000 * t) - 0.06 * noise;
            } else if (t >= 11.0) {  // loud and bright, fading out over its last 3 s
                const double fade = t > 13.0 ? std::max(0.0, (kSeconds - t) / 3.0) : 1.0;
                l = fade * (0.4 * std::sin(2 * M_PI * 2500 * t) + 0.2 * std::sin(2 * M_PI * 110 * t));
                r = fade * (0.4 * std::sin(2 * M_PI * 2000 * t) + 0.2 * std::sin(2 * M_PI * 110 * t));
            }
            dest[2 * n] = l;
            dest[2 * n + 1] = r;
        }
        return n;
    }

private:
    static constexpr double kSeconds = 16.0;
    unsigned mPos = 0;
    uint32_t mSeed = 12345;
};

bool generate(const QString& path) {
    DemoRecording source;
    std::unique_ptr<SoundWriter> writer = cli::openWriter(path, DemoRecording::kRate, SoundTools::Pcm16, true);
    if (!writer) return false;
    auto copy = SoundRef<SoundAlgoBypass>::make();
    const bool ok = copy->processAll(source, writer.get()) == SoundTools::Ok;
    writer->close();
    return ok && !writer->hasFailed();
}

void describe(const char* what, const QString& name, SoundReader& reader, const cli::LevelMeter& meter) {
    std::printf("%-8s %s\n", what, qPrintable(name));
    std::printf("         %s, %u Hz, %u frames; peak %s, RMS %s\n", reader.getLengthString().c_str(),
                reader.getSampleRate(), reader.getFrameNB(), qPrintable(cli::formatDb(meter.peakDb())),
                qPrintable(cli::formatDb(meter.rmsDb())));
}

int runDemo(const QStringList& args) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Runs a recording (or a generated one) through a gain and a two-branch composite and writes the result.");
    parser.addHelpOption();
    parser.addPositionalArgument("input", "Recording to process (wav, flac, ogg, mp3); generated when absent.", "[input]");
    QCommandLineOption outDir({"o", "output-dir"}, "Folder for the results (default: tonewright-demo).", "dir",
                              "tonewright-demo");
    QCommandLineOption overwrite({"y", "overwrite"}, "Replace existing output files.");
    QCommandLineOption quiet({"q", "quiet"}, "No progress bar.");
    QCommandLineOption verbose("verbose", "The library's diagnostic output.");
    parser.addOptions({outDir, overwrite, quiet, verbose});
    if (!parser.parse(args)) {
        std::fprintf(stderr, "tonewright demo: %s\n", qPrintable(parser.errorText()));
        return cli::UsageError;
    }
    if (parser.isSet("help")) {
        std::printf("%s", qPrintable(parser.helpText()));
        return cli::Success;
    }
    cli::options().quiet = parser.isSet(quiet);
    SoundDebuggableClass::setVerbose(parser.isSet(verbose));
    const QStringList inputs = parser.positionalArguments();
    if (inputs.size() > 1) {
        std::fprintf(stderr, "tonewright demo: one input at most\n");
        return cli::UsageError;
    }
    const QString dir = parser.value(outDir);
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "tonewright: %s: cannot create the folder\n", qPrintable(dir));
        return cli::ProcessingError;
    }

    QString input;
    if (inputs.isEmpty()) {
        input = QDir(dir).filePath("demo-input.wav");
        std::printf("generating %s (three passages, silences, a fade-out)\n", qPrintable(input));
        if (!generate(input)) {
            cli::printError(input, "cannot write the generated recording");
            return cli::ProcessingError;
        }
    } else {
        input = inputs[0];
    }

    std::unique_ptr<SoundReader> reader = cli::openReader(input);
    if (!reader) {
        cli::printError(input, "cannot read");
        return cli::ProcessingError;
    }
    const QString output = QDir(dir).filePath(QFileInfo(input).completeBaseName() + "-processed.wav");
    std::unique_ptr<SoundWriter> writer =
        cli::openWriter(output, reader->getSampleRate(), reader->getInputFormat(), parser.isSet(overwrite) || inputs.isEmpty());
    if (!writer) {
        cli::printError(output, "cannot write");
        return cli::ProcessingError;
    }

    // Input levels first (one analysis pass), then the processing pass.
    auto inMeter = SoundRef<cli::LevelMeter>::make();
    {
        cli::Progress progress(*inMeter, "measuring");
        if (inMeter->processAll(*reader, nullptr) != SoundTools::Ok) {
            cli::printError(input, "cannot read");
            return cli::ProcessingError;
        }
    }
    reader->rewind();

    auto chain = SoundRef<SoundAlgoComposite>::make("demo");
    chain->pushAlgo(SoundRef<SoundAlgoScale>::make(-3.0).release());
    auto echo = SoundRef<SoundAlgoComposite>::make("echo");
    echo->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());
    echo->addNewBranch();
    echo->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.25, false).release());
    echo->pushAlgo(SoundRef<SoundAlgoScale>::make(-9.0).release());
    chain->pushAlgo(echo.release());
    chain->pushAlgo(SoundRef<SoundAlgoAdd>::make(2, true).release());
    auto outMeter = SoundRef<cli::LevelMeter>::make();
    outMeter->addRef();  // kept beyond the chain to read its figures
    chain->pushAlgo(outMeter.get());

    SoundTools::Status status;
    {
        cli::Progress progress(*chain, "processing");
        status = chain->processAll(*reader, writer.get());
    }
    writer->close();
    if (status != SoundTools::Ok || writer->hasFailed()) {
        cli::printError(output, "processing failed");
        return cli::ProcessingError;
    }

    describe("input", input, *reader, *inMeter);
    std::printf("chain    gain -3 dB -> [dry | echo 250 ms at -9 dB] -> sum\n");
    std::unique_ptr<SoundReader> check = cli::openReader(output);
    if (!check) {
        cli::printError(output, "cannot read back the result");
        return cli::ProcessingError;
    }
    describe("output", output, *check, *outMeter);
    return cli::Success;
}

cli::Job demo("demo", "process a recording (or a generated one) and report what was done", runDemo);

}  // namespace
