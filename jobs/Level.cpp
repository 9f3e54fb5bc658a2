// level: recordings levelled region by region to a target RMS or an
// integrated loudness, with the limiter and the true-peak ceiling.
#include "tonewright/Level.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <optional>

#include "jobs/Analysis.h"
#include "jobs/Ceiling.h"
#include "jobs/JobContext.h"
#include "jobs/LevelMeter.h"
#include "jobs/Statistics.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundAlgoLimiter.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"
#include "tonewright/SoundUnits.h"

namespace tonewright {

namespace detail {
// The measured tracks of an album, in the order of LevelAlbum::inputs.
struct AlbumTracks {
    std::vector<Analysis> analyses;
};
}  // namespace detail

namespace {

using detail::badSetting;
using detail::within;

using detail::qpath;

// The written loudness may miss the target by this much before another pass
// corrects it (independent meters agree with the library's within a few
// hundredths).
constexpr double kLoudnessToleranceLu = 0.25;

// The first setting that is not valid; `files`: input and output are needed.
std::optional<JobError> check(const LevelSettings& s, bool files) {
    if (files && s.input.empty()) return badSetting("input", "no input file");
    if (files && s.output.empty()) return badSetting("output", "no output file");
    if (s.loudnessTarget && !within(s.targetLufs, -70.0, 0.0))
        return badSetting("targetLufs", QString("a loudness target lies from -70 to 0 LUFS, not %1").arg(s.targetLufs));
    if (!s.loudnessTarget && !within(s.targetDb, -60.0, 0.0))
        return badSetting("targetDb", QString("an RMS target lies from -60 to 0 dB, not %1").arg(s.targetDb));
    if (!within(s.maxGainDb, 0.0, 40.0))
        return badSetting("maxGainDb", QString("the largest gain lies from 0 to 40 dB, not %1").arg(s.maxGainDb));
    if (!within(s.thresholdDb, -120.0, 0.0))
        return badSetting("thresholdDb", QString("the noise threshold lies from -120 to 0 dB, not %1").arg(s.thresholdDb));
    if (std::optional<JobError> e = detail::checkOutputSettings(s.truePeakDb, s.bitRate)) return e;
    return std::nullopt;
}

// Levels one recording as ctx's passes from its current one. analysis: the
// regions to level by, or null to take them from the input's statistics file
// (when it fits) or else to find them here. albumGainDb: the album's one gain,
// NaN for a recording levelled on its own. False after ctx.fail(); no partial
// output is left behind.
bool levelOne(detail::JobContext& ctx, const LevelSettings& settings, const detail::Analysis* analysis,
              double albumGainDb, LevelReport& out) {
    using namespace detail;
    out = LevelReport();
    out.input = settings.input;
    out.output = settings.output;
    out.loudnessTarget = settings.loudnessTarget;
    out.target = settings.loudnessTarget ? settings.targetLufs : settings.targetDb;
    const bool album = std::isfinite(albumGainDb);
    out.album = album;
    const QString input = qpath(settings.input), output = qpath(settings.output);

    // Refused before the first pass, so that no time is spent on a file that
    // cannot be written.
    clearError();
    if (!mayWrite(ctx, output, input)) return ctx.fail(JobError::Kind::Output, output, "will not write", lastError());
    Analysis own;
    if (!analysis) {
        AnalysisSettings fresh = regionsOnly(settings.thresholdDb);
        fresh.loudness = settings.loudnessTarget;
        QString saved;
        if (!savedOrFreshAnalysis(ctx, input, fresh, settings.reanalyse, own, &saved)) return false;
        out.statisticsFile = detail::fspath(saved);
        analysis = &own;
    }
    out.rate = analysis->rate;
    out.regions = int(analysis->regions.size());
    out.loudnessBefore = analysis->loudness.integrated;
    out.loudnessBeforeMeasured = analysis->loudness.measured;

    // The region target that gives the loudness asked for: levelled regions all
    // have the RMS T, so the recording's loudness moves by T - R, R the RMS of
    // its sound (noise regions keep their level and count for little).
    double ampTargetDb = settings.targetDb;
    RMSStepDetector* detector = analysis->detector.get();
    if (settings.loudnessTarget || album) {
        if (analysis->loudness.tooShort)
            return ctx.fail(JobError::Kind::Input, input, "cannot be levelled to a loudness",
                            "the recording is shorter than one 400 ms gating block, so it has no integrated loudness");
        if (!std::isfinite(analysis->loudness.integrated)) {
            out.silent = true;  // nothing to measure: no gain at all
            ampTargetDb = 0.0;
            detector = nullptr;
        } else if (album) {
            ampTargetDb = albumGainDb;  // without regions the amplifier is this fixed gain
            detector = nullptr;
        } else {
            double sum = 0, frames = 0;
            for (const RegionResult& r : analysis->regions)
                if (!r.noise && std::isfinite(r.levelDb)) {
                    sum += double(r.frames) * SoundTools::powerOfDb(r.levelDb);
                    frames += double(r.frames);
                }
            const double soundRms =
                frames > 0 ? SoundTools::dbOfPower(sum / frames, -INFINITY) : analysis->loudness.integrated;
            ampTargetDb = settings.targetLufs - (analysis->loudness.integrated - soundRms);
        }
    }

    SoundIDTag tag;
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const Stretch& s : analysis->stretches) spans.emplace_back(s.begin, s.begin + s.frames);
    SoundRef<LevelMeter> before, after;
    SoundRef<SoundAlgoLoudness> loudness;
    // One levelling pass into a fresh temporary of the output (a later pass
    // replaces an earlier one's); false after ctx.fail().
    std::unique_ptr<SoundOutputFile> file;
    auto levelPass = [&](double regionTargetDb, double lowerDb, double trimDb) {
        std::unique_ptr<SoundReader> reader;
        std::unique_ptr<SoundWriter> writer;
        if (!openPass(ctx, input, output, settings.bitRate, reader, file, writer, &tag)) return false;
        writer->setDither(settings.dither);
        // The input's levels are known when this run found the regions.
        if (!analysis->levels) before = SoundRef<LevelMeter>::make();
        after = SoundRef<LevelMeter>::make();
        loudness = SoundRef<SoundAlgoLoudness>::make(0.0);
        loudness->setTruePeakRate(kCheckRate);
        // The loudness, both channels' true peak and the output's levels are
        // measured on the meter's own thread: the levelling chain is the
        // larger share of the work.
        loudness->setObserver([meter = after.get()](const SoundTools::StereoFrame<double>* frames, int64_t position,
                                                    unsigned n) { meter->measure(&frames->l, position, n); });
        // The output of a mono recording is mono: measured as its one channel.
        loudness->setSourceChannels(reader->getFileChannelNum());
        after->setStretches(spans);
        after->start(reader->getSampleRate());

        auto chain = SoundRef<SoundAlgoComposite>::make("level");
        if (before) chain->pushAlgo(SoundRef<LevelMeter>::share(before.get()).release());
        chain->pushAlgo(
            SoundRef<SoundAlgoRMSAmplifier>::make(regionTargetDb, detector, 3.0, 0, 10.0, settings.maxGainDb).release());
        chain->pushAlgo(SoundRef<SoundAlgoLimiter>::make(0.0, 0.005, 0.1).release());
        chain->pushAlgo(truePeakStage(settings.truePeakDb, output, lowerDb).release());
        if (trimDb < 0.0) chain->pushAlgo(SoundRef<SoundAlgoScale>::make(trimDb).release());
        chain->pushAlgo(SoundRef<SoundAlgoLoudness>::share(loudness.get()).release());
        const bool ran = runPass(ctx, *chain, *reader, writer.get(), output, "level");
        after->finish();
        return ran;
    };
    // Limiting and the gain bounds move the loudness a little, and a lossy
    // encoder changes both the loudness and the peaks of what it is given (the
    // MP3 writer also feeds it 95% of full scale): the output is measured as
    // written, decoded when the format is lossy, and further passes correct the
    // region target by the loudness missing and lower the limiter by what the
    // encoder added above the ceiling. The encoder's overshoot grows with the
    // level it is given, which the limiter alone may not hold: the last pass of
    // a lossy output never raises the level, and when the peaks are still too
    // high it scales the whole output down by their excess, which holds the
    // ceiling whatever the encoder does (the loudness then falls short).
    const bool lossy = isLossy(QFileInfo(output).suffix());
    const int passLimit = lossy ? 4 : 2;
    double lowerDb = 0.0, trimDb = 0.0;
    double wanted = settings.targetLufs;
    WrittenFigures written;
    for (int attempt = 0;; ++attempt) {
        if (!levelPass(ampTargetDb, lowerDb, trimDb)) return false;
        written.integrated = loudness->getIntegrated();
        written.truePeak = loudness->getTruePeak();
        // An album keeps the loudness its one gain gives in the chain; only
        // what the writing loses is made up.
        if (attempt == 0 && album) wanted = written.integrated;
        WrittenFigures decoded;
        const bool measured = lossy && measureWritten(file->path(), &decoded);
        if (measured) written = decoded;
        if (out.silent || attempt + 1 == passLimit || (lossy && !measured)) break;
        const bool toLoudness =
            (settings.loudnessTarget || album) && std::isfinite(written.integrated) && std::isfinite(wanted);
        double missing = toLoudness ? wanted - written.integrated : 0.0;
        const double excess = measured ? ceilingCorrectionDb(written.truePeak, settings.truePeakDb) : 0.0;
        const bool last = lossy && attempt + 2 == passLimit;
        if (last) missing = std::min(missing, 0.0);
        if (std::fabs(missing) <= kLoudnessToleranceLu && excess == 0.0) break;
        if (last && excess > 0.0) {
            trimDb -= excess;
        } else {
            ampTargetDb += missing;
            lowerDb += excess;
        }
    }
    if (!commit(ctx, *file)) return false;
    out.regionTarget = ampTargetDb;
    out.loudnessAfter = written.integrated;
    out.truePeakAfter = written.truePeak;
    out.rmsBefore = before ? before->rmsDb() : analysis->rmsDb;
    out.peakBefore = before ? before->peakDb() : analysis->peakDb;
    out.rmsAfter = after->rmsDb();
    out.peakAfter = after->peakDb();
    const std::vector<double> stretchAfter = after->stretchRmsDb();
    for (size_t i = 0; i < analysis->stretches.size(); ++i) {
        const Stretch& s = analysis->stretches[i];
        out.stretches.push_back({s.begin, s.frames, s.levelDb, i < stretchAfter.size() ? stretchAfter[i] : -INFINITY});
    }
    out.warnings = ctx.warnings();
    return true;
}

bool measureTracks(detail::JobContext& ctx, const std::vector<std::filesystem::path>& inputs,
                   const LevelSettings& settings, LevelAlbum& album) {
    auto tracks = std::make_shared<detail::AlbumTracks>();
    tracks->analyses.resize(inputs.size());
    detail::AnalysisSettings s = detail::regionsOnly(settings.thresholdDb);
    s.loudness = true;
    std::vector<const detail::Analysis*> measured;
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (!detail::analyseFile(ctx, qpath(inputs[i]), s, tracks->analyses[i], "measure the loudness")) return false;
        measured.push_back(&tracks->analyses[i]);
    }
    const detail::AlbumLoudness figures = detail::albumLoudness(measured);
    album.inputs = inputs;
    album.target = settings.targetLufs;
    album.loudness = figures.integrated;
    // A silent album gets no gain.
    album.gainDb = std::isfinite(figures.integrated) ? settings.targetLufs - figures.integrated : 0.0;
    album.tracks = tracks;
    return true;
}

std::optional<JobError> checkAlbum(const LevelSettings& settings) {
    if (std::optional<JobError> bad = check(settings, false)) return bad;
    if (!settings.loudnessTarget) return badSetting("loudnessTarget", "an album is levelled to a loudness");
    return std::nullopt;
}

// The track of `album` that settings.input names, or -1.
int trackOf(const LevelAlbum& album, const LevelSettings& settings) {
    for (size_t i = 0; i < album.inputs.size(); ++i)
        if (album.inputs[i] == settings.input) return int(i);
    return -1;
}

JobResult<LevelReport> levelTrack(detail::JobContext& ctx, const LevelSettings& settings, const LevelAlbum& album) {
    if (std::optional<JobError> bad = check(settings, true)) return *bad;
    const int track = trackOf(album, settings);
    if (track < 0 || !album.tracks || size_t(track) >= album.tracks->analyses.size())
        return badSetting("input", "not a track of the album measured");
    LevelSettings s = settings;
    s.loudnessTarget = true;
    s.targetLufs = album.target;
    LevelReport report;
    ctx.addInputs({qpath(settings.input)});
    if (!levelOne(ctx, s, &album.tracks->analyses[size_t(track)], album.gainDb, report)) return ctx.error();
    return report;
}

}  // namespace

JobResult<LevelReport> level(const LevelSettings& settings, const JobControl& control) {
    if (std::optional<JobError> bad = check(settings, true)) return *bad;
    detail::JobContext ctx(control, 2);
    ctx.addInputs({qpath(settings.input)});
    LevelReport report;
    if (!levelOne(ctx, settings, nullptr, NAN, report)) return ctx.error();
    return report;
}

JobResult<LevelAlbum> measureAlbum(const std::vector<std::filesystem::path>& inputs, const LevelSettings& settings,
                                   const JobControl& control) {
    if (std::optional<JobError> bad = checkAlbum(settings)) return *bad;
    if (inputs.empty()) return badSetting("inputs", "no track");
    detail::JobContext ctx(control, int(inputs.size()));
    LevelAlbum album;
    if (!measureTracks(ctx, inputs, settings, album)) return ctx.error();
    return album;
}

JobResult<LevelReport> levelAlbumTrack(const LevelSettings& settings, const LevelAlbum& album,
                                       const JobControl& control) {
    detail::JobContext ctx(control, 1);
    return levelTrack(ctx, settings, album);
}

JobResult<std::vector<LevelReport>> levelAlbum(
    const LevelSettings& settings, const std::vector<std::pair<std::filesystem::path, std::filesystem::path>>& files,
    const JobControl& control) {
    if (std::optional<JobError> bad = checkAlbum(settings)) return *bad;
    if (files.empty()) return badSetting("files", "no track");
    std::vector<std::filesystem::path> inputs;
    for (const auto& f : files) {
        if (f.first.empty()) return badSetting("input", "no input file");
        if (f.second.empty()) return badSetting("output", "no output file");
        inputs.push_back(f.first);
    }
    // One measuring pass per track, then (at least) one levelling pass each.
    detail::JobContext ctx(control, int(2 * files.size()));
    for (const std::filesystem::path& i : inputs) ctx.addInputs({qpath(i)});
    LevelAlbum album;
    if (!measureTracks(ctx, inputs, settings, album)) return ctx.error();
    std::vector<LevelReport> reports;
    for (const auto& f : files) {
        LevelSettings s = settings;
        s.input = f.first;
        s.output = f.second;
        JobResult<LevelReport> r = levelTrack(ctx, s, album);
        if (!r) return r.error();
        reports.push_back(std::move(*r));
    }
    return reports;
}

std::string toJson(const LevelReport& r) {
    const double rate = r.rate ? r.rate : 1;
    const auto lufs = [](double v) { return std::isfinite(v) ? QJsonValue(std::round(v * 100.0) / 100.0) : QJsonValue(); };
    QJsonObject o;
    o["file"] = qpath(r.input);
    o["output"] = qpath(r.output);
    o["target"] = r.target;
    o["targetUnit"] = r.loudnessTarget ? "LUFS" : "dB";
    o["album"] = r.album;
    o["silent"] = r.silent;
    o["regionTarget"] = std::isfinite(r.regionTarget) ? QJsonValue(detail::roundDb(r.regionTarget)) : QJsonValue();
    o["statisticsFile"] = r.statisticsFile.empty() ? QJsonValue() : QJsonValue(qpath(r.statisticsFile));
    o["regions"] = r.regions;
    o["before"] = QJsonObject{{"rms", detail::roundDb(r.rmsBefore)},
                              {"peak", detail::roundDb(r.peakBefore)},
                              {"loudness", lufs(r.loudnessBefore)}};
    o["after"] = QJsonObject{{"rms", detail::roundDb(r.rmsAfter)},
                             {"peak", detail::roundDb(r.peakAfter)},
                             {"loudness", lufs(r.loudnessAfter)},
                             {"truePeak", lufs(r.truePeakAfter)}};
    QJsonArray stretches;
    for (const LevelStretch& s : r.stretches)
        stretches.append(QJsonObject{{"start", detail::roundSeconds(double(s.begin) / rate)},
                                     {"length", detail::roundSeconds(double(s.frames) / rate)},
                                     {"before", detail::roundDb(s.before)},
                                     {"after", detail::roundDb(s.after)}});
    o["stretches"] = stretches;
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace tonewright
