// Bytes as a WAV, FLAC or Ogg file through the libsndfile reader: open, tags,
// every frame in blocks of a size taken from the input, a rewind to a start
// point and a second read; then the full tags through the tag layer. libsndfile finds the container from the bytes; the
// extension given to the factory follows the signature so that the factory
// path is the one a host takes.
#include <cstring>
#include <memory>

#include "FuzzKit.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundTagFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::quiet();
    const char* ext = "wav";
    if (size >= 4 && std::memcmp(data, "fLaC", 4) == 0) ext = "flac";
    if (size >= 4 && std::memcmp(data, "OggS", 4) == 0) ext = "ogg";
    const QString path = twfuzz::writeScratch(QStringLiteral("input.") + ext, data, size);
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
    if (!reader || reader->open(path) != SoundTools::Ok) return 0;
    SoundIDTag tag;
    reader->getTags(tag);
    reader->getInputFormat();
    reader->getLengthString();
    const unsigned block = 1 + (size ? data[size - 1] : 0u) * 16;
    auto buffer = SoundBuffer::createNew(reader->getSampleRate());
    buffer->alloc(block + 64, 2);
    // Bounded so that a header announcing hours of audio cannot stall the run.
    for (int i = 0; i < 4096 && !reader->atEnd(); ++i)
        if (reader->stereoRead(buffer, 32) == 0) break;
    reader->setStartPoint(0.01);
    reader->rewind();
    reader->stereoRead(buffer, 0);
    reader->close();
    SoundIDTag full;
    SoundTagFile::read(path, full);
    return 0;
}
