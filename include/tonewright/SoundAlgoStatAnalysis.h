#pragma once
// SoundAlgoStatAnalysis: the standard analysis of a recording in one pass, as a
// ready-made composite with branches reading the same input:
//  - level statistics per band (a SoundAlgoStats in every band of a multiband
//    tree split at the band frequencies, 250 Hz ... 10 kHz by default);
//  - the RMS step detector (regions of steady loudness, noise flags);
//  - FFT statistics (mean power spectrum; Hann-windowed blocks);
//  - loudness (integrated, range, momentary and short-term, true peak);
//  - any measuring algorithms of the caller's (one branch each, after these).
// Any branch can be left out through the settings. The branches are aligned
// by the composite, so they measure the same frames whether they run one
// after the other or side by side.
//
// Run it without a writer, then store the results:
//
//   auto analysis = SoundRef<SoundAlgoStatAnalysis>::make();
//   if (analysis->processAll(*reader, nullptr) != SoundTools::Ok) ...;
//   SoundStatFile stats = analysis->getStatFile();
//   stats.writeJSonFile(inputPath);                        // "<input base>.ssf" beside it
//   SoundStatReferenceCatalog catalog;
//   catalog.readDefaultCatalog();
//   SoundStatReference nearest = catalog.getNearestReference(stats);
//   if (!nearest.isEmpty())
//       print(nearest.getName(), nearest.getDistance(stats));
//
// The relative levels of the statistics file come from the FFT statistics when
// they are part of the analysis, else from the band statistics (the two agree
// within a few tenths of a dB on smooth spectra).
//
// Ownership: reference counted like every algorithm; the composite owns its
// members. The getters return plain pointers valid while the composite lives;
// getStatFile / fillStatFile give the file references of its own, so a
// statistics file may outlive the analysis.
//
// Threading: as SoundAlgoComposite. Read the results once the run has ended.
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundStatFile.h"

class RMSStepDetector;
class SoundAlgoFFTStats;
class SoundAlgoLoudness;

class TONEWRIGHT_API SoundAlgoStatAnalysis : public SoundAlgoComposite {
    Q_OBJECT
public:
    struct TONEWRIGHT_API Settings {
        Settings();
        // Band edges in Hz, ascending (n edges give n + 1 bands).
        std::vector<double> frequencies;
        SplitterType splitter = CrossoverSplit;
        bool bandStats = true;
        bool stepDetector = true;
        // The detector's settings (RMSStepDetector's constructor).
        double noiseThresholdDb = -40.0;
        double rmsTime = 0.2;
        double minSlopeTime = 1.0;
        bool fftStats = true;
        unsigned fftSize = 8192;  // a power of two
        bool loudness = true;
        double shortTermStep = 1.0;  // seconds between stored short-term values
        // Channels of the source (the reader's getFileChannelNum()): 1 has the
        // loudness of a mono recording measured on its one channel.
        unsigned sourceChannels = 2;
        // Run the analyses on OpenMP threads side by side. Off by default:
        // the band tree takes most of the time, so side by side saves little,
        // while a fork and join per block costs far more than that on a busy
        // machine. Results are the same either way.
        bool parallelBranches = false;
    };

    SoundAlgoStatAnalysis();
    explicit SoundAlgoStatAnalysis(const Settings& settings);
    // extraBranches: further measures, one branch each; the analysis takes
    // over the reference each pointer carries (nulls are skipped).
    SoundAlgoStatAnalysis(const Settings& settings, const std::vector<SoundAlgo*>& extraBranches);

    const Settings& getSettings() const { return mSettings; }
    // Band statistics in band order; empty when they are not part of the analysis.
    const std::vector<SoundAlgoStats*>& getBandStats() { return mBands.getStatsVector(); }
    // Null when not part of the analysis.
    RMSStepDetector* getStepDetector() const { return mDetector; }
    SoundAlgoFFTStats* getFFTStats() const { return mFFTStats; }
    SoundAlgoLoudness* getLoudness() const { return mLoudness; }

    // Puts the results in a statistics file (which takes references of its
    // own): band frequencies and statistics, FFT statistics, step detector,
    // loudness.
    void fillStatFile(SoundStatFile& file);
    SoundStatFile getStatFile();

private:
    Settings mSettings;
    SoundAlgoStats::FrequencyBuilder mBands;
    RMSStepDetector* mDetector = nullptr;    // owned by the composite
    SoundAlgoFFTStats* mFFTStats = nullptr;  // owned by the composite
    SoundAlgoLoudness* mLoudness = nullptr;  // owned by the composite
};
