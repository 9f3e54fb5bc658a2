// Writes the valid seed files of the fuzz corpora with the library itself:
//   tw_fuzz_seeds <folder>
// makes <folder>/<target>/ for each fuzz target. Short streams keep the seeds
// small (libFuzzer's input size follows its largest seed). Damaged variants and
// files made by other tools are added by scripts/fuzz-corpus.sh.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "FuzzKit.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoStatAnalysis.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundCueSheet.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundSndfile.h"
#include "tonewright/SoundStatReference.h"
#include "tonewright/SoundStatSource.h"
#include "tonewright/SoundWriter.h"

namespace {

// The statistics files and binary catalogs are Qt 5's binary JSON, deprecated
// by Qt but the format the library reads; the seeds must be made in it.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
QJsonDocument fromBinary(const QByteArray& bytes) { return QJsonDocument::fromBinaryData(bytes); }
QByteArray toBinary(const QJsonDocument& doc) { return doc.toBinaryData(); }
QT_WARNING_POP

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(bytes) == bytes.size();
}

// Runs a plain copy of `frames` frames into `writer`.
bool copyInto(SoundWriter& writer, const QString& path, unsigned frames, unsigned rate, const SoundIDTag* tags) {
    if (writer.open(path) != SoundTools::Ok) return false;
    if (tags) writer.setTags(*tags);
    twfuzz::ToneReader reader(frames, rate);
    auto buffer = SoundBuffer::createNew(rate);
    buffer->alloc(1024, 2);
    while (reader.stereoRead(buffer, 0) > 0)
        if (writer.writeBuffer(buffer, 0) != SoundTools::Ok) return false;
    writer.close();
    return !writer.hasFailed();
}

SoundIDTag someTags() {
    SoundIDTag t;
    t.title = "Seed title \xc3\xa9";
    t.artist = "Seed artist";
    t.album = "Seed album";
    t.year = "2024";
    t.comment = "seed";
    t.track = "7";
    t.genre = "Jazz";
    // The signature and header chunk of a 1x1 PNG: enough for a picture frame.
    static const unsigned char png[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a, 0, 0, 0, 0x0d,
                                        'I',  'H', 'D', 'R', 0,    0,    0,    1,    0, 0, 0, 1,
                                        8,    6,   0,   0,   0,    0x1f, 0x15, 0xc4, 0x89};
    t.cover = QByteArray(reinterpret_cast<const char*>(png), int(sizeof png));
    t.coverMimeType = "image/png";
    return t;
}

int failures = 0;
void check(bool ok, const QString& what) {
    if (!ok) {
        std::fprintf(stderr, "seed not written: %s\n", qPrintable(what));
        ++failures;
    }
}

void soundSeeds(const QString& dir) {
    const struct {
        const char* name;
        SoundTools::SoundFormat format;
        SoundWriterSndfile::FileType type;
    } kinds[] = {
        {"pcm8.wav", SoundTools::Pcm8, SoundWriterSndfile::Wav},    {"pcm16.wav", SoundTools::Pcm16, SoundWriterSndfile::Wav},
        {"pcm24.wav", SoundTools::Pcm24, SoundWriterSndfile::Wav},  {"pcm32.wav", SoundTools::Pcm32, SoundWriterSndfile::Wav},
        {"float.wav", SoundTools::Float, SoundWriterSndfile::Wav},  {"double.wav", SoundTools::Double, SoundWriterSndfile::Wav},
        {"pcm16.flac", SoundTools::Pcm16, SoundWriterSndfile::Flac}, {"pcm24.flac", SoundTools::Pcm24, SoundWriterSndfile::Flac},
        {"vorbis.ogg", SoundTools::Pcm16, SoundWriterSndfile::Ogg},
    };
    const SoundIDTag tags = someTags();
    for (const auto& k : kinds) {
        SoundWriterSndfile writer(22050, 2, k.format, k.type);
        check(copyInto(writer, dir + "/" + k.name, 1500, 22050, &tags), k.name);
    }
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray le32(uint32_t v) {
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return QByteArray(b, 4);
}
QByteArray be32(uint32_t v) {
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(b, 4);
}

// The CRC of an Ogg page (polynomial 0x04c11db7, not reflected), over the page
// with its checksum field zero.
uint32_t oggCrc(const QByteArray& page) {
    uint32_t crc = 0;
    for (char c : page) {
        crc ^= uint32_t(uint8_t(c)) << 24;
        for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04c11db7u : crc << 1;
    }
    return crc;
}

// Files whose metadata claims more than the file holds or a tag needs: a WAV
// file whose LIST chunk claims 200 MB, a FLAC picture claiming 2 GB in a block
// of a few bytes, an Ogg Vorbis comment of length 0xFFFFFFF0. Made from the
// seeds written above.
void claimSeeds(const QString& dir) {
    const QByteArray wav = readFile(dir + "/pcm16.wav");
    if (wav.size() > 44 && wav.startsWith("RIFF")) {
        QByteArray list = "LIST" + le32(200u << 20) + "INFOICMT" + le32(16) + QByteArray(16, 'a');
        QByteArray out = wav + list;
        out.replace(4, 4, le32(uint32_t(out.size() - 8)));
        check(writeFile(dir + "/list-claim.wav", out), "list-claim.wav");
    }
    QByteArray flac = readFile(dir + "/pcm16.flac");
    if (flac.size() > 42 && flac.startsWith("fLaC")) {
        // After the stream information block, taking over its last-block flag.
        const char last = char(flac[4] & 0x80);
        flac[4] = char(flac[4] & 0x7f);
        const QByteArray mime = "image/png";
        const QByteArray body = be32(3) + be32(uint32_t(mime.size())) + mime + be32(0) + be32(1) + be32(1) + be32(24) +
                                be32(0) + be32(0x80000000u) + QByteArray("\x89PNG", 4);
        const QByteArray block = QByteArray(1, char(6 | last)) + be32(uint32_t(body.size())).mid(1) + body;
        check(writeFile(dir + "/picture-claim.flac", flac.left(42) + block + flac.mid(42)), "picture-claim.flac");
    }
    QByteArray ogg = readFile(dir + "/vorbis.ogg");
    // The comment packet opens the second page: its vendor text, the comment
    // count, then the first comment's length, which is made to claim 4 GB.
    const int page = ogg.indexOf("OggS", 4);
    if (page > 0 && ogg.size() > page + 27) {
        const int body = page + 27 + uint8_t(ogg[page + 26]);
        if (ogg.mid(body, 7) == "\x03vorbis") {
            const uint32_t vendor = uint8_t(ogg[body + 7]) | uint8_t(ogg[body + 8]) << 8;
            const int at = body + 11 + int(vendor) + 4;
            int end = body;
            for (int i = 0; i < uint8_t(ogg[page + 26]); ++i) end += uint8_t(ogg[page + 27 + i]);
            ogg.replace(at, 4, le32(0xFFFFFFF0u));
            ogg.replace(page + 22, 4, le32(0));
            ogg.replace(page + 22, 4, le32(oggCrc(ogg.mid(page, end - page))));
            check(writeFile(dir + "/comment-claim.ogg", ogg), "comment-claim.ogg");
        }
    }
}

void mp3Seeds(const QString& dir) {
    if (!SoundWriterMp3::Init()) {
        std::fprintf(stderr, "no MP3 encoder: MP3 seeds come from other tools only\n");
        return;
    }
    const SoundIDTag tags = someTags();
    SoundWriterMp3 tagged(44100, 2, 128);
    check(copyInto(tagged, dir + "/tagged.mp3", 4000, 44100, &tags), "tagged.mp3");
    SoundWriterMp3 plain(22050, 2, 32);
    check(copyInto(plain, dir + "/plain22k.mp3", 3000, 22050, nullptr), "plain22k.mp3");
}

QByteArray compact(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

void statSeeds(const QString& statDir, const QString& jsonDir) {
    SoundAlgoStatAnalysis::Settings settings;
    settings.fftSize = 1024;
    auto analysis = SoundRef<SoundAlgoStatAnalysis>::make(settings);
    twfuzz::ToneReader reader(3 * 8000, 8000);
    check(analysis->processAll(reader, nullptr) == SoundTools::Ok, "analysis");
    SoundStatFile file = analysis->getStatFile();
    check(file.writeJSonFile(statDir + "/analysis.ssf"), "analysis.ssf");
    // The same with the record of the recording it was made from: the tone
    // written to a scratch file and described there.
    {
        QTemporaryDir scratch;
        const QString wav = scratch.path() + "/tone.wav";
        SoundWriterSndfile writer(8000, 2, SoundTools::Pcm16, SoundWriterSndfile::Wav);
        SoundStatSource source;
        check(scratch.isValid() && copyInto(writer, wav, 3 * 8000, 8000, nullptr) &&
                  SoundStatSource::measure(wav, source, nullptr),
              "described recording");
        SoundStatFile described = file;
        described.setSource(source);
        check(described.writeJSonFile(statDir + "/described.ssf"), "described.ssf");
    }
    // The same without its checksum, as files were before they were sealed:
    // changes to it reach the checks of every field instead of failing the sum.
    {
        QFile sealed(statDir + "/described.ssf");
        check(sealed.open(QIODevice::ReadOnly), "described.ssf read");
        QJsonObject root = fromBinary(sealed.readAll()).object();
        root.remove("Checksum");
        check(writeFile(statDir + "/unsealed.ssf", toBinary(QJsonDocument(root))), "unsealed.ssf");
    }

    SoundStatFile bandsOnly;
    {
        std::vector<double> freqs;
        std::vector<SoundAlgoStats*> stats;
        file.getStats(freqs, stats);
        bandsOnly.setStats(freqs, stats, true);
    }
    check(bandsOnly.writeJSonFile(statDir + "/bands.ssf"), "bands.ssf");
    SoundStatFile empty;
    check(empty.writeJSonFile(statDir + "/empty.ssf"), "empty.ssf");

    // The algorithms' own descriptions, one object per seed and all in an array.
    QJsonArray all;
    int i = 0;
    auto add = [&](const SoundAlgo* a) {
        if (!a) return;
        QJsonObject o;
        a->writeToJSon(o);
        all.append(o);
        check(writeFile(jsonDir + QString("/algo%1.json").arg(i++), compact(o)), "algo json");
    };
    add(file.getStepDetector());
    add(file.getFFTStats());
    for (const SoundAlgoStats* s : file.getBandStats()) add(s);
    check(writeFile(jsonDir + "/all.json", QJsonDocument(all).toJson(QJsonDocument::Compact)), "all.json");
    // A window of 2.2e33 s at 8615 Hz: refused when read (it once took 26 s
    // and 1.2 GB before the run refused nothing).
    check(writeFile(jsonDir + "/detector-huge-window.json",
                    "{\"Class\":\"RMSStepDetector\",\"NoiseThreshold\":-40,\"RMSTime\":2.2e33,\"MinSlopeTime\":1,"
                    "\"OutputMode\":0,\"RealTimeMode\":false,\"SampleRate\":8615,\"Regions\":[{\"BeginSample\":0,"
                    "\"SampleNb\":8615,\"RMSSqrValue0\":0.1,\"RMSSqrValue1\":0.1,\"MeanSmpl\":1,\"IsNoise\":false}]}"),
          "detector-huge-window.json");
    // The statistics file's document as text: nested descriptions.
    QFile ssf(statDir + "/analysis.ssf");
    if (ssf.open(QIODevice::ReadOnly))
        check(writeFile(jsonDir + "/statfile.json", fromBinary(ssf.readAll()).toJson()),
              "statfile.json");
}

void catalogSeeds(const QString& dir) {
    QFile f(SoundStatReferenceCatalog::getDefaultCatalogPath());
    if (!f.open(QIODevice::ReadOnly)) {
        check(false, "default catalog " + f.fileName());
        return;
    }
    const QByteArray text = f.readAll();
    const QJsonDocument doc = QJsonDocument::fromJson(text);
    // The targets' first byte chooses text (even) or binary JSON (odd).
    check(writeFile(dir + "/default-text", QByteArray(1, '\0') + text), "catalog text");
    check(writeFile(dir + "/default-binary", QByteArray(1, '\1') + toBinary(doc)), "catalog binary");
    QJsonArray one;
    if (doc.isArray() && !doc.array().isEmpty()) one.append(doc.array().first());
    check(writeFile(dir + "/one-text", QByteArray(1, '\0') + QJsonDocument(one).toJson(QJsonDocument::Compact)),
          "catalog one");
    check(writeFile(dir + "/one-binary", QByteArray(1, '\1') + toBinary(QJsonDocument(one))), "catalog one bin");
}

// CUE sheets as users and ripping tools write them, and name templates.
void textSeeds(const QString& cueDir, const QString& nameDir) {
    SoundCueSheet sheet;
    sheet.title = "Seed album";
    sheet.performer = "Seed band";
    for (int k = 1; k <= 3; ++k) {
        SoundCueSheet::Track t;
        t.number = k;
        t.title = "Part " + std::to_string(k);
        t.file = "album.flac";
        t.start = (k - 1) * 75 * 61 + k;
        sheet.tracks.push_back(t);
    }
    check(writeFile(cueDir + "/written.cue", sheet.toText()), "written.cue");
    check(writeFile(cueDir + "/ripped.cue",
                    "\xEF\xBB\xBFREM GENRE Jazz\r\nREM DATE 1999\r\nPERFORMER \"A\"\r\nTITLE \"B\"\r\n"
                    "FILE \"b.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n    TITLE \"One\"\r\n    INDEX 01 00:00:00\r\n"
                    "  TRACK 02 AUDIO\r\n    FLAGS DCP\r\n    PREGAP 00:02:00\r\n    INDEX 00 04:10:70\r\n"
                    "    INDEX 01 04:12:05\r\n"),
          "ripped.cue");
    check(writeFile(cueDir + "/two-files.cue",
                    "FILE a.wav WAVE\nTRACK 1 AUDIO\nINDEX 01 00:00:00\nFILE b.wav WAVE\nTRACK 2 AUDIO\n"
                    "INDEX 01 00:00:00\n"),
          "two-files.cue");
    // UTF-16 with a byte order mark, as rippers write sheets, both byte orders.
    const QString utf16 = QChar(0xFEFF) + QString::fromUtf8(sheet.toText());
    QByteArray le, be;
    for (const QChar c : utf16) {
        le += char(c.unicode() & 0xff);
        le += char(c.unicode() >> 8);
        be += char(c.unicode() >> 8);
        be += char(c.unicode() & 0xff);
    }
    check(writeFile(cueDir + "/utf16le.cue", le), "utf16le.cue");
    check(writeFile(cueDir + "/utf16be.cue", be), "utf16be.cue");
    int i = 0;
    for (const char* t : {"{n:02} - {title}", "{n} {artist} - {album} ({date}) {genre}", "{{{name}}}-{n:03}of{total}",
                          "plain"})
        check(writeFile(nameDir + QString("/template%1").arg(i++), QByteArray(t)), "name template");
}

// Command lines of the host, fields separated by NUL bytes (the job first).
void cliSeeds(const QString& dir) {
    const char* const lines[] = {
        "info|--json|-j|2|a.wav|b.flac",
        "analyse|--threshold|-50|--max-correction|6|--plot|x.png|--plot-size|800x600|--no-save|a.wav",
        "analyse|--album|-y|--jobs=3|a.wav|b.wav|c.mp3",
        "correct|--max-correction|3|-r|Pink -3 dB/oct|-o|out.wav|--true-peak|-2|a.wav",
        "correct|--list|--json",
        "correct|-f|mp3|--bitrate|256|--reanalyse|--threshold=-60|a.wav|b.ogg",
        "level|--target|-14LUFS|--album|--max-gain|9|-o|dir/|a.wav|b.wav",
        "level|-t|-20dB|--true-peak|-1.5|-f|flac|-q|a.wav",
        "eq|--preset|Rock|--band|1k=3|--band|60=-2|--bass-boost|-g|-1|-o|e.wav|a.wav",
        "eq|--list-presets|--json",
        "split|--min-silence|1.5|--keep|0.5,1|--name|{n:02} - {title}|--cue|--m3u|-n|a.wav",
        "split|--from-cue|a.cue|--cut-at|0.3|--min-length|4|--merge-short|-o|p.flac|a.wav",
        "play|--preset|0|--gate|-60|--amp|3|--start|10|--duration|5|a.wav",
        "demo|-o|d|--plot|d.png|--plot-size|640x480",
        "correct|--help",
        "level|--version",
        // A value with a line break once made a usage error of two lines, the
        // second not naming the tool.
        "level|--target|-1\n4LUFS|a.wav",
    };
    int i = 0;
    for (const char* line : lines)
        check(writeFile(dir + QString("/line%1").arg(i++), QByteArray(line).replace('|', '\0')), "command line");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const char* targets[] = {"sndfile_reader", "mp3_reader",   "stat_file",    "reference_catalog",
                             "algo_json",      "cue_sheet", "name_template", "cli_options"};
    for (const char* t : targets) QDir().mkpath(root + "/" + t);
    soundSeeds(root + "/sndfile_reader");
    claimSeeds(root + "/sndfile_reader");
    mp3Seeds(root + "/mp3_reader");
    statSeeds(root + "/stat_file", root + "/algo_json");
    catalogSeeds(root + "/reference_catalog");
    textSeeds(root + "/cue_sheet", root + "/name_template");
    cliSeeds(root + "/cli_options");
    return failures == 0 ? 0 : 1;
}
