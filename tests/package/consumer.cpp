// Uses the installed library: a gain over a generated recording, written to WAV
// and read back, and the default reference catalog found beside the installed
// library (under the prefix given as second argument, when there is one).
// Exits 0 when all of that holds.
#include <tonewright/SoundAlgoElementary.h>
#include <tonewright/SoundReader.h>
#include <tonewright/SoundStatReference.h>
#include <tonewright/SoundVersion.h>
#include <tonewright/SoundWriter.h>
#include <tonewright/Sync.h>

#include <cmath>
#include <cstdio>
#include <memory>

namespace {
// One second of a 440 Hz tone.
class ToneReader : public SoundReader {
public:
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return 44100; }
    unsigned getSampleRate() const override { return 44100; }
    void rewind() override { mPos = 0; }
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Double; }

protected:
    unsigned read(unsigned count, double* dest) override {
        unsigned n = 0;
        for (; n < count && mPos < 44100; ++n, ++mPos)
            dest[2 * n] = dest[2 * n + 1] = 0.5 * std::sin(2 * M_PI * 440 * mPos / 44100.0);
        return n;
    }

private:
    unsigned mPos = 0;
};
}  // namespace

int main(int argc, char** argv) {
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString("consumer.wav");
    std::printf("tonewright %s\n", SoundTools::libraryVersion());
    // The lock wrappers' operations are the library's own; a consumer links them.
    SoundTools::ReadWriteLock lock;
    { SoundTools::WriteLocker locked(lock); }
    ToneReader tone;
    std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(out, 44100, 0, SoundTools::Pcm16));
    if (!writer || writer->open(out) != SoundTools::Ok) return 1;
    auto gain = SoundRef<SoundAlgoScale>::make(-6.0);
    if (gain->processAll(tone, writer.get()) != SoundTools::Ok) return 1;
    writer->close();
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(out));
    if (!reader || reader->open(out) != SoundTools::Ok) return 1;
    std::printf("read back %u frames at %u Hz\n", reader->getFrameNB(), reader->getSampleRate());
    if (reader->getFrameNB() != 44100) return 1;

    const QString catalogPath = SoundStatReferenceCatalog::getDefaultCatalogPath();
    SoundStatReferenceCatalog catalog;
    if (!catalog.readDefaultCatalog()) return 1;
    std::printf("default reference catalog %s: %d curves\n", qPrintable(catalogPath),
                int(catalog.getNameList().size()));
    if (argc > 2 && !catalogPath.startsWith(QString::fromLocal8Bit(argv[2]))) return 1;
    return catalog.isEmpty() ? 1 : 0;
}
