#pragma once
// SoundStatFile: the stored result of analysing a recording, in a file with the
// extension "ssf" (Qt binary JSON, see Utilities.h): the band split frequencies
// (N frequencies delimit N + 1 bands), one SoundAlgoStats per band and/or one
// SoundAlgoFFTStats for the whole spectrum, and optionally the RMSStepDetector
// with its regions. It also derives the relative band levels that reference
// curves (SoundStatReference.h) are compared with.
//
// A file is usually filled from a finished SoundAlgoStatAnalysis
// (SoundAlgoStatAnalysis.h), which runs all three analyses in one pass.
//
// File layout, one JSON object: "Class" = "SoundStatFile", "Version" (string),
// "BandFreqs" (numbers), "BandStats" (SoundAlgoStats objects, band order),
// "StepDetector" (RMSStepDetector object, when set), "Slopes" (the detector's
// slopes as [begin, end] frame pairs; files without it read with none), "FFTStats"
// (SoundAlgoFFTStats object, when set), "Loudness" (SoundAlgoLoudness object,
// when set; files without it read as before), "Source" (the recording the
// statistics were made from, SoundStatSource.h, when set; files without it
// read as before), "Checksum" (SHA-1 of the rest, written last;
// SoundStatFileCheck.h tells a file whose content no longer matches it).
//
// Ownership: the algorithms are reference counted. Each setter says whether the
// file takes a reference of its own (addRef true) or takes over one the caller
// holds (addRef false); either way the file drops one reference per algorithm
// when it lets it go (clear, the setters, a successful read, destruction).
// Copies share the algorithms and each copy holds its own references.
//
// Threading: a plain object for one thread, like the algorithm graph it refers
// to (reference counts are not atomic). Fill it once the analysis has ended.
#include <QString>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundStatSource.h"

class SoundAlgoStats;
class SoundAlgoFFTStats;
class RMSStepDetector;
class SoundAlgoLoudness;

class TONEWRIGHT_API SoundStatFile {
public:
    SoundStatFile();
    SoundStatFile(const SoundStatFile& other);
    SoundStatFile& operator=(const SoundStatFile& other);
    ~SoundStatFile();

    // "ssf".
    static QString getExtension();
    // path with its extension replaced by "ssf": "take1.wav" -> "take1.ssf" in
    // the same folder. Empty when the path has no file name part.
    static QString getStatFileName(const QString& path);

    // Writes the statistics to getStatFileName(path) as binary JSON. False (with
    // the error text of SoundDebuggableClass naming the file) when the path has
    // no file name part or the file cannot be written.
    bool writeJSonFile(QString path);
    // Reads getStatFileName(path). False, leaving this object as it was, when
    // the file cannot be read or is not a statistics file ("Class" is not
    // "SoundStatFile" or "Version" is not a string); the error text of
    // SoundDebuggableClass then names the file. Otherwise the current content
    // is replaced by the file's and the result is true: keys that are missing
    // or of another type are absent, and a band, detector, FFT or loudness
    // entry that describes no valid measurement is left out. Whether the file
    // can be trusted as a whole (its checksum, the ranges of its fields, parts
    // that agree) is SoundStatFileCheck::validate's to say: a host reusing a
    // saved analysis calls both.
    bool readJSonFile(QString path);

    // Band statistics: stats must hold exactly one more algorithm than freqs
    // has frequencies (Hz, ascending); otherwise a critical message is logged
    // and no statistics are kept. Clears the FFT statistics too.
    void setStats(const std::vector<double>& freqs, const std::vector<SoundAlgoStats*>& stats, bool addRef);
    // Whole-spectrum statistics and the band edges their levels are read at.
    // Clears the band statistics. A null fftStats leaves only the frequencies.
    void setStats(const std::vector<double>& freqs, SoundAlgoFFTStats* fftStats, bool addRef);
    // Adds (or replaces) the FFT statistics beside band statistics already
    // set, keeping the bands and frequencies: a file may hold both, and its
    // relative levels then come from the FFT statistics.
    void setFFTStats(SoundAlgoFFTStats* fftStats, bool addRef);
    void setStepDetector(RMSStepDetector* detector, bool addRef);
    // The loudness figures of the recording (null: none).
    void setLoudness(SoundAlgoLoudness* loudness, bool addRef);
    SoundAlgoLoudness* getLoudness() const { return mLoudness; }
    // The recording the statistics describe (empty: not recorded, as in files
    // written before it was).
    void setSource(const SoundStatSource& source) { mSource = source; }
    const SoundStatSource& getSource() const { return mSource; }

    // Releases the band and FFT statistics (the frequencies stay).
    void clearStats();
    void clearStepDetector();
    // Releases everything held: statistics and detector.
    void clear();

    void getStats(std::vector<double>& freqs, std::vector<SoundAlgoStats*>& stats) const;
    const std::vector<SoundAlgoStats*>& getBandStats() const { return mBandStats; }
    SoundAlgoFFTStats* getFFTStats() const { return mFFTStats; }
    RMSStepDetector* getStepDetector() const { return mStepDetector; }
    std::vector<double> getFrequencies() const { return mBandFreqs; }
    QString getVersion() const { return mVersion; }

    // The rate the statistics were taken at: the first band's, else the FFT
    // statistics', else 44100 (also when the stored rate is 0).
    unsigned getSampleRate() const;

    // Level of each band in dB relative to the loudest band (which reads 0):
    // from the FFT statistics at the band frequencies when there are FFT
    // statistics, else from the full RMS of each band's statistics. Empty when
    // there are neither.
    std::vector<double> getRelativeLevels() const;

private:
    void copyFrom(const SoundStatFile& other);

    RMSStepDetector* mStepDetector = nullptr;
    std::vector<double> mBandFreqs;
    std::vector<SoundAlgoStats*> mBandStats;
    SoundAlgoFFTStats* mFFTStats = nullptr;
    SoundAlgoLoudness* mLoudness = nullptr;
    QString mVersion;
    SoundStatSource mSource;
};
