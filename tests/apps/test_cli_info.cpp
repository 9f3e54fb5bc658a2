// info on files sox made in several formats, reported in input order: the
// format and sample format, and the rate, channels and length sox was asked for
// (the readers' agreement with sox on every format is the io tests' business;
// the tags info shows: the split tests, on a file tagged by the library).
#include <array>

#include "CliKit.h"
#include "common/ExternalAudio.h"

TEST(CliInfo, FormatRateChannelsAndLengthOfEachFile) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    tk::TempDir dir;
    // The file's name, further sox options, the format and sample format, rate and channels.
    const std::array<const char*, 6> cases[] = {
        {"mono8k.wav", "-b 16", "wav", "pcm16", "8000", "1"},
        {"stereo48k24.flac", "-b 24", "flac", "pcm24", "48000", "2"},
        {"float.wav", "-e floating-point -b 32", "wav", "float", "44100", "2"},
        {"vorbis.ogg", "", "ogg", nullptr, "44100", "2"},
        {"mono.mp3", "", "mp3", "mp3", "22050", "1"},
    };
    QStringList files;
    for (const auto& c : cases) {
        files << dir.path(c[0]);
        const std::string format = std::string("-r ") + c[4] + " -c " + c[5] + " " + c[1];
        ASSERT_TRUE(clitest::synth(files.back(), format, "synth 1.5 sine 440"));
    }
    const clitest::Run r = clitest::tool(QStringList{"info", "--json"} + files);
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
        EXPECT_EQ(std::to_string(o["sampleRate"].toInt()), cases[i][4]);
        EXPECT_EQ(std::to_string(o["channels"].toInt()), cases[i][5]);
        // An MP3's length is known to the encoder's padding only.
        if (!mp3) { EXPECT_EQ(clitest::frames(o["frames"]), std::stoi(cases[i][4]) * 3 / 2); }
        EXPECT_NEAR(o["seconds"].toDouble(), 1.5, mp3 ? 0.1 : 1e-3);
        EXPECT_FALSE(o["cover"].toBool());
    }
}
