// split on generated albums of known structure: every gap found within 50 ms,
// no cut inside a track (quiet intros, fade-outs and long quiet passages stay
// sound), the plan = the pieces written to the frame on several recordings and
// formats (pieces decoded by ffmpeg), tags on every piece, the CUE sheet and
// playlist, cutting at a given CUE sheet, bad settings, a cancellation and two
// splits at once.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <random>
#include <thread>
#include <tuple>

#include "common/ExternalAudio.h"
#include "common/FileKit.h"
#include "common/Recordings.h"
#include "common/TestKit.h"
#include "tonewright/Info.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundTagFile.h"
#include "tonewright/Split.h"

using tonewright::SplitReport;
using tonewright::SplitSettings;

namespace {

// One stretch of a generated album: sound at a level (RMS of the louder
// channel, dB), sound fading out from it, or a gap of digital silence.
struct Part {
    enum Kind { Sound, Fade, Gap } kind;
    double seconds, levelDb;
};

struct Album {
    tk::Frames frames;
    unsigned rate;
    std::vector<std::pair<int64_t, int64_t>> gaps;  // true silences between sounds, [begin, end)
};

// The parts in order, over a noise floor (dB RMS, -inf for digital silence).
Album makeAlbum(const std::vector<Part>& parts, unsigned rate, double noiseDb) {
    Album a{{}, rate, {}};
    uint32_t seed = 3;
    for (size_t k = 0; k < parts.size(); ++k) {
        const Part& p = parts[k];
        const size_t n = size_t(std::llround(p.seconds * rate)), at = a.frames.size();
        if (p.kind == Part::Gap && k > 0 && k + 1 < parts.size()) a.gaps.push_back({int64_t(at), int64_t(at + n)});
        const tk::Frames t = p.kind == Part::Gap ? tk::silence(n) : tk::track(n, rate, p.levelDb, seed++);
        for (size_t i = 0; i < n; ++i) {
            const double g = p.kind == Part::Fade ? double(n - i) / double(n) : 1.0;
            a.frames.push_back(tk::Frame(t[i].l * g, t[i].r * g));
        }
    }
    if (std::isfinite(noiseDb)) {
        std::mt19937 gen(11);
        std::normal_distribution<double> g(0.0, std::pow(10.0, noiseDb / 20.0));
        for (tk::Frame& f : a.frames) f = tk::Frame(f.l + g(gen), f.r + g(gen));
    }
    return a;
}

// A plain track, one with a 4 s quiet intro (about -42 dBFS peak), one with a
// 4.9 s fade-out, one with a 10 s quiet passage at -52 dB inside; gaps of 0.3 to 4 s.
Album testAlbum(unsigned rate, double noiseDb) {
    return makeAlbum({{Part::Gap, 0.7, 0}, {Part::Sound, 3, -12}, {Part::Gap, 0.3, 0}, {Part::Sound, 4, -45},
                      {Part::Sound, 3, -10}, {Part::Gap, 0.5, 0}, {Part::Sound, 3, -14}, {Part::Fade, 4.9, -14},
                      {Part::Gap, 1.0, 0}, {Part::Sound, 3, -10}, {Part::Sound, 10, -52}, {Part::Sound, 3, -10},
                      {Part::Gap, 2.0, 0}, {Part::Sound, 3, -16}, {Part::Gap, 4.0, 0}, {Part::Sound, 2.5, -12},
                      {Part::Gap, 1.0, 0}},
                     rate, noiseDb);
}

QString writeAlbum(const tk::TempDir& dir, const QString& name, const Album& a, unsigned channels = 2) {
    EXPECT_TRUE(tk::writeWav16(dir.path(name), a.frames, a.rate, channels));
    return dir.path(name);
}

// Settings for pieces numbered from the input's name beside it, in format `ext`.
SplitSettings settingsFor(const QString& input, const QString& ext = "wav") {
    SplitSettings s;
    s.input = input.toStdString();
    const QFileInfo in(input);
    s.output = QDir(in.path()).filePath(in.completeBaseName() + "." + ext).toStdString();
    return s;
}

SplitReport run(const SplitSettings& s, bool dry) {
    const tonewright::JobResult<SplitReport> r = dry ? tonewright::planSplit(s) : tonewright::split(s);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? *r : SplitReport();
}
SplitReport plan(const SplitSettings& s) { return run(s, true); }

QStringList filesIn(const QString& dir) { return QDir(dir).entryList(QDir::Files, QDir::Name); }
QString qtext(const std::string& s) { return QString::fromStdString(s); }

TEST(Split, EveryGapWithin50msAndNoCutInsideATrack) {
    tk::TempDir dir;
    for (const auto& [rate, channels, noiseDb] : {std::tuple<unsigned, unsigned, double>{44100, 2, -INFINITY},
                                                  {44100, 2, -70}, {96000, 1, -70}}) {
        SCOPED_TRACE(std::to_string(rate) + " Hz, noise " + std::to_string(noiseDb));
        const Album a = testAlbum(rate, noiseDb);
        SplitSettings s = settingsFor(writeAlbum(dir, "album.wav", a, channels));
        s.minSilence = 0.3;
        const SplitReport r = plan(s);
        ASSERT_EQ(r.gaps.size(), a.gaps.size());
        ASSERT_EQ(r.pieces.size(), r.gaps.size() + 1);
        double worst = 0;
        for (size_t k = 0; k < r.gaps.size(); ++k) {
            const auto& truth = a.gaps[k];
            const int64_t begin = r.gaps[k].begin, end = begin + r.gaps[k].frames;
            worst = std::max({worst, std::fabs(double(begin - truth.first)) / a.rate,
                              std::fabs(double(end - truth.second)) / a.rate});
            // The cut between pieces k and k+1 lies inside the true gap.
            const int64_t cut = r.pieces[k + 1].begin;
            EXPECT_TRUE(cut >= truth.first && cut <= truth.second) << "cut " << cut << " of gap " << k;
        }
        EXPECT_LT(worst, 0.05);
        std::printf("[ boundary ] %u Hz, noise %g dB: %d gaps, largest error %.1f ms\n", rate, noiseDb,
                    int(r.gaps.size()), worst * 1000);
        // The default shortest silence finds all but the 0.3 s gap.
        s.minSilence = 0.4;
        EXPECT_EQ(plan(s).gaps.size(), a.gaps.size() - 1);
    }
}

// The pieces the plan names are the files split writes, frame for frame:
// lengths and (for lossless pieces) samples from ffmpeg's decoding.
TEST(Split, PlanIsTheRealRunToTheFrame) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is needed";
    // Noise, format, then the settings changed from the defaults.
    const std::tuple<double, QString, std::function<void(SplitSettings&)>> rows[] = {
        {-INFINITY, "wav", [](SplitSettings&) {}},
        {-70, "flac", [](SplitSettings& s) { s.keep = true, s.keepBefore = 0.2, s.keepAfter = 0.6; }},
        {-INFINITY, "ogg", [](SplitSettings& s) { s.cutAt = 0; }},
        {-70, "mp3", [](SplitSettings& s) { s.minLength = 3, s.mergeShort = true; }},
        {-70, "wav", [](SplitSettings& s) { s.cutAt = 1, s.minSilence = 1.5; }},
    };
    int row = 0;
    for (const auto& [noiseDb, format, change] : rows) {
        SCOPED_TRACE(row++);
        if (format == "mp3" && !SoundWriterMp3::IsInit()) continue;
        tk::TempDir dir;
        const QString input = writeAlbum(dir, "album.wav", testAlbum(44100, noiseDb));
        tk::Frames source, decoded;  // the input as ffmpeg decodes it
        ASSERT_TRUE(tk::decodeWithFfmpeg(input, &source));
        SplitSettings s = settingsFor(input, format);
        change(s);
        const SplitReport dry = plan(s);
        ASSERT_EQ(filesIn(dir.root()), QStringList{"album.wav"});
        const SplitReport real = run(s, false);
        ASSERT_GT(dry.pieces.size(), 1u);
        ASSERT_EQ(dry.pieces.size(), real.pieces.size());
        ASSERT_EQ(filesIn(dir.root()).size(), int(dry.pieces.size()) + 1);
        for (size_t k = 0; k < real.pieces.size(); ++k) {
            const tonewright::SplitPiece& p = real.pieces[k];
            SCOPED_TRACE(p.file);
            EXPECT_EQ(std::tie(p.file, p.begin, p.frames, p.title),
                      std::tie(dry.pieces[k].file, dry.pieces[k].begin, dry.pieces[k].frames, dry.pieces[k].title));
            ASSERT_TRUE(tk::decodeWithFfmpeg(qtext(p.file), &decoded));
            ASSERT_EQ(int64_t(decoded.size()), p.frames);
            if (format != "wav" && format != "flac") continue;
            ASSERT_LE(size_t(p.begin + p.frames), source.size());
            const tk::Frames expected(source.begin() + p.begin, source.begin() + p.begin + p.frames);
            EXPECT_EQ(tk::maxAbsDiff(decoded, expected), 0.0);
        }
    }
}

// The pieces carry the album's tags with their own number, total and title and
// the cover, in every format, as the library's tag layer reads them back (its
// own tests hold it to mutagen's reading of every format); info shows the
// input's.
TEST(Split, PiecesGetTheAlbumTagsTheirNumberTitleAndCover) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "sox is needed";
    tk::TempDir dir;
    const QString wav = writeAlbum(dir, "source.wav", makeAlbum({{Part::Sound, 2, -12}, {Part::Gap, 1, 0}, {Part::Sound, 2, -12},
                                                                 {Part::Gap, 1, 0}, {Part::Sound, 2.5, -14}},
                                                                44100, -INFINITY));
    const QString input = dir.path("07 - Live.flac");
    ASSERT_EQ(tk::runCommand("sox " + tk::shellQuote(wav) + " " + tk::shellQuote(input)), 0);
    // Title, artist, album, year, comment, track, genre, cover, its type, total, extra.
    // The length (MP3's TLEN) and track gain of the whole recording are not the pieces'.
    const SoundIDTag album{"Live", "Band", "Concert", "2019", "", "5", "Jazz", tk::pngCover(), "image/png", "",
                           {{"LENGTH", "7500"}, {"REPLAYGAIN_TRACK_GAIN", "-3.00 dB"}, {"MOOD", "calm"}}};
    ASSERT_EQ(SoundTagFile::write(input, album), SoundTools::Ok);
    // info shows them; the input's own number: a real tag wins over the name.
    const tonewright::JobResult<tonewright::InfoReport> info = tonewright::info({input.toStdString()});
    ASSERT_TRUE(info.ok());
    const std::vector<std::pair<std::string, std::string>> shown{{"title", "Live"}, {"artist", "Band"}, {"album", "Concert"},
                                                                 {"year", "2019"},  {"track", "5"},     {"genre", "Jazz"}};
    EXPECT_EQ(info->tags, shown);
    EXPECT_TRUE(info->cover && info->coverMimeType == "image/png" && info->coverBytes == album.cover.size());
    ASSERT_TRUE(QFile::copy(wav, dir.path("07-song.wav")));  // the name's rule itself: the tag layer's tests
    const tonewright::JobResult<tonewright::InfoReport> named = tonewright::info({dir.path("07-song.wav").toStdString()});
    EXPECT_EQ(named->tags.back(), (std::pair<std::string, std::string>{"track", "7"}));
    for (const QString ext : {"wav", "flac", "ogg", "mp3"}) {
        SCOPED_TRACE(ext.toStdString());
        if (ext == "mp3" && !SoundWriterMp3::IsInit()) continue;
        SplitSettings s;
        s.input = input.toStdString();
        s.output = dir.path("pieces-" + ext + "/Live." + ext).toStdString();
        s.nameTemplate = "{n:02} - {title}";
        ASSERT_TRUE(QDir().mkpath(dir.path("pieces-" + ext)));
        const SplitReport r = run(s, false);
        ASSERT_EQ(r.pieces.size(), 3u);
        for (int k = 1; k <= 3; ++k) {
            SoundIDTag expected = album, got;
            expected.extra = {{"MOOD", "calm"}};
            expected.title = QString("Live (%1)").arg(k).toStdString();
            expected.track = std::to_string(k);
            expected.trackTotal = "3";
            const QString piece = dir.path("pieces-" + ext) + QString("/%1 - Live (%2).%3").arg(k, 2, 10, QChar('0')).arg(k).arg(ext);
            EXPECT_EQ(qtext(r.pieces[size_t(k - 1)].file), piece);
            ASSERT_EQ(SoundTagFile::read(piece, got), SoundTools::Ok) << piece.toStdString();
            EXPECT_EQ(tk::tagText(got), tk::tagText(expected)) << piece.toStdString();
        }
    }
}

// A CUE sheet for album.wav in dir with a track at each of the times
// ("mm:ss:ff", space-separated), titled "Part <n>".
QString cueSheet(const tk::TempDir& dir, const QString& name, const QString& times) {
    QString text = "PERFORMER \"Band\"\nTITLE \"Concert\"\nFILE \"album.wav\" WAVE\n";
    const QStringList list = times.split(' ');
    for (int n = 1; n <= list.size(); ++n)
        text += QString("  TRACK %1 AUDIO\n    TITLE \"Part %2\"\n    INDEX 01 %3\n")
                    .arg(n, 2, 10, QChar('0'))
                    .arg(n)
                    .arg(list[n - 1]);
    EXPECT_TRUE(tk::writeBytes(dir.path(name), text.toUtf8()));
    return dir.path(name);
}

// The CUE sheet written is the album's: cutting at it gives the same pieces to
// the frame, with their titles and levels; the playlist lists the pieces. A
// sheet given cuts at its times (to the CD frame) with its titles.
TEST(Split, CueSheetRoundTripPlaylistAndCuttingAtASheet) {
    tk::TempDir dir;
    const Album a = testAlbum(44100, -70);
    SplitSettings s = settingsFor(writeAlbum(dir, "album.wav", a));
    s.cue = s.m3u = true;
    s.output = dir.path("out/album.wav").toStdString();
    const SplitReport r = run(s, false);
    SplitSettings back = settingsFor(qtext(s.input.string()));
    back.fromCue = r.cueFile;
    const SplitReport again = plan(back);
    ASSERT_EQ(again.pieces.size(), r.pieces.size());
    for (size_t k = 0; k < r.pieces.size(); ++k) {
        const tonewright::SplitPiece &p = r.pieces[k], &q = again.pieces[k];
        EXPECT_EQ(std::tie(p.begin, p.frames, p.title, p.levelDb), std::tie(q.begin, q.frames, q.title, q.levelDb));
    }
    QStringList pieces, listed;
    for (const tonewright::SplitPiece& p : r.pieces) pieces << QFileInfo(qtext(p.file)).fileName();
    for (const QByteArray& line : tk::fileBytes(qtext(r.m3uFile)).split('\n'))
        if (!line.isEmpty() && !line.startsWith('#')) listed << QString(line);
    EXPECT_EQ(listed, pieces);

    // Three tracks in the middle of gaps 2, 4 and 5 (in CD frames of 1/75 s).
    QString times = "00:00:00";
    std::vector<int64_t> cd;
    for (const int g : {1, 3, 4}) {
        cd.push_back((a.gaps[size_t(g)].first + a.gaps[size_t(g)].second) / 2 * 75 / a.rate);
        times += QString::asprintf(" %02d:%02d:%02d", int(cd.back() / 4500), int(cd.back() / 75 % 60),
                                   int(cd.back() % 75));
    }
    SplitSettings byCue = back;
    byCue.fromCue = cueSheet(dir, "given.cue", times).toStdString();
    const SplitReport cut = plan(byCue);
    ASSERT_EQ(cut.pieces.size(), 4u);
    // The sheet names album.wav: cutting another recording with it is said.
    byCue.input = dir.path("copy.wav").toStdString();
    ASSERT_TRUE(QFile::copy(qtext(s.input.string()), dir.path("copy.wav")));
    std::vector<std::string> warned;
    tonewright::JobControl control;
    control.warning = [&](const std::string& w) { warned.push_back(w); };
    ASSERT_TRUE(tonewright::planSplit(byCue, control).ok());
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_NE(warned[0].find("the sheet is for album.wav, not copy.wav"), std::string::npos);
    for (size_t t = 0; t < 4; ++t) {
        EXPECT_EQ(cut.pieces[t].title, "Part " + std::to_string(t + 1));
        if (t > 0) { EXPECT_EQ(cut.pieces[t].begin, std::llround(double(cd[t - 1]) * 44100.0 / 75)); }
    }
}

// No gap: one piece, and the report says so. Short pieces are reported, or
// merged without losing a frame.
TEST(Split, OnePieceWithoutGapsAndShortPiecesNeverDropped) {
    tk::TempDir dir;
    const SplitReport one = plan(settingsFor(writeAlbum(dir, "whole.wav", makeAlbum({{Part::Sound, 6, -12}}, 44100, -70))));
    EXPECT_EQ(one.pieces.size(), 1u);
    ASSERT_FALSE(one.notes.empty());
    EXPECT_NE(one.notes[0].find("no gap found"), std::string::npos);
    const Album a = makeAlbum({{Part::Sound, 4, -12}, {Part::Gap, 1, 0}, {Part::Sound, 0.8, -12}, {Part::Gap, 1, 0},
                               {Part::Sound, 4, -12}},
                              44100, -INFINITY);
    SplitSettings s = settingsFor(writeAlbum(dir, "blip.wav", a));
    const SplitReport reported = plan(s);
    s.mergeShort = true;
    const SplitReport merged = plan(s);
    ASSERT_TRUE(reported.pieces.size() == 3 && merged.pieces.size() == 2);
    EXPECT_TRUE(reported.pieces[1].isShort);
    EXPECT_EQ(merged.pieces[0].frames + merged.pieces[1].frames, int64_t(a.frames.size()));
}

// A bad setting is an error naming it, before anything is read or written; a
// cancellation from the progress callback leaves no piece and no temporary.
TEST(Split, BadSettingsAndACancellationLeaveNothing) {
    tk::TempDir dir;
    const QString input = writeAlbum(dir, "album.wav", testAlbum(22050, -INFINITY));
    const std::pair<const char*, std::function<void(SplitSettings&)>> rows[] = {
        {"minSilence", [](SplitSettings& s) { s.minSilence = 0; }},
        {"keepBefore", [](SplitSettings& s) { s.keep = true, s.keepBefore = NAN; }},
        {"keepAfter", [](SplitSettings& s) { s.keepAfter = -1; }},
        {"minLength", [](SplitSettings& s) { s.minLength = INFINITY; }},
        {"output", [](SplitSettings& s) { s.output.clear(); }},
    };
    for (const auto& [field, change] : rows) {
        SplitSettings s = settingsFor(input);
        change(s);
        const tonewright::JobResult<SplitReport> r = tonewright::split(s);
        ASSERT_FALSE(r.ok()) << field;
        EXPECT_EQ(r.error().kind, tonewright::JobError::Kind::Setting) << field;
        EXPECT_EQ(r.error().file, field);
    }
    // Names are checked by the plan: one the file system refuses, one a list cannot hold.
    SplitSettings longName = settingsFor(input), listed = settingsFor(QString(input).replace("album", "al\nbum"));
    longName.nameTemplate = std::string(256, 'x') + "{n}";
    listed.m3u = true;
    ASSERT_TRUE(QFile::copy(input, qtext(listed.input.string())));
    EXPECT_NE(tonewright::planSplit(longName).error().cause.find("at most 255"), std::string::npos);
    EXPECT_NE(tonewright::planSplit(listed).error().cause.find("line break"), std::string::npos);
    QFile::remove(qtext(listed.input.string()));
    int calls = 0;
    tonewright::JobControl stop;
    // Stops in the second pass, while the pieces are being written.
    stop.progress = [&](const tonewright::JobProgress& p) { return !(p.pass == 1 && p.done > 0 && ++calls > 2); };
    const tonewright::JobResult<SplitReport> r = tonewright::split(settingsFor(input), stop);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, tonewright::JobError::Kind::Cancelled);
    EXPECT_EQ(QDir(dir.root()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"album.wav"});
}

// Two albums split at once, on two threads, give what each gives alone.
TEST(SplitThreads, TwoAlbumsAtOnceAsEachAlone) {
    tk::TempDir dir;
    const SplitSettings a = settingsFor(writeAlbum(dir, "a.wav", testAlbum(44100, -70)), "flac");
    const SplitSettings b = settingsFor(writeAlbum(dir, "b.wav", testAlbum(22050, -INFINITY)), "wav");
    const std::string alone[] = {tonewright::toJson(plan(a)), tonewright::toJson(plan(b))};
    std::string together[2];
    std::thread t1([&] { together[0] = tonewright::toJson(run(a, false)); });
    std::thread t2([&] { together[1] = tonewright::toJson(run(b, false)); });
    t1.join();
    t2.join();
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(QString::fromStdString(together[k]).replace("\"dryRun\":false", "\"dryRun\":true").toStdString(),
                  alone[k]);
    }
    EXPECT_EQ(size_t(filesIn(dir.root()).size()), 2 + plan(a).pieces.size() + plan(b).pieces.size());
}

}  // namespace
