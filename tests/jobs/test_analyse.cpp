// The analyse job against recordings of known structure, ffmpeg's loudness
// meter and the library's own catalog and statistics file; the saving and
// reuse of statistics files; bad settings, cancellation and calls from
// several threads.
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <thread>

#include "common/ExternalAudio.h"
#include "common/Recordings.h"
#include "tonewright/Analyse.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatReference.h"

using namespace tonewright;

namespace {

std::filesystem::path fsPath(const QString& p) { return std::filesystem::path(p.toStdString()); }

const tk::Recording& album() {
    static const tk::Recording rec = tk::album(22050, 1.0);
    return rec;
}
QString albumFile(const tk::TempDir& dir, const QString& name = "album.wav") {
    const QString path = dir.path(name);
    EXPECT_TRUE(tk::writeWav16(path, album().frames, album().rate, 2));
    return path;
}

AnalyseReport analysed(const AnalyseSettings& s, const JobControl& c = {}) {
    JobResult<AnalyseReport> r = analyse(s, c);
    if (!r) {
        ADD_FAILURE() << r.error().message();
        return AnalyseReport();
    }
    return *r;
}
AnalyseSettings settingsFor(const QString& input, bool save = false) {
    AnalyseSettings s;
    s.input = fsPath(input);
    s.save = save;
    return s;
}
// The report as the tool prints it, without the file's name.
std::string jsonOf(AnalyseReport r) {
    r.file.clear();
    r.statisticsFile.clear();
    return toJson(r);
}

}  // namespace

// Three stretches of sound at the album's tracks, each at its level (where the
// detector puts its edges is the dynamics tests' business), noise regions where
// it has silence and room noise, and ten bands over the nine edges; a lower
// threshold makes the room noise (-70 dB) sound. Loudness, range and true peak
// agree with ffmpeg's meter. Two copies analysed on two threads at once give
// the serial report, and taken as one album they have the loudness of one.
TEST(JobsAnalyse, RegionsLoudnessAndAlbumFollowTheRecording) {
    tk::TempDir dir;
    const QString wav = albumFile(dir), copy = albumFile(dir, "copy.wav");
    const AnalyseReport a = analysed(settingsFor(wav));
    const tk::Recording& rec = album();
    ASSERT_EQ(a.stretches.size(), 3u);
    EXPECT_NEAR(a.stretches[0].levelDb, -14.0, 1.0);
    EXPECT_NEAR(a.stretches[1].levelDb, -8.0, 1.0);
    EXPECT_LT(a.stretches[2].levelDb, -20.0);  // the fade pulls it down
    // The first track follows 1 s of silence; the detector's window (0.2 s) looks ahead.
    EXPECT_NEAR(double(a.signalStart - int64_t(rec.pieces[1].begin)) / rec.rate, 0.0, 0.25);
    EXPECT_EQ(a.frames, int64_t(rec.frames.size()));
    int noise = 0;
    for (const AnalyseRegion& r : a.regions)
        if (r.noise) {
            ++noise;
            EXPECT_LT(r.levelDb, -50.0);
        }
    EXPECT_GE(noise, 2);
    ASSERT_EQ(a.bands.size(), 10u);
    EXPECT_EQ(a.frequencies.size(), 9u);
    EXPECT_EQ(a.bands[3].lowHz, 1000.0);
    EXPECT_EQ(a.bands[9].highHz, 11025.0);
    AnalyseSettings low = settingsFor(wav);
    low.thresholdDb = -75;
    low.bands = low.spectrum = low.level = low.loudness = low.reference = false;
    EXPECT_EQ(analysed(low).stretches.size(), 2u);

    const LoudnessFigures& l = a.loudness;
    EXPECT_FALSE(l.tooShort);
    EXPECT_GT(l.shortTerm.size(), 50u);
    const tk::FfmpegLoudness ff = tk::ffmpegLoudness(wav);
    if (ff.ok) {
        EXPECT_NEAR(l.integrated, ff.integrated, 0.1);
        // The range is a percentile spread of a few hundred short-term values over
        // a minute with a fade: meters differ in its histogram and interpolation.
        EXPECT_NEAR(l.range, ff.range, 1.5);
        EXPECT_NEAR(l.truePeak, ff.truePeak, 0.2);
    }

    AnalyseReport side[2];
    std::thread t0([&] { side[0] = analysed(settingsFor(wav)); });
    std::thread t1([&] { side[1] = analysed(settingsFor(copy)); });
    t0.join();
    t1.join();
    for (const AnalyseReport& r : side) EXPECT_EQ(jsonOf(r), jsonOf(a));
    const AlbumLoudness both = albumLoudness({&side[0], &side[1]});
    EXPECT_EQ(both.tracks, 2);
    EXPECT_NEAR(both.integrated, l.integrated, 0.02);
    EXPECT_EQ(both.truePeak, l.truePeak);
}

// The nearest curve, its distance and corrections are what the catalog gives
// for the statistics file the job wrote, and that file holds the band levels
// of the report; the correction's response is measured where asked.
TEST(JobsAnalyse, ReferenceIsTheCatalogsAnswerForTheSavedStatistics) {
    if (!tk::haveTool("sox")) GTEST_SKIP() << "no sox";
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readDefaultCatalog());
    EXPECT_EQ(referenceCatalogProblem(), "");
    tk::TempDir dir;
    const QString wav = dir.path("noise.wav");
    for (const char* shelf : {"bass -10 200", "treble -10 3000"}) {
        SCOPED_TRACE(shelf);
        QFile::remove(dir.path("noise.ssf"));
        ASSERT_EQ(tk::runCommand("sox -n -r 44100 -c 2 -b 16 " + tk::shellQuote(wav) +
                                 " synth 6 pinknoise vol 0.25 " + shelf + " 2>/dev/null"),
                  0);
        AnalyseSettings s = settingsFor(wav, true);
        s.responsePoints = 100;
        const AnalyseReport a = analysed(s);
        EXPECT_EQ(a.statisticsFile, fsPath(dir.path("noise.ssf")));
        SoundStatFile saved;
        ASSERT_TRUE(saved.readJSonFile(wav));
        EXPECT_EQ(saved.getSampleRate(), 44100u);
        EXPECT_EQ(saved.getSource().frames, 6 * 44100);
        const std::vector<double> levels = saved.getRelativeLevels();
        ASSERT_TRUE(a.hasSpectrum && a.bands.size() == levels.size());
        for (size_t i = 0; i < levels.size(); ++i) EXPECT_NEAR(a.bands[i].spectrumRelativeDb, levels[i], 1e-9);
        const SoundStatReference nearest = catalog.getNearestReference(saved);
        ASSERT_TRUE(a.reference.has_value());
        EXPECT_EQ(a.reference->name, nearest.getName().toStdString());
        EXPECT_NEAR(a.reference->distanceDb, nearest.getDistance(saved), 1e-9);
        EXPECT_EQ(a.reference->corrections, nearest.getCorrectedLevels(saved, 12.0));
        EXPECT_EQ(a.reference->responseFrequencies.size(), 100u);
        EXPECT_EQ(a.reference->responseDb.size(), 100u);
    }
}

// A statistics file is replaced only under the overwrite control; a file that
// is no statistics file is not taken for one. With reuse, the saved analysis
// stands for a fresh one (the same regions) while it describes the input; one
// older than the input, made with another threshold, of another recording of
// the same length, rate and file size, or damaged is passed over with the
// reason and the job measures afresh. A file of the older kind (no record of
// the recording, not sealed) is still reused when its measurements count the
// recording's frames, also for a recording shorter than the detector's window.
TEST(JobsAnalyse, StatisticsAreSavedByTheOverwriteRuleAndReusedOnlyWhileTheyFit) {
    tk::TempDir dir;
    const QString wav = albumFile(dir), ssf = dir.path("album.ssf");
    ASSERT_TRUE(tk::writeBytes(ssf, "mine"));
    const AnalyseReport kept = analysed(settingsFor(wav, true));
    EXPECT_TRUE(kept.statisticsKept && kept.statisticsFile.empty());
    EXPECT_EQ(tk::fileBytes(ssf), "mine");
    JobControl overwrite;
    overwrite.overwrite = true;
    const AnalyseReport fresh = analysed(settingsFor(wav, true), overwrite);
    EXPECT_EQ(fresh.statisticsFile, fsPath(ssf));
    const QByteArray saved = tk::fileBytes(ssf);
    // Another input of the run with the same base name, after this one, saves nothing.
    const QString flac = dir.path("album.flac");
    ASSERT_TRUE(QFile::copy(wav, flac));
    JobControl run = overwrite;
    run.otherInputs = {fsPath(wav), fsPath(flac)};
    const AnalyseReport second = analysed(settingsFor(flac, true), run);
    EXPECT_TRUE(second.statisticsFile.empty() && second.warnings.size() == 1);
    EXPECT_EQ(tk::fileBytes(ssf), saved);
    EXPECT_EQ(analysed(settingsFor(wav, true), run).statisticsFile, fsPath(ssf));

    // The report of an analysis with reuse on: whether it reused, and its warnings.
    const auto reused = [](const QString& input, double thresholdDb = -40.0) {
        AnalyseSettings s = settingsFor(input);
        s.reuse = true;
        s.reference = false;
        s.thresholdDb = thresholdDb;
        return analysed(s);
    };
    const AnalyseReport again = reused(wav);
    EXPECT_TRUE(again.statisticsReused);
    // Everything but the whole-band level, which the file does not keep.
    AnalyseReport expected = fresh;
    expected.levelMeasured = false;
    expected.reference.reset();
    EXPECT_EQ(toJson(again), toJson(expected));
    EXPECT_FALSE(reused(wav, -75).statisticsReused);

    const tk::Recording& rec = album();
    const QString shortWav = dir.path("short.wav");
    ASSERT_TRUE(tk::writeWav16(shortWav, tk::sine(rec.rate / 10, rec.rate, 440.0, 0.3), rec.rate, 2));
    analysed(settingsFor(shortWav, true));
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QJsonObject old = QJsonDocument::fromBinaryData(tk::fileBytes(dir.path("short.ssf"))).object();
    old.remove("Source");
    old.remove("Checksum");
    const QByteArray oldKind = QJsonDocument(old).toBinaryData();
    // Reading passes a file with a band edge too few; the check before reuse does not.
    QJsonObject cut = QJsonDocument::fromBinaryData(saved).object();
    QJsonArray edges = cut["BandFreqs"].toArray();
    edges.removeLast();
    cut["BandFreqs"] = edges;
    cut.remove("Checksum");
    const QByteArray fewerEdges = QJsonDocument(cut).toBinaryData();
    QT_WARNING_POP
    // frames: written as the input when not empty; why: the reason told, empty when the file is reused.
    const std::tuple<QString, tk::Frames, QByteArray, const char*> cases[] = {
        {dir.path("b.wav"), tk::scaled(rec.frames, 0.5), saved,
         "b.ssf does not describe this recording: the recording's samples are not those"},
        {dir.path("c.wav"), rec.frames, saved.left(saved.size() - 100), "cannot use "},
        {shortWav, {}, oldKind, ""},
        {dir.path("d.wav"), rec.frames, fewerEdges, "d.ssf : damaged statistics file"},
        {wav, {}, saved, "album.ssf is older than the recording"},
    };
    for (const auto& [input, frames, statistics, why] : cases) {
        SCOPED_TRACE(input.toStdString());
        if (!frames.empty()) { ASSERT_TRUE(tk::writeWav16(input, frames, rec.rate, 2)); }
        const QString stats = QString(input).replace(".wav", ".ssf");
        ASSERT_TRUE(tk::writeBytes(stats, statistics));
        if (input == wav) {
            ASSERT_EQ(tk::runCommand("touch -r " + tk::shellQuote(ssf) + " -d '+10 seconds' " + tk::shellQuote(wav)), 0);
        }
        const AnalyseReport r = reused(input);
        EXPECT_EQ(r.statisticsReused, !*why);
        EXPECT_EQ(r.warnings.size(), *why ? 1u : 0u);
        for (const std::string& w : r.warnings) EXPECT_NE(w.find(why), std::string::npos) << w;
    }
}

// Bad settings are refused before anything is read or written, naming the
// setting; an unreadable input names the file; a cancelled analysis leaves no
// statistics file.
TEST(JobsAnalyse, BadSettingsMissingInputsAndCancellationWriteNothing) {
    tk::TempDir dir;
    const QString wav = albumFile(dir), ssf = dir.path("album.ssf");
    const std::pair<const char*, void (*)(AnalyseSettings&)> bad[] = {
        {"thresholdDb", [](AnalyseSettings& s) { s.thresholdDb = NAN; }},
        {"thresholdDb", [](AnalyseSettings& s) { s.thresholdDb = 5; }},
        {"envelopeStep", [](AnalyseSettings& s) { s.envelopeStep = 0; }},
        {"maxCorrection", [](AnalyseSettings& s) { s.maxCorrection = -1; }},
        {"responsePoints", [](AnalyseSettings& s) { s.responsePoints = -1; }},
        {"reference", [](AnalyseSettings& s) { s.bands = false; }},
        {"input", [](AnalyseSettings& s) { s.input.clear(); }},
    };
    for (const auto& [field, spoil] : bad) {
        AnalyseSettings s = settingsFor(wav, true);
        spoil(s);
        const JobResult<AnalyseReport> r = analyse(s);
        ASSERT_FALSE(r.ok()) << field;
        EXPECT_EQ(r.error().kind, JobError::Kind::Setting);
        EXPECT_EQ(r.error().file, field);
    }
    EXPECT_FALSE(QFileInfo::exists(ssf));
    const JobResult<AnalyseReport> missing = analyse(settingsFor(dir.path("none.wav"), true));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind, JobError::Kind::Input);
    EXPECT_EQ(missing.error().message(), dir.path("none.wav").toStdString() + ": cannot analyse: no such file");

    JobControl stop;
    int calls = 0;
    stop.progress = [&calls](const JobProgress&) { return ++calls < 3; };
    const JobResult<AnalyseReport> cancelled = analyse(settingsFor(wav, true), stop);
    ASSERT_FALSE(cancelled.ok());
    EXPECT_EQ(cancelled.error().kind, JobError::Kind::Cancelled);
    EXPECT_FALSE(QFileInfo::exists(ssf));
}
