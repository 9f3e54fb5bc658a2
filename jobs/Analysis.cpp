#include "jobs/Analysis.h"

#include "io/ReadAheadReader.h"

#include <algorithm>
#include <cmath>

#include "jobs/JobContext.h"
#include "jobs/LevelMeter.h"
#include "tonewright/SoundAlgoStatAnalysis.h"
#include "tonewright/SoundUnits.h"

namespace tonewright {
namespace detail {

std::vector<double> AnalysisSettings::defaultFrequencies() {
    return {250, 500, 1000, 2000, 3000, 4000, 6000, 8000, 10000};
}

namespace {

// Mean squares in dB, silence told apart.
double powerDb(double meanSquare) { return SoundTools::dbOfPower(meanSquare, -INFINITY); }

// The stretch of sound starting at region `first` (non-noise): it runs to the
// first noise region, and past the last region to the end of the stream, as the
// multi-file writer cuts it.
Stretch stretchFrom(const std::vector<RMSStepDetector::Region>& regions, size_t first, int64_t frames, size_t* next) {
    Stretch s;
    s.begin = regions[first].BeginSample;
    double sum0 = 0, sum1 = 0, weight = 0;
    size_t i = first;
    for (; i < regions.size() && !regions[i].IsNoise; ++i) {
        const RMSStepDetector::Region& r = regions[i];
        sum0 += r.RMSSqrValue0 * r.SampleNb;
        sum1 += r.RMSSqrValue1 * r.SampleNb;
        weight += r.SampleNb;
    }
    const RMSStepDetector::Region& last = regions[i - 1];
    int64_t end = int64_t(last.BeginSample) + last.SampleNb;
    if (i == regions.size() && frames > end) end = frames;
    if (frames > 0) end = std::min(end, frames);
    s.frames = std::max<int64_t>(0, end - s.begin);
    s.levelDb = weight > 0 ? powerDb(std::max(sum0, sum1) / weight) : -INFINITY;
    *next = i;
    return s;
}

}  // namespace

void readRegions(RMSStepDetector& detector, int64_t frames, Analysis& out) {
    const std::vector<RMSStepDetector::Region> regions = detector.getRegions(false);
    out.regions.clear();
    out.stretches.clear();
    out.slopes.clear();
    for (const RMSStepDetector::Region& r : regions) {
        // The detector closes its list with a one-sample marker at the end of the stream.
        if (frames > 0 && r.BeginSample >= frames) continue;
        RegionResult rr;
        rr.begin = r.BeginSample;
        rr.frames = frames > 0 ? std::min<int64_t>(r.SampleNb, frames - r.BeginSample) : r.SampleNb;
        rr.levelDb = powerDb(r.level());
        rr.leftDb = powerDb(r.RMSSqrValue0);
        rr.rightDb = powerDb(r.RMSSqrValue1);
        rr.noise = r.IsNoise;
        out.regions.push_back(rr);
    }
    for (size_t i = 0; i < regions.size();) {
        if (regions[i].IsNoise || (frames > 0 && regions[i].BeginSample >= frames)) {
            ++i;
            continue;
        }
        out.stretches.push_back(stretchFrom(regions, i, frames, &i));
    }
    for (const SoundRMSSlopeDetector::Region& s : detector.getSlopes()) out.slopes.emplace_back(s.begin, s.end);
    const int start = detector.getSignalStart(0.0);
    const int end = detector.getSignalEnd(0.0);
    const bool any = std::any_of(regions.begin(), regions.end(), [](const RMSStepDetector::Region& r) { return !r.IsNoise; });
    out.signalStart = any ? start : -1;
    out.signalEnd = any ? std::min<int64_t>(end, frames > 0 ? frames - 1 : end) : -1;
}

std::vector<Stretch> longStretches(const Analysis& a, double minSeconds) {
    std::vector<Stretch> out;
    for (const Stretch& s : a.stretches)
        if (a.rate > 0 && SoundTools::secondsOf(s.frames, a.rate) >= minSeconds) out.push_back(s);
    return out;
}

void fillBandLevels(Analysis& out) {
    out.bands.clear();
    double loudest = SoundTools::kSilenceDb;
    for (size_t i = 0; i < out.bandStats.size(); ++i) {
        SoundAlgoStats& stats = *out.bandStats[i];
        BandResult b;
        b.low = i == 0 ? 0.0 : out.frequencies[i - 1];
        b.high = i < out.frequencies.size() ? out.frequencies[i] : out.rate / 2.0;
        b.rmsDb = stats.getTotalCount() ? stats.getFullRMS() : -INFINITY;
        SoundTools::StereoFrame<double> max(SoundTools::kSilenceDb, SoundTools::kSilenceDb);
        stats.getMax(max);
        b.peakDb = std::max(max.l, max.r);
        loudest = std::max(loudest, b.rmsDb);
        out.bands.push_back(b);
    }
    // Relative to the loudest band, as statistics files give them.
    for (BandResult& b : out.bands)
        b.relativeDb = std::isfinite(b.rmsDb) ? b.rmsDb - loudest : SoundTools::kSilenceDb - loudest;
    out.hasFft = false;
    if (out.fftStats && out.fftStats->getCount() > 0 && !out.bands.empty()) {
        const std::vector<double> levels = out.fftStats->getStats(out.frequencies);
        if (levels.size() == out.bands.size()) {
            for (size_t i = 0; i < levels.size(); ++i) out.bands[i].fftRelativeDb = levels[i];
            out.hasFft = true;
        }
    }
}

void readLoudness(const SoundAlgoLoudness& l, Analysis& a) {
    LoudnessResult& r = a.loudness;
    r.measured = true;
    r.tooShort = l.isTooShort();
    r.integrated = l.getIntegrated();
    r.range = l.getRange();
    r.maxMomentary = l.getMaxMomentary();
    r.maxShortTerm = l.getMaxShortTerm();
    r.truePeak = l.getTruePeak();
    r.truePeakLeft = l.getTruePeak(0);
    r.truePeakRight = l.getTruePeak(1);
    r.samplePeak = l.getSamplePeak();
    r.shortTerm = l.getShortTerm();
    r.shortTermStep = l.getShortTermStep();
}

AlbumLoudness albumLoudness(const std::vector<const Analysis*>& tracks) {
    AlbumLoudness album;
    std::vector<SoundAlgoLoudness*> measured;
    for (const Analysis* a : tracks)
        if (a && a->loudnessAlgo) measured.push_back(a->loudnessAlgo.get());
    album.tracks = int(measured.size());
    album.integrated = SoundAlgoLoudness::albumLoudness(measured);
    album.range = SoundAlgoLoudness::albumRange(measured);
    album.truePeak = SoundAlgoLoudness::albumTruePeak(measured);
    return album;
}

bool analyseFile(JobContext& ctx, const QString& path, const AnalysisSettings& settings, Analysis& out,
                 const QString& doing) {
    const QString what = doing.isEmpty() ? QString(settings.bands ? "analyse" : "find the regions") : doing;
    std::unique_ptr<SoundReader> reader = openReader(path, &ctx);
    if (!reader) return ctx.fail(JobError::Kind::Input, path, "cannot " + what, lastError());
    out.file = path;
    out.rate = reader->getSampleRate();
    out.frames = reader->getFrameNB();
    out.length = formatTime(reader->getLength());

    SoundAlgoStatAnalysis::Settings s;
    s.frequencies = settings.frequencies;
    s.splitter = settings.splitter;
    s.bandStats = settings.bands;
    s.stepDetector = true;
    s.noiseThresholdDb = settings.noiseThresholdDb;
    s.rmsTime = settings.rmsTime;
    s.minSlopeTime = settings.minSlopeTime;
    s.fftStats = settings.fft;
    s.fftSize = settings.fftSize;
    s.loudness = settings.loudness;
    s.sourceChannels = reader->getFileChannelNum();
    s.parallelBranches = settings.parallelBranches;
    std::vector<SoundAlgo*> extra;
    SoundRef<LevelMeter> meter;
    if (settings.envelope) {
        meter = SoundRef<LevelMeter>::make(settings.envelopeStep);
        extra.push_back(SoundRef<LevelMeter>::share(meter.get()).release());
    }
    // The region detection alone is one thread's work: the decoding then runs
    // beside it on another, and measures the input's levels as it goes, which
    // costs the detection nothing. (The other analyses keep both busy already.)
    SoundRef<LevelMeter> input;
    if (!settings.bands && !settings.fft && !settings.loudness) {
        auto ahead = std::make_unique<SoundTools::detail::ReadAheadReader>(std::move(reader));
        if (!meter) {
            input = SoundRef<LevelMeter>::make();
            input->start(out.rate);
            ahead->setObserver([m = input.get()](const SoundTools::StereoFrame<double>* frames, int64_t position,
                                                 unsigned n) { m->measure(&frames->l, position, n); });
        }
        reader = std::move(ahead);
    }
    auto analysis = SoundRef<SoundAlgoStatAnalysis>::make(s, extra);
    if (!runPass(ctx, *analysis, *reader, nullptr, path, what)) return false;
    reader.reset();  // the decoding thread ended: the input meter is this thread's
    if (input) {
        input->finish();
        meter = input;
    }

    out.frequencies = settings.frequencies;
    out.detector = SoundRef<RMSStepDetector>::share(analysis->getStepDetector());
    out.bandStats.clear();
    for (SoundAlgoStats* b : analysis->getBandStats()) out.bandStats.push_back(SoundRef<SoundAlgoStats>::share(b));
    if (analysis->getFFTStats()) out.fftStats = SoundRef<SoundAlgoFFTStats>::share(analysis->getFFTStats());
    fillBandLevels(out);
    if (meter) {
        out.levels = true;
        out.rmsDb = meter->rmsDb();
        out.leftRmsDb = meter->rmsDb(0);
        out.rightRmsDb = meter->rmsDb(1);
        out.peakDb = meter->peakDb();
        out.leftPeakDb = meter->peakDb(0);
        out.rightPeakDb = meter->peakDb(1);
        out.envelopeDb = meter->envelopeDb();
        out.envelopeStep = meter->envelopeStep();
    }
    if (analysis->getLoudness()) {
        out.loudnessAlgo = SoundRef<SoundAlgoLoudness>::share(analysis->getLoudness());
        readLoudness(*out.loudnessAlgo, out);
    }
    readRegions(*out.detector, out.frames, out);
    return true;
}

}  // namespace detail
}  // namespace tonewright
