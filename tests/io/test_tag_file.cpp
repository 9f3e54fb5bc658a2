// The full tag layer: what the writers store (through setTags and the tag layer
// at close) is read back by ffprobe and mutagen on every format, and by the tag
// layer itself; the sound is left as it was. Track numbers from file names.
#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>

#include "common/ExternalAudio.h"
#include "common/FileKit.h"
#include "common/MessageCapture.h"
#include "common/TestKit.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundTagFile.h"

namespace {

// The tags ffprobe finds for the file and its sound stream (not those of the
// picture stream), keys in lower case.
std::map<std::string, std::string> probedTags(const QString& name) {
    std::string text;
    tk::runCommand("ffprobe -v error -select_streams a -show_entries format_tags:stream_tags -of "
                   "default=noprint_wrappers=1 " + tk::shellQuote(name), &text);
    std::map<std::string, std::string> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string k = line.substr(0, eq);
        std::transform(k.begin(), k.end(), k.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        out[k] = line.substr(eq + 1);
    }
    return out;
}

// Title, artist, album, year, comment, track, genre, cover, its type, total, extra.
SoundIDTag albumTags() {
    return {"S\xC3\xA9rénade", "The Artist", "An \xC3\x84lbum", "2019", "Written by the tests", "3", "Classical",
            tk::pngCover(), "image/png", "12", {{"REPLAYGAIN_TRACK_GAIN", "-6.20 dB"}}};
}

// Prints what mutagen finds in the file in one form for every format.
const std::string kMutagenScript = R"(
import sys, base64, mutagen
from mutagen.flac import Picture
f = mutagen.File(sys.argv[1])
t = f.tags
if hasattr(t, 'getall'):
    track = str(t.get('TRCK', ''))
    gain = [x.text[0] for x in t.getall('TXXX') if x.desc == 'REPLAYGAIN_TRACK_GAIN']
    pics = [(p.mime, p.data) for p in t.getall('APIC')]
else:
    g = lambda k: (t.get(k) or [''])[0]
    track = g('tracknumber') + '/' + g('tracktotal')
    gain = t.get('replaygain_track_gain') or []
    pics = [(p.mime, p.data) for p in getattr(f, 'pictures', [])]
    pics += [(p.mime, p.data) for p in (Picture(base64.b64decode(v)) for v in t.get('metadata_block_picture', []))]
print('track=' + track)
print('gain=' + ';'.join(gain))
print('mime=' + ';'.join(p[0] for p in pics))
print('cover=' + ';'.join(p[1].hex() for p in pics))
)";

TEST(TagFile, EveryFormatStoresTheWholeRecord) {
    if (!tk::haveTool("ffprobe")) GTEST_SKIP() << "ffprobe is needed";
    tk::TempDir dir;
    const unsigned rate = 44100;
    const tk::Frames sound = tk::mixedStereo(rate / 2, rate);
    const SoundIDTag tags = albumTags();
    for (const char* ext : {"wav", "flac", "ogg", "mp3"}) {
        SCOPED_TRACE(ext);
        if (std::string(ext) == "mp3" && !SoundWriterMp3::Init()) continue;
        const QString name = dir.path(QString("tagged.") + ext);
        // Set after open: the libsndfile writers need an open file.
        ASSERT_TRUE(tk::writeFile(name, sound, rate, SoundTools::Pcm16, &tags)) << qPrintable(SoundDebuggableClass::getError());

        // ffprobe: the text fields (from the INFO list in WAV files).
        const auto probed = probedTags(name);
        for (const auto& kv : std::map<std::string, std::string>{{"tag:title", tags.title}, {"tag:artist", tags.artist},
                 {"tag:album", tags.album}, {"tag:genre", tags.genre}, {"tag:date", tags.year},
                 {"tag:comment", tags.comment}})
            EXPECT_EQ(probed.count(kv.first) ? probed.at(kv.first) : "(missing)", kv.second)
                << kv.first;
        // mutagen: number and total, the named field and the picture (the ID3
        // chunk in WAV files, which ffprobe sets aside when an INFO list exists).
        std::string out;
        if (!tk::mutagenPython().empty()) {
            ASSERT_EQ(tk::runPython(kMutagenScript, tk::shellQuote(name), &out), 0) << out;
            EXPECT_EQ(out, "track=3/12\ngain=-6.20 dB\nmime=image/png\ncover=" + tags.cover.toHex().toStdString() +
                               "\n");
        }
        // The tag layer reads back what it was given, the format's reader the names.
        SoundIDTag back, heard;
        ASSERT_EQ(SoundTagFile::read(name, back), SoundTools::Ok);
        EXPECT_EQ(tk::tagText(back), tk::tagText(tags));
        std::unique_ptr<SoundReader> in(SoundReader::getFromFilename(name));
        ASSERT_TRUE(in && in->open(name) == SoundTools::Ok);
        EXPECT_TRUE(in->getTags(heard));
        // The comment too: the tags added at close keep the field libsndfile
        // wrote it in (ffprobe sees it there as well).
        EXPECT_EQ(heard.title + "|" + heard.artist + "|" + heard.album + "|" + heard.comment,
                  tags.title + "|" + tags.artist + "|" + tags.album + "|" + tags.comment);
        if (std::string(ext) == "flac" || std::string(ext) == "ogg") {
            EXPECT_EQ(probed.count("tag:software") ? probed.at("tag:software").rfind(tags.comment, 0) : 1u, 0u);
        }
        if (std::string(ext) == "mp3") {  // the MP3 reader gives the whole record but the total and named fields
            SoundIDTag record = tags;
            record.trackTotal.clear();
            record.extra.clear();
            EXPECT_EQ(tk::tagText(heard), tk::tagText(record));
        }
        EXPECT_EQ(in->getFrameNB(), sound.size());  // the sound is untouched

        // Named fields set alone leave the rest, the picture included; an
        // empty value removes its field.
        ASSERT_EQ(SoundTagFile::setFields(name, {{"REPLAYGAIN_TRACK_GAIN", "-1.00 dB"}, {"replaygain_album_gain", "-2.00 dB"}}),
                  SoundTools::Ok);
        ASSERT_EQ(SoundTagFile::setFields(name, {{"REPLAYGAIN_ALBUM_GAIN", ""}}), SoundTools::Ok);
        SoundIDTag kept = tags;
        kept.extra = {{"REPLAYGAIN_TRACK_GAIN", "-1.00 dB"}};
        ASSERT_EQ(SoundTagFile::read(name, back), SoundTools::Ok);
        EXPECT_EQ(tk::tagText(back), tk::tagText(kept));

        // Rewriting with fewer fields removes the others.
        SoundIDTag fewer;
        fewer.title = "Only a title";
        ASSERT_EQ(SoundTagFile::write(name, fewer), SoundTools::Ok);
        ASSERT_EQ(SoundTagFile::read(name, back), SoundTools::Ok);
        EXPECT_EQ(tk::tagText(back), tk::tagText(fewer));
    }
}

TEST(TagFile, RefusesWhatItCannotTagWithTheFileName) {
    tk::TempDir dir;
    ASSERT_TRUE(tk::writeBytes(dir.path("junk.flac"), "not a flac file at all"));
    SoundIDTag tag;
    tag.title = "x";
    for (const QString& name : {dir.path("missing.wav"), dir.path("junk.flac"), dir.path("notes.txt")}) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_EQ(SoundTagFile::read(name, tag), SoundTools::Error);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(name));
        EXPECT_EQ(SoundTagFile::write(name, tag), SoundTools::Error);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(name));
    }
}

TEST(TagFile, TrackNumberOnlyFromTheLeadingNumberOfTheName) {
    const std::pair<const char*, const char*> cases[] = {
        {"/music/07 - Song.wav", "7"},     {"07-song.flac", "7"},         {"07_song.ogg", "7"},
        {"07. Song.mp3", "7"},             {"/x/CD 1999/12 Track.wav", "12"}, {"001-album.wav", "1"},
        {"/music/2019/Song.wav", ""},      {"mini-24.wav", ""},           {"CD 1999/x.wav", ""},
        {"1999.wav", ""},                  {"24bit.flac", ""},            {"track7.wav", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(SoundTagFile::trackFromFileName(c.first), c.second) << c.first;
}

}  // namespace

// A cover larger than the container's picture block can count (24 bits in
// FLAC, the same block in Ogg) is left out with a warning: the file is
// written whole and readable, by ffprobe too, with its other tags. One that
// just fits is written and read back.
TEST(TagFile, CoverTooLargeForItsContainerIsLeftOut) {
    if (!tk::haveTool("ffprobe")) GTEST_SKIP() << "ffprobe is needed";
    tk::TempDir dir;
    const unsigned rate = 22050;
    const tk::Frames sound = tk::mixedStereo(rate / 4, rate);
    const int fits = 0xFFFFFF - 32 - 9 - 5;  // the block: 32 bytes of fields, "image/png", "Cover"
    const struct {
        const char* ext;
        int coverBytes;
        bool kept;
    } cases[] = {{"flac", fits + 1, false}, {"ogg", fits + 1, false}, {"flac", fits, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.ext << ", " << c.coverBytes << " bytes");
        SoundIDTag tags;
        tags.title = "Large cover";
        tags.genre = "Jazz";  // a field the tag layer adds at close
        tags.cover = tk::pngCover() + QByteArray(c.coverBytes - tk::pngCover().size(), '\0');
        tags.coverMimeType = "image/png";
        const QString name = dir.path(QString("cover.") + c.ext);
        tk::MessageCapture capture;
        ASSERT_TRUE(tk::writeFile(name, sound, rate, SoundTools::Pcm16, &tags));
        EXPECT_EQ(capture.contains("cover picture of 16 MiB left out"), !c.kept) << capture.messages().join("\n").toStdString();
        EXPECT_EQ(tk::ffprobe(name, "format=format_name")["format_name"], c.ext);
        std::unique_ptr<SoundReader> in(SoundReader::getFromFilename(name));
        ASSERT_TRUE(in && in->open(name) == SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
        EXPECT_EQ(in->getFrameNB(), sound.size());
        SoundIDTag back;
        ASSERT_EQ(SoundTagFile::read(name, back), SoundTools::Ok);
        EXPECT_EQ(back.title + "|" + back.genre, tags.title + "|" + tags.genre);
        EXPECT_EQ(back.cover.size(), c.kept ? c.coverBytes : 0);
    }
}

