// The jobs that write processed sound (eq, level, correct) called as a host
// calls them: the equaliser against a model of its peaking bands written out
// independently, loudness and true peak as ffmpeg measures the outputs,
// dither, bad settings, cancellation and calls side by side.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <thread>

#include "common/ColouredNoise.h"
#include "common/EqualiserKit.h"
#include "common/ExternalAudio.h"
#include "common/Recordings.h"
#include "tonewright/Correct.h"
#include "tonewright/Eq.h"
#include "tonewright/Level.h"
#include "tonewright/SoundTagFile.h"

namespace {

using tonewright::JobError;

std::string str(const QString& s) { return s.toStdString(); }

// A job's call on (input, output) with the controls given, as ok or its error.
using Call = std::function<std::optional<JobError>(const std::string& in, const std::string& out,
                                                   const tonewright::JobControl&)>;
template <class Report>
std::optional<JobError> outcome(const tonewright::JobResult<Report>& r) {
    return r ? std::nullopt : std::optional<JobError>(r.error());
}
const std::pair<const char*, Call> kJobs[] = {
    {"eq", [](const std::string& in, const std::string& out, const tonewright::JobControl& c) {
         tonewright::EqSettings s;
         s.input = in, s.output = out, s.preset = "Rock";
         return outcome(tonewright::eq(s, c));
     }},
    {"level", [](const std::string& in, const std::string& out, const tonewright::JobControl& c) {
         tonewright::LevelSettings s;
         s.input = in, s.output = out;
         return outcome(tonewright::level(s, c));
     }},
    {"correct", [](const std::string& in, const std::string& out, const tonewright::JobControl& c) {
         tonewright::CorrectSettings s;
         s.input = in, s.output = out;
         return outcome(tonewright::correct(s, c));
     }},
};

std::vector<tk::EqBand> preset(const std::string& name) {
    for (const tk::EqPreset& p : tk::defaultEqPresets())
        if (p.name == name) return tk::withLevels(tk::defaultEqBands(), p.levels);
    return {};
}

}  // namespace

// The layout is the player's: its bands, bass-boost band and presets in order.
// Presets by name and number, band gains, the bass boost and its gain and the
// output gain all reach the cascade the output matches.
TEST(JobsEq, LayoutAndOutputMatchTheBandModel) {
    const tonewright::EqualiserLayout& l = tonewright::equaliserLayout();
    const std::vector<tk::EqPreset> model = tk::defaultEqPresets();
    ASSERT_EQ(l.presets.size(), model.size());
    for (size_t i = 0; i < model.size(); ++i) {
        EXPECT_EQ(l.presets[i].name, model[i].name);
        EXPECT_EQ(l.presets[i].levels, model[i].levels) << model[i].name;
    }
    ASSERT_EQ(l.bands.size(), tk::defaultEqBands().size());
    for (size_t i = 0; i < l.bands.size(); ++i) EXPECT_EQ(l.bands[i].frequency, tk::defaultEqBands()[i].freq);
    EXPECT_EQ(l.bassBoost.frequency, tk::bassBoostBand().freq);
    EXPECT_EQ(l.bassBoost.gain, tk::bassBoostBand().gain);

    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const unsigned rate = 44100;
    // Noise 20 dB below full scale: every band is exercised and no peak comes
    // near the limiter's ceiling.
    const QString input = dir.path("noise.wav"), out = dir.path("out.wav");
    ASSERT_TRUE(tk::writeWav16(input, tk::track(rate * 2, rate, -20.0, 7), rate, 2));
    tk::Frames source, got;
    ASSERT_TRUE(tk::decodeWithFfmpeg(input, &source));
    std::vector<tk::EqBand> folk = preset("Folk"), rockBoost = preset("Rock");
    std::vector<double> folkGains;
    for (tk::EqBand& b : folk) folkGains.push_back(b.gain);
    folk[6].gain = folkGains[6] = -2.0;
    rockBoost.push_back(tk::bassBoostBand());
    std::vector<tk::EqBand> fifthAndBoost = {tk::defaultEqBands()[4], tk::bassBoostBand()};
    fifthAndBoost[0].gain = 6.0;
    fifthAndBoost[1].gain = 4.0;
    std::vector<double> fifth(9, 0.0);
    fifth[4] = 6.0;
    struct Row {
        std::string preset;
        std::vector<double> gains;
        bool boost;
        double boostGain, gain;
        std::vector<tk::EqBand> bands;  // the cascade the output must match
    };
    const Row rows[] = {{"rock", {}, true, 8.0, 0.0, rockBoost},
                        {"7", folkGains, false, 8.0, 0.0, folk},
                        {"", {}, true, 8.0, 0.0, {tk::bassBoostBand()}},
                        {"", fifth, true, 4.0, -3.0, fifthAndBoost}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.preset + " " + std::to_string(row.gain));
        tonewright::EqSettings s;
        s.input = str(input), s.output = str(out), s.preset = row.preset, s.gains = row.gains;
        s.bassBoost = row.boost, s.bassBoostGain = row.boostGain, s.outputGain = row.gain;
        QFile::remove(out);
        const auto r = tonewright::eq(s);
        ASSERT_TRUE(r) << r.error().message();
        EXPECT_EQ(r->bands.size(), 9u);
        ASSERT_TRUE(tk::decodeWithFfmpeg(out, &got));
        // Bands of 0 dB pass the sound unchanged and are left out of the run.
        std::vector<tk::EqBand> active;
        for (const tk::EqBand& b : row.bands)
            if (b.gain != 0.0) active.push_back(b);
        // One step of 16 bits for the rounding of each of the two files.
        EXPECT_LT(tk::maxAbsDiff(got, tk::scaled(tk::eqCascade(source, active, rate), std::pow(10.0, row.gain / 20.0))),
                  2.5 / 32768.0);
    }
}

// A loudness target: ffmpeg measures every output at the target within half a
// LU and its true peak at or below the ceiling, lossless and lossy alike (the
// encoders' overshoot and the MP3 writer's headroom included), on the album, a
// mono copy of it (measured as its one channel) and pink noise with loud
// transients, which the limiter has to hold (after eq as well).
TEST(JobsLevel, LoudnessTargetAndTruePeakCeiling) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const tk::Recording album = tk::album(22050);
    const QString in = dir.path("album.wav"), mono = dir.path("mono.wav"), transients = dir.path("transients.wav");
    ASSERT_TRUE(tk::writeWav16(in, album.frames, album.rate, 2) && tk::writeWav16(mono, album.frames, album.rate, 1));
    constexpr unsigned kRate = 44100;
    tk::Frames bursts = tk::tiltedNoise(1 << 18, kRate, 3.0, 20.0, 5, {}, 0.05);
    for (size_t at = kRate / 4; at + 2000 < bursts.size(); at += kRate / 2)
        for (size_t i = 0; i < 2000; ++i) {
            const double v = 0.8 * std::exp(-double(i) / 300.0) * std::sin(2.0 * M_PI * 2500.0 * double(i) / kRate);
            bursts[at + i].l += v;
            bursts[at + i].r -= 0.7 * v;
        }
    ASSERT_TRUE(tk::writeWav16(transients, bursts, kRate, 2));
    for (const QString& input : {in, mono, transients})
        for (const char* ext : {"wav", "flac", "ogg", "mp3"}) {
            const QString out = dir.path(QFileInfo(input).baseName() + "-loud." + ext);
            SCOPED_TRACE(out.toStdString());
            tonewright::LevelSettings s;
            s.input = str(input), s.output = str(out), s.loudnessTarget = true, s.targetLufs = -14.0;
            const auto r = tonewright::level(s);
            ASSERT_TRUE(r) << r.error().message();
            const tk::FfmpegLoudness ff = tk::ffmpegLoudness(out);
            EXPECT_NEAR(ff.integrated, -14.0, 0.5);
            EXPECT_LE(ff.truePeak, -1.0);
            // What the job reports is what was written.
            EXPECT_NEAR(r->loudnessAfter, ff.integrated, 0.15);
        }
    // The equaliser lifts the transients into the limiter; lossy outputs keep the ceiling too.
    for (const char* ext : {"ogg", "mp3"}) {
        tonewright::EqSettings s;
        s.input = str(transients), s.output = str(dir.path(QString("eq.") + ext)), s.preset = "rock";
        ASSERT_TRUE(tonewright::eq(s));
        EXPECT_LE(tk::ffmpegLoudness(dir.path(QString("eq.") + ext)).truePeak, -1.0) << ext;
    }
}

// An album keeps the difference between its tracks (one gain for all) and,
// its outputs played one after the other, has the loudness asked for.
TEST(JobsLevel, AlbumGetsOneGain) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const unsigned rate = 44100;
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> files;
    for (double db : {-26.0, -20.0}) {
        const QString name = dir.path(QString("track%1.wav").arg(files.size()));
        ASSERT_TRUE(tk::writeWav16(name, tk::track(rate * 6, rate, db, 3 + uint32_t(files.size())), rate, 2));
        files.emplace_back(str(name), str(QString(name).replace(".wav", "-out.wav")));
    }
    tonewright::LevelSettings s;
    s.loudnessTarget = true, s.targetLufs = -18.0;
    const auto r = tonewright::levelAlbum(s, files);
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].regionTarget, (*r)[1].regionTarget);
    double lift[2];
    tk::Frames both, one;
    for (int i = 0; i < 2; ++i) {
        lift[i] = tk::ffmpegLoudness(QString::fromStdString(files[i].second)).integrated -
                  tk::ffmpegLoudness(QString::fromStdString(files[i].first)).integrated;
        ASSERT_TRUE(tk::decodeWithFfmpeg(QString::fromStdString(files[i].second), &one));
        both.insert(both.end(), one.begin(), one.end());
    }
    EXPECT_NEAR(lift[0], lift[1], 0.2);
    ASSERT_TRUE(tk::writeWav16(dir.path("both.wav"), both, rate, 2));
    EXPECT_NEAR(tk::ffmpegLoudness(dir.path("both.wav")).integrated, -18.0, 0.5);
}

// The same job with and without dither differs by round(y + d) - round(y): a
// step of one LSB up or down, with mean 0 and a mean square (LSB^2) of 1/3 for
// processed samples y that fall anywhere between two steps (the tail of the sum
// of three uniform values), 1/4 for samples on the grid (eq with all bands
// flat), whose plain output is the input itself. The dither's own statistics
// are the writers' tests' business: the rows only tell it is applied once.
TEST(JobsWriting, ProcessedOutputsAreDitheredUnlessTurnedOff) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const unsigned rate = 44100;
    const QString input = dir.path("noise.wav");
    ASSERT_TRUE(tk::writeWav16(input, tk::track(rate * 4, rate, -20.0, 3), rate, 2));
    tk::Frames source, d, p;
    ASSERT_TRUE(tk::decodeWithFfmpeg(input, &source));
    tonewright::JobControl replace;
    replace.overwrite = true;
    using Run = std::function<bool(const QString& out, bool dither)>;
    const std::pair<Run, double> rows[] = {
        {[&](const QString& out, bool dither) {
             tonewright::EqSettings s;
             s.input = str(input), s.output = str(out), s.dither = dither;
             return bool(tonewright::eq(s, replace));
         }, 0.25},
        {[&](const QString& out, bool dither) {
             tonewright::LevelSettings s;
             s.input = str(input), s.output = str(out), s.dither = dither;
             return bool(tonewright::level(s, replace));
         }, 1.0 / 3},
        {[&](const QString& out, bool dither) {
             tonewright::CorrectSettings s;
             s.input = str(input), s.output = str(out), s.dither = dither;
             return bool(tonewright::correct(s, replace));
         }, 1.0 / 3}};
    for (const auto& [run, meanSquare] : rows) {
        SCOPED_TRACE(meanSquare);
        ASSERT_TRUE(run(dir.path("dithered.wav"), true) && run(dir.path("plain.wav"), false));
        ASSERT_TRUE(tk::decodeWithFfmpeg(dir.path("dithered.wav"), &d) && tk::decodeWithFfmpeg(dir.path("plain.wav"), &p));
        ASSERT_TRUE(d.size() == source.size() && p.size() == source.size());
        EXPECT_LE(tk::maxAbsDiff(d, p), 1.01 / 32768);
        double sum = 0, sumSq = 0;
        for (size_t i = 0; i < d.size(); ++i)
            for (const double e : {(d[i].l - p[i].l) * 32768.0, (d[i].r - p[i].r) * 32768.0}) sum += e, sumSq += e * e;
        EXPECT_NEAR(sum / double(2 * d.size()), 0.0, 0.01);
        EXPECT_NEAR(sumSq / double(2 * d.size()), meanSquare, 0.02);
        if (meanSquare == 0.25) { EXPECT_EQ(tk::maxAbsDiff(p, source), 0.0); }
    }
}

// Every tag and the cover reach the output of every job in every tagged
// format, read back by mutagen and ffprobe; ReplayGain fields, made wrong by the
// processing, are dropped.
TEST(JobsWriting, TagsAndCoverSurviveEveryJob) {
    if (!tk::haveTool("ffmpeg") || !tk::haveTool("ffprobe") || tk::mutagenPython().empty())
        GTEST_SKIP() << "ffmpeg, ffprobe and mutagen are needed";
    // Field name (lower case) -> first value, and "pictures" -> their count.
    const std::string script = R"(
import sys, json, mutagen
from mutagen.id3 import ID3
m = mutagen.File(sys.argv[1]); t = m.tags; out = {}
if isinstance(t, ID3):
    for k, name in [("TIT2", "title"), ("TPE1", "artist"), ("TALB", "album"), ("TDRC", "date"),
                    ("TCON", "genre"), ("TRCK", "tracknumber")]:
        if k in t: out[name] = str(t[k].text[0])
    if t.getall("COMM"): out["comment"] = t.getall("COMM")[0].text[0]
    for f in t.getall("TXXX"): out[f.desc.lower()] = f.text[0]
    out["pictures"] = str(len(t.getall("APIC")))
else:
    for k, v in t.items(): out[k.lower()] = v[0]
    out["pictures"] = str(len(getattr(m, "pictures", None) or t.get("metadata_block_picture", [])))
if "/" in out.get("tracknumber", ""): out["tracknumber"], out["tracktotal"] = out["tracknumber"].split("/")
for k in sorted(out): print(k + "=" + out[k])
)";
    tk::TempDir dir;
    const QString wav = dir.path("source.wav");
    ASSERT_TRUE(tk::writeWav16(wav, tk::track(44100 * 3, 44100, -20.0, 7), 44100, 2));
    SoundIDTag tag;
    tag.title = "Étude", tag.artist = "Quartet", tag.album = "Works", tag.year = "2001", tag.comment = "live";
    tag.genre = "Classical", tag.track = "3", tag.trackTotal = "9", tag.cover = tk::pngCover();
    tag.coverMimeType = "image/png";
    tag.extra = {{"SESSION", "calm"}, {"REPLAYGAIN_TRACK_GAIN", "-3.00 dB"}};
    const std::map<std::string, std::string> expected = {
        {"title", "Étude"}, {"artist", "Quartet"}, {"album", "Works"}, {"date", "2001"}, {"comment", "live"},
        {"genre", "Classical"}, {"tracknumber", "3"}, {"tracktotal", "9"}, {"session", "calm"}, {"pictures", "1"}};
    tonewright::JobControl replace;
    replace.overwrite = true;
    for (const char* ext : {"flac", "ogg", "mp3"}) {
        const QString input = dir.path(QString("in.") + ext);
        ASSERT_EQ(tk::runCommand("ffmpeg -v error -y -i " + tk::shellQuote(wav) + " " + tk::shellQuote(input)), 0);
        ASSERT_EQ(SoundTagFile::write(input, tag), SoundTools::Ok);
        for (const auto& [job, call] : kJobs) {
            SCOPED_TRACE(std::string(job) + " " + ext);
            const QString output = dir.path(QString("out.") + ext);
            ASSERT_FALSE(call(str(input), str(output), replace));
            std::string text;
            ASSERT_EQ(tk::runPython(script, tk::shellQuote(output), &text), 0);
            std::map<std::string, std::string> read;
            for (const QString& line : QString::fromStdString(text).split('\n', Qt::SkipEmptyParts))
                read[str(line.section('=', 0, 0))] = str(line.section('=', 1));
            for (const auto& [key, value] : expected) EXPECT_EQ(read[key], value) << key;
            EXPECT_EQ(read.count("replaygain_track_gain"), 0u);
            const std::map<std::string, std::string> probe = tk::ffprobe(output, "format_tags:stream_tags");
            auto probed = [&](const char* key) {
                for (const auto& [k, v] : probe)
                    if (QString::fromStdString(k).compare(QString("TAG:") + key, Qt::CaseInsensitive) == 0) return v;
                return std::string();
            };
            EXPECT_EQ(probed("title"), "Étude");
            EXPECT_EQ(probed("genre"), "Classical");
        }
    }
}

// A setting out of range or not a number is an error naming it, returned
// before the input is read (a missing one would be an Input error).
template <class Settings, class Job>
std::optional<JobError> badRun(Job job, const std::function<void(Settings&)>& change) {
    Settings s;
    s.input = "missing.wav", s.output = "out.wav";
    change(s);
    return outcome(job(s, {}));
}
TEST(JobsWriting, BadSettingsAreNamedBeforeAnythingIsWritten) {
    using tonewright::EqSettings, tonewright::LevelSettings, tonewright::CorrectSettings;
    const std::pair<std::optional<JobError>, const char*> rows[] = {
        {badRun<EqSettings>(tonewright::eq, [](auto& s) { s.preset = "Nonesuch"; }), "preset"},
        {badRun<EqSettings>(tonewright::eq, [](auto& s) { s.gains = {1, 2}; }), "gains"},
        {badRun<EqSettings>(tonewright::eq, [](auto& s) { s.gains.assign(9, NAN); }), "gains"},
        {badRun<EqSettings>(tonewright::eq, [](auto& s) { s.truePeakDb = 0.5; }), "truePeakDb"},
        {badRun<EqSettings>(tonewright::eq, [](auto& s) { s.output.clear(); }), "output"},
        {badRun<LevelSettings>(tonewright::level, [](auto& s) { s.loudnessTarget = false, s.targetDb = NAN; }),
         "targetDb"},
        {badRun<LevelSettings>(tonewright::level, [](auto& s) { s.targetLufs = -80; }), "targetLufs"},
        {badRun<LevelSettings>(tonewright::level, [](auto& s) { s.maxGainDb = -1; }), "maxGainDb"},
        {badRun<LevelSettings>(tonewright::level, [](auto& s) { s.bitRate = 8; }), "bitRate"},
        {badRun<LevelSettings>([](const LevelSettings& s, const tonewright::JobControl& c) {
             return tonewright::levelAlbum(s, {{s.input, s.output}}, c);
         }, [](auto& s) { s.loudnessTarget = false; }), "loudnessTarget"},
        {badRun<CorrectSettings>(tonewright::correct, [](auto& s) { s.maxCorrection = -3; }), "maxCorrection"},
        {badRun<CorrectSettings>(tonewright::correct, [](auto& s) { s.reference = "Nonesuch"; }), "reference"},
    };
    for (const auto& [error, field] : rows) {
        SCOPED_TRACE(field);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind, JobError::Kind::Setting);
        EXPECT_EQ(error->file, field);
    }
}

// A job stopped through its progress callback ends Cancelled and leaves
// nothing behind, whichever pass it was in; a file of another name is kept.
TEST(JobsWriting, CancelLeavesNoOutputAndPipesAreRefused) {
    tk::TempDir dir;
    const unsigned rate = 44100;
    const QString input = dir.path("in.wav");
    ASSERT_TRUE(tk::writeWav16(input, tk::track(rate * 20, rate, -20.0, 5), rate, 2));
    for (const auto& [name, call] : kJobs)
        for (int stopAt : {1, 2}) {
            // eq has one pass; level and correct measure first.
            if (stopAt == 2 && std::string(name) == "eq") continue;
            SCOPED_TRACE(std::string(name) + " pass " + std::to_string(stopAt));
            tonewright::JobControl c;
            c.progress = [stopAt](const tonewright::JobProgress& p) { return !(p.pass + 1 >= stopAt && p.done > 0); };
            const std::optional<JobError> e = call(str(input), str(dir.path("out.wav")), c);
            ASSERT_TRUE(e.has_value());
            EXPECT_EQ(e->kind, JobError::Kind::Cancelled);
            EXPECT_EQ(QDir(dir.root()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
                      QStringList{"in.wav"});
        }
    // A pipe is refused before it is opened (opening would wait for a writer,
    // and level reads its input twice).
    const QString fifo = dir.path("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.toUtf8().constData(), 0600), 0);
    for (const auto& [name, call] : kJobs) {
        const std::optional<JobError> e = call(str(fifo), str(dir.path("out.wav")), {});
        ASSERT_TRUE(e.has_value()) << name;
        EXPECT_EQ(e->kind, JobError::Kind::Input) << name;
        EXPECT_NE(e->cause.find("not a regular file"), std::string::npos) << e->message();
    }
}

// Two files at once on two threads give the very bytes they give one after
// the other.
TEST(JobsWritingThreads, TwoFilesAtOnceMatchOneAtATime) {
    tk::TempDir dir;
    const unsigned rate = 44100;
    const QString a = dir.path("a.wav"), b = dir.path("b.wav");
    ASSERT_TRUE(tk::writeWav16(a, tk::track(rate * 5, rate, -24.0, 1), rate, 2));
    ASSERT_TRUE(tk::writeWav16(b, tk::track(rate * 5, rate, -12.0, 2), rate, 2));
    const auto bytes = [](const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    for (const auto& [name, call] : kJobs) {
        SCOPED_TRACE(name);
        tonewright::JobControl c;
        c.overwrite = true;
        std::optional<JobError> ea, eb;
        ASSERT_FALSE(call(str(a), str(dir.path("a1.wav")), c) || call(str(b), str(dir.path("b1.wav")), c));
        std::thread ta([&] { ea = call(str(a), str(dir.path("a2.wav")), c); });
        std::thread tb([&] { eb = call(str(b), str(dir.path("b2.wav")), c); });
        ta.join();
        tb.join();
        ASSERT_FALSE(ea || eb);
        EXPECT_EQ(bytes(dir.path("a1.wav")), bytes(dir.path("a2.wav")));
        EXPECT_EQ(bytes(dir.path("b1.wav")), bytes(dir.path("b2.wav")));
        EXPECT_NE(bytes(dir.path("a2.wav")), bytes(dir.path("b2.wav")));
    }
}
