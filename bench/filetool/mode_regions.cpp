// Modes of the region detector and the multi-file writer.
//   detect <in> <regions.json|->            first pass: the regions of the recording
//   split  <in> <dir/base.ext> [regions.json|- [minSeconds=2]]
//                                           one file per stretch of sound; without a
//                                           regions file the first pass runs too
//   level  <in> <out|-> [regions.json|- [targetDb=-10]]
//                                           SoundAlgoRMSAmplifier + SoundAlgoLimiter
#include <QFile>
#include <QJsonDocument>
#include <cstdio>
#include <memory>

#include "BenchKit.h"
#include "FileTool.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriterMultiFile.h"

namespace {

std::unique_ptr<SoundReader> openReader(const QString& in) {
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(in));
    if (!reader || reader->open(in) != SoundTools::Ok) {
        std::fprintf(stderr, "cannot read %s: %s\n", qPrintable(in), qPrintable(SoundDebuggableClass::getError()));
        return nullptr;
    }
    return reader;
}

SoundRef<RMSStepDetector> analyse(const QString& in) {
    auto reader = openReader(in);
    if (!reader) return nullptr;
    auto det = SoundRef<RMSStepDetector>::make(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput, false);
    bench::NullWriter sink(reader->getSampleRate());
    if (det->processAll(*reader, &sink) != SoundTools::Ok) return nullptr;
    return det;
}

int detect(const QString& in, const QString& out, const QStringList&) {
    SoundRef<RMSStepDetector> det = analyse(in);
    if (!det) return 2;
    if (out == "-") return 0;
    QJsonObject o;
    det->writeToJSon(o);
    QFile file(out);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(o).toJson()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
        return 2;
    }
    return 0;
}

// The regions of a file written by "detect", or a first pass when the name is "-".
SoundRef<RMSStepDetector> regionsFor(const QString& in, const QStringList& args) {
    if (args.isEmpty() || args[0] == "-") return analyse(in);
    QFile file(args[0]);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(args[0]));
        return nullptr;
    }
    return SoundRef<RMSStepDetector>::adopt(
        RMSStepDetector::createFromJSon(QJsonDocument::fromJson(file.readAll()).object()));
}

int split(const QString& in, const QString& out, const QStringList& args) {
    SoundRef<RMSStepDetector> det = regionsFor(in, args);
    if (!det) {
        std::fprintf(stderr, "no regions\n");
        return 2;
    }
    const double minSeconds = args.size() > 1 ? args[1].toDouble() : 2.0;
    auto reader = openReader(in);
    if (!reader) return 2;
    SoundWriterMultiFile writer(det.get(), minSeconds, reader->getSampleRate(), 2, 192, reader->getInputFormat());
    if (writer.open(out) != SoundTools::Ok) {
        std::fprintf(stderr, "%s\n", qPrintable(SoundDebuggableClass::getError()));
        return 2;
    }
    // Nothing to process: the writer takes the frames straight from the input buffer.
    auto pass = SoundRef<SoundAlgoSelectChannel>::make(0, 1);
    const SoundTools::Status status = pass->processAll(*reader, &writer);
    writer.close();
    if (status != SoundTools::Ok || writer.hasFailed()) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(SoundDebuggableClass::getError()));
        return 2;
    }
    return 0;
}

int level(const QString& in, const QString& out, const QStringList& args) {
    SoundRef<RMSStepDetector> det = regionsFor(in, args);
    if (!det) {
        std::fprintf(stderr, "no regions\n");
        return 2;
    }
    const double targetDb = args.size() > 1 ? args[1].toDouble() : -10.0;
    auto reader = openReader(in);
    if (!reader) return 2;
    std::unique_ptr<SoundWriter> writer;
    if (out == "-") {
        writer = std::make_unique<bench::NullWriter>(reader->getSampleRate());
    } else {
        writer.reset(SoundWriter::getFromFilename(out, reader->getSampleRate(), 192, reader->getInputFormat()));
        if (!writer || writer->open(out) != SoundTools::Ok) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
            return 2;
        }
    }
    auto chain = SoundRef<SoundAlgoComposite>::make("level");
    chain->pushAlgo(SoundRef<SoundAlgoRMSAmplifier>::make(targetDb, det.get(), 3.0, 0, 10.0, 12.0).release());
    chain->pushAlgo(SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1).release());
    const SoundTools::Status status = chain->processAll(*reader, writer.get());
    writer->close();
    if (status != SoundTools::Ok || writer->hasFailed()) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(SoundDebuggableClass::getError()));
        return 2;
    }
    return 0;
}

filetool::FileToolMode detectMode("detect", "<regions.json|->  RMSStepDetector analysis", filetool::FileRunner(detect));
filetool::FileToolMode splitMode("split", "[regions.json|- [minSeconds=2]]  one file per stretch of sound",
                                 filetool::FileRunner(split));
filetool::FileToolMode levelMode("level", "[regions.json|- [targetDb=-10]]  SoundAlgoRMSAmplifier + SoundAlgoLimiter",
                                 filetool::FileRunner(level));
}  // namespace
