// Reference curves: reading catalog elements and files, the correction
// arithmetic, the nearest curve, the correction filter against a response
// model, and the shipped default catalog.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

#include "common/FilterKit.h"
#include "common/FourierKit.h"
#include "common/TestKit.h"
#include "tonewright/SoundAlgoFilter.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatReference.h"
#include "tonewright/Utilities.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;
const std::vector<double> kPink = {0.0, -5.59, -5.58, -5.57, -7.89, -9.38, -7.88, -9.37, -10.47};

// Statistics whose bands read the given levels (dB) before normalisation, at
// band edges 100, 200, ... Hz unless given.
SoundStatFile statsAt(const std::vector<double>& db, std::vector<double> freqs = {}) {
    for (size_t i = freqs.size(); i + 1 < db.size(); ++i) freqs.push_back(100.0 * double(i + 1));
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

SoundStatReferenceCatalog catalogOf(const std::vector<QJsonObject>& curves) {
    tk::TempDir dir;
    QJsonArray array;
    for (const QJsonObject& c : curves) array.append(c);
    EXPECT_TRUE(tk::writeBytes(dir.path("c.json"), QJsonDocument(array).toJson()));
    SoundStatReferenceCatalog catalog;
    EXPECT_TRUE(catalog.readJSonFile(dir.path("c.json")));
    return catalog;
}
}  // namespace

// Measured relative levels {-5, -2, 0} stand for {-3, 0, 2} shifted down by 2 dB
// (measured levels are relative to the loudest band): against a flat curve
// two dB lower the differences are {3, 0, -2}.
TEST(Reference, CorrectionsAreCutsWithinTheLimit) {
    const SoundStatFile stats = statsAt({-15.0, -12.0, -10.0});
    const double nan = std::nan("");
    const struct {
        std::vector<double> curve;
        double limit;
        std::vector<double> expected;
    } cases[] = {
        {{-2, -2, -2}, 6.0, {0, -3, -5}},
        {{-2, -2, -2}, 1.0, {0, -1, -2}},
        {{-2, -2, -2}, -1.0, {0, -1, -2}},       // the limit's sign does not matter
        {{-10, -10, -10}, 20.0, {-5, -8, -10}},  // all measured above: no lift
        {{-2, -2}, 6.0, {0, -3}},                // a shorter curve: common bands only
        {{-2, -2, -2, 7}, 6.0, {0, -3, -5}},
        {{-2, nan, -2}, 6.0, {0, -3, -5}},  // a difference that is no number: no correction
        {{-2, -2, -2}, nan, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        std::vector<double> freqs;
        for (size_t i = 0; i < c.curve.size(); ++i) freqs.push_back(100.0 * double(i + 1));
        const std::vector<double> d = referenceOf(curve("c", freqs, c.curve)).getCorrectedLevels(stats, c.limit);
        ASSERT_EQ(d.size(), c.expected.size());
        for (size_t i = 0; i < d.size(); ++i) EXPECT_NEAR(d[i], c.expected[i], 1e-9) << i << " limit " << c.limit;
    }
}

TEST(Reference, NearestCurveOfTheSameVersion) {
    const SoundStatFile stats = statsAt({-10.0, 0.0, -4.0});  // relative {-10, 0, -4}
    const std::vector<double> f{100, 200, 300};
    const SoundStatReferenceCatalog catalog = catalogOf({curve("far", f, {0, 0, 0}), curve("tie A", f, {-10, 0, -2}),
                                                         curve("tie B", f, {-10, 0, -6}),
                                                         curve("other version", f, {-10, 0, -4}, "2"),
                                                         curve("mismatched", f, {-10, 0})});
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

// Catalog files, text or binary (binary JSON only outside ".json" files, and
// only there): the bad ones give false with an error naming the file and the
// cause (those of unreadable files: the JSON file and statistics-file tests);
// what was read before a bad element stays, and a damaged curve is near nothing
// and builds no filter.
TEST(Reference, CatalogFiles) {
    tk::TempDir dir;
    const QJsonArray two{curve("One", {100, 200}, {0, -1}), curve("Two", {100, 200}, {-1, 0})};
    const QByteArray good = QJsonDocument(two).toJson(QJsonDocument::Compact);
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const QByteArray binary = QJsonDocument(two).toBinaryData();
    QT_WARNING_POP
    const struct {
        const char* file;
        QByteArray text;
        bool ok;
        size_t references;
        const char* cause;  // when not ok
        bool usable;        // some curve is near the statistics
    } cases[] = {
        {"text.json", good, true, 2, "", true},
        {"binary.bin", binary, true, 2, "", true},
        {"binary.json", binary, false, 0, "JSON read error", false},
        {"object.json", "{\"Class\": \"SoundStatReference\"}", false, 0, "not an object", false},
        {"empty-array.json", "[]", false, 0, "no reference", false},
        {"not-an-object.json", "[" + QJsonDocument(curve("One", {1}, {0})).toJson() + ", 3, {}]", false, 1,
         "element 1 is not an object", true},
        {"wrong-types.json",
         "[{\"Class\": 1, \"Name\": 2, \"Frequency\": 3, \"RelativeLevel\": 4, \"Version\": 5},"
         " {\"Class\": \"SoundStatReference\", \"Name\": [], \"Frequency\": {}, \"RelativeLevel\": \"\", \"Version\": null},"
         " {\"Class\": \"SoundStatReference\", \"Name\": \"n\", \"Frequency\": [\"a\", null], \"RelativeLevel\": true}]",
         true, 3, "", false},
        {"lengths.json",
         "[{\"Class\": \"SoundStatReference\", \"Name\": \"short\", \"Frequency\": [250, 500, 1000],"
         " \"RelativeLevel\": [0, -3], \"Version\": \"1\"}]",
         true, 1, "", false},
    };
    const SoundStatFile stats = statsAt({-1.0, 0.0, -2.0});
    SoundStatReferenceCatalog all;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = dir.path(c.file);
        ASSERT_TRUE(tk::writeBytes(path, c.text));
        SoundStatReferenceCatalog catalog;
        EXPECT_EQ(catalog.readJSonFile(path), c.ok);
        EXPECT_EQ(catalog.getReferenceList().size(), c.references);
        const QString error = SoundDebuggableClass::getError();
        EXPECT_TRUE(c.ok || (error.contains(path) && error.contains(c.cause))) << error.toStdString();
        EXPECT_EQ(catalog.getNearestReference(stats).isEmpty(), !c.usable);
        for (const SoundStatReference& r : catalog.getReferenceList()) {
            EXPECT_TRUE(!c.ok || c.usable || r.isEmpty() || r.getVersion().isEmpty());
            if (r.isEmpty()) { EXPECT_EQ(r.buildCorrectionFilter(stats, 6.0, true), nullptr); }
        }
        if (c.ok && c.usable) all.readJSonFile(path);  // a second file adds to the catalog
    }
    ASSERT_EQ(all.getReferenceList().size(), 4u);
    EXPECT_EQ(all.getReferenceList()[3].getName(), "Two");
}

// The filter's measured response against the product of the responses of the
// sections the rules call for, each evaluated from its coefficients: shelves at
// the ends, a peaking band between neighbours carrying the correction of the
// band they delimit, and an output gain that makes up for the cuts over the
// presence octaves.
TEST(Reference, CorrectionFilterFollowsTheRules) {
    const std::vector<double> f = SoundStatReference::getDefaultFrequencies();
    const SoundStatReference pink = referenceOf(curve("Pink", f, kPink));
    const struct {
        std::vector<double> offsets;  // measured = curve + offset (band 0 stays the loudest)
        double limit;
        bool outputGain;
    } cases[] = {
        // Clamped at 3 dB: the bands raised by 3 dB or more get 0 and no section
        // (band 5, and band 8: no high shelf).
        {{0, 4, 5, -1, 3, -6, 1, 0, -4}, 3.0, false},
        {{0, 1, -2, 2, 0.5, -1, 1.5, -3, 2}, 12.0, true},
        {{0, 1, -2, 2, 0.5, -1, 1.5, -3, 2}, 12.0, false},
    };
    for (const auto& c : cases) {
        std::vector<double> db;
        for (size_t i = 0; i < kPink.size(); ++i) db.push_back(kPink[i] + c.offsets[i]);
        db.push_back(-30.0);  // the band above the last frequency
        const SoundStatFile stats = statsAt(db, f);
        const std::vector<double> d = pink.getCorrectedLevels(stats, c.limit);
        ASSERT_EQ(d.size(), 9u);

        std::vector<std::shared_ptr<SoundTools::Filter>> sections;
        const auto section = [&](SoundTools::FilterType type, double freq, double width, double gain) {
            sections.push_back(SoundTools::BiquadEqBuilder(type, freq, width, gain).buildFilter(kRate));
        };
        if (d[0] != 0.0) section(SoundTools::LowShelf, f[0], 1.0, d[0]);
        if (d[8] != 0.0) section(SoundTools::HighShelf, f[8], 1.0, d[8]);
        double weight = 0.0, power = 0.0;
        const double lo = 2800.0 / std::pow(2.0, 1.75), hi = 2800.0 * std::pow(2.0, 1.75);
        for (size_t i = 0; i + 1 < f.size(); ++i) {
            if (d[i + 1] != 0.0) {
                double centre = 0, width = 0;
                SoundTools::get_fco(f[i], f[i + 1], centre, width);
                section(SoundTools::BandEq, centre, width, d[i + 1]);
            }
            const double a = std::max(f[i], lo), b = std::min(f[i + 1], hi);
            if (b > a) {
                weight += std::log2(b / a);
                power += std::log2(b / a) * std::pow(10.0, d[i + 1] / 10.0);
            }
        }
        const double outputGainDb = c.outputGain ? -10.0 * std::log10(power / weight) : 0.0;
        EXPECT_TRUE(!c.outputGain || outputGainDb > 0.5);  // the cuts are made up for

        auto filter = SoundRef<SoundAlgoFilter>::adopt(pink.buildCorrectionFilter(stats, c.limit, c.outputGain));
        ASSERT_TRUE(filter);
        EXPECT_EQ(filter->getBuilderNumber(), sections.size());
        EXPECT_NEAR(filter->getOutputGain(), outputGainDb, 1e-12);
        const Frames impulse = tk::concat({Frames{Frame(1.0, 1.0)}, tk::silence(32767)});
        std::vector<double> h;
        for (const Frame& x : tk::run(*filter, impulse, kRate, 1000)) h.push_back(x.l);
        for (double probe : {60.0, 250.0, 400.0, 1414.0, 2500.0, 3464.0, 5000.0, 7000.0, 9000.0, 15000.0}) {
            std::complex<double> expected = tk::fromDb(outputGainDb);
            for (const auto& s : sections) expected *= tk::response(s->getBCoeff(), s->getACoeff(), probe, kRate);
            EXPECT_NEAR(std::abs(tk::firResponse(h, probe / kRate) - expected), 0.0, 1e-9) << probe << " Hz";
        }
    }
}

// The shipped catalog: found, readable, and each curve is the band power of
// its tilt as documented (power per hertz ~ f^(tilt/3.0103) from 20 Hz to
// 22050 Hz, bands relative to the loudest of the ten), by numerical
// integration on a logarithmic grid.
TEST(Reference, DefaultCatalogHoldsTheDocumentedTilts) {
    const QString path = SoundStatReferenceCatalog::getDefaultCatalogPath();
    ASSERT_FALSE(path.isEmpty());
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readDefaultCatalog());
    ASSERT_EQ(catalog.getReferenceList().size(), 5u);
    const QJsonArray raw = QJsonDocument::fromJson(tk::fileBytes(path)).array();
    const std::vector<double> f = SoundStatReference::getDefaultFrequencies();
    std::vector<double> edges{20.0};
    edges.insert(edges.end(), f.begin(), f.end());
    edges.push_back(22050.0);
    for (int i = 0; i < raw.size(); ++i) {
        const SoundStatReference& r = catalog.getReferenceList()[size_t(i)];
        SCOPED_TRACE(r.getName().toStdString());
        EXPECT_EQ(r.getVersion(), SoundStatFile().getVersion());
        EXPECT_EQ(r.getFrequencies(), f);
        EXPECT_FALSE(raw[i].toObject().value("Description").toString().isEmpty());
        const double tilt = raw[i].toObject().value("TiltDbPerOctave").toDouble(99.0);
        ASSERT_NE(tilt, 99.0);
        std::vector<double> level;
        for (size_t b = 0; b + 1 < edges.size(); ++b) {
            const int steps = 4000;
            const double step = std::log(edges[b + 1] / edges[b]) / steps;
            double sum = 0.0;
            for (int k = 0; k < steps; ++k) {
                const double x = edges[b] * std::exp((k + 0.5) * step);
                sum += std::pow(10.0, tilt * std::log2(x / 1000.0) / 10.0) * x * step;
            }
            level.push_back(tk::powerDb(sum));
        }
        const double loudest = *std::max_element(level.begin(), level.end());
        for (size_t b = 0; b < 9; ++b) EXPECT_NEAR(r.getLevels()[b], level[b] - loudest, 0.006) << b;
    }
    EXPECT_EQ(catalog.getReference("Pink -3 dB/oct").getLevels(), kPink);
}
