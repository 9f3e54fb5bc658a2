// Bytes as an MP3 file through the MP3 reader: open (which scans the stream and
// reads the ID3 tags and the cover picture), tags, every frame, a rewind to a
// start point and a second read.
#include <memory>

#include "FuzzKit.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundMp3.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::quiet();
    const QString path = twfuzz::writeScratch(QStringLiteral("input.mp3"), data, size);
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
    if (!reader || reader->open(path) != SoundTools::Ok) return 0;
    SoundIDTag tag;
    reader->getTags(tag);
    volatile int sum = 0;
    for (char c : tag.cover) sum = sum + c;  // the picture bytes must be readable
    reader->getLengthString();
    auto buffer = SoundBuffer::createNew(reader->getSampleRate());
    buffer->alloc(1152 + 37, 2);
    for (int i = 0; i < 4096 && !reader->atEnd(); ++i)
        if (reader->stereoRead(buffer, 37) == 0) break;
    reader->setStartPoint(0.02);
    reader->rewind();
    reader->stereoRead(buffer, 0);
    reader->close();
    return 0;
}
