// Reads a sound file, lowers it by 3 dB, mixes a dry and a delayed copy in a
// two-branch composite, and writes the result.
//
//   example_gain_and_branches in.wav out.flac
#include <tonewright/SoundAlgoComposite.h>
#include <tonewright/SoundAlgoElementary.h>
#include <tonewright/SoundReader.h>
#include <tonewright/SoundWriter.h>

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s in.wav out.wav\n", argv[0]);
        return 1;
    }
    const QString inName = QString::fromLocal8Bit(argv[1]);
    const QString outName = QString::fromLocal8Bit(argv[2]);

    // Readers and writers from the factories belong to the caller.
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(inName));
    if (!reader || reader->open(inName) != SoundTools::Ok) {
        std::fprintf(stderr, "cannot read %s: %s\n", argv[1], qPrintable(SoundDebuggableClass::getError()));
        return 2;
    }
    std::unique_ptr<SoundWriter> writer(
        SoundWriter::getFromFilename(outName, reader->getSampleRate(), 192, reader->getInputFormat()));
    if (!writer || writer->open(outName) != SoundTools::Ok) {
        std::fprintf(stderr, "cannot write %s: %s\n", argv[2], qPrintable(SoundDebuggableClass::getError()));
        return 2;
    }

    // Algorithms are reference counted: SoundRef holds the creator's reference,
    // release() hands it to the composite, which drops it when destroyed.
    auto chain = SoundRef<SoundAlgoComposite>::make("chain");
    chain->pushAlgo(SoundRef<SoundAlgoScale>::make(-3.0).release());

    auto echo = SoundRef<SoundAlgoComposite>::make("echo");  // shared inputs: both branches read the same frames
    echo->pushAlgo(SoundRef<SoundAlgoScale>::make(0.0).release());  // branch 0: dry
    echo->addNewBranch();
    echo->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.25, false).release());  // branch 1: 250 ms later
    echo->pushAlgo(SoundRef<SoundAlgoScale>::make(-9.0).release());
    chain->pushAlgo(echo.release());
    chain->pushAlgo(SoundRef<SoundAlgoAdd>::make(2, true).release());  // dry + echo

    const SoundTools::Status status = chain->processAll(*reader, writer.get());
    writer->close();
    if (status != SoundTools::Ok || writer->hasFailed()) {
        std::fprintf(stderr, "processing failed: %s\n", qPrintable(SoundDebuggableClass::getError()));
        return 2;
    }
    std::printf("wrote %d frames to %s\n", writer->getCurrentOffset(), argv[2]);
    return 0;
}
