#include "jobs/Statistics.h"

#include "tonewright/Eq.h"

#include <QFileInfo>
#include <cmath>
#include <mutex>

#include "jobs/Correction.h"
#include "jobs/JobContext.h"
#include "jobs/Response.h"
#include "tonewright/Eq.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatFileCheck.h"
#include "tonewright/SoundStatSource.h"

namespace tonewright {
namespace detail {

const SoundStatReferenceCatalog& referenceCatalog(QString* error) {
    static SoundStatReferenceCatalog catalog;
    static QString cause;
    static std::once_flag once;
    std::call_once(once, [] {
        clearError();
        const QString path = SoundStatReferenceCatalog::getDefaultCatalogPath();
        if (path.isEmpty())
            cause = "the default reference catalog is not installed";
        else if (!catalog.readDefaultCatalog())
            cause = "cannot read the reference catalog " + path + ": " + lastError();
    });
    if (error) *error = cause;
    return catalog;
}

SoundStatFile statFileOf(const Analysis& a) {
    SoundStatFile f;
    std::vector<SoundAlgoStats*> bands;
    for (const SoundRef<SoundAlgoStats>& s : a.bandStats) bands.push_back(s.get());
    if (!bands.empty() && bands.size() == a.frequencies.size() + 1)
        f.setStats(a.frequencies, bands, true);
    else
        f.setStats(a.frequencies, static_cast<SoundAlgoFFTStats*>(nullptr), false);
    if (a.fftStats && a.fftStats->getCount() > 0) f.setFFTStats(a.fftStats.get(), true);
    if (a.detector) f.setStepDetector(a.detector.get(), true);
    if (a.loudnessAlgo) f.setLoudness(a.loudnessAlgo.get(), true);
    return f;
}

SaveOutcome saveStatistics(const JobContext& ctx, Analysis& a) {
    const QString name = SoundStatFile::getStatFileName(a.file);
    clearError();
    if (name.isEmpty()) {
        SoundDebuggableClass::setError("no name for a statistics file");
        return SaveOutcome::Failed;
    }
    // "a/x.wav" and "a/x.flac" of one run would both be saved as "a/x.ssf".
    const QString self = QFileInfo(a.file).canonicalFilePath();
    for (const QString& other : ctx.inputs()) {
        if (SoundStatFile::getStatFileName(other) != name) continue;
        if (QFileInfo(other).canonicalFilePath() != self) return SaveOutcome::Shared;
        break;
    }
    if (QFileInfo::exists(name) && !ctx.overwrite()) return SaveOutcome::Kept;
    if (!mayWrite(ctx, name)) return SaveOutcome::Failed;
    SoundStatFile f = statFileOf(a);
    // What the statistics are of, so that a later job can tell this recording
    // from another of the same length (a file that cannot be described is
    // saved without, and is then checked as older files are).
    SoundStatSource source;
    if (SoundStatSource::measure(a.file, source, nullptr)) f.setSource(source);
    if (!f.writeJSonFile(a.file)) return SaveOutcome::Failed;
    a.statisticsFile = name;
    return SaveOutcome::Written;
}

namespace {

// The recording's length as the file gives it: its own record of the
// recording, else what the measurements counted (every band statistics
// algorithm and the loudness meter count every frame), else the end marker
// of the detector's regions (which a recording shorter than the detector's
// window does not get).
int64_t recordedFrames(const SoundStatFile& f) {
    if (!f.getSource().isEmpty()) return f.getSource().frames;
    if (!f.getBandStats().empty() && f.getBandStats().front()->getTotalCount() > 0)
        return f.getBandStats().front()->getTotalCount();
    if (f.getLoudness() && f.getLoudness()->getFrameCount() > 0) return int64_t(f.getLoudness()->getFrameCount());
    return f.getStepDetector() ? int64_t(f.getStepDetector()->getFullLength()) : -1;
}

}  // namespace

bool loadSavedAnalysis(JobContext* ctx, const QString& input, double thresholdDb, bool needBands, Analysis& out,
                       QString* why) {
    const QString name = SoundStatFile::getStatFileName(input);
    const QFileInfo saved(name), in(input);
    if (name.isEmpty() || !saved.exists()) {
        *why = "no statistics file";
        return false;
    }
    SoundStatFile f;
    clearError();
    if (!f.readJSonFile(input)) {
        // The library's text names the file already.
        const QString cause = lastError();
        *why = "cannot use " + (cause.startsWith(name) ? cause : name + ": " + cause);
        return false;
    }
    // The file reads, but may not describe this recording any more, or be
    // damaged where reading lets it pass (counts that disagree, regions past
    // its end).
    const QString damage = SoundStatFileCheck::validate(input);
    if (!damage.isEmpty()) {
        *why = "cannot use " + damage;
        return false;
    }
    std::unique_ptr<SoundReader> reader = openReader(input, ctx);
    if (!reader) {
        *why = lastError();
        return false;
    }
    const unsigned rate = reader->getSampleRate();
    const int64_t frames = reader->getFrameNB();
    const SoundStatSource& stored = f.getSource();
    SoundStatSource actual;
    if (!stored.isEmpty()) {
        QString cause;
        if (!SoundStatSource::measure(input, *reader, actual, &cause)) {
            *why = cause;
            return false;
        }
        const QString difference = stored.differenceFrom(actual);
        if (!difference.isEmpty()) {
            *why = name + " does not describe this recording: " + difference;
            return false;
        }
    }
    // A recording touched since it was described may have changed between the
    // blocks the fingerprint reads.
    const bool untouched = !stored.isEmpty() && stored.modified == actual.modified;
    if (!untouched && saved.lastModified() < in.lastModified()) {
        *why = name + " is older than the recording";
        return false;
    }
    RMSStepDetector* detector = f.getStepDetector();
    if (!detector || detector->size() == 0) {
        *why = name + " holds no regions";
        return false;
    }
    // Thresholds are stored as dB figures computed back from a factor.
    if (std::fabs(detector->getNoiseThreshold() - thresholdDb) > 0.01) {
        *why = name + " was made with another noise threshold";
        return false;
    }
    if (needBands && f.getRelativeLevels().empty()) {
        *why = name + " holds no band levels";
        return false;
    }
    const unsigned savedRate = detector->getSampleRate() != 0 ? detector->getSampleRate() : f.getSampleRate();
    const int64_t savedFrames = recordedFrames(f);
    if (savedRate != rate || savedFrames != frames) {
        *why = QString("%1 describes another version of the recording (%2 frames at %3 Hz, the recording has %4 "
                       "at %5 Hz)")
                   .arg(name)
                   .arg(savedFrames)
                   .arg(savedRate)
                   .arg(frames)
                   .arg(rate);
        return false;
    }
    out = Analysis();
    out.file = input;
    out.rate = rate;
    out.frames = frames;
    out.length = formatTime(reader->getLength());
    out.statisticsFile = name;
    out.detector = SoundRef<RMSStepDetector>::share(detector);
    out.frequencies = f.getFrequencies();
    for (SoundAlgoStats* s : f.getBandStats()) out.bandStats.push_back(SoundRef<SoundAlgoStats>::share(s));
    if (f.getFFTStats()) out.fftStats = SoundRef<SoundAlgoFFTStats>::share(f.getFFTStats());
    fillBandLevels(out);
    if (f.getLoudness()) {
        out.loudnessAlgo = SoundRef<SoundAlgoLoudness>::share(f.getLoudness());
        readLoudness(*out.loudnessAlgo, out);
    }
    readRegions(*out.detector, frames, out);
    return true;
}

bool findReference(Analysis& a, const QString& name, double maxCorrection, int plotPoints, QString* error) {
    a.reference = ReferenceResult();
    QString cause;
    const SoundStatReferenceCatalog& catalog = referenceCatalog(&cause);
    if (catalog.isEmpty()) {
        *error = cause.isEmpty() ? QString("the reference catalog is empty") : cause;
        return false;
    }
    // Bands past half the sample rate hold nothing: a curve compared with them
    // would ask for corrections of tens of dB elsewhere.
    if (!a.frequencies.empty() && a.rate > 0 && a.rate / 2.0 <= a.frequencies.back()) {
        *error = QString("the recording's bandwidth (%1 Hz) ends below the top of the reference bands (%2 Hz)")
                     .arg(a.rate / 2.0)
                     .arg(a.frequencies.back());
        return false;
    }
    const SoundStatFile stats = statFileOf(a);
    const std::vector<double> relative = stats.getRelativeLevels();
    if (relative.empty()) {
        *error = "the analysis holds no band levels";
        return false;
    }
    // Samples that are not numbers make every level one; silence makes every
    // band alike. Neither has a balance to compare with a curve.
    bool numbers = true, sound = false;
    for (const BandResult& b : a.bands) {
        numbers = numbers && !std::isnan(b.rmsDb);
        sound = sound || (std::isfinite(b.rmsDb) && b.rmsDb > -100.0);
    }
    for (double l : relative) numbers = numbers && !std::isnan(l);
    if (!numbers || !sound) {
        *error = numbers ? QString("the recording has no measurable sound (digital silence, or samples that are "
                                   "not numbers): no reference curve applies")
                         : QString("the recording's samples are not numbers (NaN): no reference curve applies");
        return false;
    }
    SoundStatReference ref;
    if (name.isEmpty()) {
        ref = catalog.getNearestReference(stats);
        if (ref.isEmpty()) {
            *error = "no reference curve of the catalog fits these bands";
            return false;
        }
    } else {
        ref = catalog.getReference(name);
        if (ref.isEmpty()) {
            *error = QString("no reference curve named '%1' (the catalog has: %2)")
                         .arg(name, catalog.getNameList().join(", "));
            return false;
        }
        if (ref.getVersion() != stats.getVersion() || ref.getFrequencies() != a.frequencies) {
            *error = QString("the reference curve '%1' is made for other bands").arg(name);
            return false;
        }
    }
    a.reference.name = ref.getName();
    a.reference.distance = ref.getDistance(stats);
    a.reference.frequencies = ref.getFrequencies();
    a.reference.levels = ref.getLevels();
    a.reference.corrections = ref.getCorrectedLevels(stats, maxCorrection);
    const CorrectionDesign design = correctionDesign(a, maxCorrection);
    a.reference.changes = design.changes;
    a.reference.makeUpDb = design.makeUpDb;
    if (plotPoints > 0 && a.rate > 0) {
        SoundRef<SoundAlgoFilter> filter = correctionFilter(a, maxCorrection);
        if (filter) {
            a.reference.responseFreqs = responseFrequencies(unsigned(a.rate), plotPoints);
            a.reference.responseDb = measuredResponseDb(*filter, a.rate, a.reference.responseFreqs);
            if (a.reference.responseDb.empty()) a.reference.responseFreqs.clear();
        }
    }
    return true;
}

CorrectionDesign correctionDesign(const Analysis& a, double maxCorrection) {
    Spectrum spectrum;
    if (a.fftStats && a.fftStats->getCount() > 0) {
        spectrum.freqs = a.fftStats->getFrequencies();
        spectrum.power = a.fftStats->getRawStats();
    }
    return designCorrection(a.reference.frequencies, a.reference.corrections, maxCorrection, a.rate, spectrum);
}

SoundRef<SoundAlgoFilter> correctionFilter(const Analysis& a, double maxCorrection) {
    clearError();
    if (a.reference.isEmpty()) {
        SoundDebuggableClass::setError("no reference curve was found for the recording");
        return SoundRef<SoundAlgoFilter>();
    }
    const CorrectionDesign design = correctionDesign(a, maxCorrection);
    if (design.isEmpty()) {
        SoundDebuggableClass::setError(QString("the reference curve '%1' has no usable band edges below half the "
                                               "sample rate (%2 Hz)")
                                           .arg(a.reference.name)
                                           .arg(a.rate / 2.0));
        return SoundRef<SoundAlgoFilter>();
    }
    return correctionEqualiser(design);
}

bool savedOrFreshAnalysis(JobContext& ctx, const QString& input, const AnalysisSettings& fresh, bool reanalyse,
                          Analysis& own, QString* savedFile) {
    QString why;
    if (!reanalyse && loadSavedAnalysis(&ctx, input, fresh.noiseThresholdDb, fresh.bands, own, &why)) {
        if (!fresh.loudness || own.loudness.measured) {
            *savedFile = own.statisticsFile;
            return true;
        }
        why = own.statisticsFile + " holds no loudness figures";
        own = Analysis();
    }
    // A statistics file passed over is worth a word: the job takes longer than
    // the user expects, and the file may be someone else's.
    if (!reanalyse && QFileInfo::exists(SoundStatFile::getStatFileName(input)))
        ctx.warn(input, why + (fresh.bands ? "; measuring again" : "; finding the regions again"));
    return analyseFile(ctx, input, fresh, own);
}

AnalysisSettings regionsOnly(double noiseThresholdDb) {
    AnalysisSettings s;
    s.bands = s.fft = s.envelope = s.loudness = false;
    s.noiseThresholdDb = noiseThresholdDb;
    return s;
}

}  // namespace detail
}  // namespace tonewright
