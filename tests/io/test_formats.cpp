// The format table against the classes that consult it: the factories and the
// tag layer agree with it name for name (".oga" refused by all but the writer
// factory, whose headerless floats for unknown names stay), and sniffing goes
// by a file's first bytes, not its name.
#include <tuple>

#include "common/FileKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundFileName.h"
#include "tonewright/SoundFormats.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundTagFile.h"

using namespace tonewright;

TEST(FormatTable, FactoriesTagLayerAndTableAgree) {
    // Name; read, written, tagged, lossy; the sample format asked for a 32-bit and a float source.
    const std::tuple<const char*, bool, bool, bool, bool, SoundTools::SoundFormat, SoundTools::SoundFormat> rows[] = {
        {"a.WAV", true, true, true, false, SoundTools::Pcm32, SoundTools::Float},
        {"a.flac", true, true, true, false, SoundTools::Pcm24, SoundTools::Pcm24},
        {"a.ogg", true, true, true, true, SoundTools::Pcm32, SoundTools::Float},
        {"a.Mp3", true, true, true, true, SoundTools::Pcm32, SoundTools::Float},
        {"a.oga", false, false, false, false, SoundTools::Pcm32, SoundTools::Float},
        {"a.aiff", false, false, false, false, SoundTools::Pcm32, SoundTools::Float},
        {"noext", false, false, false, false, SoundTools::Pcm32, SoundTools::Float},
    };
    for (const auto& [name, read, written, tagged, lossy, from32, fromFloat] : rows) {
        SCOPED_TRACE(name);
        const std::string ext = SoundTools::lowerExtension(name);
        EXPECT_EQ(SoundReader::isRecognized(name), read);
        EXPECT_EQ(isWritableExtension(ext), written);
        EXPECT_EQ(SoundTagFile::isTaggable(name), tagged);
        EXPECT_EQ(isLossy(ext), lossy);
        EXPECT_EQ(sampleFormatFor(ext, SoundTools::Pcm32), from32);
        EXPECT_EQ(sampleFormatFor(ext, SoundTools::Float), fromFloat);
        EXPECT_EQ(SoundTools::Pcm16, sampleFormatFor(ext, SoundTools::Pcm16));
    }
    EXPECT_EQ(writableExtensions(), "wav, flac, ogg, mp3");
    // The refused name is refused with words that say what to do.
    SoundIDTag tag;
    EXPECT_EQ(SoundTagFile::read("song.oga", tag), SoundTools::Error);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains("named .ogg"));
}

TEST(FormatTable, SniffingGoesByTheBytesNotTheName) {
    tk::TempDir dir;
    const std::pair<QByteArray, const char*> rows[] = {
        {QByteArray("RIFF\x24\0\0\0WAVEfmt ", 16), "wav"}, {QByteArray("RF64\xff\xff\xff\xffWAVEds64", 16), "wav"},
        {"fLaC\0\0\0\x22", "flac"}, {"OggS\0\x02", "ogg"}, {"ID3\x04\0", "mp3"}, {"\xff\xfb\x90\x64", "mp3"},
        {QByteArray("RIFF\x24\0\0\0AVI LIST", 16), nullptr}, {"plain text", nullptr}};
    int n = 0;
    for (const auto& [bytes, ext] : rows) {
        const QString file = dir.path(QString("file%1.flac").arg(n++));
        ASSERT_TRUE(tk::writeBytes(file, bytes));
        const SoundFileFormat* f = sniffFormat(file);
        EXPECT_EQ(f ? std::string(f->extension) : "none", ext ? ext : "none") << bytes.toStdString();
    }
    EXPECT_EQ(sniffFormat(dir.path("missing.wav")), nullptr);
}
