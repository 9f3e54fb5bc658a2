// The format table against the classes that consult it: the factories and the
// tag layer agree with it name for name (".oga" refused by all but the writer
// factory, whose headerless floats for unknown names stay), and sniffing goes
// by a file's first bytes, not its name.
#include <cstring>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "common/TestKit.h"
#include "tonewright/SoundFileName.h"
#include "tonewright/SoundFormats.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundTagFile.h"

using namespace tonewright;

TEST(FormatTable, FactoriesTagLayerSniffingAndTableAgree) {
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
        EXPECT_EQ(std::make_tuple(SoundReader::isRecognized(name), isWritableExtension(ext), SoundTagFile::isTaggable(name), isLossy(ext)),
                  std::make_tuple(read, written, tagged, lossy));
        EXPECT_EQ(std::make_pair(sampleFormatFor(ext, SoundTools::Pcm32), sampleFormatFor(ext, SoundTools::Float)),
                  std::make_pair(from32, fromFloat));
    }
    SoundIDTag tag;  // the refused name with words that say what to do
    EXPECT_EQ(SoundTagFile::read("song.oga", tag), SoundTools::Error);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains("named .ogg"));
    // Sniffing: the bytes of each container in a file named .flac.
    tk::TempDir dir;
    const std::pair<QByteArray, const char*> heads[] = {
        {QByteArray("RIFF\x24\0\0\0WAVEfmt ", 16), "wav"}, {"RF64\xff\xff\xff\xffWAVEds64", "wav"}, {"fLaC", "flac"},
        {"OggS", "ogg"}, {"ID3\x04", "mp3"}, {"\xff\xfb\x90\x64", "mp3"}, {"RIFF\x24\0\0\0AVI ", nullptr}, {"text", nullptr}};
    for (const auto& [bytes, ext] : heads) {
        ASSERT_TRUE(tk::writeBytes(dir.path("x.flac"), bytes));
        const SoundFileFormat* f = sniffFormat(dir.path("x.flac"));
        EXPECT_EQ(f ? std::string(f->extension) : "none", ext ? ext : "none") << bytes.toStdString();
    }
}

// What is not a readable regular file is named before any reader opens it (a
// pipe would block the opening for ever). Run as root, a file without read
// permission is readable, so that case is left to a test run as a user.
TEST(FormatTable, InputsThatCannotBeReadAreNamed) {
    tk::TempDir dir;
    ASSERT_TRUE(tk::writeBytes(dir.path("a.wav"), "RIFF"));
    ASSERT_EQ(mkfifo(dir.path("pipe.wav").toUtf8().constData(), 0600), 0);
    ASSERT_EQ(symlink("loop2", dir.path("loop1").toUtf8().constData()), 0);
    ASSERT_EQ(symlink("loop1", dir.path("loop2").toUtf8().constData()), 0);
    ASSERT_EQ(symlink("gone.wav", dir.path("dangling.wav").toUtf8().constData()), 0);
    const std::pair<const char*, const char*> rows[] = {
        {"a.wav", ""},
        {"none.wav", "no such file"},
        {"none/a.wav", "no such file"},
        {"dangling.wav", "a link to a missing file"},
        {"loop1", "too many levels of symbolic links"},
        {"pipe.wav", "not a regular file"},
        {"", "is a folder"},
    };
    for (const auto& [name, why] : rows) {
        const std::string problem = tonewright::unreadableInput(dir.path(name));
        EXPECT_EQ(problem.substr(0, std::strlen(why)), why) << name;
        if (*why) {
            EXPECT_EQ(tonewright::openRecording(dir.path(name)), nullptr);
            EXPECT_EQ(SoundDebuggableClass::getError().toStdString(), problem);
        }
    }
}
