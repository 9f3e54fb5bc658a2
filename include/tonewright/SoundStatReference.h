#pragma once
// Reference curves and the correction built from them.
//
// A SoundStatReference is a named list of relative levels (dB) at given
// frequencies (Hz): the band levels that the analysis of a recording of a
// certain spectral balance reads (SoundStatFile::getRelativeLevels). Level i
// is compared with band i of the statistics, the band that ends at frequency
// i (band 0 runs from 0 Hz to the first frequency). The version names the band
// layout the curve applies to; a curve is only compared with statistics of the
// same version.
//
// A SoundStatReferenceCatalog holds the curves of one or more catalog files:
// a JSON array (JSON text when the path ends with ".json", else Qt binary
// JSON) of objects with the keys "Class" ("SoundStatReference"), "Name" (or a
// name under a key of the caller's choice, for instance a translated name),
// "Frequency" (numbers), "RelativeLevel" (numbers) and "Version" (string).
// Other keys (such as a "Description") are ignored.
//
// The library ships a default catalog, made for the band layout of the
// standard analysis (getDefaultFrequencies, statistics version "1"), with
// curves of constant spectral tilt; getDefaultCatalogPath finds it.
//
// Ownership: plain values. buildCorrectionFilter returns a new algorithm that
// the caller owns (one reference, SoundRef<SoundAlgoFilter>::adopt).
//
// Threading: plain values for one thread at a time; reading the statistics of
// a SoundStatFile follows that class's rules.
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <vector>

#include "tonewright/Export.h"

class SoundAlgoFilter;
class SoundStatFile;

class TONEWRIGHT_API SoundStatReference {
public:
    SoundStatReference() = default;

    // Fills the reference from one catalog element. nameKey names the key
    // whose text, when there is one, is the curve's name; "Name" is read
    // otherwise. Reading stops with false at the first missing or mistyped
    // key ("Class", name, "Frequency", "RelativeLevel", "Version", in that
    // order); what was read before stays, and the arrays are appended to.
    // Array elements that are not numbers read as 0.
    bool readFromJSon(QJsonObject object, QString nameKey);

    QString getName() const { return mName; }
    QString getVersion() const { return mVersion; }
    const std::vector<double>& getFrequencies() const { return mFrequencies; }
    const std::vector<double>& getLevels() const { return mLevels; }
    // True without frequencies, without levels, or when their counts differ:
    // such a reference describes no curve.
    bool isEmpty() const;

    // The band edges of the standard analysis: 250, 500, 1000, 2000, 3000,
    // 4000, 6000, 8000 and 10000 Hz.
    static std::vector<double> getDefaultFrequencies();

    // Correction per band (dB) towards this curve: the curve's level minus
    // the measured relative level, limited to +/- maxCorrection dB, then all
    // lowered by the largest positive correction so that every correction is
    // a cut (the most raised band gets 0 dB). One entry per band that both the
    // curve and the statistics have. Differences that are not numbers count as
    // 0; a limit that is not a number allows no correction.
    std::vector<double> getCorrectedLevels(const SoundStatFile& stats, double maxCorrection) const;

    // Root of the summed squared differences between the curve's levels and
    // the statistics' relative levels, over the bands both have (dB).
    double getDistance(const SoundStatFile& stats) const;

    // A SoundAlgoFilter of biquad bands that moves the statistics' balance
    // towards the curve: a low shelf at the first frequency (slope 1) with the
    // first correction, a peaking band between each two neighbouring
    // frequencies with the correction of the band they delimit, and a high
    // shelf at the last frequency with the last correction; corrections of 0
    // dB add no filter. With setOutputGain, the filter's output gain makes up
    // the mean power the cuts remove between 834 Hz and 9.4 kHz (2800 Hz plus
    // or minus 1.75 octaves), where the ear is most sensitive.
    // Null (with the error text of SoundDebuggableClass set) when this
    // reference describes no curve or the statistics hold no levels.
    // The caller owns the result.
    SoundAlgoFilter* buildCorrectionFilter(const SoundStatFile& stats, double maxCorrection, bool setOutputGain) const;

private:
    QString mName;
    QString mVersion;
    std::vector<double> mFrequencies;
    std::vector<double> mLevels;
};

class TONEWRIGHT_API SoundStatReferenceCatalog {
public:
    SoundStatReferenceCatalog() = default;

    // Appends the curves of a catalog file (the references already held
    // stay). False when the file cannot be read, is invalid, is not a
    // non-empty array, or holds an element that is not an object (the curves
    // before that element are kept); the error text of SoundDebuggableClass
    // then names the file and the cause. An element with missing keys still
    // adds a reference, incomplete (isEmpty() or an empty version tells).
    bool readJSonFile(QString path, QString nameKey = QStringLiteral("Name"));

    // The default catalog shipped with the library: the installed copy beside
    // the library (<prefix>/share/tonewright/reference-curves.json, found
    // relative to the library file, so a moved installation still finds it),
    // else the copy in the source tree the library was built from, else the
    // configured installation folder. Empty when none exists.
    static QString getDefaultCatalogPath();
    // readJSonFile(getDefaultCatalogPath(), nameKey); false when there is none.
    bool readDefaultCatalog(QString nameKey = QStringLiteral("Name"));

    // Names of all references, sorted (case-sensitive).
    QStringList getNameList() const;
    // The first reference with exactly this name; an empty reference if none.
    SoundStatReference getReference(const QString& name) const;
    // The reference of the statistics' version nearest to their relative
    // levels (getDistance); the earlier one on a tie. References that describe
    // no curve are skipped. An empty reference when no reference of that
    // version is nearer than 1e6 dB.
    SoundStatReference getNearestReference(const SoundStatFile& stats) const;
    const std::vector<SoundStatReference>& getReferenceList() const { return mReferences; }
    bool isEmpty() const { return mReferences.empty(); }

private:
    std::vector<SoundStatReference> mReferences;
};
