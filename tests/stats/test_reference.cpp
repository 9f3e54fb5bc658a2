// Reference curves: reading catalog elements and files, the correction
// arithmetic, the nearest curve, the correction filter against a response
// model, the shipped default catalog, and the whole path from a noisy
// recording to a correction that brings it nearer its curve.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

#include "common/ColouredNoise.h"
#include "common/FilterKit.h"
#include "common/MessageCapture.h"
#include "common/FourierKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoStatAnalysis.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatReference.h"
#include "tonewright/Utilities.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
const std::vector<double> kPink = {0.0, -5.59, -5.58, -5.57, -7.89, -9.38, -7.88, -9.37, -10.47};


// Statistics whose bands read the given levels (dB) before normalisation.
SoundStatFile statsAt(const std::vector<double>& db, std::vector<double> freqs = {}) {
    if (freqs.empty())
        for (size_t i = 0; i + 1 < db.size(); ++i) freqs.push_back(100.0 * double(i + 1));
    std::vector<SoundAlgoStats*> bands;
    for (double d : db) bands.push_back(tk::bandStatsAt(d));
    SoundStatFile file;
    file.setStats(freqs, bands, false);
    return file;
}

QJsonObject curve(const QString& name, const std::vector<double>& freqs, const std::vector<double>& levels,
                  const QString& version = "1") {
    QJsonArray f, l;
    for (double v : freqs) f.append(v);
    for (double v : levels) l.append(v);
    return QJsonObject{
        {"Class", "SoundStatReference"}, {"Name", name}, {"Frequency", f}, {"RelativeLevel", l}, {"Version", version}};
}

SoundStatReference referenceOf(const QJsonObject& o) {
    SoundStatReference r;
    r.readFromJSon(o, "Name");
    return r;
}


SoundStatFile analyse(const Frames& in, bool withFFT = true) {
    SoundAlgoStatAnalysis::Settings settings;
    settings.stepDetector = false;
    settings.fftStats = withFFT;
    auto analysis = SoundRef<SoundAlgoStatAnalysis>::make(settings);
    tk::ScopedBlockSize block(4096);
    tk::MemoryReader reader(in, kRate);
    EXPECT_EQ(analysis->processAll(reader, nullptr), SoundTools::Ok);
    return analysis->getStatFile();
}
}  // namespace

// Measured relative levels {-5, -2, 0} stand for {-3, 0, 2} shifted down by 2 dB
// (measured levels are relative to the loudest band): against a flat curve
// two dB lower the differences are {3, 0, -2}.
TEST(Reference, CorrectionsAreCutsWithinTheLimit) {
    const SoundStatFile stats = statsAt({-15.0, -12.0, -10.0});
    struct Case {
        std::vector<double> curve;
        double limit;
        std::vector<double> expected;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {{-2, -2, -2}, 6.0, {0, -3, -5}},
        {{-2, -2, -2}, 1.0, {0, -1, -2}},
        {{-2, -2, -2}, -1.0, {0, -1, -2}},       // the limit's sign does not matter
        {{-10, -10, -10}, 20.0, {-5, -8, -10}},  // all measured above: no lift
        {{-2, -2}, 6.0, {0, -3}},                // a shorter curve: common bands only
        {{-2, -2, -2, 7}, 6.0, {0, -3, -5}},
        {{-2, nan, -2}, 6.0, {0, -3, -5}},  // a difference that is no number: no correction
        {{-2, -2, -2}, nan, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        std::vector<double> freqs(c.curve.size());
        for (size_t i = 0; i < freqs.size(); ++i) freqs[i] = 100.0 * double(i + 1);
        const std::vector<double> d = referenceOf(curve("c", freqs, c.curve)).getCorrectedLevels(stats, c.limit);
        ASSERT_EQ(d.size(), c.expected.size());
        for (size_t i = 0; i < d.size(); ++i) EXPECT_NEAR(d[i], c.expected[i], 1e-9) << i << " limit " << c.limit;
    }
}

TEST(Reference, NearestCurveOfTheSameVersion) {
    const SoundStatFile stats = statsAt({-10.0, 0.0, -4.0});  // relative {-10, 0, -4}
    auto catalogOf = [](const std::vector<QJsonObject>& curves) {
        tk::TempDir dir;
        QJsonArray array;
        for (const QJsonObject& c : curves) array.append(c);
        EXPECT_TRUE(tk::writeBytes(dir.path("c.json"), QJsonDocument(array).toJson()));
        SoundStatReferenceCatalog catalog;
        EXPECT_TRUE(catalog.readJSonFile(dir.path("c.json")));
        return catalog;
    };
    const std::vector<double> f{100, 200, 300};
    SoundStatReferenceCatalog catalog = catalogOf({
        curve("far", f, {0, 0, 0}),
        curve("tie A", f, {-10, 0, -2}),
        curve("tie B", f, {-10, 0, -6}),
        curve("other version", f, {-10, 0, -4}, "2"),
        curve("mismatched", f, {-10, 0}),
    });
    EXPECT_EQ(catalog.getNearestReference(stats).getName(), "tie A");
    EXPECT_NEAR(catalog.getReference("tie B").getDistance(stats), 2.0, 1e-9);
    EXPECT_NEAR(catalog.getReference("far").getDistance(stats), std::sqrt(116.0), 1e-9);
    EXPECT_EQ(catalog.getNameList(), (QStringList{"far", "mismatched", "other version", "tie A", "tie B"}));
    EXPECT_TRUE(catalog.getReference("Tie A").isEmpty());  // names match exactly

    EXPECT_TRUE(catalogOf({curve("v2", f, {-10, 0, -4}, "2")}).getNearestReference(stats).isEmpty());
    EXPECT_TRUE(catalogOf({curve("huge", f, {1e7, 0, 0})}).getNearestReference(stats).isEmpty());
    EXPECT_TRUE(SoundStatReferenceCatalog().getNearestReference(stats).isEmpty());
    EXPECT_TRUE(catalog.getNearestReference(SoundStatFile()).isEmpty());  // no levels to compare
}

TEST(Reference, CatalogFilesTextOrBinary) {
    tk::TempDir dir;
    const QJsonArray two{curve("One", {100}, {0}), curve("Two", {100}, {-1})};
    ASSERT_TRUE(Utilities::writeJSONToFile(QJsonDocument(two), dir.path("cat.json"), false));
    ASSERT_TRUE(Utilities::writeJSONToFile(QJsonDocument(two), dir.path("cat.bin"), true));
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readJSonFile(dir.path("cat.json")));
    ASSERT_TRUE(catalog.readJSonFile(dir.path("cat.bin")));  // a second file adds to the catalog
    EXPECT_EQ(catalog.getReferenceList().size(), 4u);
    EXPECT_EQ(catalog.getReferenceList()[3].getName(), "Two");

    // Binary JSON is only looked for outside ".json" files, and only there.
    QFile::copy(dir.path("cat.bin"), dir.path("binary.json"));
    QFile::copy(dir.path("cat.json"), dir.path("text.ref"));
    tk::MessageCapture capture;
    SoundStatReferenceCatalog other;
    EXPECT_FALSE(other.readJSonFile(dir.path("binary.json")));
    EXPECT_TRUE(capture.contains("JSON read error offset "));
    capture.clear();
    EXPECT_FALSE(other.readJSonFile(dir.path("text.ref")));
    EXPECT_TRUE(capture.messages(QtCriticalMsg).isEmpty());
    EXPECT_TRUE(other.isEmpty());
}

// Bad catalogs: false, the error text names the file, nothing crashes; what was
// read before a bad element stays.
TEST(Reference, BadCatalogs) {
    tk::TempDir dir;
    const QByteArray good = QJsonDocument(QJsonArray{curve("One", {100, 200}, {0, -1})}).toJson(QJsonDocument::Compact);
    struct Case {
        const char* name;
        QByteArray text;
        bool ok;
        size_t references;
        const char* cause;
    };
    const Case cases[] = {
        {"empty", "", false, 0, "JSON read error"},
        {"top-level object", "{\"Class\": \"SoundStatReference\"}", false, 0, "not an object"},
        {"empty array", "[]", false, 0, "no reference"},
        {"truncated", good.left(good.size() - 5), false, 0, "JSON read error"},
        {"element not an object", "[" + QJsonDocument(curve("One", {1}, {0})).toJson() + ", 3, {}]", false, 1,
         "element 1 is not an object"},
        {"wrong types everywhere",
         "[{\"Class\": 1, \"Name\": 2, \"Frequency\": 3, \"RelativeLevel\": 4, \"Version\": 5},"
         " {\"Class\": \"SoundStatReference\", \"Name\": [], \"Frequency\": {}, \"RelativeLevel\": \"\", \"Version\": "
         "null},"
         " {\"Class\": \"SoundStatReference\", \"Name\": \"n\", \"Frequency\": [\"a\", null], \"RelativeLevel\": "
         "true}]",
         true, 3, ""},
        {"arrays of different lengths",
         "[{\"Class\": \"SoundStatReference\", \"Name\": \"short\", \"Frequency\": [250, 500, 1000],"
         " \"RelativeLevel\": [0, -3], \"Version\": \"1\"}]",
         true, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.path(QString(c.name).replace(' ', '-') + ".json");
        EXPECT_TRUE(tk::writeBytes(path, c.text));
        SoundStatReferenceCatalog catalog;
        tk::MessageCapture capture;
        EXPECT_EQ(catalog.readJSonFile(path), c.ok);
        EXPECT_EQ(catalog.getReferenceList().size(), c.references);
        if (!c.ok) {
            EXPECT_TRUE(SoundDebuggableClass::getError().contains(path))
                << SoundDebuggableClass::getError().toStdString();
            EXPECT_TRUE(SoundDebuggableClass::getError().contains(c.cause))
                << SoundDebuggableClass::getError().toStdString();
        }
        // No usable curve in any of them: nothing is near, no filter can be built.
        const SoundStatFile stats = statsAt({-1.0, 0.0, -2.0});
        for (const SoundStatReference& r : catalog.getReferenceList()) {
            if (c.ok) {
                EXPECT_TRUE(r.isEmpty() || r.getVersion().isEmpty());
            }
            if (r.isEmpty()) {
                EXPECT_EQ(r.buildCorrectionFilter(stats, 6.0, true), nullptr);
            }
        }
        if (c.ok) {
            EXPECT_TRUE(catalog.getNearestReference(stats).isEmpty());
        }
    }
    SoundStatReferenceCatalog catalog;
    tk::MessageCapture capture;
    EXPECT_FALSE(catalog.readJSonFile(dir.path("missing.json")));
    EXPECT_TRUE(capture.messages(QtCriticalMsg).isEmpty());  // an unreadable file is not a parse error
    EXPECT_TRUE(SoundDebuggableClass::getError().contains("cannot be opened"));
}

// The filter's measured response against the product of the responses of the
// sections the rules call for, each evaluated from its coefficients.
TEST(Reference, CorrectionFilterFollowsTheRules) {
    const std::vector<double> f = SoundStatReference::getDefaultFrequencies();
    const SoundStatReference pink = referenceOf(curve("Pink", f, kPink));
    struct Case {
        std::vector<double> offsets;  // measured = curve + offset (band 0 stays the loudest)
        double limit;
        bool outputGain;
        std::vector<double> expected;  // corrections, when worked out by hand
    };
    const Case cases[] = {
        // Clamped at 3 dB: the bands raised by 3 dB or more get exactly 0 and no
        // section (band 5, and band 8: no high shelf).
        {{0, 4, 5, -1, 3, -6, 1, 0, -4}, 3.0, false, {-3, -6, -6, -2, -6, 0, -4, -3, 0}},
        {{0, 1, -2, 2, 0.5, -1, 1.5, -3, 2}, 12.0, true, {}},
        {{0, 1, -2, 2, 0.5, -1, 1.5, -3, 2}, 12.0, false, {}},
    };
    for (const Case& c : cases) {
        std::vector<double> db;
        for (size_t i = 0; i < kPink.size(); ++i) db.push_back(kPink[i] + c.offsets[i]);
        db.push_back(-30.0);  // the band above the last frequency
        const SoundStatFile stats = statsAt(db, f);
        const std::vector<double> d = pink.getCorrectedLevels(stats, c.limit);
        ASSERT_EQ(d.size(), 9u);
        for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_NEAR(d[i], c.expected[i], 1e-9) << i;

        // The sections: shelves at the ends, a peaking band between neighbours
        // carrying the correction of the band they delimit.
        struct Section {
            SoundTools::FilterType type;
            double freq, width, gain;
        };
        std::vector<Section> sections;
        if (d[0] != 0.0) sections.push_back({SoundTools::LowShelf, f[0], 1.0, d[0]});
        if (d[8] != 0.0) sections.push_back({SoundTools::HighShelf, f[8], 1.0, d[8]});
        double weight = 0.0, power = 0.0;
        const double lo = 2800.0 / std::pow(2.0, 1.75), hi = 2800.0 * std::pow(2.0, 1.75);
        for (size_t i = 0; i + 1 < f.size(); ++i) {
            if (d[i + 1] != 0.0) {
                double centre = 0, width = 0;
                SoundTools::get_fco(f[i], f[i + 1], centre, width);
                sections.push_back({SoundTools::BandEq, centre, width, d[i + 1]});
            }
            const double a = std::max(f[i], lo), b = std::min(f[i + 1], hi);
            if (b > a) {
                weight += std::log2(b / a);
                power += std::log2(b / a) * std::pow(10.0, d[i + 1] / 10.0);
            }
        }
        const double outputGainDb = c.outputGain ? -10.0 * std::log10(power / weight) : 0.0;

        auto filter = SoundRef<SoundAlgoFilter>::adopt(pink.buildCorrectionFilter(stats, c.limit, c.outputGain));
        ASSERT_TRUE(filter);
        EXPECT_EQ(filter->getBuilderNumber(), sections.size());
        EXPECT_NEAR(filter->getOutputGain(), outputGainDb, 1e-12);
        if (c.outputGain) {
            EXPECT_GT(outputGainDb, 0.5);  // the cuts are made up for
        }

        Frames impulse(32768, Frame(0.0, 0.0));
        impulse[0] = Frame(1.0, 1.0);
        const Frames h = tk::run(*filter, impulse, kRate, 1000);
        std::vector<double> left(h.size());
        for (size_t i = 0; i < h.size(); ++i) left[i] = h[i].l;
        for (double probe : {60.0, 250.0, 400.0, 1414.0, 2500.0, 3464.0, 5000.0, 7000.0, 9000.0, 15000.0}) {
            std::complex<double> expected = std::pow(10.0, outputGainDb / 20.0);
            for (const Section& s : sections) {
                SoundTools::BiquadEqBuilder builder(s.type, s.freq, s.width, s.gain);
                builder.init(kRate);
                expected *= tk::response(builder.getBCoeff(), builder.getACoeff(), probe, kRate);
            }
            const std::complex<double> measured = tk::firResponse(left, probe / kRate);
            EXPECT_NEAR(std::abs(measured - expected), 0.0, 1e-9) << probe << " Hz";
        }
    }
}

// The shipped catalog: found, readable, and each curve is the band power of
// its tilt as documented (power per hertz ~ f^(tilt/3.0103) from 20 Hz to
// 22050 Hz, bands relative to the loudest of the ten).
TEST(Reference, DefaultCatalogHoldsTheDocumentedTilts) {
    const QString path = SoundStatReferenceCatalog::getDefaultCatalogPath();
    ASSERT_FALSE(path.isEmpty());
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readDefaultCatalog());
    ASSERT_EQ(catalog.getReferenceList().size(), 5u);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonArray raw = QJsonDocument::fromJson(file.readAll()).array();
    const std::vector<double> f = SoundStatReference::getDefaultFrequencies();
    for (int i = 0; i < raw.size(); ++i) {
        const SoundStatReference& r = catalog.getReferenceList()[size_t(i)];
        SCOPED_TRACE(r.getName().toStdString());
        EXPECT_EQ(r.getVersion(), SoundStatFile().getVersion());
        EXPECT_EQ(r.getFrequencies(), f);
        EXPECT_FALSE(raw[i].toObject().value("Description").toString().isEmpty());
        const double tilt = raw[i].toObject().value("TiltDbPerOctave").toDouble(99.0);
        ASSERT_NE(tilt, 99.0);
        // Band powers by numerical integration on a logarithmic grid.
        std::vector<double> edges{20.0};
        edges.insert(edges.end(), f.begin(), f.end());
        edges.push_back(22050.0);
        std::vector<double> level;
        for (size_t b = 0; b + 1 < edges.size(); ++b) {
            const int steps = 4000;
            const double step = std::log(edges[b + 1] / edges[b]) / steps;
            double sum = 0.0;
            for (int k = 0; k < steps; ++k) {
                const double x = edges[b] * std::exp((k + 0.5) * step);
                sum += std::pow(10.0, tilt * std::log2(x / 1000.0) / 10.0) * x * step;
            }
            level.push_back(10.0 * std::log10(sum));
        }
        const double loudest = *std::max_element(level.begin(), level.end());
        for (size_t b = 0; b < 9; ++b) EXPECT_NEAR(r.getLevels()[b], level[b] - loudest, 0.006) << b;
    }
    EXPECT_EQ(catalog.getReference("Pink -3 dB/oct").getLevels(), kPink);
}

// Noise of each catalogued tilt is nearest to its own curve, whether the
// levels come from the FFT statistics or from the band statistics (the band
// filters read smooth spectra within a few tenths of a dB of the band powers).
TEST(Reference, TiltedNoiseFindsItsCurve) {
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readDefaultCatalog());
    const struct {
        double tilt;
        const char* name;
    } cases[] = {{0.0, "Flat 0 dB/oct"}, {-3.0, "Pink -3 dB/oct"}, {-6.0, "Dark -6 dB/oct"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SoundStatFile both = analyse(tk::tiltedNoise(1 << 16, kRate, c.tilt, 20.0, 11));
        SoundStatFile bandsOnly;
        bandsOnly.setStats(both.getFrequencies(), both.getBandStats(), true);
        for (const SoundStatFile* stats : {&both, static_cast<const SoundStatFile*>(&bandsOnly)}) {
            const SoundStatReference nearest = catalog.getNearestReference(*stats);
            EXPECT_EQ(nearest.getName(), c.name);
            // Within the spread of a 1.5 s measurement (the 20-40 Hz octave
            // that dominates a dark spectrum is only a few dozen windows
            // wide), and far from every other curve.
            const double distance = nearest.getDistance(*stats);
            EXPECT_LT(distance, 1.5);
            for (const SoundStatReference& other : catalog.getReferenceList())
                if (other.getName() != nearest.getName()) {
                    EXPECT_GT(other.getDistance(*stats), 3.0 * distance);
                }
        }
    }
}

// A pink recording with a 6 dB presence bump: its nearest curve is pink, the
// correction filter takes the bump out, and the corrected recording is much
// nearer the curve.
TEST(Reference, CorrectionBringsARecordingNearerItsCurve) {
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readDefaultCatalog());
    auto bump = [](double f) {
        const double octaves = std::log2(f / 4000.0);
        return 6.0 * std::exp(-octaves * octaves / (2.0 * 0.6 * 0.6));
    };
    const Frames in = tk::tiltedNoise(1 << 16, kRate, -3.0, 20.0, 5, bump);
    const SoundStatFile before = analyse(in);
    const SoundStatReference nearest = catalog.getNearestReference(before);
    ASSERT_FALSE(nearest.isEmpty());
    const double distanceBefore = nearest.getDistance(before);
    EXPECT_GT(distanceBefore, 6.0);

    auto filter = SoundRef<SoundAlgoFilter>::adopt(nearest.buildCorrectionFilter(before, 12.0, true));
    ASSERT_TRUE(filter);
    const Frames corrected = tk::run(*filter, in, kRate, 4096);
    const SoundStatFile after = analyse(corrected);
    const double distanceAfter = nearest.getDistance(after);
    EXPECT_LT(distanceAfter, distanceBefore / 3.0) << "before " << distanceBefore << " dB";
    EXPECT_EQ(catalog.getNearestReference(after).getName(), nearest.getName());
}
