// info, checked against what sox says of the same files (the tags it shows: the
// split tests, on a file tagged by the library).
#include <array>

#include "CliKit.h"
#include "common/ExternalAudio.h"

using clitest::soxi;
using clitest::tool;

// The fields of files sox made, in several formats, reported in input order:
// the format and sample format, and rate, channels and length as sox gives them
// (the readers' agreement with sox on every format is the io tests' business).
TEST(CliInfo, FormatRateChannelsLengthAgreeWithSox) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    tk::TempDir dir;
    // The file's name, sox's options, the format and sample format info must give.
    const std::array<const char*, 4> cases[] = {
        {"mono8k.wav", "-r 8000 -c 1 -b 16", "wav", "pcm16"},
        {"stereo48k24.flac", "-r 48000 -c 2 -b 24", "flac", "pcm24"},
        {"float.wav", "-r 44100 -c 2 -e floating-point -b 32", "wav", "float"},
        {"vorbis.ogg", "-r 44100 -c 2", "ogg", nullptr},
        {"mono.mp3", "-r 22050 -c 1", "mp3", "mp3"},
    };
    QStringList files;
    for (const auto& c : cases) {
        files << dir.path(c[0]);
        ASSERT_EQ(tk::runCommand(std::string("sox -n ") + c[1] + " " + tk::shellQuote(files.back()) + " synth 1.5 sine 440"), 0);
    }
    const clitest::Run r = tool(QStringList{"info", "--json"} + files);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonArray results = r.json().array();
    ASSERT_EQ(results.size(), int(files.size()));
    for (int i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(cases[i][0]);
        const QJsonValue o = results[i];
        const bool mp3 = cases[i][2] == std::string("mp3");
        EXPECT_EQ(o["file"].toString(), files[i]);
        EXPECT_EQ(o["format"].toString(), cases[i][2]);
        if (cases[i][3]) { EXPECT_EQ(o["sampleFormat"].toString(), cases[i][3]); }
        EXPECT_EQ(std::to_string(o["sampleRate"].toInt()), soxi("-r", files[i]));
        EXPECT_EQ(std::to_string(o["channels"].toInt()), soxi("-c", files[i]));
        // sox counts an MP3's encoder padding.
        if (!mp3) { EXPECT_EQ(std::to_string(clitest::frames(o["frames"])), soxi("-s", files[i])); }
        EXPECT_NEAR(o["seconds"].toDouble(), 1.5, mp3 ? 0.1 : 1e-3);
        EXPECT_FALSE(o["cover"].toBool());
    }
}
