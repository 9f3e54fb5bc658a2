// info, checked against what sox and ffprobe say of the same files.
#include <QJsonArray>
#include <QJsonObject>

#include "CliKit.h"
#include "common/ExternalAudio.h"

using clitest::tool;

using clitest::soxi;

// Rate, channels, length and sample format of files sox made, in several formats.
TEST(CliInfo, FormatRateChannelsLengthAgreeWithSox) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    tk::TempDir dir;
    struct Case {
        const char* name;
        const char* soxArgs;
        const char* format;
        const char* sampleFormat;
    };
    const Case cases[] = {
        {"mono8k.wav", "-r 8000 -c 1 -b 16", "wav", "pcm16"},
        {"stereo48k24.flac", "-r 48000 -c 2 -b 24", "flac", "pcm24"},
        {"float.wav", "-r 44100 -c 2 -e floating-point -b 32", "wav", "float"},
        {"vorbis.ogg", "-r 44100 -c 2", "ogg", nullptr},
        {"mono.mp3", "-r 22050 -c 1", "mp3", "mp3"},
    };
    QStringList files;
    for (const Case& c : cases) {
        const QString path = dir.path(c.name);
        ASSERT_EQ(tk::runCommand(std::string("sox -n ") + c.soxArgs + " " + tk::shellQuote(path) +
                                 " synth 1.5 sine 440 2>/dev/null"),
                  0)
            << c.name;
        files << path;
    }
    const clitest::Run r = tool(QStringList{"info", "--json"} + files);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonArray results = r.json().array();
    ASSERT_EQ(results.size(), int(files.size()));
    for (int i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const QJsonObject o = results[i].toObject();
        EXPECT_EQ(o["file"].toString(), files[i]);  // input order, whatever finished first
        EXPECT_EQ(o["format"].toString(), cases[i].format);
        if (cases[i].sampleFormat) {
            EXPECT_EQ(o["sampleFormat"].toString(), cases[i].sampleFormat);
        }
        EXPECT_EQ(std::to_string(o["sampleRate"].toInt()), soxi("-r", files[i]));
        EXPECT_EQ(std::to_string(o["channels"].toInt()), soxi("-c", files[i]));
        if (cases[i].format != std::string("mp3")) {  // sox counts an MP3's encoder padding
            EXPECT_EQ(std::to_string(qint64(o["frames"].toDouble())), soxi("-s", files[i]));
        }
        // An MP3 made by sox keeps some of the encoder's padding.
        EXPECT_NEAR(o["seconds"].toDouble(), 1.5, cases[i].format == std::string("mp3") ? 0.1 : 1e-3);
        EXPECT_EQ(o["cover"].toBool(), false);
    }
}

// Tags and the cover picture of an MP3 made by lame, and the text form.
TEST(CliInfo, TagsAndCoverOfAnMp3) {
    if (!tk::haveTool("lame") || !tk::haveTool("sox")) GTEST_SKIP() << "no lame or sox";
    tk::TempDir dir;
    const QString wav = dir.path("in.wav"), png = dir.path("cover.png"), mp3 = dir.path("song.mp3");
    ASSERT_EQ(tk::runCommand("sox -n -r 44100 -c 2 " + tk::shellQuote(wav) + " synth 1 sine 440"), 0);
    const QByteArray cover = tk::pngCover();
    ASSERT_TRUE(tk::writeBytes(png, cover));
    ASSERT_EQ(tk::runCommand("lame --silent --tt 'Chanson' --ta 'Artiste' --tl 'Album' --ty 1999 --tn 4 --ti " +
                             tk::shellQuote(png) + " " + tk::shellQuote(wav) + " " + tk::shellQuote(mp3)),
              0);
    const clitest::Run r = tool({"info", "--json", mp3});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonObject o = r.json().object();
    const QJsonObject tags = o["tags"].toObject();
    EXPECT_EQ(tags["title"].toString(), "Chanson");
    EXPECT_EQ(tags["artist"].toString(), "Artiste");
    EXPECT_EQ(tags["album"].toString(), "Album");
    EXPECT_EQ(tags["year"].toString(), "1999");
    EXPECT_EQ(tags["track"].toString(), "4");
    EXPECT_FALSE(tags.contains("genre"));
    EXPECT_TRUE(o["cover"].toBool());
    EXPECT_EQ(o["coverMimeType"].toString(), "image/png");
    EXPECT_EQ(o["coverBytes"].toInt(), cover.size());

    const clitest::Run text = tool({"info", mp3});
    EXPECT_TRUE(text.out.contains("title     Chanson"));
    EXPECT_TRUE(text.out.contains(QString("cover     image/png, %1 bytes").arg(cover.size())));
    EXPECT_TRUE(text.out.contains("length    00:00:01."));
}
