// Inputs the fuzz targets (fuzz/, scripts/fuzz.sh) found to crash, leak or
// misbehave, fed again through the same entry points. Each input is built here
// or carried as text; no binary files are committed.
#include <QFile>
#include <memory>

#include "common/TestKit.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundReader.h"

namespace {

QString writeInput(const tk::TempDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.path(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

// Opens and reads the whole file as the sound-file fuzz target does; returns
// the frames read, or -1 when open refuses the file (with a message naming it).
long long readThrough(const QString& path) {
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
    if (!reader) return -2;
    SoundDebuggableClass::setError("(no error)");
    if (reader->open(path) != SoundTools::Ok) {
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(path)) << qPrintable(SoundDebuggableClass::getError());
        return -1;
    }
    auto buffer = SoundBuffer::createNew(reader->getSampleRate());
    buffer->alloc(1024, 2);
    long long total = 0;
    while (unsigned n = reader->stereoRead(buffer, 32)) total += n;
    return total;
}

}  // namespace

// A damaged Ogg Vorbis stream (the header page of a short file with bits
// changed): libsndfile refuses it and, in doing so, leaks the Vorbis stream
// information it had set up (scripts/lsan.supp names that leak, which the
// library cannot free). The refusal must be a clean Error naming the file.
TEST(FuzzRegressions, DamagedOggVorbisHeaderIsRefused) {
    static const char* const kInput =
    "T2dnUwACAAAAAAAAAAB6U9stAAAAABECEpcBHgF2b3JiaXMAAAAAAQB9AAAAAAAAQBkBAAAAAAC4AU9nZ1MAAAAAAAAAAAAA"
    "elPbLQEAAADqcElVDmD///////////////+BA3ZvcmJpczQAAABYaXBoLk9yZyBsaWJWb3JiaXMgSSAyMDIwMDcwNCAoUmVk"
    "dWNpbmcgRW52aXJvbm1lbnQpAQAAABgAAABDb21tZW50PVByb2Nlc3NlZCBieSBTb1gBBXZvcmJpcyJCQ1YBAEAAACRzGCpG"
    "pXMWhBAaQlAZ4xxCzmvsGUJMEYIcMkxbyyVzkCGkoEKIWyiB0JBVAABAAACHQXgUhIpBCCGEJT1YkoMnPQghhIg5eBSEaUEI"
    "IYQQQgghhBBCCCGERTlokoMnQQgdhOMwOAyD5Tj4HIRFOVgQgydB6CCED0K4moOsOQghhCQ1SFCDBjnoHITCLCiKgsQwuBaE"
    "BDUojILkMMjUgwtCiJqDSTX4GoRnQXgWhGlBCCGEJEFIkIMGQcgYhEZBWJKDBjm4FITLQagahCo5CB+EIDRkFQCQAACgoiiK"
    "oigKEBqyCgDIAAAQQFEUx3EcyZEcybEcCwgNWQUAAAEACAAAoEiKpEiO5EiSJFmSJVmSJVmS5omqLMuyLMuyLMsyEBqyCgBI"
    "AABQUQxFcRQHCA1ZBQBkAAAIoDiKpViKpWiK54iOCISGrAIAgAAABAAAEDRDUzxHlETPVFXXtm3btm3btm3btm3btm1blmUZ"
    "CA1ZBQBAAAAQ0mlmqQaIMAMZBkJDVgEACAAAgBGKMMSA0JBVAABAAACAGEoOogmtOd+c46BZDppKsTkdnEi1eZKbirk555xz"
    "zsnmnDHOOeecopxZDJoJrTnnnMSgWQqaCa0555wnsXnQmiqtOeeccc7pYJwRxjnnnCateZCajbU555wFrWmOmkuxOeecSLl5"
    "UptLtTnnnHPOOeecc84555zqxekcnBPOOeecqL25lpvQxTnnnE/G6d6cEM4555xzzjnnnHPOOeecIDRkFQAABABAEIaNYdwp"
    "CNLnaCBGEWIaMulB9+gwCRqDnELq0ehopJQ6CCWVcVJKJwgNWQUAAAIAQAghhRRSSCGFFFJIIYUUYoghhhhyyimnoIJKKqmo"
    "oowyyyyzzDLLLLPMOuyssw47DDHEEEMrrcRSU2011lhr7jnnmoO0VlprrbVSSimllFIKQkNWAQAgAAAEQgYZZJBRSCGFFGKI"
    "KaeccgoqqIDQkFUAACAAgAAAAABP8hzRER3R";
    tk::TempDir dir;
    const QString path = writeInput(dir, "damaged.ogg", QByteArray::fromBase64(kInput));
    EXPECT_EQ(readThrough(path), -1);
}
