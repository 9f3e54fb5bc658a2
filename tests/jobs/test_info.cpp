// info on files sox made in several formats: the format and sample format, and
// the rate, channels and length sox was asked for (the readers' agreement with
// sox on every format is the io tests' business). The tags and cover info
// shows: test_split.cpp, on a file tagged by the library.
#include <array>

#include "common/ExternalAudio.h"
#include "common/TestKit.h"
#include "tonewright/Info.h"

namespace {
bool synth(const QString& file, const std::string& format, const std::string& effects) {
    return tk::runCommand("sox -n " + format + " " + tk::shellQuote(file) + " " + effects + " 2>/dev/null") == 0;
}

tonewright::InfoReport infoOf(const QString& file) {
    const tonewright::JobResult<tonewright::InfoReport> r = tonewright::info({file.toStdString()});
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? *r : tonewright::InfoReport();
}
}  // namespace

TEST(Info, FormatRateChannelsAndLengthOfEachFile) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    tk::TempDir dir;
    // The file's name, further sox options, the format and sample format, rate and channels.
    const std::array<const char*, 6> cases[] = {
        {"mono8k.wav", "-b 16", "wav", "pcm16", "8000", "1"},
        {"stereo48k24.flac", "-b 24", "flac", "pcm24", "48000", "2"},
        {"float.wav", "-e floating-point -b 32", "wav", "float", "44100", "2"},
        {"vorbis.ogg", "", "ogg", "vorbis", "44100", "2"},
        {"mono.mp3", "", "mp3", "mp3", "22050", "1"},
        {"wav-named.flac", "-t wav -b 16", "wav", "pcm16", "44100", "2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        const QString file = dir.path(c[0]);
        ASSERT_TRUE(synth(file, std::string("-r ") + c[4] + " -c " + c[5] + " " + c[1], "synth 1.5 sine 440"));
        const tonewright::InfoReport o = infoOf(file);
        const bool mp3 = c[2] == std::string("mp3");
        EXPECT_EQ(o.file, file.toStdString());
        EXPECT_EQ(o.format, c[2]);
        EXPECT_EQ(o.sampleFormat, c[3]);
        EXPECT_EQ(o.lossy, c[3] == std::string("vorbis") || mp3);
        EXPECT_EQ(std::to_string(o.sampleRate), c[4]);
        EXPECT_EQ(std::to_string(o.channels), c[5]);
        // An MP3's length is known to the encoder's padding only.
        if (!mp3) { EXPECT_EQ(o.frames, std::stoi(c[4]) * 3 / 2); }
        EXPECT_NEAR(o.seconds, 1.5, mp3 ? 0.1 : 1e-3);
        EXPECT_FALSE(o.cover);
    }
    const tonewright::JobResult<tonewright::InfoReport> missing = tonewright::info({dir.path("none.wav").toStdString()});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind, tonewright::JobError::Kind::Input);
    EXPECT_EQ(tonewright::info({}).error().file, "input");
}
