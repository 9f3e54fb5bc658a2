#include <QCoreApplication>
#include <cstdio>
#include <memory>

#include "BenchKit.h"
#include "FileTool.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriter.h"

namespace filetool {

std::map<std::string, ModeInfo>& modes() {
    static std::map<std::string, ModeInfo> m;
    return m;
}

FileToolMode::FileToolMode(const std::string& name, const std::string& help, ChainFactory factory) {
    modes()[name] = ModeInfo{help, std::move(factory), nullptr};
}

FileToolMode::FileToolMode(const std::string& name, const std::string& help, FileRunner runner) {
    modes()[name] = ModeInfo{help, nullptr, std::move(runner)};
}

}  // namespace filetool

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: tw_filetool <mode> <in> <out|-> [args...]\nmodes:\n");
        for (const auto& m : filetool::modes()) std::fprintf(stderr, "  %-12s %s\n", m.first.c_str(), m.second.help.c_str());
        return 1;
    }
    const auto mode = filetool::modes().find(args[1].toStdString());
    if (mode == filetool::modes().end()) {
        std::fprintf(stderr, "unknown mode %s\n", qPrintable(args[1]));
        return 1;
    }
    if (mode->second.runner) return mode->second.runner(args[2], args[3], args.mid(4));
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(args[2]));
    if (!reader || reader->open(args[2]) != SoundTools::Ok) {
        std::fprintf(stderr, "cannot read %s: %s\n", qPrintable(args[2]), qPrintable(SoundDebuggableClass::getError()));
        return 2;
    }
    std::unique_ptr<SoundWriter> writer;
    if (args[3] == "-") {
        writer = std::make_unique<bench::NullWriter>(reader->getSampleRate());
    } else {
        writer.reset(SoundWriter::getFromFilename(args[3], reader->getSampleRate(), 192, reader->getInputFormat()));
        if (!writer || writer->open(args[3]) != SoundTools::Ok) {
            std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(args[3]),
                         qPrintable(SoundDebuggableClass::getError()));
            return 2;
        }
    }
    SoundRef<SoundAlgo> chain = SoundRef<SoundAlgo>::adopt(mode->second.factory(args.mid(4), reader->getSampleRate()));
    if (!chain) {
        std::fprintf(stderr, "bad arguments for mode %s\n", qPrintable(args[1]));
        return 1;
    }
    const SoundTools::Status status = chain->processAll(*reader, writer.get());
    writer->close();
    if (status != SoundTools::Ok || writer->hasFailed()) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(SoundDebuggableClass::getError()));
        return 2;
    }
    return 0;
}
